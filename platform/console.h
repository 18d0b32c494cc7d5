#pragma once

namespace platform {

// True when standard output is an interactive terminal (a console window on
// Windows), false for a pipe or a file.
bool StandardOutputIsTerminal();

}  // namespace platform
