#pragma once
// Installs one package on one server and reports its progress: the
// console's jobs run this once per target. The real one drives the client
// library's session as vornctl install does; the benchmark gives its own.

#include <atomic>
#include <functional>
#include <string>

#include "tools/vornctl/console/server_link.h"
#include "tools/vornctl/package_input.h"

namespace vornctl::console {

struct InstallResult {
  enum Kind { kSucceeded, kFailed, kRebootRequired } kind = kFailed;
  std::string text;  // the server's last text, or why it failed
};

using ProgressReport = std::function<void(int percent, int state, const std::string& text)>;

using TargetInstaller =
    std::function<InstallResult(const ServerLink& link, const std::string& device,
                                const Package& package, const ProgressReport& progress)>;

InstallResult InstallOnServer(const ServerLink& link, const std::string& device,
                              const Package& package, const ProgressReport& progress);

// Asks the server to reboot its computer; empty, or why it failed.
std::string RebootServer(const ServerLink& link, const std::string& device);

// A state word of the progress (transfer, run, installing, ERR, SUCC, BOOT).
const char* StateWord(int state);

}  // namespace vornctl::console
