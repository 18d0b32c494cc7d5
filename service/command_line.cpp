#include "service/command_line.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "platform/process_config.h"

int ParseServiceCommandLine(int argc, char** argv, ServiceCommandLine& options) {
  CLI::App app("The installation service of an instrument computer.", "vornsvc");
  app.add_flag("--version", options.version, "print the version and exit");
  app.add_flag("--check", options.check,
               "read the configuration and print what the service would serve, or every "
               "problem with its line; writes nothing; exit status 0 or 1");
  if (platform::ConfigurationIsAFile()) {
    app.add_option("--registry", options.registryPath,
                   "the configuration store, a registry file (default: $VORN_REGISTRY)")
        ->type_name("PATH");
    app.footer(
        "Without --version or --check the service runs in the foreground until SIGTERM or "
        "SIGINT.");
  } else {
    app.footer("Without arguments the process is the service MkVornService.");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "vornsvc: %s\n\n%s", error.what(), app.help().c_str());
    return 2;
  }
  if (options.registryPath.empty()) options.registryPath = platform::DefaultRegistryPath();
  return -1;
}
