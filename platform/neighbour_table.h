#pragma once
// The link-layer (MAC) address of a peer on a directly attached network, as
// the machine's neighbour cache knows it: SendARP on Windows, the kernel's
// ARP table elsewhere. A server that has no identifier of its own is known by
// this address. Behind an interface so that the scan can be tested with the
// answer of the test's choosing.

#include <cstdint>
#include <string_view>
#include <vector>

namespace platform {

class INeighbourTable {
 public:
  virtual ~INeighbourTable() = default;
  // The peer's hardware address bytes (6 for Ethernet); false, or true with
  // no bytes, when it is not known.
  virtual bool LookUpMacAddress(std::uint32_t address, std::vector<std::uint8_t>& mac) = 0;
};

// The backend's implementation, shared by the whole process.
INeighbourTable& NeighbourTable();

// Reads the hardware address of address (host byte order) out of the text of
// Linux's /proc/net/arp. Only complete entries count. Portable, so that it
// can be tested on every build.
bool FindInArpTable(std::string_view table, std::uint32_t address, std::vector<std::uint8_t>& mac);

}  // namespace platform
