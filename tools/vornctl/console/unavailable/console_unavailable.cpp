// The Windows build has no console yet: the subcommand is there and says so.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "tools/vornctl/console/console_command.h"
#include "tools/vornctl/exit_codes.h"

namespace vornctl {

CLI::App* AddConsoleCommand(CLI::App& app, ConsoleOptions&) {
  CLI::App* command = app.add_subcommand("console", "Serve a web console (not in this build)");
  command->allow_extras();
  return command;
}

int RunConsole(const ConsoleOptions&) {
  std::fprintf(stderr, "vornctl: this build has no web console\n");
  return kExitUsage;
}

}  // namespace vornctl
