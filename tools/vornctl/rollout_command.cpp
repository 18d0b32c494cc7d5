#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "client/error.h"
#include "client/peer_text.h"
#include "client/server_finder.h"
#include "client/socket_session.h"
#include "net/bounded_parallel.h"
#include "platform/console.h"
#include "tools/vornctl/commands.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/exit_codes.h"
#include "tools/vornctl/json_output.h"
#include "tools/vornctl/package_input.h"
#include "tools/vornctl/rollout_display.h"
#include "tools/vornctl/server_discovery.h"
#include "tools/vornctl/server_identity.h"

namespace vornctl {
namespace {

// Give up on a server that does not answer for this long during its
// installation (the install command's default).
constexpr std::uint32_t kAnswerTimeoutMs = 30000;

enum class Outcome { kInstalled, kRebootRequired, kFailed, kUnreachable };

struct ServerResult {
  platform::Endpoint address;
  std::string name;
  std::string vornId;
  std::vector<platform::Endpoint> otherAddresses;  // the same server, on its other legs
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
  line.display->Update(line.index, std::string(word) + " " + std::to_string(percent) + "%  " +
                                       PrintablePeerText(line.lastText));
}

void InstallOn(ServerResult& result, const RolloutOptions& options, const Package& package,
               CRolloutDisplay& display, std::size_t index) {
  const auto start = std::chrono::steady_clock::now();
  LiveLine line{&display, index, package.dataBytes, -1, std::string()};
  display.Update(index, "connecting");
  try {
    CSocketSession session;
    session.SetTimeout(kAnswerTimeoutMs);
    session.SetInstallDeadline(options.installTimeoutSeconds);
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
  if (!result.message.empty()) state += ": " + PrintablePeerText(result.message);
  display.Update(index, state, true);
}

// The VORN id of the server at address, with the device selected (a
// server reached on two networks answers discovery on both). A server
// that cannot tell (below protocol version 200) goes by its MAC address.
// False, with result filled in, when it cannot be asked.
bool ReadServerId(ServerResult& result, const RolloutOptions& options) {
  try {
    CSocketSession session;
    session.SetTimeout(kAnswerTimeoutMs);
    session.Connect(result.address);
    SelectChecked(session, options.device);
    session.Identify();
    if (session.IsIdentified()) {
      result.vornId = BareId(session.VornId());
      if (result.vornId.empty() && !session.MacAddress().empty()) {
        result.vornId = "MAC " + session.MacAddress();
      }
    }
    session.Close();
    return true;
  } catch (const Fernway::CSocketError& error) {
    result.outcome = Outcome::kUnreachable;
    result.message = OneLine(error.Message());
  } catch (const Fernway::CError& error) {
    result.outcome = Outcome::kFailed;
    result.message = OneLine(error.Message());
  }
  return false;
}

// One entry per server: the first address (in discovery order) of each VORN
// id stays, the others are noted with it. Servers without an id stay as
// they are.
std::vector<ServerResult> MergeById(std::vector<ServerResult> servers) {
  std::vector<ServerResult> merged;
  std::map<std::string, std::size_t> byId;
  for (ServerResult& server : servers) {
    if (!server.vornId.empty()) {
      const auto [at, added] = byId.emplace(server.vornId, merged.size());
      if (!added) {
        merged[at->second].otherAddresses.push_back(server.address);
        continue;
      }
    }
    merged.push_back(std::move(server));
  }
  return merged;
}

void PrintSummary(const std::vector<ServerResult>& results, const std::string& device) {
  std::size_t width = 6;
  for (const ServerResult& r : results) width = r.name.size() > width ? r.name.size() : width;
  std::printf("\n%-*s  %-12s  %-15s  %8s\n", static_cast<int>(width), "SERVER", "DEVICE", "RESULT",
              "TIME");
  for (const ServerResult& r : results) {
    std::printf("%-*s  %-12s  %-15s  %7.1fs%s%s\n", static_cast<int>(width), r.name.c_str(),
                device.c_str(), OutcomeWord(r.outcome), r.seconds, r.message.empty() ? "" : "  ",
                PrintablePeerText(r.message).c_str());
  }
}

void PrintJson(const std::vector<ServerResult>& results, const std::string& device) {
  nlohmann::json list = nlohmann::json::array();
  for (const ServerResult& r : results) {
    nlohmann::json others = nlohmann::json::array();
    for (const platform::Endpoint& other : r.otherAddresses) {
      others.push_back(platform::FormatAddress(other.address) + ":" + std::to_string(other.port));
    }
    list.push_back({{"server", platform::FormatAddress(r.address.address)},
                    {"otherAddresses", others},
                    {"port", r.address.port},
                    {"vornId", r.vornId},
                    {"device", device},
                    {"result", OutcomeWord(r.outcome)},
                    {"ok", r.outcome == Outcome::kInstalled},
                    {"seconds", r.seconds},
                    {"message", r.message}});
  }
  std::cout << ScriptJson(list) << "\n";
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
  const std::optional<CAddressSet> found = FindServers(finder);
  if (!found) return kExitUnreachable;
  if (found->empty()) {
    std::fprintf(stderr, "vornctl: no server answered\n");
    return kExitNothingFound;
  }

  std::vector<ServerResult> results;
  for (const platform::Endpoint& address : *found) {
    ServerResult result;
    result.address = address;
    result.name = platform::FormatAddress(address.address) + ":" + std::to_string(address.port);
    results.push_back(result);
  }
  // A server is installed on once, however many of its addresses answered.
  std::vector<char> reachable(results.size());  // one byte each: written by several threads
  RunBounded(results.size(), options.parallel,
             [&](std::size_t i) { reachable[i] = ReadServerId(results[i], options); });
  std::vector<ServerResult> unreachable;
  for (std::size_t i = results.size(); i-- > 0;) {
    if (!reachable[i]) {
      unreachable.insert(unreachable.begin(), std::move(results[i]));
      results.erase(results.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  results = MergeById(std::move(results));
  const std::size_t toInstall = results.size();
  for (ServerResult& r : unreachable) results.push_back(std::move(r));
  std::vector<std::string> names;
  for (const ServerResult& r : results) names.push_back(r.name);
  // Scripts read the JSON from standard output; the live lines then go to
  // standard error, as plain lines.
  const bool terminal = !options.json && platform::StandardOutputIsTerminal();
  CRolloutDisplay display(options.json ? stderr : stdout, terminal, names);
  for (std::size_t i = toInstall; i < results.size(); ++i) {
    std::string state = OutcomeWord(results[i].outcome);
    if (!results[i].message.empty()) state += ": " + results[i].message;
    display.Update(i, state, true);
  }
  RunBounded(toInstall, options.parallel,
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
