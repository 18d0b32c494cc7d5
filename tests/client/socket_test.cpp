#include "client/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "client/error.h"
#include "tests/support/running_server.h"
#include "tests/support/scripted_server.h"

namespace {

using vorn_test::CScriptedServer;
using Clock = std::chrono::steady_clock;

int CodeOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Fernway::CSocketError& error) {
    return error.Code();
  }
  return 0;
}

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(ClientSocket, DefaultsBeforeConnect) {
  CSocket socket;
  EXPECT_EQ(socket.GetAddress(), "127.0.0.1:4000");
  EXPECT_STREQ(socket.GetName(), "MKSOCKET");
  EXPECT_EQ(socket.GetTimeout(), 2000u);
  EXPECT_FALSE(socket.IsOpen());
  socket.SetTimeout(700);  // closed: only stored
  EXPECT_EQ(socket.GetTimeout(), 700u);
}

TEST(ClientSocket, SilentServerTimesOutWithTheTimeoutFlag) {
  CScriptedServer server([](const std::string&) { return std::nullopt; });
  CSocket socket;
  socket.SetTimeout(300);
  socket.Connect("127.0.0.1", server.Port());
  const auto start = Clock::now();
  try {
    socket.Query("*IDN?\n");
    FAIL() << "no time-out";
  } catch (const Fernway::CSocketError& error) {
    EXPECT_EQ(error.Code(), 10060);
    EXPECT_TRUE(error.IsTimeout());
  }
  EXPECT_GE(MillisecondsSince(start), 250);
  EXPECT_LT(MillisecondsSince(start), 2000);
}

TEST(ClientSocket, PeerThatClosesEndsTheReadAtOnceAsTimeOut) {
  CScriptedServer server([](const std::string&) { return std::nullopt; });
  CSocket socket;
  socket.SetTimeout(5000);
  socket.Connect("127.0.0.1", server.Port());
  socket.SendText("x\n");
  ASSERT_TRUE(vorn_test::WaitUntil([&] { return server.Messages().size() == 1; }));
  server.Disconnect();
  const auto start = Clock::now();
  char buffer[16];
  EXPECT_EQ(CodeOf([&] { socket.Read(buffer, sizeof buffer); }), 10060);
  EXPECT_LT(MillisecondsSince(start), 2000);
}

TEST(ClientSocket, RefusedConnectionFailsWithTheRefusalAndLeavesItClosed) {
  std::uint16_t freePort = 0;
  {
    CScriptedServer probe([](const std::string&) { return std::nullopt; });
    freePort = probe.Port();
  }
  CSocket socket;
  EXPECT_EQ(CodeOf([&] { socket.Connect("127.0.0.1", freePort); }), 10061);
  EXPECT_FALSE(socket.IsOpen());
}

TEST(ClientSocket, ConnectWhileConnectedIsRefused) {
  CScriptedServer server([](const std::string&) { return std::nullopt; });
  CSocket socket;
  socket.Connect("127.0.0.1", server.Port());
  EXPECT_EQ(CodeOf([&] { socket.Connect("127.0.0.1", server.Port()); }), 10037);
  EXPECT_EQ(socket.GetAddress(), "127.0.0.1:" + std::to_string(server.Port()));
  EXPECT_EQ(socket.GetPeerAddress().port, server.Port());
}

TEST(ClientSocket, UnknownHostNameFailsWithTheLookupError) {
  CSocket socket;
  const int code = CodeOf([&] { socket.Connect("no-such-host.invalid", 13217); });
  EXPECT_TRUE(code == 11001 || code == 11002) << code;
}

TEST(ClientSocket, ClearSendsTheDeviceClearAndDropsPendingInput) {
  CScriptedServer server([](const std::string& message) -> std::optional<std::string> {
    if (message == "burst") return std::string(1000, 'z') + "\n";
    if (message == "*IDN?") return std::string("fresh\n");
    return std::nullopt;
  });
  CSocket socket;
  socket.Connect("127.0.0.1", server.Port());
  socket.SendText("burst\n");
  vorn_test::WaitUntil([&] { return server.Messages().size() == 1; });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  socket.Clear();
  EXPECT_EQ(socket.Query("*IDN?\n"), "fresh\n");
  EXPECT_EQ(server.Messages(), (std::vector<std::string>{"burst", "*CLS", "*IDN?"}));
}

TEST(ClientSocket, ClearOnAClosedSocketThrows) {
  CSocket socket;
  EXPECT_NE(CodeOf([&] { socket.Clear(); }), 0);
}

TEST(ClientSocket, DetachHandsTheOpenHandleOver) {
  CScriptedServer server([](const std::string&) { return std::string("ok\n"); });
  CSocket socket;
  socket.Connect("127.0.0.1", server.Port());
  const platform::SocketHandle handle = socket.Detach();
  EXPECT_FALSE(socket.IsOpen());
  ASSERT_NE(handle, platform::kInvalidSocket);
  EXPECT_EQ(platform::Sockets().Send(handle, "a\n", 2), 2);
  char buffer[8];
  EXPECT_EQ(platform::Sockets().Recv(handle, buffer, sizeof buffer), 3);
  platform::Sockets().Close(handle);
}

}  // namespace
