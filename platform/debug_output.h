#pragma once
// The debugger output that the diagnostic log goes to: OutputDebugStringA on
// Windows, standard error elsewhere.

#include <cstdint>

namespace platform {

// What a line reports; only standard error under systemd shows it (as the
// syslog priority prefix that journald reads).
enum class DebugPriority { kInformation, kError };

// Hands one finished line to the debugger output. On Windows the line is
// passed on at once. Elsewhere it is queued for one writer thread that
// writes many lines with one write(2), so the caller never waits for the
// reader of standard error; when the reader falls so far behind that the
// queue is full, the line is dropped and counted, and a line telling how many
// were dropped takes their place once there is room again.
void DebugOutput(const char* line, DebugPriority priority = DebugPriority::kInformation);

// Waits until every line handed over so far has been written, at most
// timeoutMs milliseconds; false when the reader did not take them in time.
// Lines are also written out when the process ends (normally or through
// exit), within a bounded time.
bool FlushDebugOutput(std::uint32_t timeoutMs);

}  // namespace platform
