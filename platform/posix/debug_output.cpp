// Standard error stands in for the debugger output. One write per line keeps
// lines from different threads and processes whole.
#include "platform/debug_output.h"

#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/posix/retry_interrupted.h"

namespace platform {

void DebugOutput(const char* line) {
  if (line == nullptr) return;
  std::string text(line);
  if (text.empty() || text.back() != '\n') text.push_back('\n');
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = posix::RetryInterrupted(
        [&] { return write(STDERR_FILENO, text.data() + written, text.size() - written); });
    if (n <= 0) return;  // nowhere to report a failing standard error
    written += static_cast<std::size_t>(n);
  }
}

}  // namespace platform
