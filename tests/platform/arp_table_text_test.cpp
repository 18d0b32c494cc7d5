#include <gtest/gtest.h>

#include "platform/neighbour_table.h"

namespace {

const char* const kTable =
    "IP address       HW type     Flags       HW address            Mask     Device\n"
    "198.51.100.7     0x1         0x0         00:00:00:00:00:00     *        eth0\n"
    "198.51.100.2     0x1         0x2         02:1a:2B:3c:4d:5e     *        eth0\n"
    "198.51.100.20    0x1         0x6         aa:bb:cc:dd:ee:ff     *        eth1\n";

TEST(ArpTableText, FindsCompleteEntriesOnly) {
  struct Case {
    std::uint32_t address;
    bool found;
    std::vector<std::uint8_t> mac;
  };
  const Case cases[] = {
      {0xC6336402, true, {0x02, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
      {0xC6336414, true, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
      {0xC6336407, false, {}},  // still being resolved
      {0xC6336400, false, {}},  // no entry ("198.51.100.2" is not a prefix match)
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> mac;
    EXPECT_EQ(platform::FindInArpTable(kTable, c.address, mac), c.found) << c.address;
    EXPECT_EQ(mac, c.mac) << c.address;
  }
}

TEST(ArpTableText, HeadingOnlyOrEmptyTextFindsNothing) {
  std::vector<std::uint8_t> mac;
  EXPECT_FALSE(platform::FindInArpTable("", 0xC6336402, mac));
  EXPECT_FALSE(platform::FindInArpTable("IP address HW type Flags HW address Mask Device\n",
                                        0xC6336402, mac));
}

}  // namespace
