#include "platform/neighbour_table.h"

#include <fstream>
#include <sstream>

namespace platform {
namespace {

// The kernel's neighbour cache holds an entry for every peer this machine
// has exchanged datagrams with lately, which includes every server that has
// just answered discovery and been connected to.
class CProcArpTable : public INeighbourTable {
 public:
  bool LookUpMacAddress(std::uint32_t address, std::vector<std::uint8_t>& mac) override {
    std::ifstream in("/proc/net/arp");
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    return FindInArpTable(text.str(), address, mac);
  }
};

}  // namespace

INeighbourTable& NeighbourTable() {
  static CProcArpTable table;
  return table;
}

}  // namespace platform
