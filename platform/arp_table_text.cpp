#include <cstdio>
#include <string>

#include "platform/neighbour_table.h"
#include "platform/socket.h"

namespace platform {

// Each line after the heading: "IP address  HW type  Flags  HW address  Mask
// Device". Flags without ATF_COM (0x2) mark an entry still being resolved,
// whose hardware address is all zeros.
bool FindInArpTable(std::string_view table, std::uint32_t address, std::vector<std::uint8_t>& mac) {
  const std::string wanted = FormatAddress(address);
  constexpr unsigned kComplete = 0x2;
  std::size_t start = table.find('\n');
  while (start != std::string_view::npos && start + 1 < table.size()) {
    const std::size_t end = table.find('\n', start + 1);
    const std::string line(table.substr(
        start + 1, end == std::string_view::npos ? std::string_view::npos : end - start - 1));
    start = end;
    char ip[32] = {};
    char hardware[64] = {};
    unsigned type = 0, flags = 0;
    if (std::sscanf(line.c_str(), "%31s %x %x %63s", ip, &type, &flags, hardware) != 4) continue;
    if (wanted != ip || (flags & kComplete) == 0) continue;
    unsigned b[6];
    char tail = 0;
    if (std::sscanf(hardware, "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5],
                    &tail) != 6) {
      continue;
    }
    mac.assign(std::begin(b), std::end(b));
    return true;
  }
  return false;
}

}  // namespace platform
