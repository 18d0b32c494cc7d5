#include "tools/vornctl/console/server_link.h"

#include "client/error.h"
#include "tools/vornctl/connection.h"

namespace vornctl::console {

void Connect(CSocketSession& session, const ServerLink& link, std::uint32_t timeoutMs) {
  HostAndPort where;
  if (!ParseHostAndPort(link.address, where)) {
    throw Fernway::CError("'" + link.address + "' is not HOST or HOST:PORT");
  }
  session.SetTimeout(timeoutMs);
  session.Connect(where.host, where.port);
  for (const std::string& to : link.to) {
    const std::string refusal = AskForRelay(session, to);
    if (!refusal.empty()) {
      throw Fernway::CError("no relay to " + to + ": " + OneLine(refusal) +
                            (refusal == "2" ? " (not found by that server's last scan)" : ""));
    }
  }
}

std::string Bounded(const std::string& text, std::size_t limit) {
  std::string out;
  for (const char c : text) {
    if (out.size() >= limit) break;
    const auto byte = static_cast<unsigned char>(c);
    out += byte < 0x20 || byte == 0x7F ? ' ' : c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace vornctl::console
