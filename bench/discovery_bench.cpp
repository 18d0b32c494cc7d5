// Identity replies per second from the control channel, against a bare UDP
// echo on loopback measured in the same run, printed as a ratio: how much the
// discovery path (parsing, server lock, registry read, logging) costs over
// the socket round trip itself. Binds UDP 13217, so run it in a namespace of
// its own:
//
//   scripts/run-isolated.sh build/linux/bench/discovery_bench [seconds-per-phase]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/socket.h"
#include "platform/thread.h"
#include "service/install_server.h"
#include "service/log.h"
#include "tests/support/fake_device_registry.h"
#include "tests/support/fake_registry.h"

namespace {

constexpr std::uint16_t kEchoPort = 13218;
const std::string kQuery =
    "16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN QUERY ID EqNumber=__TRL_Tool__";

// The log goes nowhere: the benchmark measures the path, not the terminal.
void DiscardLine(const char*) {}

std::atomic<bool> echoStop{false};

unsigned EchoLoop(void* argument) {
  platform::ISocketApi& sockets = platform::Sockets();
  auto s = *static_cast<platform::SocketHandle*>(argument);
  char buffer[512];
  while (!echoStop) {
    platform::Endpoint from;
    const int n = sockets.RecvFrom(s, buffer, sizeof buffer, from);
    if (n > 0) sockets.SendTo(s, buffer, n, from);
  }
  return 0;
}

// Round trips per second against the port within the given time.
double RoundTrips(std::uint16_t port, double seconds) {
  platform::ISocketApi& sockets = platform::Sockets();
  platform::SocketHandle s = sockets.Open(platform::SocketKind::kDatagram);
  sockets.Bind(s, platform::Endpoint{platform::kLoopbackAddress, 0});
  sockets.SetReceiveTimeout(s, 1000);
  char buffer[2048];
  long count = 0;
  const auto begin = std::chrono::steady_clock::now();
  const auto end = begin + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    sockets.SendTo(s, kQuery.data(), static_cast<int>(kQuery.size()),
                   platform::Endpoint{platform::kLoopbackAddress, port});
    platform::Endpoint from;
    if (sockets.RecvFrom(s, buffer, sizeof buffer, from) <= 0) {
      std::fprintf(stderr, "no reply from port %u\n", static_cast<unsigned>(port));
      break;
    }
    ++count;
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  sockets.Close(s);
  return count / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  if (seconds <= 0 || seconds > 30) {
    std::fprintf(stderr, "usage: %s [seconds-per-phase, at most 30]\n", argv[0]);
    return 2;
  }
  SetLogSink(&DiscardLine);
  platform::ISocketApi& sockets = platform::Sockets();
  sockets.Startup();

  CFakeRegistry registry;
  auto* server =
      new CInstallServer(new vorn_test::CFakeDeviceRegistry(), registry, platform::Sockets());
  if (!server->StartControlChannel()) {
    std::fprintf(stderr, "cannot start the control channel (UDP 13217 taken?)\n");
    return 1;
  }

  platform::SocketHandle echo = sockets.Open(platform::SocketKind::kDatagram);
  if (sockets.Bind(echo, platform::Endpoint{platform::kLoopbackAddress, kEchoPort}) != 0) {
    std::fprintf(stderr, "cannot bind the echo port %u\n", static_cast<unsigned>(kEchoPort));
    return 1;
  }
  sockets.SetReceiveTimeout(echo, 100);
  platform::ThreadHandle echoThread = platform::CreateThread(&EchoLoop, &echo);

  const double echoRate = RoundTrips(kEchoPort, seconds);
  const double discoveryRate = RoundTrips(13217, seconds);

  echoStop = true;
  platform::JoinThread(echoThread);
  sockets.Close(echo);
  server->Stop(true);
  delete server;
  SetLogSink(nullptr);

  std::printf("bare UDP echo:        %10.0f round trips/s\n", echoRate);
  std::printf("identity replies:     %10.0f replies/s\n", discoveryRate);
  std::printf("discovery/echo ratio: %10.3f\n", echoRate > 0 ? discoveryRate / echoRate : 0.0);
  return discoveryRate > 0 ? 0 : 1;
}
