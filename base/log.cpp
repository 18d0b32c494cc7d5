#include "base/log.h"

#include <algorithm>
#include <array>
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
  // One pass over the text, comparing only where a word can start: this
  // runs for every line the process logs.
  static constexpr const char* kErrorWords[] = {"Error",    "error",  "failed",
                                                "Failed",   "Unable", "exception",
                                                "returned", "Cannot", "Out of memory"};
  static constexpr auto kStarts = [] {
    std::array<bool, 256> starts{};
    for (const char* word : kErrorWords) starts[static_cast<unsigned char>(word[0])] = true;
    return starts;
  }();
  for (const char* at = text; *at != '\0'; ++at) {
    if (!kStarts[static_cast<unsigned char>(*at)]) continue;
    for (const char* word : kErrorWords) {
      if (*at == word[0] && StartsWith(at, word)) return platform::DebugPriority::kError;
    }
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

// Lines are laid out as snprintf(line, kLineBufferSize, "%s: %s\n", name,
// message) would, with the message cut to kMessageBufferSize - 1 bytes
// first: the prefix, then the message straight behind it.
namespace {

std::size_t PutPrefix(char* line, const char* name) {
  std::size_t at = std::min(std::strlen(name), kLineBufferSize - 1);
  std::memcpy(line, name, at);
  for (char c : {':', ' '}) {
    if (at < kLineBufferSize - 1) line[at++] = c;
  }
  return at;
}

// Room for the message behind a prefix of `start` bytes, its NUL included.
std::size_t MessageRoom(std::size_t start) {
  return std::min(kLineBufferSize - start, kMessageBufferSize);
}

void FinishLine(char* line, std::size_t length, platform::DebugPriority priority) {
  if (length < kLineBufferSize - 1) line[length++] = '\n';
  line[length] = '\0';
  WriteDebugLine(line, priority);
}

}  // namespace

void WriteLogLine(const char* name, const char* format, va_list args) {
  char line[kLineBufferSize];
  const std::size_t start = PutPrefix(line, name);
  const std::size_t room = MessageRoom(start);
  const int formatted = std::vsnprintf(line + start, room, format, args);
  const std::size_t message =
      formatted < 0 ? 0 : std::min(static_cast<std::size_t>(formatted), room - 1);
  FinishLine(line, start + message, PriorityOfMessage(format));
}

void WriteLogText(const char* name, std::initializer_list<std::string_view> message,
                  platform::DebugPriority priority) {
  char line[kLineBufferSize];
  const std::size_t start = PutPrefix(line, name);
  const std::size_t limit = start + MessageRoom(start) - 1;
  std::size_t at = start;
  for (std::string_view part : message) {
    const std::size_t taken = std::min(part.size(), limit - at);
    std::memcpy(line + at, part.data(), taken);
    at += taken;
  }
  FinishLine(line, at, priority);
}

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLogLine("VORN", format, args);
  va_end(args);
}
