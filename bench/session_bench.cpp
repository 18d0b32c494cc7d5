// The data channel measured against bare peers in the same run, through the
// real log path (standard error turned into a pipe that a thread drains, as
// under systemd, or into /dev/null):
//   - "*IDN?" round trips on 1 connection and on 50 at once, as a ratio of a
//     bare TCP echo server's round trips;
//   - 1,000 pipelined "*IDN?" in one write, answers read: requests per second,
//     next to the echo server returning the same bytes;
//   - the stop of the server with 1,000 sessions open, in milliseconds;
//   - the resident memory that one idle session costs.
// Session and echo phases alternate over six rounds, each side going first
// in every other round, after one round that is not counted; a ratio is the
// median of the rounds' ratios, so that a burst of load elsewhere on the
// machine does not decide it.
//
// The service's data port 13217 is bound, so run it in a namespace of its own:
//   scripts/run-isolated.sh build/linux/bench/session_bench [seconds per phase] [row text]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "bench/log_target.h"
#include "net/data_channel.h"
#include "platform/socket.h"
#include "service/install_server.h"
#include "tests/support/running_server.h"
#include "tests/support/wire_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using vorn_bench::CLogTarget;
using vorn_test::CWireClient;

constexpr int kConcurrent = 50;
constexpr int kPipelined = 1000;
constexpr int kStopSessions = 1000;
constexpr int kIdleSessions = 200;
constexpr int kRounds = 6;
const std::string kSelectTool = "DIAG:PROD:SEL '__TRL_Tool__'\n";

CLogTarget* logTarget = nullptr;
// Only rows whose name contains this text run (all when empty), so that one
// path can be measured or profiled on its own.
std::string rowFilter;

bool Selected(const char* name) { return std::strstr(name, rowFilter.c_str()) != nullptr; }

[[noreturn]] void Fail(const char* what) {
  std::fprintf(logTarget->Console(), "%s\n", what);
  std::exit(1);
}

// Thread per connection, every received byte sent straight back. A thread
// whose connection ended is joined at the next accept, as the service reuses
// its ended sessions, so that neither side carries the stacks of earlier
// rounds.
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
    for (auto& c : connections_) c->thread.join();
  }
  std::uint16_t Port() const { return port_; }

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> ended{false};
  };

  void AcceptLoop() {
    for (;;) {
      platform::SocketHandle s = platform::Sockets().Accept(listener_);
      if (s == platform::kInvalidSocket) return;
      platform::Sockets().SetNoDelay(s, true);
      std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) {
        if (!c->ended) return false;
        c->thread.join();
        return true;
      });
      auto connection = std::make_unique<Connection>();
      connection->thread = std::thread([s, ended = &connection->ended] {
        std::vector<char> buffer(64 * 1024);
        for (int n; (n = platform::Sockets().Recv(s, buffer.data(), 64 * 1024)) > 0;) {
          if (platform::Sockets().Send(s, buffer.data(), n) != n) break;
        }
        platform::Sockets().Close(s);
        *ended = true;
      });
      connections_.push_back(std::move(connection));
    }
  }

  platform::SocketHandle listener_;
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

std::vector<std::unique_ptr<CWireClient>> Connect(std::uint16_t port, int clients,
                                                  bool selectFirst) {
  std::vector<std::unique_ptr<CWireClient>> connections;
  for (int i = 0; i < clients; ++i) {
    connections.push_back(std::make_unique<CWireClient>(port));
    if (!connections.back()->Connected()) Fail("a connection failed");
    if (selectFirst) connections.back()->Send(kSelectTool);
  }
  return connections;
}

// Round trips per second of `clients` connections, each sending "*IDN?" and
// reading one line back, for the given time.
double RoundTripsPerSecond(std::uint16_t port, int clients, bool selectFirst,
                           std::chrono::milliseconds duration) {
  auto connections = Connect(port, clients, selectFirst);
  std::atomic<long> total{0};
  const auto start = Clock::now();
  const auto end = start + duration;
  std::vector<std::thread> threads;
  for (auto& connection : connections) {
    threads.emplace_back([&, c = connection.get()] {
      long done = 0;
      while (Clock::now() < end) {
        bool ok = false;
        if (!c->Send("*IDN?\n")) break;
        c->ReadLine(&ok);
        if (!ok) Fail("a connection failed during the run");
        ++done;
      }
      total += done;
    });
  }
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(total) / seconds;
}

// Reads until `lines` line feeds (or, for the echo, `bytes` bytes) arrived.
// The buffer is the caller's, made once: the client's own cost must stay
// small next to the server's.
bool ReadBack(platform::SocketHandle s, long lines, long bytes, std::vector<char>& buffer) {
  long seenLines = 0, seenBytes = 0;
  while ((lines > 0 && seenLines < lines) || (bytes > 0 && seenBytes < bytes)) {
    const int n = platform::Sockets().Recv(s, buffer.data(), static_cast<int>(buffer.size()));
    if (n <= 0) return false;
    seenBytes += n;
    for (const char* at = buffer.data(); lines > 0;) {
      const std::size_t left = static_cast<std::size_t>(buffer.data() + n - at);
      at = static_cast<const char*>(std::memchr(at, '\n', left));
      if (at == nullptr) break;
      ++seenLines;
      ++at;
    }
  }
  return true;
}

// Requests per second when kPipelined "*IDN?" go out in one write and all
// answers are read before the next batch. The echo returns the request bytes.
double PipelinedPerSecond(std::uint16_t port, bool session, std::chrono::milliseconds duration) {
  CWireClient client(port);
  if (!client.Connected()) Fail("a connection failed");
  if (session) client.Send(kSelectTool);
  std::string batch;
  for (int i = 0; i < kPipelined; ++i) batch += "*IDN?\n";
  std::vector<char> buffer(256 * 1024);
  long requests = 0;
  const auto start = Clock::now();
  while (Clock::now() < start + duration) {
    if (!client.Send(batch)) Fail("sending a batch failed");
    if (!ReadBack(client.Handle(), session ? kPipelined : 0,
                  session ? 0 : static_cast<long>(batch.size()), buffer)) {
      Fail("reading a batch back failed");
    }
    requests += kPipelined;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(requests) / seconds;
}

// Milliseconds that the server's stop takes with kStopSessions sessions
// waiting for input.
double StopMilliseconds() {
  vorn_test::CRunningServer server;
  if (!server.Started()) Fail("the service did not start");
  std::vector<platform::SocketHandle> clients;
  for (int i = 0; i < kStopSessions; ++i) {
    clients.push_back(vorn_test::ConnectTcp());
    if (clients.back() == platform::kInvalidSocket) Fail("a connection failed");
  }
  // Every session answers once, so every one is in its receive when the
  // stop comes.
  const std::string ask = "SYST:ERR?\n";
  for (auto c : clients) platform::Sockets().Send(c, ask.data(), static_cast<int>(ask.size()));
  std::vector<char> buffer(4096);
  for (auto c : clients) {
    platform::Sockets().SetReceiveTimeout(c, 10000);
    if (!ReadBack(c, 1, 0, buffer)) Fail("a session did not answer");
  }
  const auto start = Clock::now();
  server.Server().Stop(true);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  server.StopAndDelete();
  for (auto c : clients) vorn_test::CloseTcp(c);
  return ms;
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

void IdleMemory() {
  vorn_test::CRunningServer server;
  if (!server.Started()) Fail("the service did not start");
  const long before = ResidentBytes();
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

// kRounds of the measured and the bare side. On this kind of machine the
// first phase of 50 busy connections in a process runs up to a third faster
// than every later one (a plain echo program shows it too), so a warm-up
// round goes uncounted, and the side that goes first changes every round.
// The rates shown are the best of each side; the ratio is the median of the
// rounds' own ratios, with their range, since a round's two phases share
// whatever else the machine did meanwhile.
void Row(const char* name, const std::function<void()>& target,
         const std::function<double()>& measured, const std::function<double()>& bare,
         const char* unit) {
  if (!Selected(name)) return;
  auto measure = [&] {
    target();
    return measured();
  };
  auto measureBare = [&] {
    logTarget->UseDevNull();
    return bare();
  };
  measure();
  measureBare();
  double best = 0, bestBare = 0;
  std::vector<double> ratios;
  for (int round = 0; round < kRounds; ++round) {
    double rate, bareRate;
    if (round % 2 == 0) {
      rate = measure();
      bareRate = measureBare();
    } else {
      bareRate = measureBare();
      rate = measure();
    }
    best = std::max(best, rate);
    bestBare = std::max(bestBare, bareRate);
    ratios.push_back(rate / bareRate);
  }
  std::sort(ratios.begin(), ratios.end());
  const std::size_t middle = ratios.size() / 2;
  const double median =
      ratios.size() % 2 == 1 ? ratios[middle] : (ratios[middle - 1] + ratios[middle]) / 2;
  std::printf("%-58s %10.0f %s, bare %10.0f %s, ratio %.3f (%.2f to %.2f)\n", name, best, unit,
              bestBare, unit, median, ratios.front(), ratios.back());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const double secondsEach = argc > 1 ? std::atof(argv[1]) : 0.5;
  if (argc > 2) rowFilter = argv[2];
  if (secondsEach <= 0 || secondsEach > 30 || argc > 3) {
    std::fprintf(stderr, "usage: %s [seconds per phase, at most 30] [text of the rows to run]\n",
                 argv[0]);
    return 2;
  }
  const auto duration = std::chrono::milliseconds(static_cast<long>(secondsEach * 1000));
  CLogTarget target;
  logTarget = &target;
  SetLogSink(nullptr);  // the real debugger output: standard error

  // Idle sessions first, on a fresh server: later runs leave cached thread
  // stacks and heap behind that new sessions would reuse.
  target.UseDevNull();
  if (Selected("idle sessions")) IdleMemory();

  {
    vorn_test::CRunningServer server;
    if (!server.Started()) {
      Fail("the service did not start (is 13217 taken? see scripts/run-isolated.sh)");
    }
    CEchoServer echo;
    const std::uint16_t port = vorn_test::kServicePort;
    auto pipe = [&] { target.UsePipe(); };
    auto devNull = [&] { target.UseDevNull(); };
    Row(
        "*IDN? round trips, 1 connection, log to a pipe", pipe,
        [&] { return RoundTripsPerSecond(port, 1, true, duration); },
        [&] { return RoundTripsPerSecond(echo.Port(), 1, false, duration); }, "/s");
    Row(
        "*IDN? round trips, 1 connection, log to /dev/null", devNull,
        [&] { return RoundTripsPerSecond(port, 1, true, duration); },
        [&] { return RoundTripsPerSecond(echo.Port(), 1, false, duration); }, "/s");
    Row(
        "*IDN? round trips, 50 connections, log to a pipe", pipe,
        [&] { return RoundTripsPerSecond(port, kConcurrent, true, duration); },
        [&] { return RoundTripsPerSecond(echo.Port(), kConcurrent, false, duration); }, "/s");
    Row(
        "1,000 pipelined *IDN? in one write, log to a pipe", pipe,
        [&] { return PipelinedPerSecond(port, true, duration); },
        [&] { return PipelinedPerSecond(echo.Port(), false, duration); }, "req/s");
    Row(
        "1,000 pipelined *IDN? in one write, log to /dev/null", devNull,
        [&] { return PipelinedPerSecond(port, true, duration); },
        [&] { return PipelinedPerSecond(echo.Port(), false, duration); }, "req/s");
  }

  for (bool pipe : {true, false}) {
    const char* name = pipe ? "stop with 1,000 sessions open, log to a pipe"
                            : "stop with 1,000 sessions open, log to /dev/null";
    if (!Selected(name)) continue;
    double best = 1e9;
    for (int round = 0; round < kRounds; ++round) {
      if (pipe) {
        target.UsePipe();
      } else {
        target.UseDevNull();
      }
      best = std::min(best, StopMilliseconds());
    }
    std::printf("%-58s %10.1f ms (best of %d)\n", name, best, kRounds);
  }
  target.Restore();
  return 0;
}
