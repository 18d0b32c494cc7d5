#include "platform/network_interfaces.h"

#include <vector>

#include "platform/win32/windows_api.h"
// clang-format off
#include <iphlpapi.h>
// clang-format on

namespace platform {
namespace {

class CIpAddressTable : public INetworkInterfaces {
 public:
  // The first call only learns the size, and must say the buffer is too small.
  bool ReadAddressTable(std::vector<InterfaceAddress>& rows) override {
    ULONG size = 0;
    if (GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) return false;
    std::vector<unsigned char> buffer(size);
    auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
    if (GetIpAddrTable(table, &size, FALSE) != NO_ERROR) return false;
    std::vector<InterfaceAddress> found;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      found.push_back(
          InterfaceAddress{ntohl(table->table[i].dwAddr), ntohl(table->table[i].dwMask)});
    }
    rows = std::move(found);
    return true;
  }
};

}  // namespace

INetworkInterfaces& NetworkInterfaces() {
  static CIpAddressTable table;
  return table;
}

}  // namespace platform
