#pragma once
// Where the service's log goes while a benchmark measures: the real log path
// (Log and WriteDebugLine to the debugger output, which is standard error on
// Linux) with standard error turned into a pipe that a thread drains, as
// under systemd, or into /dev/null. The benchmark's own messages go to the
// original standard error through Console().

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

namespace vorn_bench {

class CLogTarget {
 public:
  CLogTarget() : console_(fdopen(dup(STDERR_FILENO), "w")) {}
  ~CLogTarget() {
    Restore();
    if (console_ != nullptr) std::fclose(console_);
  }
  CLogTarget(const CLogTarget&) = delete;
  CLogTarget& operator=(const CLogTarget&) = delete;

  FILE* Console() { return console_ != nullptr ? console_ : stdout; }

  // A reader that keeps up: every byte is read as soon as it arrives.
  void UsePipe() {
    int ends[2];
    if (pipe(ends) != 0) return;
    std::thread drainer([fd = ends[0]] {
      std::vector<char> buffer(64 * 1024);
      while (read(fd, buffer.data(), buffer.size()) > 0) {
      }
      close(fd);
    });
    Switch(ends[1]);
    drainer_ = std::move(drainer);
  }

  void UseDevNull() { Switch(open("/dev/null", O_WRONLY)); }

  // Standard error as it was.
  void Restore() {
    if (console_ != nullptr) Switch(dup(fileno(console_)));
  }

 private:
  // Puts fd in the place of standard error at once (lines still being
  // written by late threads go to one target or the other, never to the
  // terminal); a pipe replaced so sees its end, and its reader stops.
  void Switch(int fd) {
    if (fd < 0) return;
    dup2(fd, STDERR_FILENO);
    close(fd);
    if (drainer_.joinable()) drainer_.join();
  }

 private:
  FILE* console_;
  std::thread drainer_;
};

}  // namespace vorn_bench
