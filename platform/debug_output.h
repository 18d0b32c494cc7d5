#pragma once

namespace platform {

// Writes one finished line to the debugger output (OutputDebugStringA on
// Windows, one write to standard error elsewhere).
void DebugOutput(const char* line);

}  // namespace platform
