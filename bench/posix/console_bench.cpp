// Figures of the web console (printed, not judged): the fleet API with 500
// servers listed, memory while 50 targets install with live events, and
// memory while a 1 GiB package is uploaded.
//   console_bench [SERVERS] [TARGETS] [UPLOAD_MIB]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
// clang-format off
#include <boost/asio.hpp>
// clang-format on

#include "tools/vornctl/console/api.h"

namespace {

using namespace vornctl::console;
namespace net = boost::asio;
using tcp = net::ip::tcp;

long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::string(field).size());
  }
  return -1;
}

std::string Head(const std::string& method, const std::string& target, std::uint16_t port,
                 const std::string& extra = std::string()) {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nConnection: close\r\n" + extra + "\r\n";
}

// Sends the request and reads the answer to its end; the answer's size.
std::size_t Exchange(std::uint16_t port, const std::string& request) {
  net::io_context ioc;
  tcp::socket socket(ioc);
  socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  net::write(socket, net::buffer(request));
  std::string answer;
  boost::system::error_code ec;
  net::read(socket, net::dynamic_buffer(answer), ec);
  return answer.size();
}

}  // namespace

int main(int argc, char** argv) {
  const int servers = argc > 1 ? std::atoi(argv[1]) : 500;
  const int targets = argc > 2 ? std::atoi(argv[2]) : 50;
  const long uploadMiB = argc > 3 ? std::atol(argv[3]) : 1024;
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("console_bench." + std::to_string(getpid()));

  EventBus events;
  FleetOptions fleetOptions;
  fleetOptions.discover = false;
  Fleet fleet(fleetOptions);
  for (int i = 0; i < servers; ++i) {
    ServerEntry entry;
    entry.id = "198.51.100." + std::to_string(i % 250 + 1) + ":" + std::to_string(13217 + i / 250);
    entry.how = "discovery";
    entry.link.address = entry.id;
    entry.hostName = "instrument-" + std::to_string(i);
    entry.name = "Installation Server";
    entry.version = "2.35.2";
    entry.group = "DEFAULT";
    entry.devices.push_back(
        {"1234.5678.02", "1234.5678.02", std::to_string(100000 + i), "Sample Analyzer", "1.20"});
    entry.reachable = true;
    entry.lastSeen = NowSeconds();
    fleet.Insert(entry);
  }
  PackageStore packages((dir / "store").string());
  History history((dir / "history.jsonl").string());
  // Each target reports a percent every 20 ms, as a fast transfer would.
  Jobs jobs(fleet, packages, history, events,
            [](const ServerLink&, const std::string&, const vornctl::Package&,
               const ProgressReport& progress) {
              for (int percent = 0; percent <= 100; ++percent) {
                progress(percent, 0, "transfer");
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
              }
              return InstallResult{InstallResult::kSucceeded, "installed"};
            });
  AccessPolicy policy;
  ConsoleApi api(policy, 4096ull << 20, fleet, packages, jobs, history, events);
  HttpServer server(api);
  server.Listen("127.0.0.1", 0);
  const std::uint16_t port = server.Port();
  api.SetHostNames({"127.0.0.1:" + std::to_string(port)});
  std::thread serving([&] { server.Run(false); });

  // 1. The fleet API.
  std::vector<double> ms;
  std::size_t bytes = 0;
  for (int i = 0; i < 50; ++i) {
    const auto start = std::chrono::steady_clock::now();
    bytes = Exchange(port, Head("GET", "/api/v1/servers", port));
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("fleet API, %d servers (%zu bytes): median %.2f ms, slowest %.2f ms (goal <= 50)\n",
              servers, bytes, ms[ms.size() / 2], ms.back());

  // 2. Targets installing at once, a page following the events.
  const std::string body = "x";
  const std::string small =
      Head("POST", "/api/v1/packages?kind=program&name=s.exe", port, "Content-Length: 1\r\n") +
      body;
  Exchange(port, small);
  const std::string packageId = packages.List().front().id;
  std::thread page([&] { Exchange(port, Head("GET", "/api/v1/events", port)); });
  nlohmann::json list = nlohmann::json::array();
  for (int i = 0; i < targets && i < servers; ++i) list.push_back(fleet.Servers()[i].id);
  JobRequest request;
  request.package = packageId;
  request.device = "1234.5678.02";
  request.servers = list.get<std::vector<std::string>>();
  request.parallel = static_cast<unsigned>(targets);
  std::string job;
  const long before = StatusKiB("VmRSS:");
  jobs.Start(request, job);
  jobs.Wait();
  std::printf(
      "%d targets installing with live events: resident %ld KiB before, peak %ld KiB "
      "(goal < 65536)\n",
      targets, before, StatusKiB("VmHWM:"));

  // 3. A large upload, streamed in 1 MiB writes.
  {
    const long peakBefore = StatusKiB("VmHWM:");
    net::io_context ioc;
    tcp::socket socket(ioc);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    const std::uint64_t total = static_cast<std::uint64_t>(uploadMiB) << 20;
    net::write(socket, net::buffer(Head("POST", "/api/v1/packages?kind=program&name=big.exe", port,
                                        "Content-Length: " + std::to_string(total) + "\r\n")));
    const std::string chunk(1 << 20, 'v');
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < uploadMiB; ++i) net::write(socket, net::buffer(chunk));
    std::string answer;
    boost::system::error_code ec;
    net::read(socket, net::dynamic_buffer(answer), ec);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("upload of %ld MiB: %s; %.1f s; peak resident %ld KiB before, %ld KiB after\n",
                uploadMiB, answer.substr(0, answer.find('\r')).c_str(), seconds, peakBefore,
                StatusKiB("VmHWM:"));
  }
  server.Stop();
  serving.join();
  page.join();
  std::filesystem::remove_all(dir);
  return 0;
}
