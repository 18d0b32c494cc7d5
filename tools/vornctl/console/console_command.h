#pragma once
// vornctl console: its options and the command itself.

#include <cstdint>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace vornctl {

struct ConsoleOptions {
  std::string listen = "127.0.0.1";
  std::uint16_t port = 8080;
  std::string tokenFile;
  std::string directory;
  std::uint64_t maxUploadMiB = 4096;
  unsigned refreshSeconds = 10;
  std::uint32_t discoveryTimeoutMs = 1500;
  bool noDiscovery = false;
  std::vector<std::string> servers;
};

CLI::App* AddConsoleCommand(CLI::App& app, ConsoleOptions& options);
int RunConsole(const ConsoleOptions& options);

}  // namespace vornctl
