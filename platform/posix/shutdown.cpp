// The restart on posix is whatever command the administrator configured
// (systemctl reboot in production); the service never restarts a machine on
// its own.
#include "platform/shutdown.h"

#include "platform/process.h"

namespace platform {
namespace {

// A reboot command returns as soon as the restart is under way.
constexpr std::uint32_t kCommandTimeoutMs = 30000;

class CPosixShutdown : public ISystemShutdown {
 public:
  bool Reboot(const std::string& command) override {
    if (command.empty()) return false;
    IProcessApi& processes = Processes();
    ProcessHandle process = nullptr;
    if (processes.Start(command, "/", process) != 0) return false;
    std::uint32_t code = 1;
    const bool ok = processes.Wait(process, kCommandTimeoutMs) &&
                    processes.ExitCode(process, code) && code == 0;
    processes.Close(process);
    return ok;
  }
};

}  // namespace

ISystemShutdown& SystemShutdown() {
  static CPosixShutdown shutdown;
  return shutdown;
}

}  // namespace platform
