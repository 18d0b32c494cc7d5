#include "platform/console.h"

#include "platform/win32/windows_api.h"

namespace platform {

// Only a console handle has a console mode; pipes and files fail the call.
bool StandardOutputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

}  // namespace platform
