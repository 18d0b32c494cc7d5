// Round trips of "*IDN?" per second through command sessions, on one
// connection and on 200 at once, each set against a bare TCP echo server
// measured in the same run (so the ratio shows the session's own cost, not
// the machine's), and the resident memory that one idle session costs.
//
// The service's data port 13217 is bound, so run it in a namespace of its own:
//   scripts/run-isolated.sh build/linux/bench/session_bench [seconds per run]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/data_channel.h"
#include "platform/socket.h"
#include "service/install_server.h"
#include "service/log.h"
#include "tests/support/running_server.h"
#include "tests/support/wire_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using vorn_test::CWireClient;

constexpr int kConcurrent = 200;
constexpr int kIdleSessions = 200;

void DropLine(const char*) {}

// Thread per connection, every received byte sent straight back.
class CEchoServer {
 public:
  CEchoServer() {
    platform::ISocketApi& sockets = platform::Sockets();
    listener_ = sockets.Open(platform::SocketKind::kStream);
    sockets.Bind(listener_, platform::Endpoint{platform::kLoopbackAddress, 0});
    sockets.Listen(listener_, 512);
    platform::Endpoint bound;
    sockets.GetSockName(listener_, bound);
    port_ = bound.port;
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~CEchoServer() {
    platform::Sockets().Shutdown(listener_);
    acceptor_.join();
    platform::Sockets().Close(listener_);
    for (auto& t : connections_) t.join();
  }
  std::uint16_t Port() const { return port_; }

 private:
  void AcceptLoop() {
    for (;;) {
      platform::SocketHandle s = platform::Sockets().Accept(listener_);
      if (s == platform::kInvalidSocket) return;
      platform::Sockets().SetNoDelay(s, true);
      connections_.emplace_back([s] {
        char buffer[512];
        for (int n; (n = platform::Sockets().Recv(s, buffer, sizeof buffer)) > 0;) {
          if (platform::Sockets().Send(s, buffer, n) != n) break;
        }
        platform::Sockets().Close(s);
      });
    }
  }

  platform::SocketHandle listener_;
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> connections_;
};

// Round trips per second of `clients` connections to port, each sending
// request and reading one line back, for the given time.
double RoundTripsPerSecond(std::uint16_t port, int clients, bool selectFirst,
                           std::chrono::milliseconds duration) {
  std::vector<std::unique_ptr<CWireClient>> connections;
  for (int i = 0; i < clients; ++i) {
    connections.push_back(std::make_unique<CWireClient>(port));
    if (!connections.back()->Connected()) {
      std::fprintf(stderr, "connection %d to port %u failed\n", i, port);
      std::exit(1);
    }
    if (selectFirst) connections.back()->Send("DIAG:PROD:SEL '__TRL_Tool__'\n");
  }
  std::atomic<long> total{0};
  std::atomic<bool> failed{false};
  const auto end = Clock::now() + duration;
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (auto& connection : connections) {
    threads.emplace_back([&, c = connection.get()] {
      long done = 0;
      while (Clock::now() < end) {
        bool ok = false;
        if (!c->Send("*IDN?\n")) break;
        c->ReadLine(&ok);
        if (!ok) {
          failed = true;
          break;
        }
        ++done;
      }
      total += done;
    });
  }
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (failed) std::fprintf(stderr, "warning: a connection failed during the run\n");
  return static_cast<double>(total) / seconds;
}

// VmRSS of /proc/self/status in bytes; -1 where there is no /proc.
long ResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = -1;
      status >> kib;
      return kib * 1024;
    }
    status.ignore(1 << 20, '\n');
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const double secondsEach = argc > 1 ? std::atof(argv[1]) : 0.5;
  const auto duration = std::chrono::milliseconds(static_cast<long>(secondsEach * 1000));
  SetLogSink(&DropLine);  // the debugger output would dominate what is measured

  vorn_test::CRunningServer server;
  if (!server.Started()) {
    std::fprintf(stderr,
                 "the service did not start (is 13217 taken? see scripts/run-isolated.sh)\n");
    return 1;
  }
  CEchoServer echo;

  // Idle sessions first, on a fresh server: later runs leave finished session
  // objects and cached thread stacks behind that new sessions would reuse.
  const long before = ResidentBytes();
  {
    std::vector<std::unique_ptr<CWireClient>> idle;
    for (int i = 0; i < kIdleSessions; ++i) idle.push_back(std::make_unique<CWireClient>());
    // A session is ready once it answers.
    for (auto& c : idle) {
      c->Send("SYST:ERR?\n");
      c->ReadLine();
    }
    const long after = ResidentBytes();
    if (before < 0 || after < 0) {
      std::printf("idle sessions: resident memory not measurable here (no /proc)\n");
    } else {
      std::printf("idle sessions: %d, resident memory %+ld bytes, %.1f KiB per session\n",
                  kIdleSessions, after - before,
                  static_cast<double>(after - before) / kIdleSessions / 1024.0);
    }
  }
  vorn_test::WaitUntil([&] { return !server.Server().HasRunningSessions(); }, 5000);

  // Session and echo alternate, best of three each, so that a burst of load
  // elsewhere on the machine does not decide the ratio.
  for (int clients : {1, kConcurrent}) {
    double session = 0, bare = 0;
    for (int round = 0; round < 3; ++round) {
      session =
          std::max(session, RoundTripsPerSecond(vorn_test::kServicePort, clients, true, duration));
      bare = std::max(bare, RoundTripsPerSecond(echo.Port(), clients, false, duration));
    }
    std::printf("%3d connection(s): session %.0f/s, echo %.0f/s, ratio %.3f\n", clients, session,
                bare, session / bare);
  }
  return 0;
}
