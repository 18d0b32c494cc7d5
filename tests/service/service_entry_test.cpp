#include "service/service_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "net/data_channel.h"
#include "platform/socket.h"
#include "service/install_server.h"
#include "tests/support/fake_device_registry.h"
#include "tests/support/fake_registry.h"
#include "tests/support/log_capture.h"
#include "tests/support/running_server.h"

namespace {

using vorn_test::CFakeDeviceRegistry;
using vorn_test::CLogCapture;
using vorn_test::RunWithin;

// StartServer with a server over fakes; the process's server is stopped and
// deleted at the end, within a time limit.
class ServiceEntryTest : public ::testing::Test {
 protected:
  int Start(std::vector<std::pair<std::string, std::string>> devices = {}) {
    return StartServer(new CInstallServer(new CFakeDeviceRegistry(std::move(devices)), registry_,
                                          platform::Sockets()));
  }
  void TearDown() override {
    RunWithin("the service stop", 10000, [] { StopServer(); });
  }

  CFakeRegistry registry_;
  CLogCapture log_;
};

TEST_F(ServiceEntryTest, StartupLogListsThePseudoNumberAloneWithoutDevices) {
  ASSERT_EQ(Start(), 0);
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{
                              "VORN: Quillon Service V 2.35.2\n\n",
                              "VORN: \nService is listening for 1 Material Number(s): \n",
                              "VORN: __TRL_Tool__\n",
                              "VORN: on Control Port 13217 and Data Port 13217\n\n",
                              "VORN: Server is listening for DeviceGroup: DEFAULT\n\n",
                          }));
}

TEST_F(ServiceEntryTest, StartupLogSeparatesMaterialNumbersWithCommaLines) {
  // A number is logged as text, never used as a format.
  ASSERT_EQ(Start({{"1234.5678.02", "1"}, {"%s%n%d.02", "2"}}), 0);
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{
                              "VORN: Quillon Service V 2.35.2\n\n",
                              "VORN: \nService is listening for 3 Material Number(s): \n",
                              "VORN: 1234.5678.02\n",
                              "VORN: ,\n",
                              "VORN: %s%n%d.02\n",
                              "VORN: ,\n",
                              "VORN: __TRL_Tool__\n",
                              "VORN: on Control Port 13217 and Data Port 13217\n\n",
                              "VORN: Server is listening for DeviceGroup: DEFAULT\n\n",
                          }));
}

TEST_F(ServiceEntryTest, TakenControlPortFailsTheStartWith10048) {
  platform::ISocketApi& sockets = platform::Sockets();
  platform::SocketHandle squatter = sockets.Open(platform::SocketKind::kDatagram);
  ASSERT_EQ(sockets.Bind(squatter, platform::Endpoint{platform::kAnyAddress, 13217}), 0);
  EXPECT_EQ(Start(), 10048);
  const auto lines = log_.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{
                "VORN: Error: bind of control channel failed with 10048\n",
                "VORN: Error: Cannot bind control channel to port 13217\n",
                "VORN: Unable to start Control or Data channel\n\n",
            }));
  EXPECT_FALSE(CurrentServer()->IsDataChannelRunning());
  sockets.Close(squatter);
}

TEST_F(ServiceEntryTest, StopWithConnectedClientsClosesThemAndDeletesTheServer) {
  ASSERT_EQ(Start(), 0);
  std::vector<platform::SocketHandle> clients;
  for (int i = 0; i < 4; ++i) clients.push_back(vorn_test::ConnectTcp());
  ASSERT_TRUE(
      vorn_test::WaitUntil([] { return CurrentServer()->DataChannel().SessionCount() == 4; }));
  RunWithin("the service stop with four sessions", 10000, [] { StopServer(); });
  EXPECT_EQ(CurrentServer(), nullptr);
  for (auto c : clients) {
    EXPECT_TRUE(vorn_test::WaitForPeerClose(c));
    vorn_test::CloseTcp(c);
  }
  EXPECT_TRUE(log_.Contains("VORN: Terminating data channel server thread.\n"));
  EXPECT_TRUE(log_.Contains("VORN: Terminating control channel thread\n"));
  EXPECT_EQ(vorn_test::ConnectTcp(), platform::kInvalidSocket);
}

// Outside the service control manager every status report fails, which
// shows that each control, stop or not, reports the status again.
TEST(ServiceCtrlHandlerTest, InterrogateOnlyReportsAndOtherCodesAreLoggedFirst) {
  struct Case {
    std::uint32_t control;
    std::vector<std::string> lines;  // before the status report
  };
  const Case cases[] = {
      {4, {}},
      {2, {"VORN: Unrecognized opcode 2\n"}},
      {200, {"VORN: Unrecognized opcode 200\n"}},
  };
  for (const Case& c : cases) {
    CLogCapture log;
    ServiceCtrlHandler(c.control);
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), c.lines.size() + 1) << c.control;
    EXPECT_EQ(lines.back().rfind("VORN: SetServiceStatus() failed. Error ", 0), 0u) << c.control;
    lines.pop_back();
    EXPECT_EQ(lines, c.lines) << c.control;
  }
}

// ServiceMain over a service control manager that refuses every status
// report: whether the start succeeded or failed, the failed report is logged.
TEST(ServiceMainTest, RefusedStatusReportIsLoggedAfterEitherOutcomeOfTheStart) {
  struct Case {
    int (*startServer)();
    std::uint32_t reportedState;
    std::uint32_t reportedExitCode;
  };
  const Case cases[] = {
      {[] { return 10048; }, platform::kServiceStopped, 10048},
      {[] { return 0; }, platform::kServiceRunning, 0},
  };
  static std::vector<platform::ServiceStatus> reports;
  for (const Case& c : cases) {
    reports.clear();
    ServiceHooks hooks;
    hooks.registerHandler = [](const char*,
                               platform::ServiceHandlerFunction) -> platform::ServiceStatusHandle {
      static char token;
      return &token;
    };
    hooks.setServiceStatus = [](platform::ServiceStatusHandle,
                                const platform::ServiceStatus& status) {
      reports.push_back(status);
      return false;
    };
    hooks.lastSystemError = []() -> std::uint32_t { return 6; };
    hooks.startServer = c.startServer;
    SetServiceHooks(hooks);
    CLogCapture log;
    ServiceMain(0, nullptr);
    SetServiceHooks(ServiceHooks{});
    ASSERT_EQ(reports.size(), 1u) << c.reportedState;
    EXPECT_EQ(reports[0].currentState, c.reportedState);
    EXPECT_EQ(reports[0].win32ExitCode, c.reportedExitCode);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"VORN: SetServiceStatus() failed. Error 6\n"})
        << c.reportedState;
  }
}

}  // namespace
