#include "service/access_settings.h"

#include "install/configuration_values.h"
#include "install/transfer_restriction.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "service/install_server.h"

namespace {

std::string Problem(const char* value, const std::string& what) {
  return std::string("\"") + value + "\" under HKEY_LOCAL_MACHINE\\" + kConfigurationKey + " " +
         what;
}

}  // namespace

bool ReadAccessSettings(platform::IRegistry& registry, AccessSettings& settings,
                        std::vector<std::string>& problems) {
  settings = AccessSettings{};
  const std::size_t before = problems.size();

  std::string error;
  if (std::optional<std::string> text =
          ReadConfigurationText(registry, kAllowedClientsValue, error)) {
    settings.allowedClients = CClientNetworks::Parse(*text, error);
  }
  if (!error.empty()) {
    problems.push_back(Problem(kAllowedClientsValue, error));
    error.clear();
  }

  if (std::optional<std::string> text =
          ReadConfigurationText(registry, kListenAddressValue, error)) {
    settings.listenAddress = ParseIpv4Address(*text);
    if (!settings.listenAddress) {
      error = "\"" + *text + "\" is not one IPv4 address (a.b.c.d)";
    }
  }
  if (!error.empty()) {
    problems.push_back(Problem(kListenAddressValue, error));
    error.clear();
  }

  if (std::optional<bool> restrict = ReadRestrictTransfers(registry, error)) {
    settings.restrictTransfers = * restrict;
  } else {
    problems.push_back(Problem(kRestrictTransfersValue, error));
    error.clear();
  }

  settings.trustedKeysPath = ReadTrustedKeysPath(registry, error);
  if (!error.empty()) {
    problems.push_back(Problem(kTrustedPackageKeysValue, error));
  } else if (settings.trustedKeysPath &&
             !LoadTrustedKeys(*settings.trustedKeysPath, settings.trustedKeys, error)) {
    problems.push_back(
        Problem(kTrustedPackageKeysValue,
                "names the key file " + *settings.trustedKeysPath + ", which " + error));
  }
  error.clear();

  if (std::optional<bool> allow =
          ReadConfigurationSwitch(registry, kAllowRelayValue, true, error)) {
    settings.allowRelay = *allow;
  } else {
    problems.push_back(Problem(kAllowRelayValue, error));
  }
  return problems.size() == before;
}
