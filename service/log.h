#pragma once

#include <cstdarg>

// Process-wide diagnostic log without a lock: "VORN: <message>\n" on the
// debugger output. The message is cut to fit its 2000-byte buffer.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Builds the log line "<name>: <message>\n" into a 2048-byte buffer and
// writes it; shared by Log and CInstallServer::Log.
void WriteLogLine(const char* name, const char* format, va_list args);
