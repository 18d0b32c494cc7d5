// The interface's sockets are plain Winsock sockets: options set through it
// are what Winsock reports, and its error numbers are WSAGetLastError's.
#include <gtest/gtest.h>

#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/win32/windows_api.h"

namespace {

using platform::Endpoint;
using platform::kInvalidSocket;
using platform::kLoopbackAddress;
using platform::SocketHandle;
using platform::SocketKind;
using platform::Sockets;

TEST(WinsockOptionsTest, AcceptedConnectionTakesKeepAliveValuesAndNoDelay) {
  ASSERT_EQ(Sockets().Startup(), 0);
  SocketHandle listener = Sockets().Open(SocketKind::kStream);
  ASSERT_NE(listener, kInvalidSocket);
  Endpoint local;
  ASSERT_EQ(Sockets().Bind(listener, Endpoint{kLoopbackAddress, 0}), 0);
  ASSERT_EQ(Sockets().GetSockName(listener, local), 0);
  ASSERT_EQ(Sockets().Listen(listener, SOMAXCONN), 0);
  SocketHandle client = Sockets().Open(SocketKind::kStream);
  ASSERT_EQ(Sockets().Connect(client, local), 0);
  SocketHandle accepted = Sockets().Accept(listener);
  ASSERT_NE(accepted, kInvalidSocket);

  EXPECT_EQ(Sockets().SetKeepAlive(accepted, 1, 30000, 3000), 0) << Sockets().LastError();
  ASSERT_EQ(Sockets().SetNoDelay(accepted, true), 0) << Sockets().LastError();

  SOCKET native = static_cast<SOCKET>(accepted);
  int value = 0;
  int size = sizeof value;
  ASSERT_EQ(getsockopt(native, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &size),
            0);
  EXPECT_NE(value, 0);
  value = 0;
  size = sizeof value;
  ASSERT_EQ(getsockopt(native, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&value), &size),
            0);
  EXPECT_NE(value, 0);

  // Data still flows both ways after tuning.
  ASSERT_EQ(Sockets().Send(client, "*IDN?\n", 6), 6);
  char buffer[8] = {};
  EXPECT_EQ(Sockets().Recv(accepted, buffer, sizeof buffer), 6);

  for (SocketHandle s : {accepted, client, listener}) Sockets().Close(s);
}

TEST(WinsockOptionsTest, LastErrorIsTheThreadsWinsockError) {
  SocketHandle first = Sockets().Open(SocketKind::kDatagram);
  SocketHandle second = Sockets().Open(SocketKind::kDatagram);
  Endpoint local;
  ASSERT_EQ(Sockets().Bind(first, Endpoint{kLoopbackAddress, 0}), 0);
  ASSERT_EQ(Sockets().GetSockName(first, local), 0);
  ASSERT_EQ(Sockets().Bind(second, local), platform::kSocketError);
  EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
  EXPECT_EQ(Sockets().LastError(), 10048);

  Sockets().Close(first);
  SocketHandle client = Sockets().Open(SocketKind::kStream);
  SocketHandle closedPort = Sockets().Open(SocketKind::kStream);
  ASSERT_EQ(Sockets().Bind(closedPort, Endpoint{kLoopbackAddress, 0}), 0);
  ASSERT_EQ(Sockets().GetSockName(closedPort, local), 0);
  Sockets().Close(closedPort);
  ASSERT_EQ(Sockets().Connect(client, local), platform::kSocketError);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
  EXPECT_EQ(Sockets().LastError(), 10061);
  Sockets().Close(client);
  Sockets().Close(second);
}

struct BlockedCall {
  SocketHandle socket = kInvalidSocket;
  bool accept = false;
  int result = 0;
  int error = 0;
  platform::Event returned;
};

unsigned RunBlockedCall(void* raw) {
  auto* call = static_cast<BlockedCall*>(raw);
  if (call->accept) {
    call->result = Sockets().Accept(call->socket) == kInvalidSocket ? platform::kSocketError : 1;
  } else {
    char buffer[64];
    Endpoint from;
    call->result = Sockets().RecvFrom(call->socket, buffer, sizeof buffer, from);
  }
  call->error = Sockets().LastError();
  call->returned.Set();
  return 0;
}

// The channels log the error of the call that their stop ended; it reads as
// on Windows (10004), also under Wine, which reports an aborted request.
TEST(WinsockOptionsTest, CallEndedByCloseOnAnotherThreadFailsWithInterrupted) {
  for (bool accept : {true, false}) {
    SCOPED_TRACE(accept ? "accept" : "recvfrom");
    auto* call = new BlockedCall;  // leaked if the call never returns
    call->accept = accept;
    call->socket = Sockets().Open(accept ? SocketKind::kStream : SocketKind::kDatagram);
    ASSERT_EQ(Sockets().Bind(call->socket, Endpoint{kLoopbackAddress, 0}), 0);
    if (accept) {
      ASSERT_EQ(Sockets().Listen(call->socket, 4), 0);
    }
    platform::ThreadHandle thread = platform::CreateThread(&RunBlockedCall, call);
    ASSERT_NE(thread, nullptr);
    platform::SleepMs(100);
    Sockets().Shutdown(call->socket);
    Sockets().Close(call->socket);
    ASSERT_TRUE(call->returned.Wait(5000));
    platform::JoinThread(thread);
    EXPECT_EQ(call->result, platform::kSocketError);
    EXPECT_EQ(call->error, platform::kWsaEintr);
    delete call;
  }
}

}  // namespace
