// The scan against stand-in servers on loopback addresses, one /30 network
// each, with an interface table and a neighbour cache chosen by the test.
#include "federation/server_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "service/install_server.h"
#include "tests/federation/lab_stand_ins.h"
#include "tests/support/log_capture.h"
#include "tests/support/running_server.h"

namespace {

using vorn_lab::Behaviour;
using vorn_lab::CLabServer;

constexpr unsigned kHandle = 0x2A;
const std::string kIdA = "{0A000000-0000-4000-8000-00000000000A}";
const std::string kIdB = "{0B000000-0000-4000-8000-00000000000B}";
const std::string kIdC = "{0C000000-0000-4000-8000-00000000000C}";

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string LogLine(const std::string& message) { return "VORN: " + message + "\n"; }

std::string HasId(int k, const std::string& quotedId) {
  return LogLine("Socket[2A]: Server '" + vorn_lab::ServerText(k) + "' has VORNID=" + quotedId);
}

class ServerScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!vorn_lab::LoopbackAliasesWork()) {
      GTEST_SKIP() << "replies from 127.0.0.x come from 127.0.0.1 here; "
                      "the namespace tests cover the scan";
    }
  }

  std::string Scan(int networks, ScanRequest request) {
    vorn_lab::CFixedTable table(networks);
    ScanSwitches switches;
    switches.relayAllowed = server_.Server().IsRelayAllowed();
    switches.directMode = server_.Server().IsScanDirectMode();
    switches.stopping = [this] { return server_.Server().IsStopping(); };
    CServerScan scan(server_.Server(), std::move(switches), known_, platform::Sockets(), table,
                     neighbours_);
    return scan.Run(kHandle, request);
  }

  static ScanRequest Request(ScanMode mode = ScanMode::kAll) {
    ScanRequest request;
    request.timeoutMs = 1000;
    request.mode = mode;
    request.equipmentNumbers = {"__TRL_Tool__"};
    return request;
  }

  vorn_test::CRunningServer server_{
      vorn_test::CRunningServer::Options{{}, nullptr, false, std::nullopt}};
  CKnownServers known_;
  vorn_lab::CFakeNeighbours neighbours_;
  vorn_test::CLogCapture log_;
};

TEST_F(ServerScanTest, FindsEveryServerAndAnswersInMapOrder) {
  CLabServer c(0, Behaviour::kIdentifies, kIdC);
  CLabServer a(1, Behaviour::kIdentifies, kIdA);
  CLabServer b(2, Behaviour::kIdentifies, kIdB);
  ASSERT_TRUE(a.Ready() && b.Ready() && c.Ready());

  EXPECT_EQ(Scan(3, Request()), Quoted(kIdA) + "," + Quoted(kIdB) + "," + Quoted(kIdC));
  platform::Endpoint address;
  ASSERT_TRUE(known_.Find(Quoted(kIdB), address));
  EXPECT_EQ(address.address, vorn_lab::ServerAddress(2));
  EXPECT_EQ(address.port, b.DataPort());
  EXPECT_TRUE(log_.Contains(HasId(1, Quoted(kIdA))));
  EXPECT_FALSE(known_.IsScanning());
  // Each server was prepared as the relay prepares it.
  const std::vector<std::string> messages = a.Data().Messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[0], "*CLS");
  EXPECT_EQ(messages[1], "DIAG:PROD:CAT?");
  EXPECT_EQ(messages[2], "DIAG:PROD:SEL \"__TRL_Tool__\"");
}

// A server that takes the connection and the catalogue but never identifies
// itself used to end the scan there; the servers after it must still count.
TEST_F(ServerScanTest, SilentServerDoesNotHideTheServersAfterIt) {
  CLabServer a(0, Behaviour::kIdentifies, kIdA);
  CLabServer silent(1, Behaviour::kSilent);
  CLabServer b(2, Behaviour::kIdentifies, kIdB);
  CLabServer silent2(3, Behaviour::kSilent);
  CLabServer c(4, Behaviour::kIdentifies, kIdC);
  ASSERT_TRUE(a.Ready() && silent.Ready() && b.Ready() && silent2.Ready() && c.Ready());

  EXPECT_EQ(Scan(5, Request()), Quoted(kIdA) + "," + Quoted(kIdB) + "," + Quoted(kIdC));
  EXPECT_EQ(log_.Count(LogLine("Socket[2A]: Warning: unknown exception at line 674")), 2u);
  EXPECT_TRUE(log_.Contains(HasId(4, Quoted(kIdC))));
}

TEST_F(ServerScanTest, LaterAddressWinsForADuplicateIdentifier) {
  CLabServer first(0, Behaviour::kIdentifies, kIdA);
  CLabServer second(1, Behaviour::kIdentifies, kIdA);
  ASSERT_TRUE(first.Ready() && second.Ready());

  EXPECT_EQ(Scan(2, Request()), Quoted(kIdA));
  platform::Endpoint address;
  ASSERT_TRUE(known_.Find(Quoted(kIdA), address));
  EXPECT_EQ(address.address, vorn_lab::ServerAddress(1));
  EXPECT_EQ(address.port, second.DataPort());
}

TEST_F(ServerScanTest, ServerWithoutIdentifierIsKnownByItsMacAddress) {
  CLabServer old(0, Behaviour::kOld);
  ASSERT_TRUE(old.Ready());
  neighbours_.answer = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

  EXPECT_EQ(Scan(1, Request()), "\"001A2B3C4D5E\"");
  ASSERT_EQ(neighbours_.asked.size(), 1u);
  EXPECT_EQ(neighbours_.asked[0], vorn_lab::ServerAddress(0));
  EXPECT_TRUE(log_.Contains(HasId(0, "\"001A2B3C4D5E\"")));
}

TEST_F(ServerScanTest, ServerWithoutIdentifierOrMacAddressIsLeftOut) {
  struct Case {
    bool known;
    std::vector<std::uint8_t> bytes;
  };
  for (const Case& c : {Case{false, {}}, Case{true, {}}}) {
    CLabServer old(0, Behaviour::kOld);
    ASSERT_TRUE(old.Ready());
    neighbours_.known = c.known;
    neighbours_.answer = c.bytes;
    log_.Clear();
    EXPECT_EQ(Scan(1, Request()), "");
    EXPECT_TRUE(log_.Contains(LogLine("Socket[2A]: Error! No VORNID for Server '" +
                                      vorn_lab::ServerText(0) + "' found!")));
  }
}

TEST_F(ServerScanTest, ExternLeavesOutTheToolsNetwork) {
  CLabServer a(0, Behaviour::kIdentifies, kIdA);
  CLabServer b(1, Behaviour::kIdentifies, kIdB);
  ASSERT_TRUE(a.Ready() && b.Ready());
  ScanRequest request = Request(ScanMode::kExtern);
  request.localAddress = vorn_lab::CFixedTable::OwnAddress(0);

  EXPECT_EQ(Scan(2, request), Quoted(kIdB));
  EXPECT_TRUE(a.Control().Received().empty());
}

TEST_F(ServerScanTest, QueryCarriesTheFirstGroupInQuotesAndEachNumberOnce) {
  CLabServer a(0, Behaviour::kIdentifies, kIdA);
  ASSERT_TRUE(a.Ready());
  ScanRequest request = Request();
  request.group = "LAB";
  request.equipmentNumbers = {"1234.5678.02", "__TRL_Tool__", "1234.5678.02"};

  Scan(1, request);
  const std::vector<std::string> received = a.Control().Received();
  ASSERT_GE(received.size(), 2u);
  EXPECT_EQ(received[0], vorn_lab::kMagic + "QUERY ID EqNumber=1234.5678.02,\"LAB\"");
  EXPECT_EQ(received[1], vorn_lab::kMagic + "QUERY ID EqNumber=__TRL_Tool__,\"LAB\"");
  EXPECT_EQ(
      std::count_if(received.begin(), received.end(),
                    [](const std::string& d) { return d.find("QUERY") != std::string::npos; }),
      2);
}

TEST_F(ServerScanTest, NoEquipmentNumbersSendsNothingAndEmptiesTheTable) {
  CLabServer a(0, Behaviour::kIdentifies, kIdA);
  ASSERT_TRUE(a.Ready());
  EXPECT_EQ(Scan(1, Request()), Quoted(kIdA));

  ScanRequest request = Request();
  request.equipmentNumbers.clear();
  EXPECT_EQ(Scan(1, request), "");
  EXPECT_EQ(known_.Answer(), "");
}

// Which modes ask on the second discovery port too.
TEST_F(ServerScanTest, SecondDiscoveryPortOnlyForTheDirectModes) {
  struct Case {
    ScanMode mode;
    bool secondPort;
  };
  for (const Case& c : {Case{ScanMode::kAll, false}, Case{ScanMode::kDall, true},
                        Case{ScanMode::kExtern, false}, Case{ScanMode::kDextern, true}}) {
    vorn_lab::CUdpResponder port17(vorn_lab::ServerAddress(0), 4000, 17);
    ASSERT_TRUE(port17.Bound());
    Scan(1, Request(c.mode));
    EXPECT_EQ(!port17.Received().empty(), c.secondPort) << static_cast<int>(c.mode);
  }
}

TEST_F(ServerScanTest, ScanWhileAnotherRunsAnswersTheCurrentTableAtOnce) {
  CKnownServers::Table table;
  table["\"X\""] = platform::Endpoint{vorn_lab::ServerAddress(0), 13217};
  known_.EndScan(table);
  ASSERT_TRUE(known_.BeginScan());
  EXPECT_EQ(Scan(1, Request()), "\"X\"");
  EXPECT_TRUE(known_.IsScanning());
}

TEST_F(ServerScanTest, DiscoveryFailureIsLoggedAndEmptiesTheTable) {
  CLabServer a(0, Behaviour::kIdentifies, kIdA);
  ASSERT_TRUE(a.Ready());
  EXPECT_EQ(Scan(1, Request()), Quoted(kIdA));
  // A query longer than any datagram: the discovery itself fails.
  ScanRequest request = Request();
  request.group = std::string(70000, 'G');
  EXPECT_EQ(Scan(1, request), "");
  EXPECT_TRUE(log_.Contains(LogLine("Socket[2A]: Warning: unknown exception at line 674")));
}

// The identifiers a scan keeps are answered to tools line by line: one that
// is not a single quoted GUID must not reach the table, whatever else the
// server got right.
TEST_F(ServerScanTest, ServerWithAMalformedIdentifierIsLeftOut) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"a carriage return in it", kIdA + "\r"},
      {"a line feed in the middle", "{0A000000-0000-4000-8000\n-0000000000A}"},
      {"no braces", "0A000000-0000-4000-8000-00000000000A"},
      {"a digit that is no hexadecimal digit", "{0G000000-0000-4000-8000-00000000000A}"},
      {"one digit short", "{0A000000-0000-4000-8000-0000000000A}"},
      {"a control character", "{0A000000-0000-4000-8000-00000000000A}\x1b[2J"},
  };
  for (const auto& [name, id] : cases) {
    CLabServer hostile(0, Behaviour::kIdentifies, id);
    CLabServer good(1, Behaviour::kIdentifies, kIdB);
    ASSERT_TRUE(hostile.Ready() && good.Ready());
    log_.Clear();
    EXPECT_EQ(Scan(2, Request()), Quoted(kIdB)) << name;
    EXPECT_EQ(log_.Count(LogLine("Socket[2A]: Error! Server '" + vorn_lab::ServerText(0) +
                                 "' answered a malformed VORNID!")),
              1u)
        << name;
  }
  // An answer line behind a good identifier: the client reads one line per
  // answer, so the identifier is kept alone and the line reaches no table.
  {
    CLabServer injecting(0, Behaviour::kIdentifies, kIdA + "\"\n0,\"No error");
    CLabServer good(1, Behaviour::kIdentifies, kIdB);
    ASSERT_TRUE(injecting.Ready() && good.Ready());
    EXPECT_EQ(Scan(2, Request()), Quoted(kIdA) + "," + Quoted(kIdB));
  }
  // Lower-case digits are still a GUID.
  const std::string lower = "{0a000000-0000-4000-8000-00000000000a}";
  CLabServer a(0, Behaviour::kIdentifies, lower);
  ASSERT_TRUE(a.Ready());
  EXPECT_EQ(Scan(1, Request()), Quoted(lower));
}

// A stop of the service must not wait for the end of a long scan: systemd
// kills a service that has not stopped within its time-out.
TEST_F(ServerScanTest, StopEndsARunningScanAtOnce) {
  ScanRequest request = Request();
  request.timeoutMs = 30000;
  const auto start = std::chrono::steady_clock::now();
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server_.Server().Stop(true);
  });
  EXPECT_EQ(Scan(1, request), "");
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(known_.IsScanning());
}

}  // namespace
