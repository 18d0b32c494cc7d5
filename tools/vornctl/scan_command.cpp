#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

#include "client/error.h"
#include "client/peer_text.h"
#include "net/bounded_parallel.h"
#include "tools/vornctl/commands.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/exit_codes.h"
#include "tools/vornctl/json_output.h"
#include "tools/vornctl/server_identity.h"

namespace vornctl {
namespace {

// The server's identification of the servers it found takes a few seconds
// after its own discovery time-out; a silent server costs a few more.
constexpr std::uint32_t kIdentificationAllowanceMs = 30000;

// Identifications of the servers found that run at once, each a relayed
// session of the scanning server.
constexpr std::size_t kIdentifyParallel = 8;
constexpr std::uint32_t kIdentifyTimeoutMs = 2000;

std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string ScanMessage(const ScanOptions& options) {
  std::string message = "DIAG:VORN:SCAN? " + std::to_string(options.timeoutMs) + "," +
                        options.mode + "," + (options.group ? "1," + Quoted(*options.group) : "0");
  for (const std::string& number : options.equipmentNumbers) message += "," + Quoted(number);
  return message + "\n";
}

// "\"a\",\"b\"" -> a, b
std::vector<std::string> Identifiers(const std::string& answer) {
  std::vector<std::string> ids;
  if (answer.empty()) return ids;
  for (const std::string& entry : SplitCatalog(answer)) ids.push_back(entry);
  return ids;
}

// What identify --via SCANNER --to ID shows of one server found, or why not.
struct ScannedServer {
  std::string id;
  ServerIdentity identity;
  std::string problem;
};

void IdentifyThrough(const HostAndPort& scanner, ScannedServer& server) {
  try {
    CSocketSession session;
    session.SetTimeout(kIdentifyTimeoutMs);
    session.Connect(scanner.host, scanner.port);
    if (const std::string refusal = AskForRelay(session, server.id); !refusal.empty()) {
      server.problem = "no relay: " + OneLine(refusal);
      return;
    }
    ReadIdentity(session, std::nullopt, server.identity, server.problem);
    session.Close();
  } catch (const Fernway::CError& error) {
    server.problem = OneLine(error.Message());
  }
}

void PrintTable(const std::vector<ScannedServer>& servers) {
  const char* const headings[] = {"VORN ID", "HOST", "SERVER", "SERIAL", "MATERIAL"};
  std::vector<std::array<std::string, 5>> rows;
  for (const ScannedServer& s : servers) {
    rows.push_back({PrintablePeerText(s.id), PrintablePeerText(s.identity.host),
                    PrintablePeerText(s.identity.Server()),
                    PrintablePeerText(s.identity.serialNumber),
                    PrintablePeerText(s.identity.materialNumber)});
  }
  std::array<std::size_t, 5> widths{};
  for (std::size_t c = 0; c < widths.size(); ++c) widths[c] = std::strlen(headings[c]);
  for (auto& row : rows) {
    for (std::size_t c = 0; c < widths.size(); ++c) {
      if (row[c].empty()) row[c] = "-";
      widths[c] = std::max(widths[c], row[c].size());
    }
  }
  auto print = [&](const auto& cells) {
    std::string line;
    for (std::size_t c = 0; c < widths.size(); ++c) {
      std::string cell = cells[c];
      if (c + 1 < widths.size()) cell.resize(widths[c] + 2, ' ');
      line += cell;
    }
    std::printf("%s\n", line.c_str());
  };
  print(headings);
  for (const auto& row : rows) print(row);
}

}  // namespace

int RunScan(const ScanOptions& original) {
  ScanOptions options = original;
  if (options.equipmentNumbers.empty()) options.equipmentNumbers.push_back("__TRL_Tool__");
  return WithSession(options.host, Relay{}, options.timeoutMs + kIdentificationAllowanceMs,
                     [&](CSocketSession& session, const HostAndPort& scanner) {
                       // The scan runs in a session that has a device; the service's own
                       // pseudo device is always there.
                       SelectChecked(session, "__TRL_Tool__");
                       std::string answer = session.Query(ScanMessage(options));
                       while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) {
                         answer.pop_back();
                       }
                       session.CheckError();
                       std::vector<ScannedServer> servers;
                       for (const std::string& id : Identifiers(answer))
                         servers.push_back({id, {}, {}});
                       // Each server found is identified through the scanning server, as
                       // identify --via would, a few at a time.
                       RunBounded(servers.size(), kIdentifyParallel,
                                  [&](std::size_t i) { IdentifyThrough(scanner, servers[i]); });
                       if (options.json) {
                         nlohmann::json list = nlohmann::json::array();
                         for (const ScannedServer& s : servers) {
                           nlohmann::json row = {{"vornId", s.id},
                                                 {"host", s.identity.host},
                                                 {"serverName", s.identity.serverName},
                                                 {"serverVersion", s.identity.serverVersion},
                                                 {"device", s.identity.device},
                                                 {"serialNumber", s.identity.serialNumber},
                                                 {"materialNumber", s.identity.materialNumber}};
                           if (!s.problem.empty()) row["error"] = s.problem;
                           list.push_back(row);
                         }
                         std::cout << ScriptJson(list) << "\n";
                       } else if (!servers.empty()) {
                         PrintTable(servers);
                       } else {
                         std::fprintf(stderr, "vornctl: the server found no other server\n");
                       }
                       for (const ScannedServer& s : servers) {
                         if (!s.problem.empty()) {
                           std::fprintf(stderr, "vornctl: %s: %s\n", PrintablePeerText(s.id).c_str(),
                                        PrintablePeerText(s.problem).c_str());
                         }
                       }
                       return servers.empty() ? kExitNothingFound : kExitOk;
                     });
}

}  // namespace vornctl
