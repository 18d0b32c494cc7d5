#include "net/control_channel.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "net/data_channel.h"
#include "platform/registry_keys.h"
#include "service/install_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/running_server.h"

namespace {

using vorn_test::CLogCapture;
using vorn_test::CRunningServer;
using vorn_test::CUdpProbe;
using vorn_test::kMagic;
using vorn_test::WaitUntil;

const std::string& kIdentity = vorn_test::kServerIdentity;
const std::string kQuery = "QUERY ID EqNumber=";
using vorn_test::kToolQuery;
using vorn_test::kToolReply;

std::string Reply(const std::string& text) { return kMagic + text + std::string(1, '\0'); }

CRunningServer::Options WithDevices() {
  CRunningServer::Options options;
  options.devices = {{"1234.5678.02", "100042"}, {"2222.3333.04", "7"}};
  return options;
}

// Requests are handled one at a time in arrival order, so when the query
// sent behind `phrase` is the first to be answered, `phrase` got no reply.
void ExpectNoReply(CUdpProbe& probe, const std::string& phrase) {
  ASSERT_TRUE(probe.Send(kMagic + phrase));
  EXPECT_EQ(probe.Ask(kToolQuery, 3000), kToolReply) << "answered: [" << phrase << "]";
}

TEST(ControlChannelTest, IdentityRepliesCarryTheNumberAsReceivedAndTheZeroByte) {
  CRunningServer server(WithDevices());
  ASSERT_TRUE(server.Started());
  CUdpProbe probe;
  struct Case {
    std::string phrase;
    std::string reply;
  };
  const Case cases[] = {
      {kToolQuery, kToolReply},
      {kQuery + "1234.5678.02", kIdentity + ",1234.5678.02 100042" + std::string(1, '\0')},
      {kQuery + "__trl_tool__", kIdentity + ",__trl_tool__ 000001" + std::string(1, '\0')},
      {kQuery + "__TRL_Tool__,\"DEFAULT\"", kToolReply},
      {kQuery + "__TRL_Tool__,\"  default \"", kToolReply},
      {kQuery + "__TRL_Tool__,\"\tDeFaUlT\"", kToolReply},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(probe.Ask(c.phrase, 3000), c.reply) << c.phrase;
  }
}

TEST(ControlChannelTest, QueriesThatDoNotApplyGetNoReply) {
  CRunningServer server(WithDevices());
  ASSERT_TRUE(server.Started());
  CUdpProbe probe;
  const std::string unanswered[] = {
      kQuery + "__TRL_Tool_",                // 11 characters
      kQuery + "__TRL_Tool__x",              // 12 characters and junk
      kQuery + "__TRL_Tool__,",              // comma alone
      kQuery + "__TRL_Tool__,\"",            // one quote
      kQuery + "__TRL_Tool__,\"DEFAULT",     // unterminated group
      kQuery + "__TRL_Tool__ ,\"DEFAULT\"",  // blank before the comma
      kQuery + "__TRL_Tool__,\"OTHER\"",     // another group
      kQuery + "__TRL_Tool__,\"\"",          // the empty group is not DEFAULT
      kQuery + "9999.9999.99",               // unknown equipment number
      "QUERY ID EqNumber",                   // prefix cut short
      "query id EqNumber=__TRL_Tool__",      // matching is case-sensitive
      "START DATA CHANNEL ON PORT 70000",
      "START DATA CHANNEL ON PORT 65536",
      "START DATA CHANNEL ON PORT 123abc",
      "START DATA CHANNEL ON PORT ",
      "START DATA CHANNEL ON PORT -1",
      "START DATA CHANNEL ON PORT 99999999999999999999999",
      "START DATA CHANNEL ",
      "STOP DATA CHANNEL NOW ",
      "HELLO",
  };
  for (const std::string& phrase : unanswered) ExpectNoReply(probe, phrase);
}

TEST(ControlChannelTest, TextEndsAtTheFirstZeroByte) {
  CRunningServer server(WithDevices());
  ASSERT_TRUE(server.Started());
  CUdpProbe probe;
  EXPECT_EQ(probe.Ask(kToolQuery + std::string(1, '\0') + "junk", 3000), kToolReply);
}

TEST(ControlChannelTest, EmptyGroupNameMatchesAnEmptyDeviceGroup) {
  CRunningServer::Options options;
  options.start = false;
  CRunningServer server(options);
  server.Registry().PutString(kConfigurationKey, "DeviceGroup", "");
  ASSERT_TRUE(server.Server().StartDataChannel());
  CUdpProbe probe;
  EXPECT_EQ(probe.Ask(kToolQuery + ",\"\"", 3000), kToolReply);
  ExpectNoReply(probe, kToolQuery + ",\"DEFAULT\"");
}

TEST(ControlChannelTest, StartWhileListeningAnswersTheBoundPort) {
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  CUdpProbe probe;
  EXPECT_EQ(probe.Ask("START DATA CHANNEL ON PORT 14000", 3000), Reply("LISTENING ON PORT 13217"));
  EXPECT_EQ(probe.Ask("START DATA CHANNEL", 3000), Reply("LISTENING ON PORT 13217"));
}

TEST(ControlChannelTest, PlainStopIsRefusedWhileAClientIsConnectedAndNowDisconnectsIt) {
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  CUdpProbe probe;
  platform::SocketHandle client = vorn_test::ConnectTcp();
  ASSERT_NE(client, platform::kInvalidSocket);
  ASSERT_TRUE(WaitUntil([&] { return server.Server().HasRunningSessions(); }));

  EXPECT_EQ(probe.Ask("STOP DATA CHANNEL", 3000), Reply("ERROR: Can not stop Data Channel!"));
  EXPECT_TRUE(server.Server().IsDataChannelRunning());

  EXPECT_EQ(probe.Ask("STOP DATA CHANNEL NOW", 5000), Reply("Data Channel stopped"));
  EXPECT_TRUE(vorn_test::WaitForPeerClose(client));
  EXPECT_FALSE(server.Server().IsDataChannelRunning());
  EXPECT_EQ(vorn_test::ConnectTcp(), platform::kInvalidSocket);
  vorn_test::CloseTcp(client);

  // Without sessions the plain form stops too (here: an already stopped channel).
  EXPECT_EQ(probe.Ask("STOP DATA CHANNEL", 3000), Reply("Data Channel stopped"));
  // And the listener comes back on the port asked for.
  EXPECT_EQ(probe.Ask("START DATA CHANNEL ON PORT 14001", 3000), Reply("LISTENING ON PORT 14001"));
  platform::SocketHandle again = vorn_test::ConnectTcp(14001);
  EXPECT_NE(again, platform::kInvalidSocket);
  vorn_test::CloseTcp(again);
}

TEST(ControlChannelTest, StartFailureGetsTheLaunchErrorReply) {
  CLogCapture log;
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.Server().StopDataChannel());
  // Another listener holds the port now.
  platform::ISocketApi& sockets = platform::Sockets();
  platform::SocketHandle squatter = sockets.Open(platform::SocketKind::kStream);
  ASSERT_EQ(sockets.Bind(squatter, platform::Endpoint{platform::kAnyAddress, 13217}), 0);
  ASSERT_EQ(sockets.Listen(squatter, 5), 0);

  CUdpProbe probe;
  EXPECT_EQ(probe.Ask("START DATA CHANNEL", 5000), Reply("ERROR: Can not launch Data Channel!"));
  EXPECT_TRUE(log.Contains("VORN: Error: bind of data channel failed with 10048\n"));
  EXPECT_TRUE(log.Contains("VORN: Error: Cannot bind data channel to port 13217\n"));
  sockets.Close(squatter);
}

TEST(ControlChannelTest, EmptyAndOversizedDatagramsDoNotEndDiscovery) {
  CLogCapture log;
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  CUdpProbe probe;
  ASSERT_TRUE(probe.Send(""));
  EXPECT_EQ(probe.Ask(kToolQuery, 3000), kToolReply);
  ASSERT_TRUE(probe.Send(std::string(600, 'A')));
  EXPECT_EQ(probe.Ask(kToolQuery, 3000), kToolReply);
  ASSERT_TRUE(probe.Send(kMagic + std::string(511 - kMagic.size(), 'B')));  // fits exactly
  EXPECT_EQ(probe.Ask(kToolQuery, 3000), kToolReply);

  bool oversizedLogged = false;
  for (const std::string& line : log.Lines()) {
    const std::string tail = "recvfrom(s,...) returned 10040\n";
    if (line.size() > tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0 &&
        line.rfind("VORN: 127.0.0.1:", 0) == 0) {
      oversizedLogged = true;
    }
  }
  EXPECT_TRUE(oversizedLogged);
  EXPECT_FALSE(log.Contains("VORN: Terminating control channel thread\n"));
  EXPECT_TRUE(server.Server().IsControlChannelRunning());
}

TEST(ControlChannelTest, RequestsAndRepliesAreLogged) {
  CLogCapture log;
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  CUdpProbe probe;
  ASSERT_EQ(probe.Ask(kToolQuery, 3000), kToolReply);
  const auto lines = log.Lines();
  bool request = false;
  bool reply = false;
  for (const std::string& line : lines) {
    if (line.find(" >> [" + kMagic + kToolQuery + "]\n") != std::string::npos) request = true;
    if (line.find(" << [" + kIdentity + ",__TRL_Tool__ 000001]\n") != std::string::npos) {
      reply = true;
    }
  }
  EXPECT_TRUE(request);
  EXPECT_TRUE(reply);
}

TEST(ControlChannelTest, OnlyStopEndsTheLoop) {
  CLogCapture log;
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(server.Server().ControlChannel().Stop());
  EXPECT_EQ(log.Count("VORN: Terminating control channel thread\n"), 1u);
  // The receive that the stop ends is logged with 10004 just before.
  const long end = log.Find("VORN: Terminating control channel thread\n");
  ASSERT_GT(end, 0);
  const std::string failed = log.Lines()[static_cast<std::size_t>(end - 1)];
  const std::string tail = " recvfrom(s,...) returned 10004\n";
  EXPECT_TRUE(failed.size() > tail.size() &&
              failed.compare(failed.size() - tail.size(), tail.size(), tail) == 0)
      << failed;
  EXPECT_FALSE(server.Server().IsControlChannelRunning());
  // A restart reuses the object.
  ASSERT_TRUE(server.Server().StartControlChannel());
  CUdpProbe probe;
  EXPECT_EQ(probe.Ask(kToolQuery, 3000), kToolReply);
}

}  // namespace
