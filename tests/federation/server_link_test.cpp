// Relaying a tool's session over the wire: a tool connected to server A asks
// for server B by its VORN identifier and then talks to B through A.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "federation/known_servers.h"
#include "federation/peer_link.h"
#include "net/client_networks.h"
#include "net/control_channel.h"
#include "platform/socket.h"
#include "protocol/text_format.h"
#include "service/access_settings.h"
#include "service/install_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/running_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/winsock_stop_socket_api.h"
#include "tests/support/wire_client.h"

namespace {

using vorn_test::CRunningServer;
using vorn_test::CScriptedServer;
using vorn_test::CWireClient;

// Server B listens beside A (13217) on ports of its own.
constexpr std::uint16_t kPeerControlPort = 13227;
constexpr std::uint16_t kPeerDataPort = 13228;
// Enough devices that B's catalogue answer is longer than the relay's buffers.
constexpr int kPeerDevices = 400;

std::vector<std::pair<std::string, std::string>> ManyDevices() {
  std::vector<std::pair<std::string, std::string>> devices;
  for (int i = 0; i < kPeerDevices; ++i) {
    devices.emplace_back(std::to_string(100000000000LL + i), std::to_string(100000 + i));
  }
  return devices;
}

CRunningServer::Options PeerOptions() {
  CRunningServer::Options options;
  options.devices = ManyDevices();
  options.start = false;
  return options;
}

platform::Endpoint Loopback(std::uint16_t port) {
  return platform::Endpoint{platform::kLoopbackAddress, port};
}

std::string ConnectRequest(const std::string& target) {
  return "DIAG:VORN:CONN? 'lab tool','" + target + "'\n";
}

class ServerLinkTest : public testing::Test {
 protected:
  ServerLinkTest() : peer_(PeerOptions()) {
    peer_.Server().ControlChannel().SetPort(kPeerControlPort);
    peer_.Server().SetDataPort(kPeerDataPort);
    EXPECT_TRUE(peer_.Server().StartControlChannel() && peer_.Server().StartDataChannel());
    peerId_ = peer_.Server().GetServerId();
    Know(peerId_, Loopback(kPeerDataPort));
  }
  ~ServerLinkTest() override { CKnownServers::Instance().EndScan({}); }

  // As a scan that found the server would leave the table.
  static void Know(const std::string& id, const platform::Endpoint& address) {
    CKnownServers::Table table = CKnownServers::Instance().Snapshot();
    table[QuoteString(id)] = address;
    CKnownServers::Instance().EndScan(std::move(table));
  }

  static std::string Ask(CWireClient& client, const std::string& lines) {
    EXPECT_TRUE(client.Send(lines));
    return client.ReadLine();
  }

  CRunningServer relay_;
  CRunningServer peer_;
  std::string peerId_;
};

TEST_F(ServerLinkTest, ToolTalksToTheTargetThroughTheRelay) {
  CWireClient direct(kPeerDataPort);
  const std::string catalog = Ask(direct, "DIAG:PROD:CAT?\n");
  ASSERT_GT(catalog.size(), 3u * 1448u);

  CWireClient tool;
  ASSERT_EQ(Ask(tool, ConnectRequest(peerId_)), "0");
  EXPECT_EQ(Ask(tool, "DIAG:VORN:ID?\n"), QuoteString(peerId_));
  EXPECT_EQ(Ask(tool, "DIAG:PROD:CAT?\n"), catalog);
  // A program message longer than the buffers reaches B whole.
  std::string targets;
  for (int i = 0; i < 50; ++i) targets += (i > 0 ? ",'" : "'") + std::string(100, 'n') + "'";
  ASSERT_GT(targets.size(), 3u * 1448u);
  EXPECT_EQ(Ask(tool, "DIAG:VORN:CONN:MULT? " + targets + "\n"), "2250");
  EXPECT_EQ(Ask(tool, "SYST:ERR?\n"), "0,\"No error\"");
}

// A tool that sends on without waiting for the answer must not lose what it
// sent behind the request: those bytes are already in A's reader.
TEST_F(ServerLinkTest, MessagesSentBehindTheRequestReachTheTarget) {
  CWireClient tool;
  ASSERT_TRUE(tool.Send(ConnectRequest(peerId_) + "DIAG:VORN:ID?\n"));
  EXPECT_EQ(tool.ReadLine(), "0");
  EXPECT_EQ(tool.ReadLine(), QuoteString(peerId_));
}

TEST_F(ServerLinkTest, ClosingEitherSideEndsBothConnections) {
  {
    CWireClient tool;
    ASSERT_EQ(Ask(tool, ConnectRequest(peerId_)), "0");
    ASSERT_TRUE(vorn_test::WaitUntil([&] { return peer_.Server().HasRunningSessions(); }));
  }
  EXPECT_TRUE(vorn_test::WaitUntil([&] { return !peer_.Server().HasRunningSessions(); }));
  EXPECT_TRUE(vorn_test::WaitUntil([&] { return !relay_.Server().HasRunningSessions(); }));

  CWireClient tool;
  ASSERT_EQ(Ask(tool, ConnectRequest(peerId_)), "0");
  peer_.StopAndDelete();
  EXPECT_TRUE(tool.WaitClosed());
}

TEST_F(ServerLinkTest, AnswersWithoutRelaying) {
  const std::string ownId = relay_.Server().GetServerId();
  struct Case {
    const char* what;
    std::string request;
    std::string answer;
  } cases[] = {
      {"own id", ConnectRequest(ownId), "0"},
      {"unknown id", ConnectRequest("{00000000-0000-0000-0000-000000000000}"), "2"},
      {"quoted id is not the id", ConnectRequest("\"" + peerId_ + "\""), "2"},
      {"several targets", "DIAG:VORN:CONN:MULT? 'a','b'\n", "2250"},
      {"no targets", "DIAG:VORN:CONN:MULT?\n", "2250"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CWireClient tool;
    EXPECT_EQ(Ask(tool, c.request), c.answer);
    // The session stays with this server, its queue empty.
    EXPECT_EQ(Ask(tool, "DIAG:VORN:ID?\n"), QuoteString(ownId));
    EXPECT_EQ(Ask(tool, "SYST:ERR?\n"), "0,\"No error\"");
  }
}

TEST_F(ServerLinkTest, UnreachableTargetAnswersTheSocketError) {
  // Nothing listens here: refused at once.
  const std::uint16_t closedPort = 13229;
  // Listens but never accepts; once its queue is full, further connection
  // attempts go unanswered until the connect time-out.
  const platform::SocketHandle full = platform::Sockets().Open(platform::SocketKind::kStream);
  platform::Sockets().Bind(full, Loopback(13230));
  platform::Sockets().Listen(full, 0);
  std::vector<platform::SocketHandle> queued;
  for (int i = 0; i < 2; ++i) {
    queued.push_back(platform::Sockets().Open(platform::SocketKind::kStream));
    platform::Sockets().ConnectWithin(queued.back(), Loopback(13230), 300);
  }
  struct Case {
    const char* id;
    std::uint16_t port;
    std::string prefix;
  } cases[] = {
      {"{REFUSED}", closedPort, "10061,\"SOCKET: Error code 0x0000274D: "},
      {"{SILENT}", 13230, "10060,\"SOCKET: Error code 0x0000274C: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    Know(c.id, Loopback(c.port));
    CWireClient tool(vorn_test::kServicePort, 8000);
    const auto began = std::chrono::steady_clock::now();
    const std::string answer = Ask(tool, ConnectRequest(c.id));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
    EXPECT_EQ(answer.rfind(c.prefix, 0), 0u) << answer;
    EXPECT_EQ(answer.back(), '"');
    EXPECT_EQ(Ask(tool, "SYST:ERR?\n"), "0,\"No error\"");
  }
  for (platform::SocketHandle s : queued) platform::Sockets().Close(s);
  platform::Sockets().Close(full);
}

TEST_F(ServerLinkTest, RefusalFurtherDownIsPassedBack) {
  const std::string refusal = "10061,\"SOCKET: refused further down\"";
  CScriptedServer next([&](const std::string& message) -> std::optional<std::string> {
    if (message == "DIAG:PROD:CAT?") return std::string("\"__TRL_Tool__\"\n");
    if (message.rfind("DIAG:VORN:CONN?", 0) == 0) return refusal + "\n";
    return CScriptedServer::IdentityAnswer(message);
  });
  Know("{FAR}", Loopback(next.Port()));
  CWireClient tool;
  EXPECT_EQ(Ask(tool, ConnectRequest("{FAR}")), refusal);
  EXPECT_EQ(Ask(tool, "SYST:ERR?\n"), "0,\"No error\"");
  const std::vector<std::string> messages = next.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "*CLS");
  // The next server is told the tool's address as this server sees it.
  EXPECT_EQ(messages.back(), "DIAG:VORN:CONN? \"127.0.0.1\",\"{FAR}\"");
}

TEST_F(ServerLinkTest, PeerThatDoesNotIdentifyEndsTheSession) {
  CScriptedServer mute([](const std::string& message) -> std::optional<std::string> {
    if (message == "DIAG:PROD:CAT?") return std::string("\"__TRL_Tool__\"\n");
    return std::nullopt;
  });
  Know("{MUTE}", Loopback(mute.Port()));
  CWireClient tool(vorn_test::kServicePort, 8000);
  ASSERT_TRUE(tool.Send(ConnectRequest("{MUTE}")));
  EXPECT_TRUE(tool.WaitClosed());
}

TEST_F(ServerLinkTest, ServiceStopEndsARunningRelayAtOnce) {
  CWireClient tool;
  ASSERT_EQ(Ask(tool, ConnectRequest(peerId_)), "0");
  ASSERT_TRUE(vorn_test::WaitUntil([&] { return peer_.Server().HasRunningSessions(); }));
  const auto began = std::chrono::steady_clock::now();
  relay_.StopAndDelete();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1000));
  EXPECT_TRUE(tool.WaitClosed());
  // The peer connection was closed too: B's session ends.
  EXPECT_TRUE(vorn_test::WaitUntil([&] { return !peer_.Server().HasRunningSessions(); }, 2000));
}

// Under Winsock a shutdown leaves a blocked call blocked. The stop also
// shuts the peer connection down, which ends the relay from that side, so
// the session does not wait for the close of its own socket; and the peer
// link is the connection that got the relay's keep-alive.
TEST_F(ServerLinkTest, StopEndsTheRelayWhereShutdownLeavesCallsBlocked) {
  vorn_test::CWinsockStopSocketApi sockets(platform::Sockets());
  CRunningServer::Options options;
  options.sockets = &sockets;
  options.start = false;
  CRunningServer relay(options);
  relay.Server().ControlChannel().SetPort(13237);
  relay.Server().SetDataPort(13238);
  ASSERT_TRUE(relay.Server().StartControlChannel() && relay.Server().StartDataChannel());

  CWireClient tool(13238);
  ASSERT_EQ(Ask(tool, ConnectRequest(peerId_)), "0");
  // The keep-alive is switched on just after the answer has gone out.
  const std::set<platform::SocketHandle> accepted = sockets.AcceptedSockets();
  std::vector<vorn_test::KeepAliveSetting> peerLinks;
  ASSERT_TRUE(vorn_test::WaitUntil([&] {
    peerLinks.clear();
    for (const auto& [s, keepAlive] : sockets.KeepAlives()) {
      if (accepted.count(s) == 0) peerLinks.push_back(keepAlive);
    }
    return !peerLinks.empty();
  }));
  ASSERT_EQ(peerLinks.size(), 1u);
  EXPECT_EQ(peerLinks[0].on, 1u);
  EXPECT_EQ(peerLinks[0].timeMs, 30000u);
  EXPECT_EQ(peerLinks[0].intervalMs, 3000u);

  ASSERT_TRUE(vorn_test::WaitUntil([&] { return peer_.Server().HasRunningSessions(); }));
  const auto began = std::chrono::steady_clock::now();
  relay.StopAndDelete();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1000));
  EXPECT_TRUE(tool.WaitClosed());
  EXPECT_TRUE(vorn_test::WaitUntil([&] { return !peer_.Server().HasRunningSessions(); }, 2000));
}

// The peer link waits up to its time-out for each answer of a silent peer;
// a stop must not wait for them.
TEST_F(ServerLinkTest, ServiceStopDuringTheSetUpEndsItAtOnce) {
#if defined(_WIN32)
  // Winsock's shutdown does not wake a receive that is already waiting, so on
  // Windows the set-up still ends at its own time-out after a stop.
  GTEST_SKIP() << "a shutdown leaves a waiting receive blocked on Windows";
#endif
  CScriptedServer silent(
      [](const std::string&) -> std::optional<std::string> { return std::nullopt; });
  Know("{SILENT}", Loopback(silent.Port()));
  CWireClient tool(vorn_test::kServicePort, 8000);
  ASSERT_TRUE(tool.Send(ConnectRequest("{SILENT}")));
  ASSERT_TRUE(vorn_test::WaitUntil([&] { return !silent.Messages().empty(); }));
  const auto began = std::chrono::steady_clock::now();
  relay_.StopAndDelete();
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1000));
  EXPECT_TRUE(tool.WaitClosed());
}

// A tool that closes right after its last command still has it carried out
// by the target; so does one that only ends its sending side.
TEST_F(ServerLinkTest, CommandSentJustBeforeTheToolClosesReachesTheTarget) {
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const std::string group = "relayed" + std::to_string(round);
    {
      CWireClient tool;
      ASSERT_EQ(Ask(tool, ConnectRequest(peerId_)), "0");
      ASSERT_TRUE(tool.Send("DIAG:PROD:GRO '" + group + "'\n"));
      if (round % 2 == 1) platform::Sockets().ShutdownSend(tool.Handle());
    }
    EXPECT_TRUE(vorn_test::WaitUntil([&] { return peer_.Server().GetDeviceGroup() == group; }))
        << peer_.Server().GetDeviceGroup();
  }
}

// An answer the target sends just before it closes reaches the tool, a long
// one included.
TEST_F(ServerLinkTest, AnswerSentJustBeforeTheTargetClosesReachesTheTool) {
  const std::string last = "\"" + std::string(3000, 'x') + "\"";
  CScriptedServer closing([&](const std::string& message) -> std::optional<std::string> {
    if (message == "DIAG:PROD:CAT?") return std::string("\"__TRL_Tool__\"\n");
    if (message.rfind("DIAG:VORN:CONN?", 0) == 0) return std::string("0\n");
    if (message == "LAST?") return last + "\n";
    return CScriptedServer::IdentityAnswer(message);
  });
  closing.CloseAfterAnswering("LAST?");
  Know("{CLOSING}", Loopback(closing.Port()));
  CWireClient tool;
  ASSERT_EQ(Ask(tool, ConnectRequest("{CLOSING}")), "0");
  ASSERT_TRUE(tool.Send("LAST?\n"));
  EXPECT_EQ(tool.ReadLine(), last);
  EXPECT_TRUE(tool.WaitClosed());
}

// A tool at 127.0.0.2: B lets in only A (127.0.0.1).
class RelayAccessTest : public ServerLinkTest {
 protected:
  static platform::SocketHandle ToolAt2(std::uint16_t port) {
    platform::ISocketApi& api = platform::Sockets();
    const platform::SocketHandle s = api.Open(platform::SocketKind::kStream);
    EXPECT_EQ(api.Bind(s, platform::Endpoint{0x7F000002, 0}), 0);
    EXPECT_EQ(api.Connect(s, Loopback(port)), 0);
    api.SetReceiveTimeout(s, 2000);
    return s;
  }
  static std::string AskOn(platform::SocketHandle s, const std::string& line) {
    platform::Sockets().Send(s, line.data(), static_cast<int>(line.size()));
    std::string answer;
    char c;
    while (platform::Sockets().Recv(s, &c, 1) == 1 && c != '\n') answer += c;
    return answer;
  }
};

TEST_F(RelayAccessTest, RelayedToolIsCheckedLikeADirectOne) {
  AccessSettings onlyA;
  std::string error;
  onlyA.allowedClients = CClientNetworks::Parse("127.0.0.1/32", error);
  ASSERT_TRUE(onlyA.allowedClients) << error;
  peer_.Server().UseAccessSettings(onlyA);

  // Directly the tool is turned away.
  const platform::SocketHandle direct = ToolAt2(kPeerDataPort);
  EXPECT_EQ(AskOn(direct, "DIAG:PROD:GRO 'direct'\n"), "");
  platform::Sockets().Close(direct);

  // Through A it is refused as well, and B's device group stays.
  const std::string before = peer_.Server().GetDeviceGroup();
  const platform::SocketHandle relayed = ToolAt2(vorn_test::kServicePort);
  EXPECT_EQ(AskOn(relayed, ConnectRequest(peerId_)), "2250");
  AskOn(relayed, "DIAG:PROD:GRO 'relayed'\n");
  EXPECT_EQ(AskOn(relayed, "DIAG:VORN:ID?\n"), QuoteString(relay_.Server().GetServerId()));
  platform::Sockets().Close(relayed);
  EXPECT_EQ(peer_.Server().GetDeviceGroup(), before);

  // A tool B lets in is relayed as before.
  CWireClient allowed;
  EXPECT_EQ(Ask(allowed, ConnectRequest(peerId_)), "0");
  EXPECT_EQ(Ask(allowed, "DIAG:VORN:ID?\n"), QuoteString(peerId_));
}

TEST_F(RelayAccessTest, AllowRelayOffRefusesEveryRelayAndLogsItOnce) {
  vorn_test::CLogCapture log;
  AccessSettings noRelay;
  noRelay.allowRelay = false;
  relay_.Server().UseAccessSettings(noRelay);
  for (int i = 0; i < 3; ++i) {
    CWireClient tool;
    EXPECT_EQ(Ask(tool, ConnectRequest(peerId_)), "2250");
    // The session stays with A; its own id is still answered.
    EXPECT_EQ(Ask(tool, ConnectRequest(relay_.Server().GetServerId())), "0");
  }
  EXPECT_FALSE(peer_.Server().HasRunningSessions());
  std::size_t count = 0;
  for (const std::string& line : log.Lines()) {
    if (line.find("Relay refused: AllowRelay is 0") != std::string::npos) ++count;
  }
  EXPECT_EQ(count, 1u);
}

TEST(SocketErrorAnswer, KeepsTheAnswerOnOneLine) {
  EXPECT_EQ(SocketErrorAnswer(10060, "SOCKET: Error code 0x0000274C: timed out.\r\n"),
            "10060,\"SOCKET: Error code 0x0000274C: timed out.\"");
  EXPECT_EQ(SocketErrorAnswer(10061, "say \"no\""), "10061,\"say \"\"no\"\"\"");
}

}  // namespace
