#include "platform/error_text.h"

#include "platform/win32/windows_api.h"

namespace platform {

std::string SystemErrorText(int winsockError) {
  char text[512];
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(winsockError), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     text, sizeof text, nullptr);
  if (length < 1 || length > 511) return std::string();
  return std::string(text, length);
}

}  // namespace platform
