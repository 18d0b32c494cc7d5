#include "tools/vornctl/server_discovery.h"

#include <cstdio>

#include "client/error.h"
#include "protocol/wire_limits.h"
#include "tools/vornctl/connection.h"

namespace vornctl {

std::optional<CAddressSet> FindServers(CServerFinder& finder) {
  try {
    CAddressSet exclusions;
    return finder.Scan(exclusions, kDefaultPort, 0);
  } catch (const Fernway::CError& error) {
    std::fprintf(stderr, "vornctl: discovery failed: %s\n", OneLine(error.Message()).c_str());
    return std::nullopt;
  }
}

}  // namespace vornctl
