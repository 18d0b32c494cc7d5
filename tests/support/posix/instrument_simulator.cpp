#include "tests/support/instrument_simulator.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

struct CInstrumentSimulator::Process {
  pid_t pid = -1;
  int input = -1;   // our end of its standard input
  int output = -1;  // our end of its standard output
};

namespace {
constexpr std::uint32_t kReadyTimeoutMs = 10000;
const char* kSimulatorPath = VORN_BINARY_DIR "/tools/vorn-instrument-sim/vorn-instrument-sim";
}  // namespace

CInstrumentSimulator::CInstrumentSimulator() = default;
CInstrumentSimulator::~CInstrumentSimulator() { Stop(); }

bool CInstrumentSimulator::Start(const std::vector<std::string>& arguments, std::string& error) {
  Stop();
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return error = "pipe", false;
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return error = "pipe", false;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(kSimulatorPath));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(toChild[0], STDIN_FILENO);
    ::dup2(fromChild[1], STDOUT_FILENO);
    ::execv(kSimulatorPath, argv.data());
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  process_ = std::make_unique<Process>();
  process_->pid = pid;
  process_->input = toChild[1];
  process_->output = fromChild[0];
  if (pid < 0) {
    Stop();
    return error = "fork", false;
  }
  std::string line;
  if (!ReadLine(line, kReadyTimeoutMs) || line.rfind("ready ", 0) != 0) {
    error = "no ready line from " + std::string(kSimulatorPath) + " (got \"" + line + "\")";
    Stop();
    return false;
  }
  return true;
}

bool CInstrumentSimulator::ReadLine(std::string& line, std::uint32_t timeoutMs) {
  line.clear();
  if (!process_) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd = {process_->output, POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[512];
    ssize_t got = ::read(process_->output, buffer, sizeof buffer);
    if (got <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

void CInstrumentSimulator::Stop() {
  if (!process_) return;
  if (process_->input >= 0) ::close(process_->input);
  if (process_->pid > 0) {
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 500 && !ended; ++i) {  // up to 5 s
      ended = ::waitpid(process_->pid, &status, WNOHANG) == process_->pid;
      if (!ended) ::usleep(10000);
    }
    if (!ended) {
      ::kill(process_->pid, SIGKILL);
      ::waitpid(process_->pid, &status, 0);
    }
  }
  if (process_->output >= 0) ::close(process_->output);
  process_.reset();
  pending_.clear();
}

std::string UniqueInstrumentKey(const std::string& prefix) {
  static int counter = 0;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(now.tv_nsec % 100000) +
         "-" + std::to_string(++counter);
}

bool InstrumentSeesTheLastReferenceGo() { return true; }
