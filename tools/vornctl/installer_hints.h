#pragma once

#include <string>

namespace vornctl {

// One line that explains a Windows Installer result named in the server's
// text (1618, 1603, 3010, 1641); empty when it names none of them.
std::string InstallerHint(const std::string& serverText);

}  // namespace vornctl
