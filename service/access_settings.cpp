#include "service/access_settings.h"

#include "install/transfer_restriction.h"
#include "platform/registry.h"
#include "service/install_server.h"

namespace {

std::string Problem(const char* value, const std::string& what) {
  return std::string("\"") + value + "\" under HKEY_LOCAL_MACHINE\\" +
         CInstallServer::kConfigurationKey + " " + what;
}

// A REG_SZ text: nullopt when the value is missing; `error` set when it is
// not a plain string (another type, or a zero byte before its terminator).
std::optional<std::string> ReadText(platform::IRegistry& registry, const char* name,
                                    std::string& error) {
  platform::RegistryValue value;
  const long result = registry.QueryValue(CInstallServer::kConfigurationKey, name, value);
  if (result == platform::kRegNotFound) return std::nullopt;
  if (result != platform::kRegOk) {
    error = "cannot be read (error " + std::to_string(result) + ")";
    return std::nullopt;
  }
  if (value.type != platform::kRegSz) {
    error = "is not a REG_SZ string";
    return std::nullopt;
  }
  std::string text(value.data.begin(), value.data.end());
  if (!text.empty() && text.back() == '\0') text.pop_back();
  if (text.find('\0') != std::string::npos) {
    error = "holds a zero byte inside the text";
    return std::nullopt;
  }
  return text;
}

// A REG_DWORD switch of 0 or 1; `fallback` when the value is missing, nullopt
// with `error` set when it is anything else.
std::optional<bool> ReadSwitch(platform::IRegistry& registry, const char* name, bool fallback,
                               std::string& error) {
  platform::RegistryValue value;
  const long result = registry.QueryValue(CInstallServer::kConfigurationKey, name, value);
  if (result == platform::kRegNotFound) return fallback;
  if (result != platform::kRegOk) {
    error = "cannot be read (error " + std::to_string(result) + ")";
    return std::nullopt;
  }
  if (value.type != platform::kRegDword || value.data.size() != 4) {
    error = "is not a REG_DWORD";
    return std::nullopt;
  }
  std::uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = (number << 8) | value.data[static_cast<std::size_t>(i)];
  if (number > 1) {
    error = "is " + std::to_string(number) + ", not 0 or 1";
    return std::nullopt;
  }
  return number == 1;
}

}  // namespace

bool ReadAccessSettings(platform::IRegistry& registry, AccessSettings& settings,
                        std::vector<std::string>& problems) {
  settings = AccessSettings{};
  const std::size_t before = problems.size();

  std::string error;
  if (std::optional<std::string> text = ReadText(registry, kAllowedClientsValue, error)) {
    settings.allowedClients = CClientNetworks::Parse(*text, error);
  }
  if (!error.empty()) {
    problems.push_back(Problem(kAllowedClientsValue, error));
    error.clear();
  }

  if (std::optional<std::string> text = ReadText(registry, kListenAddressValue, error)) {
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

  if (std::optional<bool> allow = ReadSwitch(registry, kAllowRelayValue, true, error)) {
    settings.allowRelay = *allow;
  } else {
    problems.push_back(Problem(kAllowRelayValue, error));
  }
  return problems.size() == before;
}
