#include "platform/socket.h"

#include <cstdio>

namespace platform {

std::string FormatAddress(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFFu, (address >> 16) & 0xFFu,
                (address >> 8) & 0xFFu, address & 0xFFu);
  return text;
}

}  // namespace platform
