#pragma once

#include <cstdarg>

// Process-wide diagnostic log without a lock: "VORN: <message>\n" on the
// debugger output. The message is cut to fit its 2000-byte buffer.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Builds the log line "<name>: <message>\n" into a 2048-byte buffer and
// writes it; shared by Log and CInstallServer::Log.
void WriteLogLine(const char* name, const char* format, va_list args);

// Where finished lines go: platform::DebugOutput unless a test diverts them.
// Every line of the process, the thread guard's included, passes through
// WriteDebugLine so that a diverted sink sees all of them.
using LogSink = void (*)(const char* line);
void SetLogSink(LogSink sink);  // nullptr restores the debugger output
void WriteDebugLine(const char* line);
