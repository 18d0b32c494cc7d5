#include "service/log.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kMessageBufferSize = 2000;
constexpr std::size_t kLineBufferSize = 2048;

std::atomic<LogSink> logSink{nullptr};

bool StartsWith(const char* text, const char* start) {
  return std::strncmp(text, start, std::strlen(start)) == 0;
}

}  // namespace

platform::DebugPriority PriorityOfMessage(const char* format) {
  if (format == nullptr) return platform::DebugPriority::kInformation;
  const char* text = format;
  if (StartsWith(text, "Socket[")) {
    const char* tagEnd = std::strstr(text, "]: ");
    if (tagEnd != nullptr) text = tagEnd + 3;
  }
  if (StartsWith(text, "Warning") || StartsWith(text, "Info")) {
    return platform::DebugPriority::kInformation;
  }
  static const char* const kErrorWords[] = {"Error",    "error",  "failed",
                                            "Failed",   "Unable", "exception",
                                            "returned", "Cannot", "Out of memory"};
  for (const char* word : kErrorWords) {
    if (std::strstr(text, word) != nullptr) return platform::DebugPriority::kError;
  }
  return platform::DebugPriority::kInformation;
}

void SetLogSink(LogSink sink) { logSink.store(sink); }

void WriteDebugLine(const char* line, platform::DebugPriority priority) {
  LogSink sink = logSink.load();
  if (sink != nullptr) {
    sink(line);
  } else {
    platform::DebugOutput(line, priority);
  }
}

void WriteDebugLine(const char* line) { WriteDebugLine(line, PriorityOfMessage(line)); }

// vsnprintf and snprintf always terminate and never write past the given
// size, so an over-long message is cut instead of overrunning either buffer.
void WriteLogLine(const char* name, const char* format, va_list args) {
  char message[kMessageBufferSize];
  if (std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';
  char line[kLineBufferSize];
  if (std::snprintf(line, sizeof line, "%s: %s\n", name, message) < 0) return;
  WriteDebugLine(line, PriorityOfMessage(format));
}

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLogLine("VORN", format, args);
  va_end(args);
}
