// Programs of packages on posix: fork and exec with the arguments that the
// Windows C runtime would have made of the command line, no shell between.
// The child starts clean: default signal mask and dispositions, standard
// input from /dev/null, and none of the service's other descriptors (its
// listening sockets must not outlive the service in a program that keeps
// running).
#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/posix/retry_interrupted.h"

namespace platform {
namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorDirectory = 267;  // ERROR_DIRECTORY: bad working directory
constexpr std::uint32_t kErrorBadExeFormat = 193;
constexpr std::uint32_t kErrorGenFailure = 31;
constexpr std::uint32_t kWaitSliceMs = 10;
// How long an exec waits for a program that is briefly held open for writing:
// 200 tries 10 ms apart.
constexpr int kTextBusyAttempts = 200;
constexpr long kTextBusyPauseNs = 10L * 1000 * 1000;

// errno of a failed start in the numbers that CreateProcessA's callers see.
std::uint32_t StartError(int error, bool inWorkingDirectory) {
  if (inWorkingDirectory) return kErrorDirectory;
  switch (error) {
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    case ENOMEM:
    case EAGAIN:
      return kErrorNotEnoughMemory;
    case ENOEXEC:
      return kErrorBadExeFormat;
    default:
      return kErrorGenFailure;
  }
}

struct ChildProcess {
  pid_t pid;
  bool reaped = false;
  int status = 0;
};

// What the child reports through the pipe when it cannot exec: the step that
// failed and its errno.
struct ChildFailure {
  int inWorkingDirectory;
  int error;
};

[[noreturn]] void RunChild(char* const* argv, const char* workingDirectory, int reportFd) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  ChildFailure failure{0, 0};
  const int input = open("/dev/null", O_RDONLY);
  if (input >= 0 && input != STDIN_FILENO) {
    dup2(input, STDIN_FILENO);
    close(input);
  }
  // Keep only the standard descriptors and the report pipe (moved to 3).
  if (reportFd != 3) {
    if (dup3(reportFd, 3, O_CLOEXEC) < 0) _exit(127);
    reportFd = 3;
  }
  syscall(SYS_close_range, 4u, ~0u, 0u);
  if (workingDirectory[0] != '\0' && chdir(workingDirectory) != 0) {
    failure = {1, errno};
  } else {
    // A program that was just transferred may still be open for writing in
    // the child of another thread's fork, until that child execs: exec then
    // fails with ETXTBSY for a moment, so a short wait is not a failure.
    for (int attempt = 0;; ++attempt) {
      execvp(argv[0], argv);
      if (errno != ETXTBSY || attempt == kTextBusyAttempts) break;
      const timespec pause{0, kTextBusyPauseNs};
      nanosleep(&pause, nullptr);
    }
    failure = {0, errno};
  }
  ssize_t ignored = write(reportFd, &failure, sizeof failure);
  (void)ignored;
  _exit(127);
}

class CPosixProcesses : public IProcessApi {
 public:
  std::uint32_t Start(const std::string& commandLine, const std::string& workingDirectory,
                      ProcessHandle& process) override {
    process = nullptr;
    std::vector<std::string> arguments = SplitCommandLine(commandLine);
    if (arguments.empty() || arguments.front().empty()) return kErrorFileNotFound;
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return StartError(errno, false);
    const pid_t pid = fork();
    if (pid < 0) {
      const int error = errno;
      close(report[0]);
      close(report[1]);
      return StartError(error, false);
    }
    if (pid == 0) RunChild(argv.data(), workingDirectory.c_str(), report[1]);
    close(report[1]);
    ChildFailure failure{};
    const ssize_t n =
        posix::RetryInterrupted([&] { return read(report[0], &failure, sizeof failure); });
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof failure)) {
      posix::RetryInterrupted([&] { return waitpid(pid, nullptr, 0); });
      return StartError(failure.error, failure.inWorkingDirectory != 0);
    }
    process = new ChildProcess{pid};
    return 0;
  }

  bool Wait(ProcessHandle process, std::uint32_t timeoutMs) override {
    auto* child = static_cast<ChildProcess*>(process);
    if (child == nullptr || child->reaped) return true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const pid_t done =
          posix::RetryInterrupted([&] { return waitpid(child->pid, &child->status, WNOHANG); });
      if (done == child->pid || done < 0) {
        if (done < 0) child->status = -1;
        child->reaped = true;
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSliceMs));
    }
  }

  bool ExitCode(ProcessHandle process, std::uint32_t& code) override {
    auto* child = static_cast<ChildProcess*>(process);
    if (child == nullptr || !child->reaped || child->status < 0) return false;
    if (WIFEXITED(child->status)) {
      code = static_cast<std::uint32_t>(WEXITSTATUS(child->status));
    } else {
      code = 128u + static_cast<std::uint32_t>(WTERMSIG(child->status));
    }
    return true;
  }

  void Close(ProcessHandle process) override {
    auto* child = static_cast<ChildProcess*>(process);
    if (child == nullptr) return;
    if (!child->reaped) {
      // Nobody waits for it any more; reap it when it ends so that it does
      // not stay behind as a zombie for the life of the service.
      const pid_t pid = child->pid;
      std::thread([pid] {
        posix::RetryInterrupted([&] { return waitpid(pid, nullptr, 0); });
      }).detach();
    }
    delete child;
  }

  void MakeExecutable(const std::string& path) override {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    // Execute wherever read is allowed, as chmod +x does under a usual umask.
    const mode_t read = info.st_mode & (S_IRUSR | S_IRGRP | S_IROTH);
    chmod(path.c_str(), info.st_mode | S_IXUSR | (read >> 2));
  }
};

}  // namespace

IProcessApi& Processes() {
  static CPosixProcesses processes;
  return processes;
}

}  // namespace platform
