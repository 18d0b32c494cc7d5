// The channels under "AllowedClients" and "ListenAddress", over loopback:
// this test program's namespace has 127.0.0.0/8 on lo and nothing else.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "net/data_channel.h"
#include "service/install_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/running_server.h"
#include "tests/support/wire_client.h"

namespace {

using vorn_test::CLogCapture;
using vorn_test::CRunningServer;
using vorn_test::CUdpProbe;
using vorn_test::CWireClient;
using vorn_test::kMagic;
using vorn_test::kServicePort;

using vorn_test::kToolQuery;
using vorn_test::kToolReply;
constexpr std::uint32_t kSecondLoopback = 0x7F000002;

AccessSettings Allowing(const std::string& networks) {
  AccessSettings settings;
  std::string error;
  settings.allowedClients = CClientNetworks::Parse(networks, error);
  EXPECT_TRUE(settings.allowedClients.has_value()) << error;
  return settings;
}

CRunningServer::Options With(const AccessSettings& settings) {
  CRunningServer::Options options;
  options.access = settings;
  return options;
}

// What a refused client reads: its connection closes (or is reset) and not
// one byte arrives, though it sent a whole command.
std::string ReadUntilClosed(CWireClient& client) { return client.Read(4096); }

std::size_t CountContaining(const CLogCapture& log, const std::string& part) {
  std::size_t count = 0;
  for (const std::string& line : log.Lines()) {
    if (line.find(part) != std::string::npos) ++count;
  }
  return count;
}

TEST(AllowedClientsTest, ClientOutsideGetsNeitherAnswerNorSessionAndOneLogLineEach) {
  CLogCapture log;
  CRunningServer server(With(Allowing("198.51.100.0/24, 203.0.113.7/32")));
  ASSERT_TRUE(server.Started());
  CUdpProbe probe;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(probe.Send(kMagic + kToolQuery));
    ASSERT_TRUE(probe.Send(""));  // nor is a stranger's empty datagram worth a line
  }
  EXPECT_FALSE(probe.Receive(500).has_value());
  for (int i = 0; i < 20; ++i) {
    CWireClient client(kServicePort, 3000);
    ASSERT_TRUE(client.Connected());  // the kernel completes the handshake
    client.Send("*IDN?\n");
    EXPECT_EQ(ReadUntilClosed(client), "");
    EXPECT_TRUE(client.WaitClosed());
  }
  EXPECT_EQ(server.Server().DataChannel().SessionCount(), 0u);
  EXPECT_EQ(log.Count("VORN: Refused connection from 127.0.0.1: not in AllowedClients\n"), 1u);
  EXPECT_EQ(log.Count("VORN: Refused datagram from 127.0.0.1: not in AllowedClients\n"), 1u);
  EXPECT_EQ(CountContaining(log, ">> "), 0u);
  EXPECT_EQ(CountContaining(log, "Socket["), 0u);
}

TEST(AllowedClientsTest, ClientInsideIsServedAsBefore) {
  CRunningServer server(With(Allowing("10.0.0.0/8 127.0.0.0/8")));
  ASSERT_TRUE(server.Started());
  CUdpProbe probe;
  EXPECT_EQ(probe.Ask(kToolQuery, 3000), kToolReply);
  CWireClient client;
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(client.Send("DIAG:PROD:SEL '__TRL_Tool__'\n*IDN?\n"));
  EXPECT_EQ(client.ReadLine(), "Marrow&Keplin,VORN,__TRL_Tool__/000000,2.35.2");
}

TEST(AllowedClientsTest, TheListTakesEffectForTheNextDatagramAndConnection) {
  CRunningServer server(With(Allowing("198.51.100.0/24")));
  ASSERT_TRUE(server.Started());
  CUdpProbe probe;
  EXPECT_FALSE(probe.Ask(kToolQuery, 300).has_value());
  server.Server().UseAccessSettings(Allowing("127.0.0.1/32"));
  EXPECT_EQ(probe.Ask(kToolQuery, 3000), kToolReply);
  CWireClient client;
  ASSERT_TRUE(client.Send("DIAG:PROD:SEL '__TRL_Tool__'\n*IDN?\n"));
  EXPECT_EQ(client.ReadLine(), "Marrow&Keplin,VORN,__TRL_Tool__/000000,2.35.2");
}

// Sends the tool query to address:13217 from a socket on 127.0.0.1 and
// waits for a reply.
std::optional<std::string> AskAt(std::uint32_t address) {
  platform::ISocketApi& sockets = platform::Sockets();
  const platform::SocketHandle s = sockets.Open(platform::SocketKind::kDatagram);
  sockets.Bind(s, platform::Endpoint{platform::kLoopbackAddress, 0});
  const std::string query = kMagic + kToolQuery;
  sockets.SendTo(s, query.data(), static_cast<int>(query.size()),
                 platform::Endpoint{address, kServicePort});
  sockets.SetReceiveTimeout(s, 1000);
  char buffer[600];
  platform::Endpoint from;
  const int n = sockets.RecvFrom(s, buffer, sizeof buffer, from);
  sockets.Close(s);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

bool ConnectsAt(std::uint32_t address) {
  platform::ISocketApi& sockets = platform::Sockets();
  const platform::SocketHandle s = sockets.Open(platform::SocketKind::kStream);
  const bool connected = sockets.Connect(s, platform::Endpoint{address, kServicePort}) == 0;
  sockets.Close(s);
  return connected;
}

TEST(ListenAddressTest, BothChannelsBindOnlyThere) {
  AccessSettings settings;
  settings.listenAddress = kSecondLoopback;
  CRunningServer server(With(settings));
  ASSERT_TRUE(server.Started());
  EXPECT_EQ(AskAt(kSecondLoopback), kToolReply);
  EXPECT_TRUE(ConnectsAt(kSecondLoopback));
  EXPECT_FALSE(ConnectsAt(platform::kLoopbackAddress));
  // Both addresses are on one interface here, and Wine gives a datagram
  // socket bound to an address everything of that address's interface (as
  // Windows does with broadcasts): that the control channel is deaf to
  // other interfaces shows across namespaces (allowed_clients_namespaces.sh).
}

}  // namespace
