#pragma once
// The machine's IPv4 address table: every address with its network mask,
// loopback included, as GetIpAddrTable lists it. Behind an interface so that
// discovery can be tested with a table of the test's choosing.

#include <cstdint>
#include <vector>

namespace platform {

struct InterfaceAddress {
  std::uint32_t address = 0;  // host byte order
  std::uint32_t mask = 0;     // host byte order
};

class INetworkInterfaces {
 public:
  virtual ~INetworkInterfaces() = default;
  // False when the table cannot be read; rows then stays untouched.
  virtual bool ReadAddressTable(std::vector<InterfaceAddress>& rows) = 0;
};

// The backend's implementation, shared by the whole process.
INetworkInterfaces& NetworkInterfaces();

}  // namespace platform
