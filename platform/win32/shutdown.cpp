#include "platform/shutdown.h"

#include "platform/win32/windows_api.h"

namespace platform {
namespace {

class CWindowsShutdown : public ISystemShutdown {
 public:
  bool Reboot(const std::string&) override {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
      return false;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege",
                                         &privileges.Privileges[0].Luid) != 0 &&
                   AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) != 0;
    // A privilege that the account does not hold "succeeds" with
    // ERROR_NOT_ALL_ASSIGNED.
    enabled = enabled && ::GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    if (!enabled) return false;
    return ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0) != 0;
  }
};

}  // namespace

ISystemShutdown& SystemShutdown() {
  static CWindowsShutdown shutdown;
  return shutdown;
}

}  // namespace platform
