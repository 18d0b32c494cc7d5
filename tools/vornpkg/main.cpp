// vornpkg: builds, shows and checks package descriptions (.mki) and
// installer containers.
#include <CLI/CLI.hpp>

#include "tools/vornpkg/commands.h"

int main(int argc, char** argv) {
  CLI::App app{
      "vornpkg: package descriptions (.mki) and installer containers for the vorn "
      "installation service"};
  app.name("vornpkg");
  app.set_version_flag("--version", "vornpkg " VORN_VERSION);
  app.require_subcommand(1);
  app.fallthrough(false);

  int exitCode = 0;
  AddCreateCommand(app, exitCode);
  AddShowCommand(app, exitCode);
  AddValidateCommand(app, exitCode);
  AddContainerCommand(app, exitCode);
  AddListCommand(app, exitCode);
  AddExtractCommand(app, exitCode);
  AddSignCommand(app, exitCode);
  AddVerifyCommand(app, exitCode);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version are successes; every usage error is exit code 2.
    return app.exit(e) == 0 ? 0 : 2;
  }
  return exitCode;
}
