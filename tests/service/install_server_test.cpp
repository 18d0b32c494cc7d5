#include "service/install_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/device.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "tests/support/log_capture.h"
#include "tests/support/running_server.h"

namespace {

using vorn_test::CLogCapture;
using vorn_test::CRunningServer;


CRunningServer::Options NotStarted() {
  CRunningServer::Options options;
  options.start = false;
  return options;
}

platform::RegistryValue Stored(CRunningServer& server) {
  platform::RegistryValue value;
  server.Registry().QueryValue(kConfigurationKey, "DeviceGroup", value);
  return value;
}

std::string StoredText(CRunningServer& server) {
  const platform::RegistryValue value = Stored(server);
  return std::string(value.data.begin(), value.data.end());
}

const std::string kDefaultBytes("DEFAULT\0", 8);

TEST(InstallServerTest, MissingDeviceGroupIsCreatedWithTheDefault) {
  CRunningServer server(NotStarted());
  EXPECT_EQ(server.Server().GetDeviceGroup(), "DEFAULT");
  EXPECT_EQ(Stored(server).type, platform::kRegSz);
  EXPECT_EQ(StoredText(server), kDefaultBytes);
}

TEST(InstallServerTest, MalformedDeviceGroupValuesAreReplacedByTheDefault) {
  struct Case {
    const char* what;
    std::uint32_t type;
    std::string bytes;
  };
  const Case cases[] = {
      {"expandable string", platform::kRegExpandSz, std::string("Lab\0", 4)},
      {"embedded zero", platform::kRegSz, std::string("La\0b\0", 5)},
      {"no terminator", platform::kRegSz, "Lab"},
      {"no bytes", platform::kRegSz, ""},
      {"dword", platform::kRegDword, std::string("\1\0\0\0", 4)},
      {"256 characters", platform::kRegSz, std::string(256, 'x') + '\0'},
  };
  for (const Case& c : cases) {
    CRunningServer server(NotStarted());
    server.Registry().Put(kConfigurationKey, "DeviceGroup", c.type, c.bytes);
    EXPECT_EQ(server.Server().GetDeviceGroup(), "DEFAULT") << c.what;
    EXPECT_EQ(Stored(server).type, platform::kRegSz) << c.what;
    EXPECT_EQ(StoredText(server), kDefaultBytes) << c.what;
  }
}

TEST(InstallServerTest, WellFormedDeviceGroupValuesAreUsedAsStored) {
  const std::string texts[] = {"Lab 7", "", std::string(255, 'y')};
  for (const std::string& text : texts) {
    CRunningServer server(NotStarted());
    server.Registry().PutString(kConfigurationKey, "DeviceGroup", text);
    EXPECT_EQ(server.Server().GetDeviceGroup(), text);
  }
}

TEST(InstallServerTest, SetDeviceGroupStoresWhatGetDeviceGroupAccepts) {
  CRunningServer server(NotStarted());
  EXPECT_TRUE(server.Server().SetDeviceGroup("Hall 3"));
  EXPECT_EQ(StoredText(server), std::string("Hall 3\0", 7));
  EXPECT_EQ(server.Server().GetDeviceGroup(), "Hall 3");
  // A value the reader would throw away is refused instead of reported stored.
  EXPECT_FALSE(server.Server().SetDeviceGroup(std::string(256, 'z')));
  EXPECT_FALSE(server.Server().SetDeviceGroup(std::string("a\0b", 3)));
  EXPECT_EQ(server.Server().GetDeviceGroup(), "Hall 3");
}

// Discovery asks for the group with every query; the store is read again
// only when its change count moves.
TEST(InstallServerTest, DeviceGroupIsReadAgainOnlyWhenTheStoreChanged) {
  CRunningServer server(NotStarted());
  server.Registry().PutString(kConfigurationKey, "DeviceGroup", "Hall 1");
  EXPECT_EQ(server.Server().GetDeviceGroup(), "Hall 1");
  const std::uint64_t queries = server.Registry().Queries();
  for (int i = 0; i < 100; ++i) EXPECT_EQ(server.Server().GetDeviceGroup(), "Hall 1");
  EXPECT_EQ(server.Registry().Queries(), queries);

  server.Registry().PutString(kConfigurationKey, "DeviceGroup", "Hall 2");
  EXPECT_EQ(server.Server().GetDeviceGroup(), "Hall 2");
  server.Registry().Put(kConfigurationKey, "DeviceGroup", platform::kRegExpandSz, std::string("Hall 3\0", 7));
  EXPECT_EQ(server.Server().GetDeviceGroup(), "DEFAULT");
  EXPECT_EQ(StoredText(server), kDefaultBytes);
}

TEST(InstallServerTest, ServerIdIsMadeOnceAndKept) {
  CRunningServer server(NotStarted());
  const std::string id = server.Server().GetServerId();
  ASSERT_EQ(id.size(), 38u);
  EXPECT_EQ(id.front(), '{');
  EXPECT_EQ(id.back(), '}');
  EXPECT_EQ(server.Server().GetServerId(), id);
  CRunningServer other(NotStarted());
  EXPECT_NE(other.Server().GetServerId(), id);
}

TEST(InstallServerTest, PseudoEquipmentNumberIsRecognisedInAnyCaseAndWithBlanks) {
  CRunningServer::Options options = NotStarted();
  options.devices = {{"1234.5678.02", "100042"}};
  CRunningServer server(options);
  for (const char* number : {"__TRL_Tool__", "__trl_tool__ ", " __TRL_TOOL__\t"}) {
    std::string serial;
    EXPECT_TRUE(server.Server().GetSerialNumber(number, serial)) << number;
    EXPECT_EQ(serial, "000001") << number;
  }
  std::string serial;
  EXPECT_TRUE(server.Server().GetSerialNumber("1234.5678.02", serial));
  EXPECT_EQ(serial, "100042");
  EXPECT_FALSE(server.Server().GetSerialNumber("__TRL_Tool_", serial));
}

TEST(InstallServerTest, MaterialNumbersEndWithThePseudoNumber) {
  CRunningServer none(NotStarted());
  std::vector<std::string> numbers{"stale"};
  EXPECT_TRUE(none.Server().GetMaterialNumbers(numbers));
  EXPECT_EQ(numbers, std::vector<std::string>{"__TRL_Tool__"});

  CRunningServer::Options options = NotStarted();
  options.devices = {{"1234.5678.02", "1"}, {"2222.3333.04", "2"}};
  CRunningServer two(options);
  EXPECT_TRUE(two.Server().GetMaterialNumbers(numbers));
  EXPECT_EQ(numbers, (std::vector<std::string>{"1234.5678.02", "2222.3333.04", "__TRL_Tool__"}));
}

TEST(InstallServerTest, ThePseudoDeviceIsOpenedAndReleasedByTheServer) {
  CRunningServer server(NotStarted());
  IUpdateTarget* target = nullptr;
  IDevice* device = nullptr;
  ASSERT_TRUE(server.Server().OpenDevice("__trl_tool__", target, device));
  ASSERT_NE(device, nullptr);
  std::string material;
  std::string serial;
  EXPECT_TRUE(device->GetMaterialNumber(material));
  EXPECT_TRUE(device->GetSerialNumber(serial));
  EXPECT_EQ(material, "__TRL_Tool__");
  EXPECT_EQ(serial, "000000");
  EXPECT_TRUE(server.Server().ReleaseDevice(target, device));  // leak checkers watch this
  EXPECT_TRUE(server.Server().ReleaseDevice(nullptr, nullptr));
}

TEST(InstallServerTest, StartDataChannelStartsTheControlChannelFirst) {
  CRunningServer server(NotStarted());
  ASSERT_FALSE(server.Server().IsControlChannelRunning());
  ASSERT_TRUE(server.Server().StartDataChannel());
  EXPECT_TRUE(server.Server().IsControlChannelRunning());
  EXPECT_TRUE(server.Server().IsDataChannelRunning());
  // Both already run: a second start of either is refused.
  EXPECT_FALSE(server.Server().StartControlChannel());
  EXPECT_FALSE(server.Server().StartDataChannel());
}

TEST(InstallServerTest, ServerLogLinesAreCutToTheirBuffers) {
  CLogCapture log;
  CRunningServer server(NotStarted());
  const std::string huge(5000, 'q');
  server.Server().Log("%s", huge.c_str());
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "VORN: " + std::string(1999, 'q') + "\n");
}

}  // namespace

namespace {

// The traffic lines skip the format for speed; they must still be the very
// lines the format gives, cuts included.
TEST(InstallServerTest, TrafficLinesAreTheFormattedLines) {
  CRunningServer server(NotStarted());
  struct Case {
    unsigned socket;
    bool incoming;
    std::string escaped;
  };
  const Case cases[] = {
      {0, true, "*IDN?\\n"},
      {0x1A2B, false, "Marrow,1234,100042,1.0\\n"},
      {0xFFFFFFFFu, true, ""},
      {7, false, std::string(3000, 'x')},
  };
  CLogCapture log;
  for (const Case& c : cases) {
    log.Clear();
    server.Server().Log(c.incoming ? "Socket[%X] >> %s" : "Socket[%X] << %s", c.socket,
                        c.escaped.c_str());
    const auto expected = log.Lines();
    ASSERT_EQ(expected.size(), 1u);
    log.Clear();
    server.Server().LogTraffic(c.socket, c.incoming, c.escaped);
    EXPECT_EQ(log.Lines(), expected) << c.socket;
  }
  struct Datagram {
    std::string address;
    unsigned port;
    bool incoming;
    std::string text;
  };
  const Datagram datagrams[] = {
      {"198.51.100.7", 0, true, "16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN QUERY ID"},
      {"127.0.0.1", 65535, false, ""},
      {"10.0.0.1", 13217, true, std::string(2500, 'q')},
  };
  for (const Datagram& d : datagrams) {
    log.Clear();
    server.Server().Log(d.incoming ? "%s:%u >> [%s]" : "%s:%u << [%s]", d.address.c_str(), d.port,
                        d.text.c_str());
    const auto expected = log.Lines();
    ASSERT_EQ(expected.size(), 1u);
    log.Clear();
    server.Server().LogDatagram(d.address, d.port, d.incoming, d.text);
    EXPECT_EQ(log.Lines(), expected) << d.address;
  }
}

}  // namespace
