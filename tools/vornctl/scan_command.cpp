#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "client/error.h"
#include "client/peer_text.h"
#include "tools/vornctl/commands.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/exit_codes.h"
#include "tools/vornctl/json_output.h"

namespace vornctl {
namespace {

// The server's identification of the servers it found takes a few seconds
// after its own discovery time-out; a silent server costs a few more.
constexpr std::uint32_t kIdentificationAllowanceMs = 30000;

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

}  // namespace

int RunScan(const ScanOptions& original) {
  ScanOptions options = original;
  if (options.equipmentNumbers.empty()) options.equipmentNumbers.push_back("__TRL_Tool__");
  return WithSession(options.host, Relay{}, options.timeoutMs + kIdentificationAllowanceMs,
                     [&](CSocketSession& session, const HostAndPort&) {
                       // The scan runs in a session that has a device; the service's own
                       // pseudo device is always there.
                       SelectChecked(session, "__TRL_Tool__");
                       std::string answer = session.Query(ScanMessage(options));
                       while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) {
                         answer.pop_back();
                       }
                       session.CheckError();
                       const std::vector<std::string> ids = Identifiers(answer);
                       if (options.json) {
                         std::cout << ScriptJson(nlohmann::json(ids)) << "\n";
                       } else {
                         for (const std::string& id : ids)
                           std::printf("%s\n", PrintablePeerText(id).c_str());
                         if (ids.empty())
                           std::fprintf(stderr, "vornctl: the server found no other server\n");
                       }
                       return ids.empty() ? kExitNothingFound : kExitOk;
                     });
}

}  // namespace vornctl
