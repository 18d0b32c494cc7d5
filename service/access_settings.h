#pragma once
// Who may reach the service and where it listens: "AllowedClients",
// "ListenAddress", "RestrictTransfers" and "AllowRelay" next to
// "DeviceGroup". Each is absent by default, and the service then serves every
// client on every interface, writes wherever a package names and relays. A malformed value keeps
// the service from starting: a typo must not leave it open.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "install/package_signature.h"
#include "net/client_networks.h"

namespace platform {
class IRegistry;
}

inline constexpr const char* kAllowedClientsValue = "AllowedClients";
inline constexpr const char* kListenAddressValue = "ListenAddress";
// REG_DWORD 0 or 1, absent meaning 1: whether this server relays a tool's
// session to another server.
inline constexpr const char* kAllowRelayValue = "AllowRelay";

struct AccessSettings {
  std::optional<CClientNetworks> allowedClients;  // nullopt: every client
  std::optional<std::uint32_t> listenAddress;     // nullopt: every interface
  bool restrictTransfers = false;
  // "TrustedPackageKeys": the key file and the keys read from it; nullopt:
  // packages are not checked.
  std::optional<std::string> trustedKeysPath;
  std::vector<TrustedKey> trustedKeys;
  bool allowRelay = true;
};

// Reads the values (and the trusted key file). False, with one text per malformed value in
// `problems`, when the service must not start over them.
bool ReadAccessSettings(platform::IRegistry& registry, AccessSettings& settings,
                        std::vector<std::string>& problems);
