// A stop of many sessions on Linux, and as Winsock sees it, simulated over
// the Linux sockets (under Wine the real Winsock shows the same, see the
// win32 end-to-end test of the service's stop).
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "net/data_channel.h"
#include "service/install_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/running_server.h"
#include "tests/support/winsock_stop_socket_api.h"

namespace {

using vorn_test::CLogCapture;
using vorn_test::CloseTcp;
using vorn_test::ConnectTcp;
using vorn_test::CRunningServer;
using vorn_test::RunWithin;
using vorn_test::WaitForPeerClose;
using vorn_test::WaitUntil;

std::vector<platform::SocketHandle> ConnectClients(CInstallServer& server, int count) {
  std::vector<platform::SocketHandle> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(ConnectTcp(server.BoundDataPort()));
    EXPECT_NE(clients.back(), platform::kInvalidSocket);
  }
  EXPECT_TRUE(WaitUntil(
      [&] { return server.DataChannel().SessionCount() == static_cast<std::size_t>(count); }));
  return clients;
}

// Under Winsock a shutdown leaves a blocked receive blocked. A stop then
// shuts every session's socket down, waits once, and closes the sockets of
// the sessions still blocked, so hundreds of sessions cost one wait, not one
// each. A session whose socket the stop closed logs the failed close of its
// own end, and nothing is closed twice.
TEST(DataChannelStop, SessionsAreShutDownTogetherThenTheBlockedOnesClosed) {
  vorn_test::CWinsockStopSocketApi sockets(platform::Sockets());
  CRunningServer::Options options;
  options.sockets = &sockets;
  CRunningServer server(options);
  ASSERT_TRUE(server.Started());
  constexpr int kSessions = 20;
  auto clients = ConnectClients(server.Server(), kSessions);
  CLogCapture log;
  RunWithin("closing the sessions", 10000, [&] { EXPECT_TRUE(server.Server().CloseSessions()); });

  const auto events = sockets.Events();
  ASSERT_EQ(events.size(), 2u * kSessions);
  std::set<std::string> closed;
  for (int i = 0; i < kSessions; ++i) {
    EXPECT_EQ(events[i].rfind("shutdown ", 0), 0u) << i;
    EXPECT_EQ(events[kSessions + i].rfind("close ", 0), 0u) << i;
    closed.insert(events[kSessions + i]);
  }
  EXPECT_EQ(closed.size(), static_cast<std::size_t>(kSessions));
  for (platform::SocketHandle accepted : sockets.AcceptedSockets()) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(accepted));
    const std::string prefix = std::string("VORN: Socket[") + hex + "]: ";
    EXPECT_TRUE(log.Contains(prefix + "Error: Data channel closed with error 10004\n")) << hex;
    EXPECT_TRUE(log.Contains(prefix + "closing socket failed with error 10038\n")) << hex;
    EXPECT_FALSE(log.Contains(prefix + "socket normally closed.\n")) << hex;
  }
  for (auto c : clients) {
    EXPECT_TRUE(WaitForPeerClose(c));
    CloseTcp(c);
  }
  EXPECT_FALSE(server.Server().HasRunningSessions());
}

// On Linux the shutdown itself ends every blocked receive: the sessions
// close their sockets themselves, each once.
TEST(DataChannelStop, ShutdownEndsEverySessionOnItsOwn) {
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  constexpr int kSessions = 50;
  auto clients = ConnectClients(server.Server(), kSessions);
  CLogCapture log;
  RunWithin("closing the sessions", 10000, [&] { EXPECT_TRUE(server.Server().CloseSessions()); });
  std::size_t normal = 0, failed = 0;
  for (const std::string& line : log.Lines()) {
    normal += line.find("]: socket normally closed.\n") != std::string::npos;
    failed += line.find("]: closing socket failed") != std::string::npos;
  }
  EXPECT_EQ(normal, static_cast<std::size_t>(kSessions));
  EXPECT_EQ(failed, 0u);
  for (auto c : clients) {
    EXPECT_TRUE(WaitForPeerClose(c));
    CloseTcp(c);
  }
}

}  // namespace
