#include "tools/vornctl/package_input.h"

#include <cstdio>
#include <fstream>

#include "client/client_session.h"
#include "client/error.h"
#include "tools/vornctl/exit_codes.h"

namespace vornctl {
namespace {

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int LoadPackage(const InstallOptions& options, Package& package) {
  if (options.container) {
    const std::size_t separator = options.container->rfind("::");
    if (separator == std::string::npos || separator == 0 ||
        separator + 2 == options.container->size()) {
      std::fprintf(stderr, "vornctl: --container takes FILE::NAME\n");
      return kExitUsage;
    }
    const std::string file = options.container->substr(0, separator);
    package.description.FileName = BaseName(file);
    package.description.PackageType = CPackageDescription::kTypeNothing;
    package.dataFile = file;
    package.containerRequest =
        package.description.FileName + "::" + options.container->substr(separator + 2);
  } else {
    std::ifstream in(options.description, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "vornctl: cannot open '%s'\n", options.description.c_str());
      return kExitFileError;
    }
    if (const char* error = package.description.ReadFrom(in)) {
      std::fprintf(stderr, "vornctl: %s: %s\n", options.description.c_str(), error);
      return kExitFileError;
    }
    package.dataFile = options.dataFile;
  }
  if (package.dataFile) {
    std::ifstream data(*package.dataFile, std::ios::binary | std::ios::ate);
    if (!data) {
      std::fprintf(stderr, "vornctl: cannot open '%s'\n", package.dataFile->c_str());
      return kExitFileError;
    }
    package.dataBytes = static_cast<std::uint64_t>(data.tellg());
    if (package.dataBytes > CClientSession::kLargestDataBytes) {
      std::fprintf(stderr,
                   "vornctl: '%s' has %llu bytes; a server takes at most %llu (2 GiB), as it "
                   "refuses block offsets beyond 2147483647\n",
                   package.dataFile->c_str(), static_cast<unsigned long long>(package.dataBytes),
                   static_cast<unsigned long long>(CClientSession::kLargestDataBytes));
      return kExitFileError;
    }
  }
  if (options.signature) {
    if (!std::ifstream(*options.signature, std::ios::binary)) {
      std::fprintf(stderr, "vornctl: cannot open '%s'\n", options.signature->c_str());
      return kExitFileError;
    }
    package.signatureFile = options.signature;
  } else if (package.dataFile && std::ifstream(*package.dataFile + ".sig", std::ios::binary)) {
    package.signatureFile = *package.dataFile + ".sig";
  }
  return kExitOk;
}

void SendSignature(CClientSession& session, const Package& package) {
  if (!package.signatureFile || package.description.FileName.empty()) return;
  CPackageDescription description;
  description.FileName = package.description.FileName + ".sig";
  description.PackageType = CPackageDescription::kTypeNothing;
  std::ifstream data(*package.signatureFile, std::ios::binary | std::ios::ate);
  const std::streamoff size = data.tellg();
  if (!data || size < 0 || size > kLargestSignatureBytes) {
    throw Fernway::CError("'" + *package.signatureFile + "' is not a signature file");
  }
  data.seekg(0);
  session.TransferOnly(description, data, static_cast<std::uint32_t>(size));
}

}  // namespace vornctl
