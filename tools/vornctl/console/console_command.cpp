#include "tools/vornctl/console/console_command.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tools/vornctl/console/api.h"
#include "tools/vornctl/exit_codes.h"

namespace vornctl {
namespace {

using namespace console;

// Where the console keeps packages and its history unless told otherwise.
std::string DefaultDirectory() {
  const char* base = std::getenv("LOCALAPPDATA");
  if (base != nullptr && *base != '\0') {
    return (std::filesystem::path(base) / "vorn" / "console").string();
  }
  base = std::getenv("XDG_DATA_HOME");
  if (base != nullptr && *base != '\0') {
    return (std::filesystem::path(base) / "vorn" / "console").string();
  }
  base = std::getenv("HOME");
  if (base != nullptr && *base != '\0') {
    return (std::filesystem::path(base) / ".local" / "share" / "vorn" / "console").string();
  }
  return "vorn-console";
}

std::vector<std::string> HostNames(const std::string& listen, std::uint16_t port) {
  const std::string suffix = ":" + std::to_string(port);
  std::vector<std::string> names{listen + suffix};
  if (IsLoopbackAddress(listen)) {
    names.push_back("localhost" + suffix);
    names.push_back("127.0.0.1" + suffix);
  }
  if (listen.find(':') != std::string::npos) names.push_back("[" + listen + "]" + suffix);
  return names;
}

}  // namespace

CLI::App* AddConsoleCommand(CLI::App& app, ConsoleOptions& options) {
  CLI::App* command = app.add_subcommand(
      "console",
      "Serve a web console: the servers found, package uploads, installations with live "
      "progress, reboots and the history of runs");
  command
      ->add_option("--listen", options.listen,
                   "Address to listen on; any other than loopback requires the token")
      ->capture_default_str();
  command->add_option("--port", options.port, "TCP port (0: any free port)")->capture_default_str();
  command->add_option("--token-file", options.tokenFile,
                      "Read the token from the first line of this file (default: a new one, "
                      "printed at start)");
  command->add_option("--dir", options.directory,
                      "The console's directory for packages and history (default: "
                      "$XDG_DATA_HOME/vorn/console, ~/.local/share/vorn/console or "
                      "%LOCALAPPDATA%\\vorn\\console)");
  command->add_option("--max-upload", options.maxUploadMiB, "Largest upload in MiB")
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{4096}))
      ->capture_default_str();
  command
      ->add_option("--refresh", options.refreshSeconds,
                   "Seconds between two searches for servers (0: only on demand)")
      ->capture_default_str();
  command
      ->add_option("--discovery-timeout", options.discoveryTimeoutMs,
                   "Quiet time in ms that ends a search")
      ->check(CLI::Range(100u, 60000u))
      ->capture_default_str();
  command->add_flag("--no-discovery", options.noDiscovery,
                    "Do not search the networks; list only the servers added by address");
  command->add_option("--server", options.servers,
                      "A server to list by address (HOST or HOST:PORT); repeatable");
  command->footer(
      "The console prints its address and serves until Ctrl-C or SIGTERM. On an address other "
      "than loopback every request must carry the token: open the printed address (it hands the "
      "token to the browser as a cookie) or send 'Authorization: Bearer TOKEN'. Requests that "
      "change something must come from the console's own page. The HTTP API is described in "
      "docs/console.md.");
  return command;
}

int RunConsole(const ConsoleOptions& options) {
  AccessPolicy policy;
  policy.requireToken = !IsLoopbackAddress(options.listen);
  if (!options.tokenFile.empty()) {
    policy.token = ReadTokenFile(options.tokenFile);
    if (policy.token.size() < 16) {
      std::fprintf(stderr, "vornctl: %s holds no token of at least 16 characters\n",
                   options.tokenFile.c_str());
      return kExitFileError;
    }
  } else {
    policy.token = NewToken();
  }
  const std::string directory = options.directory.empty() ? DefaultDirectory() : options.directory;
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    std::fprintf(stderr, "vornctl: cannot create %s: %s\n", directory.c_str(),
                 ec.message().c_str());
    return kExitFileError;
  }

  EventBus events;
  FleetOptions fleetOptions;
  fleetOptions.refreshSeconds = options.refreshSeconds;
  fleetOptions.discoveryTimeoutMs = options.discoveryTimeoutMs;
  fleetOptions.discover = !options.noDiscovery;
  Fleet fleet(fleetOptions, [&events] { events.Publish("fleet", "{}"); });
  for (const std::string& server : options.servers) {
    if (std::string error = fleet.AddAddress(server); !error.empty()) {
      std::fprintf(stderr, "vornctl: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  PackageStore packages((std::filesystem::path(directory) / "store").string());
  History history((std::filesystem::path(directory) / "history.jsonl").string());
  Jobs jobs(fleet, packages, history, events);

  ConsoleApi routes(policy, options.maxUploadMiB * 1024 * 1024, fleet, packages, jobs, history,
                    events);
  HttpServer server(routes);
  try {
    server.Listen(options.listen, options.port);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vornctl: %s\n", error.what());
    return kExitUnreachable;
  }
  // The names the console answers to are known once its port is.
  policy.hostNames = HostNames(options.listen, server.Port());
  routes.SetHostNames(policy.hostNames);

  const std::string address = "http://" + policy.hostNames.front() + "/";
  if (policy.requireToken) {
    std::printf("vornctl console: %s?token=%s\n", address.c_str(), policy.token.c_str());
    std::printf("token: %s\n", policy.token.c_str());
  } else {
    std::printf("vornctl console: %s\n", address.c_str());
  }
  std::printf("directory: %s\n", directory.c_str());
  std::fflush(stdout);
  fleet.Start();
  server.Run(true);
  fleet.Stop();
  jobs.Wait();
  std::printf("vornctl console: stopped\n");
  return kExitOk;
}

}  // namespace vornctl
