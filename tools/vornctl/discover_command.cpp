#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "client/error.h"
#include "client/peer_text.h"
#include "client/server_finder.h"
#include "tools/vornctl/commands.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/exit_codes.h"
#include "tools/vornctl/json_output.h"
#include "tools/vornctl/server_discovery.h"

namespace vornctl {
namespace {

struct FoundServer {
  platform::Endpoint dataChannel;
  std::string equipmentNumber;
  std::string serialNumber;
  std::string identity;
};

// One row per server and equipment number: a server reached through several
// broadcast addresses answers more than once.
std::vector<FoundServer> Rows(const CAddressSet& found,
                              const std::vector<CServerIdentity>& identities) {
  std::vector<FoundServer> rows;
  std::set<std::tuple<std::uint32_t, std::uint16_t, std::string>> seen;
  for (const platform::Endpoint& server : found) {
    bool any = false;
    for (const CServerIdentity& identity : identities) {
      if (identity.sender.address != server.address) continue;
      any = true;
      if (!seen.emplace(server.address, server.port, identity.equipmentNumber).second) continue;
      rows.push_back(
          FoundServer{server, identity.equipmentNumber, identity.serialNumber, identity.identity});
    }
    if (!any) rows.push_back(FoundServer{server, "", "", ""});
  }
  return rows;
}

}  // namespace

int RunDiscover(const DiscoverOptions& options) {
  CServerFinder finder;
  finder.timeout = options.timeoutMs;
  finder.SetGroup(options.group ? options.group->c_str() : nullptr);
  if (!options.equipmentNumbers.empty()) {
    finder.SetEqNumbers(
        std::set<std::string>(options.equipmentNumbers.begin(), options.equipmentNumbers.end()));
  }
  const std::optional<CAddressSet> found = FindServers(finder);
  if (!found) return kExitUnreachable;
  const std::vector<FoundServer> rows = Rows(*found, finder.Identities());
  if (options.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const FoundServer& row : rows) {
      list.push_back({{"address", platform::FormatAddress(row.dataChannel.address)},
                      {"port", row.dataChannel.port},
                      {"equipmentNumber", row.equipmentNumber},
                      {"serialNumber", row.serialNumber},
                      {"identity", row.identity}});
    }
    std::cout << ScriptJson(list) << "\n";
  } else if (!rows.empty()) {
    std::printf("%-21s  %-12s  %s\n", "ADDRESS", "EQUIPMENT", "SERIAL");
    for (const FoundServer& row : rows) {
      const std::string address = platform::FormatAddress(row.dataChannel.address) + ":" +
                                  std::to_string(row.dataChannel.port);
      std::printf("%-21s  %-12s  %s\n", address.c_str(),
                  PrintablePeerText(row.equipmentNumber).c_str(),
                  PrintablePeerText(row.serialNumber).c_str());
    }
  } else {
    std::fprintf(stderr, "vornctl: no server answered within %u ms\n",
                 static_cast<unsigned>(options.timeoutMs));
  }
  return rows.empty() ? kExitNothingFound : kExitOk;
}

}  // namespace vornctl
