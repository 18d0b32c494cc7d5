#pragma once

#include <optional>
#include <set>
#include <string>

#include "client/server_finder.h"

namespace vornctl {

// Discovery as discover and rollout run it: the finder's query on every
// interface, to the default port. A failure (no interface to broadcast on)
// is printed as "vornctl: discovery failed: ..." and gives nullopt, which
// the command ends with kExitUnreachable.
std::optional<CAddressSet> FindServers(CServerFinder& finder);

}  // namespace vornctl
