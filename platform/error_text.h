#pragma once

#include <string>

namespace platform {

// The operating system's own text for a Winsock error number, as it comes
// (Windows ends it with CR LF); empty when the system has none.
std::string SystemErrorText(int winsockError);

}  // namespace platform
