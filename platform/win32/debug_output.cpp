#include "platform/debug_output.h"

#include "platform/win32/windows_api.h"

namespace platform {

void DebugOutput(const char* line) { OutputDebugStringA(line); }

}  // namespace platform
