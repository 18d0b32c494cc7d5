#include "platform/neighbour_table.h"

#include "platform/win32/windows_api.h"
// clang-format off
#include <iphlpapi.h>
// clang-format on

namespace platform {
namespace {

class CSendArp : public INeighbourTable {
 public:
  bool LookUpMacAddress(std::uint32_t address, std::vector<std::uint8_t>& mac) override {
    ULONG buffer[2] = {};  // room for the 6 bytes of an Ethernet address
    ULONG length = 6;
    if (SendARP(htonl(address), 0, buffer, &length) != NO_ERROR) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer);
    mac.assign(bytes, bytes + (length < 6 ? length : 6));
    return true;
  }
};

}  // namespace

INeighbourTable& NeighbourTable() {
  static CSendArp table;
  return table;
}

}  // namespace platform
