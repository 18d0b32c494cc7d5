#pragma once
// The subcommands of vornctl, each given its parsed options; each returns
// the process exit code (exit_codes.h).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vornctl {

struct Relay;

// How long an installation may take from its start to its result, however
// busy the server stays meanwhile (--install-timeout; 0: no limit).
inline constexpr std::uint32_t kDefaultInstallTimeoutSeconds = 3600;

struct DiscoverOptions {
  std::uint32_t timeoutMs = 2000;
  std::optional<std::string> group;
  std::vector<std::string> equipmentNumbers;
  bool json = false;
};

struct InstallOptions {
  std::string host;
  std::string device;
  std::string description;
  std::optional<std::string> dataFile;
  std::optional<std::string> container;  // FILE::NAME
  std::optional<std::string> signature;  // default: DATAFILE.sig when it exists
  bool reboot = false;
  std::uint32_t timeoutSeconds = 30;
  std::uint32_t installTimeoutSeconds = kDefaultInstallTimeoutSeconds;
  bool json = false;  // one object at the end instead of the progress and the last line
  std::string via;    // --via HOST --to VORNID...: relayed through HOST
  std::vector<std::string> to;
};

struct ScanOptions {
  std::string host;
  std::uint32_t timeoutMs = 2000;
  std::string mode = "ALL";
  std::optional<std::string> group;
  std::vector<std::string> equipmentNumbers;
  bool json = false;
};

struct RolloutOptions {
  std::optional<std::string> group;
  std::vector<std::string> equipmentNumbers;
  unsigned parallel = 8;
  std::uint32_t installTimeoutSeconds = kDefaultInstallTimeoutSeconds;
  std::string device;
  std::string description;
  std::optional<std::string> dataFile;
  std::optional<std::string> signature;
  bool json = false;
};

int RunDiscover(const DiscoverOptions& options);
int RunScan(const ScanOptions& options);
int RunRollout(const RolloutOptions& options);
int RunIdentify(const std::string& host, const std::optional<std::string>& device, bool json,
                const Relay& relay);
int RunDevices(const std::string& host, bool json, const Relay& relay);
int RunErrors(const std::string& host, const std::optional<std::string>& device);
int RunSend(const std::string& host, const std::optional<std::string>& device,
            const std::vector<std::string>& commands, const Relay& relay);
int RunInstall(const InstallOptions& options);
int RunReboot(const std::string& host, const std::string& device, bool json);

}  // namespace vornctl
