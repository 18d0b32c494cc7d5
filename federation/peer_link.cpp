#include "federation/peer_link.h"

#include "protocol/text_format.h"

namespace {

// Servers of this protocol version and above relay in turn.
constexpr int kForwardingVersion = 200;

}  // namespace

std::optional<std::string> CPeerLink::Open(const platform::Endpoint& address,
                                           const std::string& quotedOrigin,
                                           const std::string& quotedTarget) {
  session_.Connect(address);
  session_.SendText("*CLS\n");
  const std::string catalog = session_.Catalog();
  session_.Select(catalog.substr(0, catalog.find(',')));
  session_.Identify();
  if (session_.ProtocolVersion() < kForwardingVersion) return std::nullopt;

  std::string answer =
      session_.Query("DIAG:VORN:CONN? " + quotedOrigin + "," + quotedTarget + "\n");
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  if (answer == "0") return std::nullopt;
  return answer;
}

std::string SocketErrorAnswer(int code, const std::string& message) {
  std::string text = message;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return std::to_string(code) + "," + QuoteString(text);
}
