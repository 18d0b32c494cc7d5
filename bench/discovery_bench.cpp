// Identity replies per second from the control channel, against a bare UDP
// echo on loopback measured in the same run, printed as a ratio: how much the
// discovery path (parsing, server lock, registry read, logging) costs over
// the socket round trip itself. The log takes the real path, standard error,
// turned into a pipe that a thread drains (as under systemd) and, for
// comparison, into /dev/null. Discovery and echo phases alternate, best of
// three each. Binds UDP 13217, so run it in a namespace of its own:
//
//   scripts/run-isolated.sh build/linux/bench/discovery_bench [seconds-per-phase]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/log.h"
#include "bench/log_target.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "service/install_server.h"
#include "tests/support/fake_device_registry.h"
#include "tests/support/fake_registry.h"

namespace {

constexpr std::uint16_t kEchoPort = 13218;
const std::string kQuery =
    "16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN QUERY ID EqNumber=__TRL_Tool__";

constexpr int kRounds = 3;

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
      std::printf("no reply from port %u\n", static_cast<unsigned>(port));
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
  vorn_bench::CLogTarget target;
  SetLogSink(nullptr);  // the real debugger output: standard error
  platform::ISocketApi& sockets = platform::Sockets();
  sockets.Startup();

  CFakeRegistry registry;
  auto* server =
      new CInstallServer(new vorn_test::CFakeDeviceRegistry(), registry, platform::Sockets());
  if (!server->StartControlChannel()) {
    std::fprintf(target.Console(), "cannot start the control channel (UDP 13217 taken?)\n");
    return 1;
  }

  platform::SocketHandle echo = sockets.Open(platform::SocketKind::kDatagram);
  if (sockets.Bind(echo, platform::Endpoint{platform::kLoopbackAddress, kEchoPort}) != 0) {
    std::fprintf(target.Console(), "cannot bind the echo port %u\n",
                 static_cast<unsigned>(kEchoPort));
    return 1;
  }
  sockets.SetReceiveTimeout(echo, 100);
  platform::ThreadHandle echoThread = platform::CreateThread(&EchoLoop, &echo);

  double echoRate = 0, pipeRate = 0, nullRate = 0;
  for (int round = 0; round < kRounds; ++round) {
    target.UsePipe();
    pipeRate = std::max(pipeRate, RoundTrips(13217, seconds));
    target.UseDevNull();
    echoRate = std::max(echoRate, RoundTrips(kEchoPort, seconds));
    nullRate = std::max(nullRate, RoundTrips(13217, seconds));
  }

  echoStop = true;
  platform::JoinThread(echoThread);
  sockets.Close(echo);
  server->Stop(true);
  delete server;
  target.Restore();

  auto ratio = [&](double rate) { return echoRate > 0 ? rate / echoRate : 0.0; };
  std::printf("bare UDP echo:                              %10.0f round trips/s\n", echoRate);
  std::printf("identity replies, log to a pipe:            %10.0f replies/s, ratio %.3f\n",
              pipeRate, ratio(pipeRate));
  std::printf("identity replies, log to /dev/null:         %10.0f replies/s, ratio %.3f\n",
              nullRate, ratio(nullRate));
  return pipeRate > 0 && nullRate > 0 ? 0 : 1;
}
