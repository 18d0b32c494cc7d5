#pragma once
// Package signatures: "TrustedPackageKeys" names a PEM file of ECDSA P-256
// public keys; a package then installs only when "<data file>.sig" holds a
// DER ECDSA signature, by one of them, over SHA-256 of the description
// record followed by the data file (a container: the container file alone).
// That is what `openssl dgst -sha256 -sign` writes over `cat PKG.mki PKG.bin`.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/signature.h"

namespace platform {
class IRegistry;
}

inline constexpr const char* kTrustedPackageKeysValue = "TrustedPackageKeys";
inline constexpr const char* kSignatureSuffix = ".sig";
inline constexpr const char* kSignatureMissing = "package signature missing";
inline constexpr const char* kNotSignedByTrustedKey = "package not signed by a trusted key";

struct TrustedKey {
  platform::P256Point point{};
  std::string fingerprint;  // SHA-256 of the DER public key, lower-case hex
};

struct SigningKey {
  platform::P256Scalar scalar{};
  TrustedKey publicKey;
};

// The path the value names: nullopt when it is absent or empty; with `error`
// set when it is not a plain REG_SZ text.
std::optional<std::string> ReadTrustedKeysPath(platform::IRegistry& registry, std::string& error);

// Every "PUBLIC KEY" block of the PEM text. False, with `error`, when one is
// not an ECDSA P-256 key or there is none.
bool ParsePublicKeys(const std::string& pem, std::vector<TrustedKey>& keys, std::string& error);
bool LoadTrustedKeys(const std::string& path, std::vector<TrustedKey>& keys, std::string& error);

// The first "EC PRIVATE KEY" (SEC1) or "PRIVATE KEY" (PKCS#8, unencrypted)
// block of the PEM text, for P-256 and holding its public point.
bool ParsePrivateKey(const std::string& pem, SigningKey& key, std::string& error);

// ECDSA-Sig-Value (DER) to r||s and back. Only strict DER is taken.
bool SignatureFromDer(const std::string& der, platform::P256Signature& signature);
std::string SignatureToDer(const platform::P256Signature& signature);

// Takes each piece of the data file as it is hashed; false stops the read.
using PackageBytesSink = std::function<bool(const char* bytes, std::size_t length)>;

// SHA-256 over `record` followed by the bytes of the file at dataPath. False
// when the file cannot be read to its end, or when `sink` (given every byte
// of the data file that went into the digest, in order) refuses a piece.
bool DigestPackage(const std::string& record, const std::string& dataPath,
                   platform::Sha256Digest& digest, const PackageBytesSink& sink = nullptr);

// The key whose signature `der` is over digest, or nullptr.
const TrustedKey* FindSigner(const std::vector<TrustedKey>& keys,
                             const platform::Sha256Digest& digest, const std::string& der);

// The signature file's bytes; nullopt when it does not exist or cannot be
// read. A file longer than any DER signature is read only so far.
std::optional<std::string> ReadSignatureFile(const std::string& path);

// Checks the package: nullptr when a trusted key signed it, otherwise
// kSignatureMissing or kNotSignedByTrustedKey; `signer` gets the signing
// key's fingerprint.
const char* CheckPackageSignature(const std::vector<TrustedKey>& keys, const std::string& record,
                                  const std::string& dataPath, const std::string& signaturePath,
                                  std::string* signer = nullptr);

// Writes the signature of record + data file to signaturePath (DER).
bool SignPackage(const SigningKey& key, const std::string& record, const std::string& dataPath,
                 const std::string& signaturePath, std::string& error);
