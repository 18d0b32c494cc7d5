#include "service/configuration_check.h"

#include <optional>
#include <vector>

#include "device/device_registry.h"
#include "device/equipment_number.h"
#include "platform/instrument_link.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "platform/socket.h"
#include "service/access_settings.h"
#include "service/device_group.h"

namespace {

constexpr const char* kTransferDirectoryValue = "SoftwareInstallationPath";
constexpr const char* kDefaultTransferDirectory = "C:\\";
// The installation manager reads the value into a buffer of this size.
constexpr std::size_t kTransferDirectoryBufferSize = 260;

std::optional<std::string> ReadTransferDirectory(platform::IRegistry& registry) {
  platform::RegistryValue value;
  if (registry.QueryValue(kPlatformKey, kTransferDirectoryValue, value) != platform::kRegOk ||
      value.data.size() > kTransferDirectoryBufferSize) {
    return std::nullopt;
  }
  std::string text(value.data.begin(), value.data.end());
  return text.substr(0, text.find('\0'));
}

}  // namespace

int CheckConfiguration(platform::IRegistry& registry, const std::string& where, std::FILE* out,
                       std::FILE* errors) {
  const std::vector<std::string> problems = registry.Problems();
  if (!problems.empty()) {
    for (const std::string& problem : problems) std::fprintf(errors, "%s\n", problem.c_str());
    std::fprintf(errors, "%s: %zu problem(s); the service would not start\n", where.c_str(),
                 problems.size());
    return 1;
  }

  // Checked first: over a malformed value the service would not start at all.
  AccessSettings access;
  std::vector<std::string> accessProblems;
  if (!ReadAccessSettings(registry, access, accessProblems)) {
    for (const std::string& problem : accessProblems) {
      std::fprintf(errors, "%s\n", problem.c_str());
    }
    std::fprintf(errors, "%s: %zu problem(s); the service would not start\n", where.c_str(),
                 accessProblems.size());
    return 1;
  }

  std::fprintf(out, "Configuration store: %s\n", where.c_str());
  // Listing and discovery read the store only, never link to instruments.
  CDeviceRegistry devices(registry, platform::InstrumentLinker());
  std::vector<std::string> materialNumbers;
  devices.ListMaterialNumbers(materialNumbers);
  std::fprintf(out, "Devices: %zu\n", materialNumbers.size());
  const std::vector<std::optional<std::string>> serialNumbers =
      devices.SerialNumbersOf(materialNumbers);
  for (std::size_t i = 0; i < materialNumbers.size(); ++i) {
    const std::string& materialNumber = materialNumbers[i];
    if (serialNumbers[i]) {
      std::fprintf(out, "  material number %s, serial number %s\n", materialNumber.c_str(),
                   serialNumbers[i]->c_str());
    } else {
      std::fprintf(out,
                   "  material number %s, no serial number in discovery (the material number is "
                   "not a plain string value)\n",
                   materialNumber.c_str());
    }
  }
  std::fprintf(out, "  material number %s, serial number 000001 (the service itself)\n",
               kToolEquipmentNumber);

  if (std::optional<std::string> group = ReadStoredDeviceGroup(registry)) {
    std::fprintf(out, "Device group: %s\n", group->c_str());
  } else {
    std::fprintf(out, "Device group: %s (\"%s\" is missing or malformed; the service stores %s)\n",
                 kDefaultDeviceGroup, kDeviceGroupValue, kDefaultDeviceGroup);
  }

  if (std::optional<std::string> directory = ReadTransferDirectory(registry)) {
    std::fprintf(out, "Transfer directory: %s\n", directory->c_str());
  } else {
    std::fprintf(out, "Transfer directory: %s (default; \"%s\" is not set under %s)\n",
                 kDefaultTransferDirectory, kTransferDirectoryValue, kPlatformKey);
  }

  if (access.allowedClients) {
    std::fprintf(out, "Allowed clients: %s\n", access.allowedClients->Describe().c_str());
  } else {
    std::fprintf(out, "Allowed clients: every client (\"%s\" is not set)\n", kAllowedClientsValue);
  }
  if (access.listenAddress) {
    std::fprintf(out, "Listen address: %s\n",
                 platform::FormatAddress(*access.listenAddress).c_str());
  } else {
    std::fprintf(out, "Listen address: every interface (\"%s\" is not set)\n", kListenAddressValue);
  }
  std::fprintf(out, "Restrict transfers: %s\n",
               access.restrictTransfers ? "yes (files only inside the transfer directory)"
                                        : "no (a package may name any path)");
  std::fprintf(out, "Allow relay: %s\n",
               access.allowRelay ? "yes (tools may reach other servers through this one)"
                                 : "no (requests to relay are refused)");
  if (access.trustedKeysPath) {
    std::fprintf(out, "Trusted package keys: %s (%zu key(s); every package must be signed)\n",
                 access.trustedKeysPath->c_str(), access.trustedKeys.size());
    for (const TrustedKey& key : access.trustedKeys) {
      std::fprintf(out, "  SHA-256 %s\n", key.fingerprint.c_str());
    }
  } else {
    std::fprintf(out, "Trusted package keys: none (\"%s\" is not set; packages are not checked)\n",
                 kTrustedPackageKeysValue);
  }
  return 0;
}
