// Linux specifics the stop protocol rests on: shutdown alone must end a call
// blocked on the socket (closing a descriptor does not wake its users), and
// keep-alive times arrive at the kernel in seconds.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "platform/socket.h"
#include "platform/thread.h"

namespace {

using platform::Endpoint;
using platform::kInvalidSocket;
using platform::kLoopbackAddress;
using platform::kSocketError;
using platform::SocketHandle;
using platform::SocketKind;
using platform::Sockets;

struct Blocked {
  SocketHandle socket;
  bool accept;
  int result = 0;
  int error = 0;
  platform::Event returned;
};

unsigned Block(void* raw) {
  auto* blocked = static_cast<Blocked*>(raw);
  if (blocked->accept) {
    blocked->result = Sockets().Accept(blocked->socket) == kInvalidSocket ? kSocketError : 1;
  } else {
    char buffer[64];
    Endpoint from;
    blocked->result = Sockets().RecvFrom(blocked->socket, buffer, sizeof buffer, from);
  }
  blocked->error = Sockets().LastError();
  blocked->returned.Set();
  return 0;
}

TEST(PosixShutdownTest, ShutdownAloneWakesBlockedAcceptAndRecvFrom) {
  for (bool accept : {true, false}) {
    SocketHandle s = Sockets().Open(accept ? SocketKind::kStream : SocketKind::kDatagram);
    ASSERT_NE(s, kInvalidSocket);
    ASSERT_EQ(Sockets().Bind(s, Endpoint{kLoopbackAddress, 0}), 0);
    if (accept) {
      ASSERT_EQ(Sockets().Listen(s, 4), 0);
    }
    auto* blocked = new Blocked;
    blocked->socket = s;
    blocked->accept = accept;
    platform::ThreadHandle thread = platform::CreateThread(&Block, blocked);
    ASSERT_NE(thread, nullptr);
    platform::SleepMs(100);
    Sockets().Shutdown(s);
    ASSERT_TRUE(blocked->returned.Wait(5000)) << (accept ? "accept" : "recvfrom");
    platform::JoinThread(thread);
    EXPECT_EQ(blocked->result, kSocketError);
    // Winsock reports a call whose socket goes away as interrupted; for
    // recvfrom this also tells it apart from an empty datagram.
    EXPECT_EQ(blocked->error, platform::kWsaEintr) << (accept ? "accept" : "recvfrom");
    delete blocked;
    Sockets().Close(s);
  }
}

int IntOption(SocketHandle s, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  EXPECT_EQ(getsockopt(static_cast<int>(s), level, name, &value, &length), 0);
  return value;
}

TEST(PosixKeepAliveTest, MillisecondsBecomeWholeSeconds) {
  struct Case {
    std::uint32_t timeMs, intervalMs;
    int idle, interval;
  };
  for (const Case& c : {Case{30000, 3000, 30, 3}, Case{1500, 200, 2, 1}, Case{0, 0, 1, 1}}) {
    SocketHandle s = Sockets().Open(SocketKind::kStream);
    ASSERT_EQ(Sockets().SetKeepAlive(s, 1, c.timeMs, c.intervalMs), 0);
    EXPECT_EQ(IntOption(s, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(IntOption(s, IPPROTO_TCP, TCP_KEEPIDLE), c.idle) << c.timeMs;
    EXPECT_EQ(IntOption(s, IPPROTO_TCP, TCP_KEEPINTVL), c.interval) << c.intervalMs;
    ASSERT_EQ(Sockets().SetKeepAlive(s, 0, c.timeMs, c.intervalMs), 0);
    EXPECT_EQ(IntOption(s, SOL_SOCKET, SO_KEEPALIVE), 0);
    Sockets().Close(s);
  }
}

TEST(PosixSocketTest, ErrnoOfAFailedCallIsNotLeakedToOtherThreads) {
  SocketHandle s = Sockets().Open(SocketKind::kDatagram);
  ASSERT_EQ(Sockets().Bind(s, Endpoint{0x01020304, 0}), kSocketError);  // not a local address
  EXPECT_EQ(Sockets().LastError(), platform::kWsaEaddrnotavail);
  struct Probe {
    int seen = -1;
  } probe;
  platform::ThreadHandle thread = platform::CreateThread(
      [](void* raw) -> unsigned {
        static_cast<Probe*>(raw)->seen = Sockets().LastError();
        return 0;
      },
      &probe);
  platform::JoinThread(thread);
  EXPECT_EQ(probe.seen, 0);
  Sockets().Close(s);
}

}  // namespace
