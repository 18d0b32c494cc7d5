// Upload throughput through a relaying server against the same upload made
// directly, in the same run, printed as a ratio. Both servers run in this
// process on loopback: A on the usual ports relays to B on ports of its own;
// the tool is the client library, as vornctl uses it. Each upload is the
// transfer of a package (description and data, 64 KiB blocks, each waiting
// for its error-queue answer) without the installation.
//
// The servers bind 13217 and 13227/13228, so run it in a namespace of its own:
//   scripts/run-isolated.sh build/linux/bench/relay_bench [MiB, default 64] [rounds, default 5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "client/error.h"
#include "client/socket_session.h"
#include "federation/known_servers.h"
#include "install/install_manager.h"
#include "install/package_description.h"
#include "net/control_channel.h"
#include "platform/registry_keys.h"
#include "protocol/text_format.h"
#include "service/install_server.h"
#include "tests/support/running_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint16_t kTargetControlPort = 13227;
constexpr std::uint16_t kTargetDataPort = 13228;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "relay_bench: %s\n", what.c_str());
  std::exit(1);
}

// Seconds for one upload of data, through the relay when targetId is given.
double Upload(std::uint16_t port, const std::string& targetId, const std::string& data) {
  CSocketSession session;
  session.SetTimeout(10000);
  session.Connect("127.0.0.1", port);
  if (!targetId.empty()) {
    const std::string answer =
        session.Query("DIAG:VORN:CONN? 'bench'," + QuoteString(targetId) + "\n");
    if (answer != "0\n") Fail("relay refused: " + answer);
  }
  session.Select("__TRL_Tool__");
  session.CheckError();
  CPackageDescription description;
  description.FileName = "upload.bin";
  std::istringstream in(data);
  const auto began = Clock::now();
  session.TransferOnly(description, in, static_cast<std::uint32_t>(data.size()));
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  session.Close();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (mib == 0 || rounds <= 0) Fail("usage: relay_bench [MiB] [rounds]");
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() /
      ("vorn-relay-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(directory);

  vorn_test::CRunningServer relay;
  vorn_test::CRunningServer::Options options;
  options.start = false;
  vorn_test::CRunningServer target(options);
  target.Server().ControlChannel().SetPort(kTargetControlPort);
  target.Server().SetDataPort(kTargetDataPort);
  target.Registry().PutString(kPlatformKey, CInstallManager::kTransferDirectoryValue,
                              directory.string());
  if (!relay.Started() || !target.Server().StartControlChannel() ||
      !target.Server().StartDataChannel()) {
    Fail("servers did not start (run it in a namespace of its own)");
  }
  const std::string targetId = target.Server().GetServerId();
  CKnownServers::Instance().EndScan(
      {{QuoteString(targetId), platform::Endpoint{platform::kLoopbackAddress, kTargetDataPort}}});

  std::string data(mib << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131) >> 3);

  // A warm-up round goes uncounted; then the side that goes first alternates,
  // so that a load that comes and goes on the machine falls on both, and the
  // ratio is the median of the rounds' ratios.
  std::vector<double> ratios;
  try {
    Upload(kTargetDataPort, std::string(), data);
    Upload(vorn_test::kServicePort, targetId, data);
    for (int round = 0; round < rounds; ++round) {
      double direct = 0;
      double relayed = 0;
      if (round % 2 == 0) {
        direct = Upload(kTargetDataPort, std::string(), data);
        relayed = Upload(vorn_test::kServicePort, targetId, data);
      } else {
        relayed = Upload(vorn_test::kServicePort, targetId, data);
        direct = Upload(kTargetDataPort, std::string(), data);
      }
      ratios.push_back(direct / relayed);
      std::printf("round %d: direct %.1f MiB/s, relayed %.1f MiB/s, relayed/direct %.2f\n",
                  round + 1, static_cast<double>(mib) / direct, static_cast<double>(mib) / relayed,
                  ratios.back());
    }
  } catch (const Fernway::CError& error) {
    Fail(error.Message());
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf("upload of %zu MiB, %d rounds: relayed/direct %.2f (median; range %.2f to %.2f)\n",
              mib, rounds, ratios[ratios.size() / 2], ratios.front(), ratios.back());
  relay.StopAndDelete();
  target.StopAndDelete();
  std::filesystem::remove_all(directory);
  return 0;
}
