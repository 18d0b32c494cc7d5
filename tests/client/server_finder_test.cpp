// Discovery against stand-in servers on loopback addresses (each test program
// runs in a network namespace of its own, where all of 127.0.0.0/8 answers),
// with an interface table chosen by the test.
#include "client/server_finder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "client/error.h"
#include "tests/support/udp_responder.h"

namespace {

constexpr std::uint16_t kPort = 13217;
const std::string kMagic = "16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN ";

std::uint32_t Loopback(int last) { return 0x7F000000u | static_cast<std::uint32_t>(last); }

class CFixedTable : public platform::INetworkInterfaces {
 public:
  explicit CFixedTable(std::vector<platform::InterfaceAddress> rows, bool readable = true)
      : rows_(std::move(rows)), readable_(readable) {}
  bool ReadAddressTable(std::vector<platform::InterfaceAddress>& rows) override {
    if (readable_) rows = rows_;
    return readable_;
  }

 private:
  std::vector<platform::InterfaceAddress> rows_;
  bool readable_;
};

// A control channel stand-in: answers a query with an identity and a start
// request with the port it was given, or every datagram with a fixed reply
// (sent as it is, without a terminating NUL).
class CUdpServer : public vorn_test::CUdpResponder {
 public:
  CUdpServer(std::uint32_t address, std::uint16_t dataPort, std::string fixedReply = "")
      : vorn_test::CUdpResponder(
            address, kPort, [dataPort, fixedReply](const std::string& datagram) {
              if (!fixedReply.empty()) return fixedReply;
              std::string reply;
              if (datagram.rfind(kMagic + "QUERY ID EqNumber=", 0) == 0) {
                reply = kMagic + "ID: Installation Server V2.35.2," + datagram.substr(60, 12) +
                        " 000001";
              } else if (datagram == kMagic + "START DATA CHANNEL") {
                reply = kMagic + "LISTENING ON PORT " + std::to_string(dataPort);
              }
              if (!reply.empty()) reply.push_back('\0');
              return reply;
            }) {}
};

// Whether replies from 127.0.0.x keep their own source address. Linux routes
// all of 127.0.0.0/8 to loopback; Wine's socket layer answers from 127.0.0.1.
bool LoopbackAliasesWork() {
  platform::ISocketApi& sockets = platform::Sockets();
  const platform::SocketHandle a = sockets.Open(platform::SocketKind::kDatagram);
  const platform::SocketHandle b = sockets.Open(platform::SocketKind::kDatagram);
  bool works = sockets.Bind(a, platform::Endpoint{Loopback(9), 0}) == 0;
  platform::Endpoint bound;
  works = works && sockets.GetSockName(a, bound) == 0;
  sockets.SetReceiveTimeout(b, 500);
  works = works && sockets.SendTo(b, "x", 1, bound) == 1;
  platform::Endpoint from;
  works = works && sockets.GetSockName(b, bound) == 0 && sockets.SendTo(a, "y", 1, bound) == 1;
  char c;
  works = works && sockets.RecvFrom(b, &c, 1, from) == 1 && from.address == Loopback(9);
  sockets.Close(a);
  sockets.Close(b);
  return works;
}

#define REQUIRE_LOOPBACK_ALIASES()                              \
  if (!LoopbackAliasesWork())                                   \
  GTEST_SKIP() << "replies from 127.0.0.x come from 127.0.0.1 " \
                  "here; the namespace tests cover this"

// Two interfaces: 127.0.0.4/32 is "this machine" (its broadcast is itself),
// 127.0.0.6/31 has the directed broadcast 127.0.0.7.
std::vector<platform::InterfaceAddress> TwoInterfaces() {
  return {{Loopback(4), 0xFFFFFFFFu},
          {Loopback(6), 0xFFFFFFFEu},
          {platform::kLoopbackAddress, 0xFF000000u}};
}

TEST(ServerFinder, FindsTheServerBehindADirectedBroadcastAndIgnoresItsOwnAnswer) {
  REQUIRE_LOOPBACK_ALIASES();
  CUdpServer own(Loopback(4), 13217);
  CUdpServer other(Loopback(7), 4000);
  ASSERT_TRUE(own.Bound() && other.Bound());
  CFixedTable table(TwoInterfaces());
  CServerFinder finder(platform::Sockets(), table);
  finder.timeout = 300;
  CAddressSet exclusions;
  const CAddressSet found = finder.Scan(exclusions, kPort, 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.begin()->address, Loopback(7));
  EXPECT_EQ(found.begin()->port, 4000);  // the port from the listening reply
  std::vector<std::pair<std::uint32_t, std::uint16_t>> excluded;
  for (const platform::Endpoint& e : exclusions) excluded.emplace_back(e.address, e.port);
  EXPECT_EQ(excluded, (std::vector<std::pair<std::uint32_t, std::uint16_t>>{{Loopback(4), kPort},
                                                                            {Loopback(6), kPort}}));
  EXPECT_EQ(own.Received().size(), 1u);  // asked, answered, and its answer ignored
  ASSERT_EQ(finder.Identities().size(), 1u);
  EXPECT_EQ(finder.Identities()[0].equipmentNumber, "__TRL_Tool__");
  EXPECT_EQ(finder.Identities()[0].serialNumber, "000001");
  EXPECT_EQ(finder.Identities()[0].identity, "Installation Server V2.35.2");
}

TEST(ServerFinder, QueryTextsForGroupOnOffAndSeveralEquipmentNumbers) {
  REQUIRE_LOOPBACK_ALIASES();
  CFixedTable table({{Loopback(6), 0xFFFFFFFEu}});
  const struct {
    const char* group;
    std::set<std::string> numbers;
    std::vector<std::string> expected;
  } cases[] = {
      {"DEFAULT", {"__TRL_Tool__"}, {kMagic + "QUERY ID EqNumber=__TRL_Tool__,\"DEFAULT\""}},
      {nullptr, {"__TRL_Tool__"}, {kMagic + "QUERY ID EqNumber=__TRL_Tool__"}},
      {"Lab 2",
       {"__TRL_Tool__", "1234.5678.02"},
       {kMagic + "QUERY ID EqNumber=1234.5678.02,\"Lab 2\"",
        kMagic + "QUERY ID EqNumber=__TRL_Tool__,\"Lab 2\""}},
  };
  for (const auto& c : cases) {
    CUdpServer server(Loopback(7), 13217);
    CServerFinder finder(platform::Sockets(), table);
    finder.timeout = 200;
    finder.SetGroup(c.group);
    finder.SetEqNumbers(c.numbers);
    CAddressSet exclusions;
    finder.Scan(exclusions, kPort, 0);
    std::vector<std::string> queries;
    for (const std::string& d : server.Received()) {
      if (d.rfind(kMagic + "QUERY", 0) == 0) queries.push_back(d);
    }
    EXPECT_EQ(queries, c.expected);
  }
}

TEST(ServerFinder, DefaultsAskForTheToolMarkerInTheDefaultGroup) {
  REQUIRE_LOOPBACK_ALIASES();
  CUdpServer server(Loopback(7), 13217);
  CFixedTable table({{Loopback(6), 0xFFFFFFFEu}});
  CServerFinder finder(platform::Sockets(), table);
  EXPECT_EQ(finder.timeout, 2000u);
  finder.timeout = 200;
  CAddressSet exclusions;
  finder.Scan(exclusions, kPort, 0);
  ASSERT_FALSE(server.Received().empty());
  EXPECT_EQ(server.Received()[0], kMagic + "QUERY ID EqNumber=__TRL_Tool__,\"DEFAULT\"");
  EXPECT_EQ(server.Received()[1], kMagic + "START DATA CHANNEL");
}

// Records what is sent to the limited broadcast (which a namespace with only
// loopback cannot route) and passes everything else to the real sockets.
class CBroadcastRecorder : public platform::ISocketApi {
 public:
  std::vector<platform::Endpoint> broadcasts;
  platform::ISocketApi& real = platform::Sockets();
  int Startup() override { return real.Startup(); }
  platform::SocketHandle Open(platform::SocketKind k) override { return real.Open(k); }
  int Bind(platform::SocketHandle s, const platform::Endpoint& e) override {
    return real.Bind(s, e);
  }
  int GetSockName(platform::SocketHandle s, platform::Endpoint& e) override {
    return real.GetSockName(s, e);
  }
  int Listen(platform::SocketHandle s, int b) override { return real.Listen(s, b); }
  platform::SocketHandle Accept(platform::SocketHandle s) override { return real.Accept(s); }
  int Connect(platform::SocketHandle s, const platform::Endpoint& e) override {
    return real.Connect(s, e);
  }
  int Recv(platform::SocketHandle s, void* b, int n) override { return real.Recv(s, b, n); }
  int Send(platform::SocketHandle s, const void* d, int n) override { return real.Send(s, d, n); }
  int RecvFrom(platform::SocketHandle s, void* b, int n, platform::Endpoint& f) override {
    return real.RecvFrom(s, b, n, f);
  }
  int SendTo(platform::SocketHandle s, const void* d, int n,
             const platform::Endpoint& to) override {
    if (to.address == platform::kBroadcastAddress) {
      broadcasts.push_back(to);
      return n;
    }
    return real.SendTo(s, d, n, to);
  }
  int Shutdown(platform::SocketHandle s) override { return real.Shutdown(s); }
  int Close(platform::SocketHandle s) override { return real.Close(s); }
  int BytesReadable(platform::SocketHandle s, std::uint32_t& c) override {
    return real.BytesReadable(s, c);
  }
  int SetKeepAlive(platform::SocketHandle s, std::uint32_t o, std::uint32_t t,
                   std::uint32_t i) override {
    return real.SetKeepAlive(s, o, t, i);
  }
  int SetNoDelay(platform::SocketHandle s, bool on) override { return real.SetNoDelay(s, on); }
  int SetBroadcast(platform::SocketHandle s, bool on) override { return real.SetBroadcast(s, on); }
  int SetReuseAddress(platform::SocketHandle s, bool on) override {
    return real.SetReuseAddress(s, on);
  }
  int SetReceiveTimeout(platform::SocketHandle s, std::uint32_t ms) override {
    return real.SetReceiveTimeout(s, ms);
  }
  int SetSendTimeout(platform::SocketHandle s, std::uint32_t ms) override {
    return real.SetSendTimeout(s, ms);
  }
  int LastError() override { return real.LastError(); }
};

TEST(ServerFinder, UnreadableInterfaceTableLeavesOnlyTheLimitedBroadcastOnTheFirstPort) {
  CBroadcastRecorder sockets;
  CFixedTable table({}, false);
  CServerFinder finder(sockets, table);
  finder.timeout = 200;
  CAddressSet exclusions;
  EXPECT_TRUE(finder.Scan(exclusions, kPort, 4001).empty());
  ASSERT_EQ(sockets.broadcasts.size(), 1u);
  EXPECT_EQ(sockets.broadcasts[0].port, kPort);
  EXPECT_TRUE(exclusions.empty());
}

TEST(ServerFinder, NothingAnsweringEndsAfterOneQuietTimeOut) {
  CFixedTable table({{Loopback(6), 0xFFFFFFFEu}});
  CServerFinder finder(platform::Sockets(), table);
  finder.timeout = 400;
  CAddressSet exclusions;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(finder.Scan(exclusions, kPort, 0).empty());
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  EXPECT_GE(ms, 350);
  EXPECT_LT(ms, 2000);
}

// One host answering with a datagram larger than any answer (or with
// nonsense) is passed over: the server on the other network is still found,
// whichever of the two answers arrives first.
TEST(ServerFinder, OversizedOrForeignDatagramIsIgnoredAndTheOthersAreCollected) {
  REQUIRE_LOOPBACK_ALIASES();
  for (const std::string& junk :
       {std::string(600, 'x'), std::string(65507, 'y'), std::string("not an answer")}) {
    CUdpServer flooder(Loopback(7), 0, junk);
    CUdpServer server(Loopback(9), 5555);
    CFixedTable table({{Loopback(6), 0xFFFFFFFEu}, {Loopback(8), 0xFFFFFFFEu}});
    CServerFinder finder(platform::Sockets(), table);
    finder.timeout = 500;
    CAddressSet exclusions;
    CAddressSet found;
    ASSERT_NO_THROW(found = finder.Scan(exclusions, kPort, 0)) << junk.size() << " bytes";
    ASSERT_EQ(found.size(), 1u) << junk.size() << " bytes";
    EXPECT_EQ(found.begin()->address, Loopback(9));
    EXPECT_EQ(found.begin()->port, 5555);
  }
}

// A peer that answers every datagram, the start request too, keeps the
// conversation going forever unless repeats count as quiet; a port out of
// range is no port. The collection ends within its quiet time all the same,
// with nothing found.
TEST(ServerFinder, RepeatsAndPortsOutOfRangeEndInTheQuietTime) {
  REQUIRE_LOOPBACK_ALIASES();
  for (const std::string& reply :
       {kMagic + "ID: Installation Server V2.35.2,__TRL_Tool__ 000001",
        kMagic + "LISTENING ON PORT 99999", kMagic + "LISTENING ON PORT 0",
        kMagic + "LISTENING ON PORT 4294967297"}) {
    CUdpServer peer(Loopback(7), 0, reply);
    CFixedTable table({{Loopback(6), 0xFFFFFFFEu}});
    CServerFinder finder(platform::Sockets(), table);
    finder.timeout = 400;
    CAddressSet exclusions;
    const auto start = std::chrono::steady_clock::now();
    CAddressSet found;
    ASSERT_NO_THROW(found = finder.Scan(exclusions, kPort, 0)) << reply;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_TRUE(found.empty()) << reply;
    EXPECT_LT(ms, 2000) << reply;
    EXPECT_LE(finder.Identities().size(), 1u) << reply;
  }
}

TEST(ServerFinder, FindServerAsksOneHostAndFallsBackToTheSecondPort) {
  REQUIRE_LOOPBACK_ALIASES();
  {
    CUdpServer server(Loopback(9), 5555);
    CServerFinder finder;
    finder.timeout = 300;
    const platform::Endpoint found = finder.FindServer("127.0.0.9", kPort, 0);
    EXPECT_EQ(found.address, Loopback(9));
    EXPECT_EQ(found.port, 5555);
  }
  CServerFinder finder;
  finder.timeout = 200;
  const platform::Endpoint fallback = finder.FindServer("127.0.0.10", kPort, 4444);
  EXPECT_EQ(fallback.address, Loopback(10));
  EXPECT_EQ(fallback.port, 4444);
}

TEST(ServerFinder, AddressOrderReadsTheNetworkBytesLittleEndian) {
  CAddressSet set{{0x0A000002, 1}, {0x0B000001, 1}, {0x0A000002, 0x0100}, {0x0A000002, 0x0002}};
  std::vector<std::pair<std::uint32_t, std::uint16_t>> order;
  for (const platform::Endpoint& e : set) order.emplace_back(e.address, e.port);
  // 11.0.0.1 reads as 0x0100000B, below 10.0.0.2 (0x0200000A); port 0x0100
  // reads as 1, below port 1 (0x0100) and port 2 (0x0200).
  const std::vector<std::pair<std::uint32_t, std::uint16_t>> expected = {
      {0x0B000001, 1}, {0x0A000002, 0x0100}, {0x0A000002, 1}, {0x0A000002, 2}};
  EXPECT_EQ(order, expected);
}

}  // namespace
