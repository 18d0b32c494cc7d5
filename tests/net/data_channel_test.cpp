#include "net/data_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "service/install_server.h"
#include "tests/support/fault_injecting_socket_api.h"
#include "tests/support/log_capture.h"
#include "tests/support/running_server.h"

namespace {

using vorn_test::CFaultInjectingSocketApi;
using vorn_test::CLogCapture;
using vorn_test::CloseTcp;
using vorn_test::ConnectTcp;
using vorn_test::CRunningServer;
using vorn_test::CUdpProbe;
using vorn_test::kMagic;
using vorn_test::RunWithin;
using vorn_test::WaitForPeerClose;
using vorn_test::WaitUntil;

std::size_t RunningSessions(CInstallServer& server) {
  return server.HasRunningSessions() ? server.DataChannel().SessionCount() : 0;
}

// Connects count more clients and waits until the list holds a session for
// each (no finished session objects may be waiting for reuse).
std::vector<platform::SocketHandle> ConnectClients(CInstallServer& server, int count) {
  const std::size_t expected = server.DataChannel().SessionCount() + count;
  std::vector<platform::SocketHandle> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(ConnectTcp(server.BoundDataPort()));
    EXPECT_NE(clients.back(), platform::kInvalidSocket);
  }
  EXPECT_TRUE(WaitUntil([&] {
    return server.DataChannel().SessionCount() == expected && server.HasRunningSessions();
  }));
  return clients;
}

TEST(DataChannelTest, FinishedSessionObjectsAreReused) {
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  CInstallServer& s = server.Server();
  auto first = ConnectClients(s, 1);
  CloseTcp(first[0]);
  ASSERT_TRUE(WaitUntil([&] { return !s.HasRunningSessions(); }));
  EXPECT_EQ(s.DataChannel().SessionCount(), 1u);

  platform::SocketHandle second = ConnectTcp();
  ASSERT_TRUE(WaitUntil([&] { return s.HasRunningSessions(); }));
  EXPECT_EQ(s.DataChannel().SessionCount(), 1u);
  CloseTcp(second);
}

TEST(DataChannelTest, ConcurrentClientsGetSessionsOfTheirOwn) {
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  CInstallServer& s = server.Server();
  auto clients = ConnectClients(s, 2);
  platform::SocketHandle third = ConnectTcp();
  ASSERT_TRUE(WaitUntil([&] { return s.DataChannel().SessionCount() == 3; }));
  EXPECT_EQ(RunningSessions(s), 3u);
  for (auto c : clients) CloseTcp(c);
  CloseTcp(third);
}

TEST(DataChannelTest, EveryAcceptedSocketGetsNoDelayAndKeepAlive) {
  CFaultInjectingSocketApi sockets(platform::Sockets());
  CRunningServer::Options options;
  options.sockets = &sockets;
  CRunningServer server(options);
  ASSERT_TRUE(server.Started());
  auto clients = ConnectClients(server.Server(), 3);
  const auto accepted = sockets.AcceptedSockets();
  const auto keepAlives = sockets.KeepAlives();
  const auto noDelay = sockets.NoDelaySockets();
  EXPECT_EQ(accepted.size(), 3u);
  for (platform::SocketHandle s : accepted) {
    ASSERT_EQ(keepAlives.count(s), 1u);
    EXPECT_EQ(keepAlives.at(s).on, 1u);
    EXPECT_EQ(keepAlives.at(s).timeMs, 30000u);
    EXPECT_EQ(keepAlives.at(s).intervalMs, 3000u);
    EXPECT_EQ(noDelay.count(s), 1u);
  }
  for (auto c : clients) CloseTcp(c);
}

TEST(DataChannelTest, FailedAcceptsDoNotEndTheListener) {
  CLogCapture log;
  CFaultInjectingSocketApi sockets(platform::Sockets());
  sockets.FailAccepts({{1, platform::kWsaEmfile},
                       {2, platform::kWsaEconnaborted},
                       {3, platform::kWsaEconnreset},
                       {4, platform::kWsaEnobufs}});
  CRunningServer::Options options;
  options.sockets = &sockets;
  CRunningServer server(options);
  ASSERT_TRUE(server.Started());
  auto clients = ConnectClients(server.Server(), 1);
  EXPECT_TRUE(server.Server().IsDataChannelRunning());
  for (const char* line : {"VORN: Error: accept() failed with error 10024\n",
                           "VORN: Error: accept() failed with error 10053\n",
                           "VORN: Error: accept() failed with error 10054\n",
                           "VORN: Error: accept() failed with error 10055\n"}) {
    EXPECT_EQ(log.Count(line), 1u) << line;
  }
  EXPECT_FALSE(log.Contains("VORN: Terminating data channel server thread.\n"));
  auto more = ConnectClients(server.Server(), 2);
  for (auto c : clients) CloseTcp(c);
  for (auto c : more) CloseTcp(c);
}

TEST(DataChannelTest, SessionsOutliveAStopAndARestartListensOnTheNewPort) {
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  CInstallServer& s = server.Server();
  auto old = ConnectClients(s, 1);
  ASSERT_TRUE(s.StopDataChannel());
  EXPECT_FALSE(s.IsDataChannelRunning());
  EXPECT_FALSE(WaitForPeerClose(old[0], 200));
  EXPECT_TRUE(s.HasRunningSessions());

  s.SetDataPort(14002);
  ASSERT_TRUE(s.StartDataChannel());
  EXPECT_EQ(s.BoundDataPort(), 14002);
  platform::SocketHandle fresh = ConnectTcp(14002);
  ASSERT_NE(fresh, platform::kInvalidSocket);
  ASSERT_TRUE(WaitUntil([&] { return s.DataChannel().SessionCount() == 2; }));
  EXPECT_EQ(RunningSessions(s), 2u);
  EXPECT_FALSE(WaitForPeerClose(old[0], 100));
  CloseTcp(old[0]);
  CloseTcp(fresh);
}

TEST(DataChannelTest, StopNowWithManySessionsConnectedDoesNotDeadlock) {
  CLogCapture log;
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  auto clients = ConnectClients(server.Server(), 6);
  CUdpProbe probe;
  std::optional<std::string> reply;
  RunWithin("STOP DATA CHANNEL NOW with six sessions", 10000,
            [&] { reply = probe.Ask("STOP DATA CHANNEL NOW", 9000); });
  EXPECT_EQ(reply, kMagic + "Data Channel stopped" + std::string(1, '\0'));
  for (auto c : clients) {
    EXPECT_TRUE(WaitForPeerClose(c));
    CloseTcp(c);
  }
  EXPECT_EQ(server.Server().DataChannel().SessionCount(), 0u);
  EXPECT_TRUE(log.Contains("VORN: Terminating data channel server thread.\n"));
}

TEST(DataChannelTest, ServiceStopWithSessionsConnectedDoesNotDeadlock) {
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  auto clients = ConnectClients(server.Server(), 6);
  server.StopAndDelete();  // bounded: a hang ends the program with a message
  for (auto c : clients) {
    EXPECT_TRUE(WaitForPeerClose(c));
    CloseTcp(c);
  }
}

// Sessions come and go while other threads hold the server lock (logging,
// configuration) and ask for or close the sessions: no combination may wait
// for ever.
TEST(DataChannelTest, SessionQueriesAndServerLockUnderChurnDoNotDeadlock) {
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  CInstallServer& s = server.Server();
  RunWithin("session churn against the server lock", 20000, [&] {
    std::atomic<bool> done{false};
    std::vector<std::thread> workers;
    workers.emplace_back([&] {
      while (!done) s.Log("busy %d", 1);
    });
    workers.emplace_back([&] {
      while (!done) s.GetDeviceGroup();
    });
    workers.emplace_back([&] {
      while (!done) {
        s.HasRunningSessions();
        platform::SleepMs(1);
      }
    });
    workers.emplace_back([&] {
      for (int i = 0; i < 5 && !done; ++i) {
        platform::SleepMs(60);
        s.CloseSessions();
      }
    });
    for (int round = 0; round < 30; ++round) {
      platform::SocketHandle c = ConnectTcp();
      if (round % 3 == 0) platform::SleepMs(2);
      CloseTcp(c);
    }
    done = true;
    for (auto& w : workers) w.join();
  });
}

}  // namespace
