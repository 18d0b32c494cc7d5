// vornctl: finds installation servers, identifies them, lists their devices,
// reads their error queues, sends raw commands, installs packages and
// reboots instrument computers. Arguments here, the work in the commands.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "base/version.h"
#include "client/error.h"
#include "client/peer_text.h"
#include "tools/vornctl/commands.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/console/console_command.h"
#include "tools/vornctl/exit_codes.h"

namespace {

const char* const kExitCodes =
    "Exit codes: 0 done (installed; rollout: on every server), 1 no server answered\n"
    "(discover, scan, rollout), 2 usage, 3 connection failed, 4 not an installation\n"
    "server, 5 the server reported an error, 6 installation failed (rollout: on at\n"
    "least one server), 7 installed but a reboot is required, 8 server stopped\n"
    "answering (time-out), closed the connection or the installation passed\n"
    "--install-timeout, 9 local file unreadable or too large, 10 unexpected\n"
    "failure, 130 interrupted (Ctrl-C).";

// --via HOST --to VORNID on a subcommand whose HOST it then replaces. The
// positionals are filled in order, so with --via the first of them has gone
// into HOST; ShiftPositionals puts them back.
void AddRelayOptions(CLI::App* command, CLI::Option*, std::string& via,
                     std::vector<std::string>& to) {
  CLI::Option* viaOption = command->add_option(
      "--via", via, "Reach the server through this one (HOST or HOST:PORT), which relays");
  CLI::Option* toOption = command->add_option(
      "--to", to,
      "VORN id of the server to reach through --via; again for a server behind that one");
  // One id per --to, so that positionals may follow it.
  toOption->allow_extra_args(false);
  viaOption->needs(toOption);
  toOption->needs(viaOption);
}

// HOST is required unless the session is relayed; with --via there is none.
void RequireHostOrVia(CLI::App* command, const std::string& host, const std::string& via) {
  if (!command->parsed()) return;
  if (host.empty() && via.empty())
    throw CLI::RequiredError(command->get_name() + ": HOST or --via");
  if (!host.empty() && !via.empty()) {
    throw CLI::ValidationError(command->get_name(), "HOST and --via exclude each other");
  }
}

void ShiftPositionals(vornctl::InstallOptions& install) {
  if (install.via.empty() || install.host.empty()) return;
  if (install.dataFile) {
    throw CLI::ValidationError("install", "HOST and --via exclude each other");
  }
  if (!install.description.empty()) install.dataFile = install.description;
  install.description = install.host;
  install.host.clear();
}

void ShiftPositionals(std::string& host, const std::string& via,
                      std::vector<std::string>& commands) {
  if (via.empty() || host.empty()) return;
  commands.insert(commands.begin(), host);
  host.clear();
}

int Run(int argc, char** argv) {
  using namespace vornctl;
  CLI::App app{
      "Finds installation servers and installs software packages on instrument computers."};
  app.set_version_flag("--version", std::string("vornctl ") + kVersion);
  app.require_subcommand(1);
  app.footer(kExitCodes);

  DiscoverOptions discover;
  CLI::App* discoverCommand =
      app.add_subcommand("discover", "Find the installation servers on every network interface");
  discoverCommand
      ->add_option("--timeout", discover.timeoutMs, "Quiet time in ms after which the search ends")
      ->capture_default_str();
  discoverCommand->add_option("--group", discover.group,
                              "Only servers of this device group (default: any group)");
  discoverCommand->add_option("--equipment", discover.equipmentNumbers,
                              "Equipment (material) number to ask for; repeatable "
                              "(default: __TRL_Tool__, which every server has)");
  discoverCommand->add_flag("--json", discover.json, "An array of objects for scripts");

  ScanOptions scan;
  CLI::App* scanCommand = app.add_subcommand(
      "scan", "Have a server search its networks for other servers; identifies each through it");
  scanCommand->add_option("HOST", scan.host, "HOST or HOST:PORT of the server that scans")
      ->required();
  scanCommand
      ->add_option("--timeout", scan.timeoutMs,
                   "Quiet time in ms after which the server's search ends (at least 1000)")
      ->check(CLI::Range(1000u, 3600000u))
      ->capture_default_str();
  scanCommand
      ->add_option("--mode", scan.mode,
                   "ALL: every network; EXTERN: not the one this tool is connected through; "
                   "DALL, DEXTERN: the same, also on the second discovery port")
      ->check(CLI::IsMember({"ALL", "DALL", "EXTERN", "DEXTERN"}))
      ->capture_default_str();
  scanCommand->add_option("--group", scan.group,
                          "Only servers of this device group (default: any group)");
  scanCommand->add_option("--equipment", scan.equipmentNumbers,
                          "Equipment number to ask for; repeatable (default: __TRL_Tool__)");
  scanCommand->add_flag("--json", scan.json, "An array of objects for scripts");

  RolloutOptions rollout;
  CLI::App* rolloutCommand = app.add_subcommand(
      "rollout",
      "Find every server with the device and install the package on all of them at once");
  rolloutCommand->add_option("--group", rollout.group,
                             "Only servers of this device group (default: any group)");
  rolloutCommand->add_option("--equipment", rollout.equipmentNumbers,
                             "Equipment number to ask for; repeatable (default: the --device id)");
  rolloutCommand->add_option("--parallel", rollout.parallel, "Installations at a time (at least 1)")
      ->check(CLI::Range(1u, 1000u))
      ->capture_default_str();
  rolloutCommand
      ->add_option("--install-timeout", rollout.installTimeoutSeconds,
                   "Give up on a server whose installation has no result after this many "
                   "seconds, even while it reports progress (0: never)")
      ->capture_default_str();
  rolloutCommand->add_option("--device", rollout.device, "Device id to install on")->required();
  rolloutCommand->add_option("DESCRIPTION", rollout.description, "Package description (.mki)")
      ->required();
  rolloutCommand->add_option("DATAFILE", rollout.dataFile, "The package's data file");
  rolloutCommand->add_option("--signature", rollout.signature,
                             "Signature file to send (default: DATAFILE.sig when it exists)");
  rolloutCommand->add_flag("--json", rollout.json,
                           "The summary as an array of objects (live lines on standard error)");

  std::string host;
  std::optional<std::string> device;
  bool json = false;
  CLI::App* identifyCommand = app.add_subcommand(
      "identify", "Identify a server and one of its devices (default: its first device)");
  std::string via;
  std::vector<std::string> to;
  CLI::Option* identifyHost =
      identifyCommand->add_option("HOST", host, "HOST or HOST:PORT (port 13217 by default)");
  AddRelayOptions(identifyCommand, identifyHost, via, to);
  identifyCommand->add_option("--device", device, "Device id to identify");
  identifyCommand->add_flag("--json", json, "One JSON object for scripts");

  CLI::App* devicesCommand = app.add_subcommand("devices", "List the devices a server serves");
  AddRelayOptions(devicesCommand, devicesCommand->add_option("HOST", host, "HOST or HOST:PORT"),
                  via, to);
  devicesCommand->add_flag("--json", json, "An array of device ids for scripts");

  CLI::App* errorsCommand =
      app.add_subcommand("errors", "Read and empty the error queue of a new session");
  errorsCommand->add_option("HOST", host, "HOST or HOST:PORT")->required();
  errorsCommand->add_option("--device", device, "Select this device first");

  std::vector<std::string> commands;
  CLI::App* sendCommand = app.add_subcommand(
      "send", "Send program messages and print the answers of queries (for diagnosis)");
  AddRelayOptions(sendCommand, sendCommand->add_option("HOST", host, "HOST or HOST:PORT"), via, to);
  sendCommand->add_option("--device", device, "Select this device first");
  sendCommand->add_option("COMMAND", commands, "Program messages, e.g. '*IDN?'");

  InstallOptions install;
  CLI::App* installCommand = app.add_subcommand(
      "install", "Send a package and install it, following the progress to the end");
  AddRelayOptions(installCommand,
                  installCommand->add_option("HOST", install.host, "HOST or HOST:PORT"),
                  install.via, install.to);
  installCommand->add_option("--device", install.device, "Device id to install on")->required();
  CLI::Option* descriptionOption =
      installCommand->add_option("DESCRIPTION", install.description, "Package description (.mki)");
  installCommand->add_option("DATAFILE", install.dataFile, "The package's data file");
  CLI::Option* containerOption = installCommand->add_option(
      "--container", install.container,
      "FILE::NAME: send the installer container FILE and install its entry NAME");
  containerOption->excludes(descriptionOption);
  installCommand->add_option(
      "--signature", install.signature,
      "Signature file to send (default: DATAFILE.sig, or FILE.sig of a container, when it exists)");
  installCommand->add_flag("--reboot", install.reboot, "Reboot when the installation asks for it");
  installCommand
      ->add_option("--timeout", install.timeoutSeconds,
                   "Give up when the server does not answer for this many seconds "
                   "(at least 5)")
      ->capture_default_str();
  installCommand
      ->add_option("--install-timeout", install.installTimeoutSeconds,
                   "Give up when the installation has no result after this many seconds, even "
                   "while the server reports progress (0: never)")
      ->capture_default_str();
  installCommand->add_flag("--json", install.json,
                           "No progress; one JSON object with the outcome for scripts");

  std::string rebootDevice;
  CLI::App* rebootCommand = app.add_subcommand("reboot", "Reboot the instrument computer");
  rebootCommand->add_option("HOST", host, "HOST or HOST:PORT")->required();
  rebootCommand->add_option("--device", rebootDevice, "Device id")->required();
  rebootCommand->add_flag("--json", json, "One JSON object with the outcome for scripts");

  ConsoleOptions console;
  CLI::App* consoleCommand = AddConsoleCommand(app, console);

  try {
    app.parse(argc, argv);
    if (installCommand->parsed()) ShiftPositionals(install);
    if (sendCommand->parsed()) ShiftPositionals(host, via, commands);
    if (sendCommand->parsed() && commands.empty()) throw CLI::RequiredError("COMMAND");
    RequireHostOrVia(identifyCommand, host, via);
    RequireHostOrVia(devicesCommand, host, via);
    RequireHostOrVia(sendCommand, host, via);
    RequireHostOrVia(installCommand, install.host, install.via);
    if (installCommand->parsed() && !install.container && install.description.empty()) {
      throw CLI::RequiredError("DESCRIPTION or --container");
    }
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? kExitOk : kExitUsage;
  }

  if (discoverCommand->parsed()) return RunDiscover(discover);
  if (scanCommand->parsed()) return RunScan(scan);
  if (rolloutCommand->parsed()) return RunRollout(rollout);
  if (consoleCommand->parsed()) return RunConsole(console);
  const Relay relay{via, to};
  if (identifyCommand->parsed()) return RunIdentify(host, device, json, relay);
  if (devicesCommand->parsed()) return RunDevices(host, json, relay);
  if (errorsCommand->parsed()) return RunErrors(host, device);
  if (sendCommand->parsed()) return RunSend(host, device, commands, relay);
  if (installCommand->parsed()) return RunInstall(install);
  return RunReboot(host, rebootDevice, json);
}

}  // namespace

// Whatever escapes a command ends here with a message and an exit code, not
// with an abort that a script or Ansible cannot tell from a crash.
int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vornctl: unexpected failure: %s\n", error.what());
  } catch (const Fernway::CError& error) {
    std::fprintf(stderr, "vornctl: unexpected failure: %s\n",
                 PrintablePeerText(vornctl::OneLine(error.Message())).c_str());
  } catch (...) {
    std::fprintf(stderr, "vornctl: unexpected failure\n");
  }
  return vornctl::kExitInternal;
}
