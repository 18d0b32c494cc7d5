#include "service/log.h"

#include <atomic>
#include <cstdio>

#include "platform/debug_output.h"

namespace {

constexpr std::size_t kMessageBufferSize = 2000;
constexpr std::size_t kLineBufferSize = 2048;

std::atomic<LogSink> logSink{nullptr};

}  // namespace

void SetLogSink(LogSink sink) { logSink.store(sink); }

void WriteDebugLine(const char* line) {
  LogSink sink = logSink.load();
  if (sink != nullptr) {
    sink(line);
  } else {
    platform::DebugOutput(line);
  }
}

// vsnprintf and snprintf always terminate and never write past the given
// size, so an over-long message is cut instead of overrunning either buffer.
void WriteLogLine(const char* name, const char* format, va_list args) {
  char message[kMessageBufferSize];
  if (std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
  char line[kLineBufferSize];
  if (std::snprintf(line, sizeof line, "%s: %s\n", name, message) < 0) return;
  WriteDebugLine(line);
}

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLogLine("VORN", format, args);
  va_end(args);
}
