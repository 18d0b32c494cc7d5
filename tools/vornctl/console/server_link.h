#pragma once
// How the console reaches one server: directly, or through a server that
// relays (one found by that server's scan). Every call the console makes
// goes through the client library's session.

#include <cstdint>
#include <string>
#include <vector>

#include "client/socket_session.h"

namespace vornctl::console {

struct ServerLink {
  std::string address;          // HOST:PORT connected to (the relaying server for a scan find)
  std::vector<std::string> to;  // VORN ids relayed to, in order; empty: direct
};

// Connects and asks for every relay; throws Fernway::CError (the server's
// refusal as its text) on failure.
void Connect(CSocketSession& session, const ServerLink& link, std::uint32_t timeoutMs);

// A peer's text as the console keeps it: at most `limit` bytes, without
// control characters, invalid UTF-8 left to the JSON writer to replace.
std::string Bounded(const std::string& text, std::size_t limit = 256);

}  // namespace vornctl::console
