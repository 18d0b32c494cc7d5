#pragma once

#include <cstdarg>

// Something that writes log lines under a name of its own (the server writes
// "VORN: ..."). A part that logs through its owner takes one of these and
// knows nothing else of the owner.
class ILogTarget {
 public:
  virtual ~ILogTarget() = default;

  virtual void LogArgs(const char* format, std::va_list args) = 0;

  void Log(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    std::va_list args;
    va_start(args, format);
    LogArgs(format, args);
    va_end(args);
  }
};
