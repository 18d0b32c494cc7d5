// Socket behaviour the channels and sessions rely on, the same on every
// backend: Winsock error numbers and a stop that ends blocked calls.
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/thread.h"

namespace {

using platform::Endpoint;
using platform::kInvalidSocket;
using platform::kLoopbackAddress;
using platform::kSocketError;
using platform::SocketHandle;
using platform::SocketKind;
using platform::Sockets;

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Sockets().Startup(), 0); }

  void TearDown() override {
    for (SocketHandle s : open_) Sockets().Close(s);
  }

  SocketHandle Open(SocketKind kind) {
    SocketHandle s = Sockets().Open(kind);
    EXPECT_NE(s, kInvalidSocket);
    if (s != kInvalidSocket) open_.push_back(s);
    return s;
  }

  // Bound to an ephemeral loopback port, which is returned in `local`.
  SocketHandle OpenBound(SocketKind kind, Endpoint& local) {
    SocketHandle s = Open(kind);
    EXPECT_EQ(Sockets().Bind(s, Endpoint{kLoopbackAddress, 0}), 0);
    EXPECT_EQ(Sockets().GetSockName(s, local), 0);
    EXPECT_NE(local.port, 0);
    return s;
  }

  // A connected pair: client, and the server side accepted from a listener.
  void OpenPair(SocketHandle& client, SocketHandle& server) {
    Endpoint local;
    SocketHandle listener = OpenBound(SocketKind::kStream, local);
    ASSERT_EQ(Sockets().Listen(listener, 4), 0);
    client = Open(SocketKind::kStream);
    ASSERT_EQ(Sockets().Connect(client, local), 0);
    server = Sockets().Accept(listener);
    ASSERT_NE(server, kInvalidSocket);
    open_.push_back(server);
  }

  std::vector<SocketHandle> open_;
};

TEST_F(SocketTest, BindingATakenPortFailsWithAddressInUse) {
  for (SocketKind kind : {SocketKind::kDatagram, SocketKind::kStream}) {
    Endpoint taken;
    SocketHandle first = OpenBound(kind, taken);
    if (kind == SocketKind::kStream) {
      ASSERT_EQ(Sockets().Listen(first, 4), 0);
    }
    SocketHandle second = Open(kind);
    EXPECT_EQ(Sockets().Bind(second, taken), kSocketError);
    EXPECT_EQ(Sockets().LastError(), platform::kWsaEaddrinuse);
  }
}

TEST_F(SocketTest, ConnectingToAClosedPortIsRefused) {
  Endpoint unused;
  SocketHandle placeholder = OpenBound(SocketKind::kStream, unused);
  Sockets().Close(placeholder);
  open_.clear();
  SocketHandle client = Open(SocketKind::kStream);
  EXPECT_EQ(Sockets().Connect(client, unused), kSocketError);
  EXPECT_EQ(Sockets().LastError(), platform::kWsaEconnrefused);
}

TEST_F(SocketTest, OversizedDatagramFailsWithMessageSizeAndIsConsumed) {
  Endpoint receiverAddress;
  SocketHandle receiver = OpenBound(SocketKind::kDatagram, receiverAddress);
  Endpoint senderAddress;
  SocketHandle sender = OpenBound(SocketKind::kDatagram, senderAddress);
  std::vector<char> big(600, 'x');
  ASSERT_EQ(Sockets().SendTo(sender, big.data(), 600, receiverAddress), 600);
  ASSERT_EQ(Sockets().SendTo(sender, "next", 4, receiverAddress), 4);

  char buffer[512];
  Endpoint from;
  EXPECT_EQ(Sockets().RecvFrom(receiver, buffer, 511, from), kSocketError);
  EXPECT_EQ(Sockets().LastError(), platform::kWsaEmsgsize);

  ASSERT_EQ(Sockets().RecvFrom(receiver, buffer, 511, from), 4);
  EXPECT_EQ(std::memcmp(buffer, "next", 4), 0);
  EXPECT_EQ(from.address, kLoopbackAddress);
  EXPECT_EQ(from.port, senderAddress.port);
}

TEST_F(SocketTest, EmptyDatagramIsReceivedAsZeroBytes) {
  Endpoint receiverAddress;
  SocketHandle receiver = OpenBound(SocketKind::kDatagram, receiverAddress);
  Endpoint senderAddress;
  SocketHandle sender = OpenBound(SocketKind::kDatagram, senderAddress);
  ASSERT_EQ(Sockets().SendTo(sender, "", 0, receiverAddress), 0);
  char buffer[16];
  Endpoint from;
  EXPECT_EQ(Sockets().RecvFrom(receiver, buffer, sizeof buffer, from), 0);
  EXPECT_EQ(from.port, senderAddress.port);
}

TEST_F(SocketTest, ExpiredReceiveTimeoutFailsWithTimedOut) {
  SocketHandle client, server;
  OpenPair(client, server);
  ASSERT_EQ(Sockets().SetReceiveTimeout(server, 100), 0);
  char buffer[8];
  EXPECT_EQ(Sockets().Recv(server, buffer, sizeof buffer), kSocketError);
  EXPECT_EQ(Sockets().LastError(), platform::kWsaEtimedout);

  Endpoint local;
  SocketHandle udp = OpenBound(SocketKind::kDatagram, local);
  ASSERT_EQ(Sockets().SetReceiveTimeout(udp, 100), 0);
  Endpoint from;
  EXPECT_EQ(Sockets().RecvFrom(udp, buffer, sizeof buffer, from), kSocketError);
  EXPECT_EQ(Sockets().LastError(), platform::kWsaEtimedout);
}

TEST_F(SocketTest, SendingToAClosedPeerFailsWithoutEndingTheProcess) {
  SocketHandle client, server;
  OpenPair(client, server);
  Sockets().Close(server);
  open_.pop_back();
  char block[1024] = {};
  int result = 0;
  for (int i = 0; i < 200 && result != kSocketError; ++i) {
    result = Sockets().Send(client, block, sizeof block);
    platform::SleepMs(5);
  }
  ASSERT_EQ(result, kSocketError);
  int error = Sockets().LastError();
  EXPECT_TRUE(error == platform::kWsaEconnreset || error == platform::kWsaEconnaborted) << error;
}

TEST_F(SocketTest, SocketOptionsOfAnAcceptedConnectionCanBeSet) {
  SocketHandle client, server;
  OpenPair(client, server);
  EXPECT_EQ(Sockets().SetKeepAlive(server, 1, 30000, 3000), 0);
  EXPECT_EQ(Sockets().SetNoDelay(server, true), 0);
  ASSERT_EQ(Sockets().Send(client, "abc", 3), 3);
  std::uint32_t readable = 0;
  for (int i = 0; i < 100 && readable < 3; ++i) {
    ASSERT_EQ(Sockets().BytesReadable(server, readable), 0);
    if (readable < 3) platform::SleepMs(5);
  }
  EXPECT_EQ(readable, 3u);
}

TEST_F(SocketTest, FailuresOnAClosedHandleSayNotASocket) {
  SocketHandle s = Open(SocketKind::kDatagram);
  Sockets().Close(s);
  open_.clear();
  EXPECT_EQ(Sockets().Bind(s, Endpoint{kLoopbackAddress, 0}), kSocketError);
  EXPECT_EQ(Sockets().LastError(), platform::kWsaEnotsock);
}

TEST(FormatAddressTest, PrintsDottedQuad) {
  EXPECT_EQ(platform::FormatAddress(kLoopbackAddress), "127.0.0.1");
  EXPECT_EQ(platform::FormatAddress(0xC0A8010Au), "192.168.1.10");
  EXPECT_EQ(platform::FormatAddress(platform::kBroadcastAddress), "255.255.255.255");
  EXPECT_EQ(platform::FormatAddress(0), "0.0.0.0");
}

// The stop protocol of every thread that owns a socket: shut it down, close
// it, and the call blocked on it returns.
enum class BlockedCall { kAccept, kRecv, kRecvFrom };

struct BlockedCallState {
  BlockedCall call;
  SocketHandle socket;
  int result = 0;
  platform::Event entered;
  platform::Event returned;
};

unsigned RunBlockedCall(void* raw) {
  auto* state = static_cast<BlockedCallState*>(raw);
  char buffer[64];
  Endpoint from;
  state->entered.Set();
  switch (state->call) {
    case BlockedCall::kAccept: {
      SocketHandle accepted = Sockets().Accept(state->socket);
      state->result = accepted == kInvalidSocket ? kSocketError : 1;
      break;
    }
    case BlockedCall::kRecv:
      state->result = Sockets().Recv(state->socket, buffer, sizeof buffer);
      break;
    case BlockedCall::kRecvFrom:
      state->result = Sockets().RecvFrom(state->socket, buffer, sizeof buffer, from);
      break;
  }
  state->returned.Set();
  return 0;
}

class StopWakesBlockedCallTest : public SocketTest,
                                 public ::testing::WithParamInterface<BlockedCall> {};

TEST_P(StopWakesBlockedCallTest, ShutdownAndCloseEndTheCall) {
  // Left to leak if the call never returns: the thread still uses it.
  auto* owned = new BlockedCallState;
  BlockedCallState& state = *owned;
  state.call = GetParam();
  SocketHandle peer = kInvalidSocket;
  Endpoint local;
  switch (state.call) {
    case BlockedCall::kAccept:
      state.socket = OpenBound(SocketKind::kStream, local);
      ASSERT_EQ(Sockets().Listen(state.socket, 4), 0);
      break;
    case BlockedCall::kRecv:
      OpenPair(peer, state.socket);
      break;
    case BlockedCall::kRecvFrom:
      state.socket = OpenBound(SocketKind::kDatagram, local);
      break;
  }
  platform::ThreadHandle thread = platform::CreateThread(&RunBlockedCall, &state);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(state.entered.Wait(5000));
  platform::SleepMs(100);  // let the call block
  EXPECT_FALSE(state.returned.Wait(0));

  Sockets().Shutdown(state.socket);
  Sockets().Close(state.socket);
  std::erase(open_, state.socket);
  bool ended = state.returned.Wait(5000);
  EXPECT_TRUE(ended);
  if (!ended) {
    // Unblock the thread so that the test program can still end.
    if (state.call == BlockedCall::kRecv) Sockets().Close(peer);
    FAIL() << "blocked call did not return";
  }
  platform::JoinThread(thread);
  std::unique_ptr<BlockedCallState> release(owned);
  // A receive may see the end of the stream; no call may report data.
  EXPECT_LE(state.result, 0);
  if (state.call != BlockedCall::kRecv) {
    EXPECT_EQ(state.result, kSocketError);
  }
}

INSTANTIATE_TEST_SUITE_P(Calls, StopWakesBlockedCallTest,
                         ::testing::Values(BlockedCall::kAccept, BlockedCall::kRecv,
                                           BlockedCall::kRecvFrom));

}  // namespace
