// OutputDebugStringA delivers each line whole and in order and returns once
// the debugger (or nobody) has taken it, so there is nothing to queue.
#include "platform/debug_output.h"

#include "platform/win32/windows_api.h"

namespace platform {

void DebugOutput(const char* line, DebugPriority) { OutputDebugStringA(line); }

bool FlushDebugOutput(std::uint32_t) { return true; }

}  // namespace platform
