#pragma once
// Reads the package a command sends before any server is asked, so that a
// missing or malformed file fails at once with its own exit code.

#include <cstdint>
#include <optional>
#include <string>

#include "client/client_session.h"
#include "install/package_description.h"
#include "tools/vornctl/commands.h"

namespace vornctl {

// The package as it will be sent: a description file, or for a container a
// description made here that only carries the container's file name.
struct Package {
  CPackageDescription description;
  std::optional<std::string> dataFile;
  std::string containerRequest;
  std::uint64_t dataBytes = 0;
  // Sent before the package as "<data file name>.sig".
  std::optional<std::string> signatureFile;
};

// kExitOk, or the exit code after a message on standard error.
int LoadPackage(const InstallOptions& options, Package& package);

// The largest signature file sent: a DER ECDSA signature has a few dozen bytes.
inline constexpr std::uint32_t kLargestSignatureBytes = 4096;

// Transfers the package's signature file, when it has one, under the name
// the server looks for. Throws as the session does.
void SendSignature(CClientSession& session, const Package& package);

}  // namespace vornctl
