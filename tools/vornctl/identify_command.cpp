#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "client/peer_text.h"
#include "tools/vornctl/commands.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/exit_codes.h"
#include "tools/vornctl/server_identity.h"
#include "tools/vornctl/json_output.h"

namespace vornctl {

int RunIdentify(const std::string& host, const std::optional<std::string>& device, bool json,
                const Relay& relay) {
  return WithSession(host, relay, 2000, [&](CSocketSession& session, const HostAndPort& where) {
    ServerIdentity identity;
    std::string problem;
    if (const int code = ReadIdentity(session, device, identity, problem); code != kExitOk) {
      std::fprintf(stderr, "vornctl: %s:%u %s\n", where.host.c_str(),
                   static_cast<unsigned>(where.port), problem.c_str());
      return code;
    }
    const std::string address = relay.Active() ? relay.via + " -> " + relay.to.back()
                                               : where.host + ":" + std::to_string(where.port);
    if (json) {
      nlohmann::json object = {
          {"address", address},
          {"serverName", identity.serverName},
          {"serverVersion", identity.serverVersion},
          {"device", identity.device},
          {"model", identity.model},
          {"materialNumber", identity.materialNumber},
          {"serialNumber", identity.serialNumber},
          {"deviceVersion", identity.deviceVersion},
          {"protocolVersion", identity.protocolVersion},
          {"descriptionVersion", identity.descriptionVersion},
          {"macAddress", identity.macAddress},
          {"vornId", identity.vornId},
          {"host", identity.host},
      };
      std::cout << ScriptJson(object) << "\n";
      return static_cast<int>(kExitOk);
    }
    const std::pair<std::string, std::string> lines[] = {
        {"address", address},
        {"server", identity.Server()},
        {"device", identity.device},
        {"model", identity.model},
        {"material number", identity.materialNumber},
        {"serial number", identity.serialNumber},
        {"device version", identity.deviceVersion},
        {"protocol version", std::to_string(identity.protocolVersion)},
        {"description version", std::to_string(identity.descriptionVersion)},
        {"MAC address", identity.macAddress},
        {"VORN id", identity.vornId},
        {"host", identity.host},
    };
    // The values start one column after the longest label.
    std::size_t width = 0;
    for (const auto& line : lines) width = std::max(width, line.first.size());
    for (const auto& [label, value] : lines) {
      // An answer the server could not give shows as "-", not as nothing.
      std::printf("%-*s  %s\n", static_cast<int>(width), label.c_str(),
                  value.empty() ? "-" : PrintablePeerText(value).c_str());
    }
    return static_cast<int>(kExitOk);
  });
}

}  // namespace vornctl
