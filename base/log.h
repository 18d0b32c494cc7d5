#pragma once

#include <cstdarg>
#include <initializer_list>
#include <string_view>

#include "platform/debug_output.h"

// Process-wide diagnostic log: "VORN: <message>\n" on the debugger output.
// The message is cut to fit its 2000-byte buffer. Callable from any thread;
// no lock is held while the line is formatted, and lines are written whole
// and in the order in which they were logged.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Builds the log line "<name>: <message>\n" into a 2048-byte buffer on the
// caller's stack and hands it on; shared by Log and CInstallServer::Log.
void WriteLogLine(const char* name, const char* format, va_list args);
// The same line for a message given in parts instead of a format, with the
// same cuts and the priority its format would have had: for lines written
// so often that formatting them shows.
void WriteLogText(const char* name, std::initializer_list<std::string_view> message,
                  platform::DebugPriority priority);

// Whether a message reports an error, judged by its fixed text (the format),
// so that what a client sent or a device is called never changes it: it
// names an error or a failure ("Error", "error", "failed", "Failed",
// "Unable", "exception", "Out of memory", a system call that "returned" a
// code), unless it is a warning or a notice ("Warning...", "Info...", also
// behind a "Socket[...]: " tag).
platform::DebugPriority PriorityOfMessage(const char* format);

// Where finished lines go: platform::DebugOutput unless a test diverts them.
// Every line of the process, the thread guard's included, passes through
// WriteDebugLine so that a diverted sink sees all of them. The sink is
// called on the logging thread, so each thread's lines reach it in order.
using LogSink = void (*)(const char* line);
void SetLogSink(LogSink sink);  // nullptr restores the debugger output
// A line written as it is (no prefix added); its priority is judged from the
// line itself.
void WriteDebugLine(const char* line);
void WriteDebugLine(const char* line, platform::DebugPriority priority);
