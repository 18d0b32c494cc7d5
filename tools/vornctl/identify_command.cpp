#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "client/peer_text.h"
#include "tools/vornctl/commands.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/exit_codes.h"
#include "tools/vornctl/json_output.h"

namespace vornctl {

// The device to identify: the one asked for, else the first of the
// server's catalogue (passed on quoted, as the catalogue gives it).
int RunIdentify(const std::string& host, const std::optional<std::string>& device, bool json,
                const Relay& relay) {
  return WithSession(host, relay, 2000, [&](CSocketSession& session, const HostAndPort& where) {
    session.SendText("*CLS\n");
    std::string selected;
    if (device) {
      selected = *device;
      SelectChecked(session, selected);
    } else {
      const std::string catalog = session.Catalog();
      const std::string first = catalog.substr(0, catalog.find(','));
      if (first.empty()) {
        std::fprintf(stderr, "vornctl: %s:%u lists no devices\n", where.host.c_str(),
                     static_cast<unsigned>(where.port));
        return static_cast<int>(kExitServerError);
      }
      SelectChecked(session, first);
      selected = SplitCatalog(first).front();
    }
    session.Identify();
    if (!session.IsIdentified()) {
      std::fprintf(stderr, "vornctl: %s:%u did not identify itself as an installation server\n",
                   where.host.c_str(), static_cast<unsigned>(where.port));
      return static_cast<int>(kExitNotAServer);
    }
    const std::string address = relay.Active() ? relay.via + " -> " + relay.to.back()
                                               : where.host + ":" + std::to_string(where.port);
    if (json) {
      nlohmann::json identity = {
          {"address", address},
          {"device", selected},
          {"model", session.Model()},
          {"materialNumber", session.MaterialNumber()},
          {"serialNumber", session.SerialNumber()},
          {"deviceVersion", session.DeviceVersion()},
          {"protocolVersion", session.ProtocolVersion()},
          {"descriptionVersion", session.DescriptionVersion()},
          {"macAddress", session.MacAddress()},
          {"vornId", session.VornId()},
          {"host", session.Host()},
      };
      std::cout << ScriptJson(identity) << "\n";
    } else {
      const std::pair<const char*, std::string> lines[] = {
          {"address", address},
          {"device", selected},
          {"model", session.Model()},
          {"material number", session.MaterialNumber()},
          {"serial number", session.SerialNumber()},
          {"device version", session.DeviceVersion()},
          {"protocol version", std::to_string(session.ProtocolVersion())},
          {"description version", std::to_string(session.DescriptionVersion())},
          {"MAC address", session.MacAddress()},
          {"VORN id", session.VornId()},
          {"host", session.Host()},
      };
      for (const auto& [label, value] : lines) {
        // An answer the server could not give shows as "-", not as nothing.
        std::printf("%-20s %s\n", label, value.empty() ? "-" : PrintablePeerText(value).c_str());
      }
    }
    return static_cast<int>(kExitOk);
  });
}

}  // namespace vornctl
