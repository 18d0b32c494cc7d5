#include "client/error.h"

#include <cstdio>

#include "platform/error_text.h"
#include "platform/socket.h"

namespace Fernway {

CSocketError::CSocketError(int code) : CError("SOCKET: "), code_(code) {
  timeout_ = code == platform::kWsaEtimedout;
  char number[32];
  std::snprintf(number, sizeof number, "Error code 0x%08X: ", static_cast<unsigned>(code));
  message_ += number;
  message_ += platform::SystemErrorText(code);
}

}  // namespace Fernway
