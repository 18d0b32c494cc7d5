#include <chrono>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>

#include "client/error.h"
#include "client/server_finder.h"
#include "client/socket_session.h"
#include "net/bounded_parallel.h"
#include "platform/console.h"
#include "tools/vornctl/commands.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/exit_codes.h"
#include "tools/vornctl/package_input.h"
#include "tools/vornctl/rollout_display.h"

namespace vornctl {
namespace {

// Give up on a server that does not answer for this long during its
// installation (the install command's default).
constexpr std::uint32_t kAnswerTimeoutMs = 30000;

enum class Outcome { kInstalled, kRebootRequired, kFailed, kUnreachable };

struct ServerResult {
  platform::Endpoint address;
  std::string name;
  Outcome outcome = Outcome::kFailed;
  std::string message;
  double seconds = 0;
};

const char* OutcomeWord(Outcome outcome) {
  switch (outcome) {
    case Outcome::kInstalled:
      return "installed";
    case Outcome::kRebootRequired:
      return "reboot required";
    case Outcome::kUnreachable:
      return "unreachable";
    case Outcome::kFailed:
      break;
  }
  return "failed";
}

struct LiveLine {
  CRolloutDisplay* display;
  std::size_t index;
  std::uint64_t dataBytes;
  int lastState = -1;
  std::string lastText;
};

const char* const kStateWords[] = {"transfer", "run", "installing", "ERR", "SUCC", "BOOT"};

void OnProgress(std::uintptr_t context, int percent, int state, const char* text) {
  auto& line = *reinterpret_cast<LiveLine*>(context);
  line.lastState = state;
  line.lastText = text != nullptr ? text : "";
  const char* word = state >= 0 && state <= 5 ? kStateWords[state] : "?";
  line.display->Update(line.index,
                       std::string(word) + " " + std::to_string(percent) + "%  " + line.lastText);
}

void InstallOn(ServerResult& result, const RolloutOptions& options, const Package& package,
               CRolloutDisplay& display, std::size_t index) {
  const auto start = std::chrono::steady_clock::now();
  LiveLine line{&display, index, package.dataBytes, -1, std::string()};
  display.Update(index, "connecting");
  try {
    CSocketSession session;
    session.SetTimeout(kAnswerTimeoutMs);
    session.Connect(result.address);
    SelectChecked(session, options.device);
    session.SetProgressCallback(&OnProgress, reinterpret_cast<std::uintptr_t>(&line));
    SendSignature(session, package);
    session.InstallFile(package.description, package.dataFile);
    if (line.lastState == CClientSession::kSucc) {
      result.outcome = Outcome::kInstalled;
    } else if (line.lastState == CClientSession::kBoot) {
      result.outcome = Outcome::kRebootRequired;
    } else {
      result.outcome = Outcome::kFailed;
      result.message = line.lastText;
    }
    session.Close();
  } catch (const Fernway::CSocketError& error) {
    result.outcome = Outcome::kUnreachable;
    result.message = OneLine(error.Message());
  } catch (const Fernway::CError& error) {
    result.outcome = Outcome::kFailed;
    result.message = OneLine(error.Message());
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::string state = OutcomeWord(result.outcome);
  if (!result.message.empty()) state += ": " + result.message;
  display.Update(index, state, true);
}

void PrintSummary(const std::vector<ServerResult>& results, const std::string& device) {
  std::size_t width = 6;
  for (const ServerResult& r : results) width = r.name.size() > width ? r.name.size() : width;
  std::printf("\n%-*s  %-12s  %-15s  %8s\n", static_cast<int>(width), "SERVER", "DEVICE", "RESULT",
              "TIME");
  for (const ServerResult& r : results) {
    std::printf("%-*s  %-12s  %-15s  %7.1fs%s%s\n", static_cast<int>(width), r.name.c_str(),
                device.c_str(), OutcomeWord(r.outcome), r.seconds, r.message.empty() ? "" : "  ",
                r.message.c_str());
  }
}

void PrintJson(const std::vector<ServerResult>& results, const std::string& device) {
  nlohmann::json list = nlohmann::json::array();
  for (const ServerResult& r : results) {
    list.push_back({{"server", platform::FormatAddress(r.address.address)},
                    {"port", r.address.port},
                    {"device", device},
                    {"result", OutcomeWord(r.outcome)},
                    {"ok", r.outcome == Outcome::kInstalled},
                    {"seconds", r.seconds},
                    {"message", r.message}});
  }
  std::cout << list.dump(2) << "\n";
}

}  // namespace

int RunRollout(const RolloutOptions& options) {
  InstallOptions install;
  install.device = options.device;
  install.description = options.description;
  install.dataFile = options.dataFile;
  install.signature = options.signature;
  Package package;
  if (const int code = LoadPackage(install, package); code != kExitOk) return code;

  // Only the servers that have the device answer, unless other numbers are asked for.
  CServerFinder finder;
  finder.SetGroup(options.group ? options.group->c_str() : nullptr);
  finder.SetEqNumbers(options.equipmentNumbers.empty()
                          ? std::set<std::string>{options.device}
                          : std::set<std::string>(options.equipmentNumbers.begin(),
                                                  options.equipmentNumbers.end()));
  CAddressSet found;
  try {
    CAddressSet exclusions;
    found = finder.Scan(exclusions, kDataPort, 0);
  } catch (const Fernway::CError& error) {
    std::fprintf(stderr, "vornctl: discovery failed: %s\n", OneLine(error.Message()).c_str());
    return kExitUnreachable;
  }
  if (found.empty()) {
    std::fprintf(stderr, "vornctl: no server answered\n");
    return kExitNothingFound;
  }

  std::vector<ServerResult> results;
  std::vector<std::string> names;
  for (const platform::Endpoint& address : found) {
    ServerResult result;
    result.address = address;
    result.name = platform::FormatAddress(address.address) + ":" + std::to_string(address.port);
    names.push_back(result.name);
    results.push_back(result);
  }
  // Scripts read the JSON from standard output; the live lines then go to
  // standard error, as plain lines.
  const bool terminal = !options.json && platform::StandardOutputIsTerminal();
  CRolloutDisplay display(options.json ? stderr : stdout, terminal, names);
  RunBounded(results.size(), options.parallel,
             [&](std::size_t i) { InstallOn(results[i], options, package, display, i); });
  display.Finish();

  if (options.json) {
    PrintJson(results, options.device);
  } else {
    PrintSummary(results, options.device);
  }
  bool anyFailed = false, anyReboot = false;
  for (const ServerResult& r : results) {
    anyFailed = anyFailed || r.outcome == Outcome::kFailed || r.outcome == Outcome::kUnreachable;
    anyReboot = anyReboot || r.outcome == Outcome::kRebootRequired;
  }
  if (anyFailed) return kExitInstallFailed;
  return anyReboot ? kExitRebootRequired : kExitOk;
}

}  // namespace vornctl
