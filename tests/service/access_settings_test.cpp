#include "service/access_settings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "install/transfer_restriction.h"
#include "platform/registry_keys.h"
#include "service/configuration_check.h"
#include "service/install_server.h"
#include "service/service_entry.h"
#include "tests/support/fake_device_registry.h"
#include "tests/support/fake_registry.h"
#include "tests/support/log_capture.h"
#include "tests/support/running_server.h"

namespace {

using vorn_test::CFakeDeviceRegistry;
using vorn_test::CLogCapture;

const std::string kWhere = std::string(" under HKEY_LOCAL_MACHINE\\") + kConfigurationKey + " ";

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }
std::string Dword(std::uint32_t value) {
  return std::string{static_cast<char>(value), static_cast<char>(value >> 8),
                     static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
}

// What --check prints, standard output and standard error.
std::pair<std::string, std::string> Check(CFakeRegistry& registry, int& status) {
  std::FILE* out = std::tmpfile();
  std::FILE* errors = std::tmpfile();
  status = CheckConfiguration(registry, "test.reg", out, errors);
  auto read = [](std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
    return text;
  };
  return {read(out), read(errors)};
}

TEST(AccessSettingsTest, AbsentValuesLeaveEverythingOpen) {
  CFakeRegistry registry;
  AccessSettings settings;
  std::vector<std::string> problems;
  ASSERT_TRUE(ReadAccessSettings(registry, settings, problems));
  EXPECT_TRUE(problems.empty());
  EXPECT_FALSE(settings.allowedClients.has_value());
  EXPECT_FALSE(settings.listenAddress.has_value());
  EXPECT_FALSE(settings.restrictTransfers);
  EXPECT_TRUE(settings.allowRelay);
  int status = -1;
  const auto [out, errors] = Check(registry, status);
  EXPECT_EQ(status, 0) << errors;
  EXPECT_NE(out.find("Allowed clients: every client (\"AllowedClients\" is not set)\n"),
            std::string::npos);
  EXPECT_NE(out.find("Listen address: every interface (\"ListenAddress\" is not set)\n"),
            std::string::npos);
  EXPECT_NE(out.find("Restrict transfers: no (a package may name any path)\n"), std::string::npos);
  EXPECT_NE(out.find("Allow relay: yes (tools may reach other servers through this one)\n"),
            std::string::npos);
}

TEST(AccessSettingsTest, WellFormedValuesAreReadAndShown) {
  CFakeRegistry registry;
  registry.Put(kConfigurationKey, kAllowedClientsValue, platform::kRegSz, Sz("10.1.0.0/16, 192.168.7.12/32"));
  registry.Put(kConfigurationKey, kListenAddressValue, platform::kRegSz, "198.51.100.2");  // no terminator
  registry.Put(kConfigurationKey, kRestrictTransfersValue, platform::kRegDword, Dword(1));
  registry.Put(kConfigurationKey, kAllowRelayValue, platform::kRegDword, Dword(0));
  AccessSettings settings;
  std::vector<std::string> problems;
  ASSERT_TRUE(ReadAccessSettings(registry, settings, problems));
  ASSERT_TRUE(settings.allowedClients.has_value());
  EXPECT_EQ(settings.allowedClients->Describe(), "10.1.0.0/16, 192.168.7.12/32");
  EXPECT_EQ(settings.listenAddress, 0xC6336402u);
  EXPECT_TRUE(settings.restrictTransfers);
  EXPECT_FALSE(settings.allowRelay);
  int status = -1;
  const auto [out, errors] = Check(registry, status);
  EXPECT_EQ(status, 0) << errors;
  EXPECT_NE(out.find("Allowed clients: 10.1.0.0/16, 192.168.7.12/32\n"), std::string::npos);
  EXPECT_NE(out.find("Listen address: 198.51.100.2\n"), std::string::npos);
  EXPECT_NE(out.find("Restrict transfers: yes (files only inside the transfer directory)\n"),
            std::string::npos);
  EXPECT_NE(out.find("Allow relay: no (requests to relay are refused)\n"), std::string::npos);
}

TEST(AccessSettingsTest, MalformedValuesAreEachReportedAndCheckExitsOne) {
  struct Case {
    const char* name;
    std::uint32_t type;
    std::string bytes;
    std::string problem;
  };
  const Case cases[] = {
      {kAllowedClientsValue, platform::kRegSz, Sz("10.1.0.0/33"),
       "\"10.1.0.0/33\" has no prefix length from 0 to 32 behind the slash"},
      {kAllowedClientsValue, platform::kRegSz, Sz(""),
       "names no network (remove the value to let every client in)"},
      {kAllowedClientsValue, platform::kRegExpandSz, Sz("10.0.0.0/8"), "is not a REG_SZ string"},
      {kAllowedClientsValue, platform::kRegSz, std::string("10.0.0.0/8\0 0.0.0.0/0", 20),
       "holds a zero byte inside the text"},
      {kListenAddressValue, platform::kRegSz, Sz("198.51.100.0/24"),
       "\"198.51.100.0/24\" is not one IPv4 address (a.b.c.d)"},
      {kListenAddressValue, platform::kRegDword, Dword(1), "is not a REG_SZ string"},
      {kListenAddressValue, platform::kRegSz, Sz(""), "\"\" is not one IPv4 address (a.b.c.d)"},
      {kRestrictTransfersValue, platform::kRegDword, Dword(2), "is 2, not 0 or 1"},
      {kRestrictTransfersValue, platform::kRegSz, Sz("1"), "is not a REG_DWORD"},
      {kAllowRelayValue, platform::kRegDword, Dword(2), "is 2, not 0 or 1"},
      {kAllowRelayValue, platform::kRegSz, Sz("0"), "is not a REG_DWORD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    CFakeRegistry registry;
    registry.Put(kConfigurationKey, c.name, c.type, c.bytes);
    AccessSettings settings;
    std::vector<std::string> problems;
    EXPECT_FALSE(ReadAccessSettings(registry, settings, problems));
    const std::string expected = std::string("\"") + c.name + "\"" + kWhere + c.problem;
    EXPECT_EQ(problems, std::vector<std::string>{expected});
    int status = -1;
    const auto [out, errors] = Check(registry, status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(errors, expected + "\ntest.reg: 1 problem(s); the service would not start\n");
  }
}

TEST(AccessSettingsTest, ServiceDoesNotStartOverAMalformedListAndSaysWhy) {
  CLogCapture log;
  CFakeRegistry registry;
  registry.Put(kConfigurationKey, kAllowedClientsValue, platform::kRegSz, Sz("10.1.2.3/16"));
  EXPECT_EQ(StartServer(new CInstallServer(
                new CFakeDeviceRegistry(std::vector<std::pair<std::string, std::string>>{}),
                registry, platform::Sockets())),
            1610);
  EXPECT_FALSE(CurrentServer()->IsControlChannelRunning());
  EXPECT_FALSE(CurrentServer()->IsDataChannelRunning());
  EXPECT_TRUE(log.Contains(std::string("VORN: Error: \"AllowedClients\"") + kWhere +
                           "\"10.1.2.3/16\" has host bits set; the network is 10.1.0.0/16\n"));
  EXPECT_TRUE(log.Contains(
      "VORN: Unable to start: the access settings are malformed; the service does not start "
      "open\n\n"));
  vorn_test::RunWithin("the service stop", 10000, [] { StopServer(); });
}

TEST(AccessSettingsTest, ServiceStartLogsTheSettingsInEffect) {
  CLogCapture log;
  CFakeRegistry registry;
  registry.Put(kConfigurationKey, kAllowedClientsValue, platform::kRegSz, Sz("127.0.0.0/8"));
  registry.Put(kConfigurationKey, kListenAddressValue, platform::kRegSz, Sz("127.0.0.1"));
  registry.Put(kConfigurationKey, kRestrictTransfersValue, platform::kRegDword, Dword(1));
  ASSERT_EQ(StartServer(new CInstallServer(
                new CFakeDeviceRegistry(std::vector<std::pair<std::string, std::string>>{}),
                registry, platform::Sockets())),
            0);
  EXPECT_TRUE(log.Contains("VORN: Serving only clients in AllowedClients: 127.0.0.0/8\n\n"));
  EXPECT_TRUE(log.Contains("VORN: Listening on 127.0.0.1 only (ListenAddress)\n\n"));
  EXPECT_TRUE(log.Contains("VORN: Transfers are kept in the transfer directory\n\n"));
  vorn_test::RunWithin("the service stop", 10000, [] { StopServer(); });
}

TEST(AccessSettingsTest, EditsApplyWhileRunningAndAMalformedEditKeepsTheListInUse) {
  CLogCapture log;
  CFakeRegistry registry;
  registry.Put(kConfigurationKey, kAllowedClientsValue, platform::kRegSz, Sz("10.0.0.0/8"));
  CInstallServer server(new CFakeDeviceRegistry(std::vector<std::pair<std::string, std::string>>{}),
                        registry, platform::Sockets());
  std::vector<std::string> problems;
  ASSERT_TRUE(server.LoadAccessSettings(problems));
  EXPECT_TRUE(server.IsClientAllowed(0x0A000001));
  EXPECT_FALSE(server.IsClientAllowed(0x7F000001));
  registry.Put(kConfigurationKey, kAllowedClientsValue, platform::kRegSz, Sz("127.0.0.0/8"));
  EXPECT_FALSE(server.IsClientAllowed(0x0A000001));
  EXPECT_TRUE(server.IsClientAllowed(0x7F000001));
  registry.Put(kConfigurationKey, kAllowedClientsValue, platform::kRegSz, Sz("127.0.0.0/33"));
  EXPECT_TRUE(server.IsClientAllowed(0x7F000001));
  EXPECT_FALSE(server.IsClientAllowed(0x0A000001));
  EXPECT_EQ(log.Count(std::string("VORN: Error: \"AllowedClients\"") + kWhere +
                      "\"127.0.0.0/33\" has no prefix length from 0 to 32 behind the slash; the "
                      "access settings in use stay as they were\n"),
            1u);
}

}  // namespace
