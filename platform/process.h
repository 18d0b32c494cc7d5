#pragma once
// Starting the programs that packages bring. Behind an interface so that the
// installation engine can be tested with a scripted stand-in.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using ProcessHandle = void*;

class IProcessApi {
 public:
  virtual ~IProcessApi() = default;

  // CreateProcessA with the whole command line (no application name, no
  // handle inheritance, the service's environment) in workingDirectory.
  // 0 and the process, or the system error code (Windows numbering).
  virtual std::uint32_t Start(const std::string& commandLine, const std::string& workingDirectory,
                              ProcessHandle& process) = 0;
  // True when the process has ended within timeoutMs.
  virtual bool Wait(ProcessHandle process, std::uint32_t timeoutMs) = 0;
  // GetExitCodeProcess of a process that has ended.
  virtual bool ExitCode(ProcessHandle process, std::uint32_t& code) = 0;
  // Forgets the process; one that still runs goes on running on its own.
  virtual void Close(ProcessHandle process) = 0;
  // A transferred program arrives as plain data: make it runnable (the
  // execute bits on posix; nothing to do on Windows).
  virtual void MakeExecutable(const std::string& path) = 0;
};

IProcessApi& Processes();

// Splits a command line into arguments the way the Windows C runtime does for
// main(): the first argument ends at white space or, when it starts with a
// double quote, at the next one; later arguments follow the backslash and
// double quote rules (2n backslashes + quote: n backslashes and the quote
// toggles quoting; 2n+1: n backslashes and a literal quote; "" inside quotes:
// a literal quote).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

}  // namespace platform
