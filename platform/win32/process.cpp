#include "platform/process.h"

#include <vector>

#include "platform/win32/windows_api.h"

namespace platform {
namespace {

class CWindowsProcesses : public IProcessApi {
 public:
  std::uint32_t Start(const std::string& commandLine, const std::string& workingDirectory,
                      ProcessHandle& process) override {
    process = nullptr;
    // CreateProcessA may write into the command line.
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup,
                        &info)) {
      return static_cast<std::uint32_t>(::GetLastError());
    }
    CloseHandle(info.hThread);
    process = info.hProcess;
    return 0;
  }

  bool Wait(ProcessHandle process, std::uint32_t timeoutMs) override {
    return WaitForSingleObject(static_cast<HANDLE>(process), timeoutMs) == WAIT_OBJECT_0;
  }

  bool ExitCode(ProcessHandle process, std::uint32_t& code) override {
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(static_cast<HANDLE>(process), &exitCode)) return false;
    code = exitCode;
    return true;
  }

  void Close(ProcessHandle process) override {
    if (process != nullptr) CloseHandle(static_cast<HANDLE>(process));
  }

  void MakeExecutable(const std::string&) override {}
};

}  // namespace

IProcessApi& Processes() {
  static CWindowsProcesses processes;
  return processes;
}

}  // namespace platform
