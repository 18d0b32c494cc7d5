#pragma once
// Restarting the computer. Dangerous by nature: callers reach it only through
// the installation manager, tests through a configured harmless command.

#include <string>

namespace platform {

class ISystemShutdown {
 public:
  virtual ~ISystemShutdown() = default;
  // Forces a restart at once. Windows: enables the shutdown privilege and
  // calls ExitWindowsEx(EWX_REBOOT | EWX_FORCE); command is not used.
  // Elsewhere: runs command (split like a Windows command line, no shell)
  // and succeeds when it exits with 0; an empty command fails.
  virtual bool Reboot(const std::string& command) = 0;
};

ISystemShutdown& SystemShutdown();

}  // namespace platform
