#include "net/client_networks.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ClientNetworksTest, ParsesCidrListsSeparatedByCommasOrBlanks) {
  struct Case {
    std::string text;
    std::string canonical;
  };
  const Case cases[] = {
      {"10.1.0.0/16, 192.168.7.12/32", "10.1.0.0/16, 192.168.7.12/32"},
      {"10.1.0.0/16 192.168.7.12", "10.1.0.0/16, 192.168.7.12/32"},
      {" ,\t198.51.100.0/24,,203.0.113.7/32 ,", "198.51.100.0/24, 203.0.113.7/32"},
      {"0.0.0.0/0", "0.0.0.0/0"},
      {"255.255.255.255/32", "255.255.255.255/32"},
      {"10.0.0.0/8", "10.0.0.0/8"},
  };
  for (const Case& c : cases) {
    std::string error;
    const auto networks = CClientNetworks::Parse(c.text, error);
    ASSERT_TRUE(networks.has_value()) << c.text << ": " << error;
    EXPECT_EQ(networks->Describe(), c.canonical);
  }
}

TEST(ClientNetworksTest, MalformedListsNameTheirFault) {
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"", "names no network (remove the value to let every client in)"},
      {" , ", "names no network (remove the value to let every client in)"},
      {"10.1.0.0/33", "\"10.1.0.0/33\" has no prefix length from 0 to 32 behind the slash"},
      {"10.1.0.0/", "\"10.1.0.0/\" has no prefix length from 0 to 32 behind the slash"},
      {"10.1.0.0/-1", "\"10.1.0.0/-1\" has no prefix length from 0 to 32 behind the slash"},
      {"10.1.0.0/08", "\"10.1.0.0/08\" has no prefix length from 0 to 32 behind the slash"},
      {"10.1.2.3/16", "\"10.1.2.3/16\" has host bits set; the network is 10.1.0.0/16"},
      {"10.1.0/16", "\"10.1.0/16\" is not an IPv4 address or network (a.b.c.d/n)"},
      {"256.1.1.1", "\"256.1.1.1\" is not an IPv4 address or network (a.b.c.d/n)"},
      {"010.1.1.1", "\"010.1.1.1\" is not an IPv4 address or network (a.b.c.d/n)"},
      {"10.1.1.1.1", "\"10.1.1.1.1\" is not an IPv4 address or network (a.b.c.d/n)"},
      {"10.1.0.0/16;10.2.0.0/16",
       "\"10.1.0.0/16;10.2.0.0/16\" has no prefix length from 0 to 32 behind the slash"},
      {"host.example", "\"host.example\" is not an IPv4 address or network (a.b.c.d/n)"},
      {"10.1.0.0/16, ::1", "\"::1\" is not an IPv4 address or network (a.b.c.d/n)"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(CClientNetworks::Parse(c.text, error).has_value()) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(ClientNetworksTest, AllowsExactlyTheAddressesOfItsNetworks) {
  std::string error;
  const auto networks =
      CClientNetworks::Parse("10.1.0.0/16, 192.168.7.12/32, 198.51.100.128/25", error);
  ASSERT_TRUE(networks.has_value()) << error;
  struct Case {
    std::uint32_t address;
    bool allowed;
  };
  const Case cases[] = {
      {0x0A010000, true}, {0x0A01FFFF, true},  {0x0A020000, false}, {0x0A00FFFF, false},
      {0xC0A8070C, true}, {0xC0A8070D, false}, {0xC0A8070B, false}, {0xC6336480, true},
      {0xC63364FF, true}, {0xC633647F, false}, {0x7F000001, false}, {0x00000000, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(networks->Contains(c.address), c.allowed) << std::hex << c.address;
  const auto everyone = CClientNetworks::Parse("0.0.0.0/0", error);
  ASSERT_TRUE(everyone.has_value());
  EXPECT_TRUE(everyone->Contains(0xFFFFFFFF));
  EXPECT_TRUE(everyone->Contains(0));
}

TEST(ClientNetworksTest, Ipv4AddressesAreDottedDecimalOnly) {
  EXPECT_EQ(ParseIpv4Address("198.51.100.2"), 0xC6336402u);
  EXPECT_EQ(ParseIpv4Address("0.0.0.0"), 0u);
  for (const char* text : {"", "1.2.3", "1.2.3.4.", ".1.2.3", "1.2.3.4 ", "1.2.3.04", "1..2.3",
                           "1.2.3.256", "0x1.2.3.4", "1.2.3.-4", "1234.1.1.1"}) {
    EXPECT_FALSE(ParseIpv4Address(text).has_value()) << text;
  }
}

}  // namespace
