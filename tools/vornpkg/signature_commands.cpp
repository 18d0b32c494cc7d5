// sign, verify and the signature line of show: a package is signed over its
// description file's bytes followed by the data file's (a container alone),
// the same digest the service checks and `openssl dgst -sha256 -sign` makes.
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "install/package_signature.h"
#include "tools/vornpkg/commands.h"
#include "tools/vornpkg/package_files.h"

namespace {

struct SignatureOptions {
  std::string key;
  std::vector<std::string> files;  // PKG.mki DATAFILE, or CONTAINER
  std::string signature;           // default: DATAFILE.sig
};

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

// The description record (empty for a container) and the data file of the
// positional arguments; false after a message.
bool SignedParts(const std::vector<std::string>& files, std::string& record,
                 std::string& dataFile) {
  if (files.size() == 1) {
    record.clear();
    dataFile = files[0];
    return true;
  }
  // The record is signed exactly as the file holds it, so a signature made
  // with openssl over the same file agrees; it must still be one.
  CPackageDescription description;
  std::string error;
  if (!ReadDescriptionFile(files[0], description, error)) {
    PrintError(files[0] + ": " + error);
    return false;
  }
  std::optional<std::string> bytes = ReadWholeFile(files[0]);
  if (!bytes) {
    PrintError("cannot read '" + files[0] + "'");
    return false;
  }
  record = std::move(*bytes);
  dataFile = files[1];
  return true;
}

bool ReadKeys(const std::string& path, std::vector<TrustedKey>& keys) {
  std::string error;
  if (LoadTrustedKeys(path, keys, error)) return true;
  PrintError(path + " " + error);
  return false;
}

int RunSign(const SignatureOptions& o) {
  std::string record, dataFile;
  if (!SignedParts(o.files, record, dataFile)) return 1;
  const std::optional<std::string> pem = ReadWholeFile(o.key);
  if (!pem) {
    PrintError("cannot read '" + o.key + "'");
    return 1;
  }
  SigningKey key;
  std::string error;
  if (!ParsePrivateKey(*pem, key, error)) {
    PrintError(o.key + " " + error);
    return 1;
  }
  const std::string out = o.signature.empty() ? dataFile + kSignatureSuffix : o.signature;
  if (!SignPackage(key, record, dataFile, out, error)) {
    PrintError(error);
    return 1;
  }
  std::cout << out << ": signed by SHA-256 " << key.publicKey.fingerprint << "\n";
  return 0;
}

int RunVerify(const SignatureOptions& o) {
  std::string record, dataFile;
  if (!SignedParts(o.files, record, dataFile)) return 1;
  std::vector<TrustedKey> keys;
  if (!ReadKeys(o.key, keys)) return 1;
  const std::string signature = o.signature.empty() ? dataFile + kSignatureSuffix : o.signature;
  std::string signer;
  if (const char* refusal = CheckPackageSignature(keys, record, dataFile, signature, &signer)) {
    PrintError(signature + ": " + refusal);
    return 1;
  }
  std::cout << signature << ": signed by SHA-256 " << signer << "\n";
  return 0;
}

void AddSignatureOptions(CLI::App* sub, SignatureOptions& options) {
  sub->add_option("FILES", options.files,
                  "PKG.mki DATAFILE (a package), or CONTAINER (an installer container)")
      ->required()
      ->expected(1, 2);
  sub->add_option("--signature", options.signature, "Signature file (default: DATAFILE.sig)");
}

}  // namespace

void AddSignCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<SignatureOptions>();
  CLI::App* sub = app.add_subcommand(
      "sign", "Sign a package (description and data file) or a container with an ECDSA P-256 key");
  sub->add_option("--key", options->key, "Private key (PEM, unencrypted)")->required();
  AddSignatureOptions(sub, *options);
  sub->callback([options, &exitCode] { exitCode = RunSign(*options); });
}

void AddVerifyCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<SignatureOptions>();
  CLI::App* sub = app.add_subcommand(
      "verify", "Check a package's signature against public keys the way the service does");
  sub->add_option("--keys", options->key, "Public keys (PEM, one or more)")->required();
  AddSignatureOptions(sub, *options);
  sub->callback([options, &exitCode] { exitCode = RunVerify(*options); });
}

void PrintSignatureLine(std::ostream& out, const std::string& descriptionFile,
                        const CPackageDescription& description,
                        const std::optional<std::string>& keysFile) {
  // The data file lies next to the description under the last part of the
  // name the record gives.
  const std::size_t slash = descriptionFile.find_last_of("/\\");
  const std::string directory =
      slash == std::string::npos ? std::string() : descriptionFile.substr(0, slash + 1);
  const std::size_t nameStart = description.FileName.find_last_of("/\\");
  const std::string dataFile =
      directory + (nameStart == std::string::npos ? description.FileName
                                                  : description.FileName.substr(nameStart + 1));
  const std::string signature = dataFile + kSignatureSuffix;
  if (description.FileName.empty() || !ReadSignatureFile(signature)) {
    out << "Signature: none (no " << signature << ")\n";
    return;
  }
  if (!keysFile) {
    out << "Signature: " << signature << " (give --keys to name the key)\n";
    return;
  }
  std::vector<TrustedKey> keys;
  std::string error, signer;
  if (!LoadTrustedKeys(*keysFile, keys, error)) {
    out << "Signature: " << signature << " (" << *keysFile << " " << error << ")\n";
    return;
  }
  std::optional<std::string> record = ReadWholeFile(descriptionFile);
  if (const char* refusal =
          CheckPackageSignature(keys, record.value_or(""), dataFile, signature, &signer)) {
    out << "Signature: " << signature << " (" << refusal << ")\n";
    return;
  }
  out << "Signature: " << signature << " by SHA-256 " << signer << "\n";
}
