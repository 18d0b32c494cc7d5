// The relay between two connections on its own: bytes of both directions,
// more than its buffers hold and at the same time, urgent bytes, and how it
// ends.
#include "federation/relay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>

#include "platform/socket.h"
#include "tests/support/running_server.h"

namespace {

platform::ISocketApi& Api() { return platform::Sockets(); }

// Two ends of one loopback TCP connection.
struct Connection {
  platform::SocketHandle near = platform::kInvalidSocket;
  platform::SocketHandle far = platform::kInvalidSocket;
};

Connection Connect() {
  platform::ISocketApi& api = Api();
  const platform::SocketHandle listener = api.Open(platform::SocketKind::kStream);
  api.Bind(listener, platform::Endpoint{platform::kLoopbackAddress, 0});
  api.Listen(listener, 1);
  platform::Endpoint where;
  api.GetSockName(listener, where);
  Connection c;
  c.near = api.Open(platform::SocketKind::kStream);
  EXPECT_EQ(api.Connect(c.near, where), 0);
  c.far = api.Accept(listener);
  api.Close(listener);
  api.SetReceiveTimeout(c.near, 5000);
  api.SetReceiveTimeout(c.far, 5000);
  return c;
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::string ReadExactly(platform::SocketHandle s, std::size_t n) {
  std::string got;
  char buffer[8192];
  while (got.size() < n) {
    const int r = Api().Recv(s, buffer, static_cast<int>(std::min(sizeof buffer, n - got.size())));
    if (r <= 0) break;
    got.append(buffer, static_cast<std::size_t>(r));
  }
  return got;
}

// tool <-> [session socket | relay | peer socket] <-> server
class RelayTest : public testing::Test {
 protected:
  RelayTest() : tool_(Connect()), server_(Connect()) {
    session_ = tool_.far;
    peer_ = server_.near;
  }
  ~RelayTest() override { TearDown(); }
  void TearDown() override {
    if (relay_.joinable()) relay_.join();
    for (platform::SocketHandle* s : {&tool_.near, &tool_.far, &server_.near, &server_.far}) {
      if (*s != platform::kInvalidSocket) Api().Close(*s);
      *s = platform::kInvalidSocket;
    }
  }
  void StartRelay() {
    relay_ = std::thread([this] { result_ = Relay(Api(), session_, peer_); });
  }
  platform::SocketHandle Tool() const { return tool_.near; }
  platform::SocketHandle Server() const { return server_.far; }

  Connection tool_;
  Connection server_;
  std::atomic<platform::SocketHandle> session_;
  std::atomic<platform::SocketHandle> peer_;
  std::thread relay_;
  std::atomic<std::int32_t> result_{1};
};

TEST_F(RelayTest, CarriesBothDirectionsAtOnceBeyondItsBuffers) {
  StartRelay();
  // Many buffers' worth each way, written while the other way is busy too,
  // so a relay that waits on one direction stalls both writers.
  const std::string up = RandomBytes(40 * kRelayBufferBytes + 17, 1);
  const std::string down = RandomBytes(30 * kRelayBufferBytes + 5, 2);
  std::thread toolWriter([&] { Api().Send(Tool(), up.data(), static_cast<int>(up.size())); });
  std::thread serverWriter(
      [&] { Api().Send(Server(), down.data(), static_cast<int>(down.size())); });
  std::string atServer;
  std::thread serverReader([&] { atServer = ReadExactly(Server(), up.size()); });
  const std::string atTool = ReadExactly(Tool(), down.size());
  serverReader.join();
  toolWriter.join();
  serverWriter.join();
  EXPECT_TRUE(atServer == up);
  EXPECT_TRUE(atTool == down);

  // The tool goes away; the server sees the end and closes: the relay ends with 0.
  Api().Shutdown(Tool());
  char byte;
  EXPECT_EQ(Api().Recv(Server(), &byte, 1), 0);
  Api().Shutdown(Server());
  relay_.join();
  EXPECT_EQ(result_, 0);
}

// A side that ends its stream right after sending has all of it delivered;
// the other side learns of the end only then, and can still answer, which
// reaches the side that ended before the relay ends.
TEST_F(RelayTest, DeliversEverythingBeforeAnEndAndLetsTheOtherWayFinish) {
  struct Case {
    const char* what;
    bool toolEnds;
    std::size_t bytes;
  } cases[] = {
      {"tool ends after a command", true, 24},
      {"tool ends after more than a buffer", true, 3 * kRelayBufferBytes + 11},
      {"server ends after an answer", false, 31},
      {"server ends after more than a buffer", false, 2 * kRelayBufferBytes + 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RelayTest::TearDown();
    tool_ = Connect();
    server_ = Connect();
    session_ = tool_.far;
    peer_ = server_.near;
    StartRelay();
    const platform::SocketHandle ending = c.toolEnds ? Tool() : Server();
    const platform::SocketHandle other = c.toolEnds ? Server() : Tool();
    const std::string last = RandomBytes(c.bytes, 3);
    std::thread writer([&] {
      Api().Send(ending, last.data(), static_cast<int>(last.size()));
      Api().ShutdownSend(ending);
    });
    EXPECT_TRUE(ReadExactly(other, last.size()) == last);
    char byte;
    EXPECT_EQ(Api().Recv(other, &byte, 1), 0);  // then the end, passed on
    writer.join();
    ASSERT_EQ(Api().Send(other, "late answer\n", 12), 12);
    EXPECT_EQ(ReadExactly(ending, 12), "late answer\n");
    Api().ShutdownSend(other);
    EXPECT_EQ(Api().Recv(ending, &byte, 1), 0);
    vorn_test::RunWithin("the relay's end", 5000, [this] { relay_.join(); });
    EXPECT_EQ(result_, 0);
  }
}

TEST_F(RelayTest, UrgentBytesArriveAsUrgentBytesInBothDirections) {
  StartRelay();
  struct Case {
    platform::SocketHandle from;
    platform::SocketHandle to;
    char urgent;
  } cases[] = {{Tool(), Server(), '\x7F'}, {Server(), Tool(), '!'}};
  for (const Case& c : cases) {
    ASSERT_EQ(Api().Send(c.from, "abc", 3), 3);
    ASSERT_EQ(Api().SendUrgent(c.from, &c.urgent, 1), 1);
    ASSERT_EQ(Api().Send(c.from, "def", 3), 3);
    platform::ISocketApi::WaitEntry wait;
    wait.socket = c.to;
    wait.wantUrgent = true;
    ASSERT_EQ(Api().Wait(&wait, 1), 1);
    char got = 0;
    ASSERT_EQ(Api().RecvUrgent(c.to, &got, 1), 1);
    EXPECT_EQ(got, c.urgent);
    // The urgent byte left the ordinary stream; the rest arrives in order.
    EXPECT_EQ(ReadExactly(c.to, 6), "abcdef");
  }
  Api().Shutdown(Server());
  Api().Shutdown(Tool());
  relay_.join();
  EXPECT_EQ(result_, 0);
}

TEST_F(RelayTest, EndsWithZeroWhenBothSidesClose) {
  StartRelay();
  ASSERT_EQ(Api().Send(Tool(), "*IDN?\n", 6), 6);
  EXPECT_EQ(ReadExactly(Server(), 6), "*IDN?\n");
  Api().Shutdown(Server());
  EXPECT_EQ(ReadExactly(Tool(), 1), "");
  Api().Shutdown(Tool());
  vorn_test::RunWithin("the relay's end", 5000, [this] { relay_.join(); });
  EXPECT_EQ(result_, 0);
}

// A stop that had to close the session socket under the relay forgets the
// handle; the relay must end instead of using it again.
TEST_F(RelayTest, EndsWhenItsSessionSocketWasForgotten) {
  session_ = platform::kInvalidSocket;
  StartRelay();
  vorn_test::RunWithin("the relay's end", 5000, [this] { relay_.join(); });
  EXPECT_EQ(result_, 0);
}

}  // namespace
