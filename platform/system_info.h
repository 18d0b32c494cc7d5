#pragma once

#include <string>

namespace platform {

// A new GUID in the 38-character registry form with braces and upper-case
// hexadecimal digits: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
std::string CreateGuidText();

// This computer's host name (gethostname).
std::string HostName();

}  // namespace platform
