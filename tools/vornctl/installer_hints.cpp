#include "tools/vornctl/installer_hints.h"

#include <cctype>

namespace vornctl {
namespace {

// The number stands on its own in the text (not part of a longer number).
bool Names(const std::string& text, const std::string& number) {
  for (std::size_t at = text.find(number); at != std::string::npos;
       at = text.find(number, at + 1)) {
    const bool before = at == 0 || !std::isdigit(static_cast<unsigned char>(text[at - 1]));
    const std::size_t end = at + number.size();
    const bool after = end >= text.size() || !std::isdigit(static_cast<unsigned char>(text[end]));
    if (before && after) return true;
  }
  return false;
}

}  // namespace

std::string InstallerHint(const std::string& serverText) {
  if (Names(serverText, "1618")) {
    return "hint: another installation is running on the instrument computer; wait until it "
           "has finished and try again";
  }
  if (Names(serverText, "1603")) {
    return "hint: fatal error during installation; the Windows Installer log (%TEMP%\\MSI*.log) "
           "and the Application event log of the instrument computer say why";
  }
  if (Names(serverText, "3010") || Names(serverText, "1641")) {
    return "hint: the installation needs a reboot of the instrument computer "
           "(vornctl reboot HOST --device ID)";
  }
  return std::string();
}

}  // namespace vornctl
