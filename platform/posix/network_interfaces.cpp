#include "platform/network_interfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

namespace platform {
namespace {

class CInterfaceAddressTable : public INetworkInterfaces {
 public:
  // Interfaces that are down are listed too, as the Windows table does.
  bool ReadAddressTable(std::vector<InterfaceAddress>& rows) override {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    std::vector<InterfaceAddress> found;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
      if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
      InterfaceAddress row;
      row.address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
      if (entry->ifa_netmask != nullptr) {
        row.mask = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
      }
      found.push_back(row);
    }
    freeifaddrs(list);
    rows = std::move(found);
    return true;
  }
};

}  // namespace

INetworkInterfaces& NetworkInterfaces() {
  static CInterfaceAddressTable table;
  return table;
}

}  // namespace platform
