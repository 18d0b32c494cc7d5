#include "tools/vornctl/connection.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "client/error.h"
#include "client/peer_text.h"
#include "platform/system_info.h"
#include "protocol/text_format.h"
#include "tools/vornctl/exit_codes.h"

namespace vornctl {

bool ParseHostAndPort(const std::string& text, HostAndPort& result) {
  result = HostAndPort{};
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    result.host = text;
    return !text.empty();
  }
  result.host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (result.host.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long value = std::strtoul(port.c_str(), nullptr, 10);
  if (value == 0 || value > 65535) return false;
  result.port = static_cast<std::uint16_t>(value);
  return true;
}

std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

std::string AskForRelay(CSocketSession& session, const std::string& to) {
  const std::uint32_t timeoutMs = session.GetTimeout();
  session.SetTimeout(std::max(timeoutMs, kRelayAnswerTimeoutMs));
  // The origin travels along the chain unchanged; this computer's name
  // tells the servers' logs who asked.
  std::string answer = session.Query("DIAG:VORN:CONN? " + QuoteString(platform::HostName()) + "," +
                                     QuoteString(to) + "\n");
  session.SetTimeout(timeoutMs);
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
  return answer == "0" ? std::string() : answer;
}

int WithSession(const std::string& hostText, const Relay& relay, std::uint32_t timeoutMs,
                const std::function<int(CSocketSession&, const HostAndPort&)>& work) {
  const std::string& connectTo = relay.Active() ? relay.via : hostText;
  HostAndPort where;
  if (!ParseHostAndPort(connectTo, where)) {
    std::fprintf(stderr, "vornctl: '%s' is not HOST or HOST:PORT\n", connectTo.c_str());
    return kExitUsage;
  }
  const std::string name = where.host + ":" + std::to_string(where.port);
  try {
    CSocketSession session;
    session.SetTimeout(timeoutMs);
    session.Connect(where.host, where.port);
    std::string reached = name;
    for (const std::string& to : relay.to) {
      const std::string refusal = AskForRelay(session, to);
      if (!refusal.empty()) {
        std::fprintf(stderr, "vornctl: %s: no relay to %s: %s%s\n", reached.c_str(), to.c_str(),
                     PrintablePeerText(OneLine(refusal)).c_str(),
                     refusal == "2" ? " (not found by that server's last scan)" : "");
        return kExitUnreachable;
      }
      reached = to;
    }
    const int code = work(session, where);
    session.Close();
    return code;
  } catch (const Fernway::CSocketError& error) {
    std::fprintf(stderr, "vornctl: %s: %s\n", name.c_str(),
                 PrintablePeerText(OneLine(error.Message())).c_str());
    return error.IsTimeout() ? kExitTimedOut : kExitUnreachable;
  } catch (const Fernway::CError& error) {
    // Mostly an error entry of the server's, quoted as it came.
    std::fprintf(stderr, "vornctl: %s: %s\n", name.c_str(),
                 PrintablePeerText(OneLine(error.Message())).c_str());
    return kExitServerError;
  } catch (const std::exception& error) {
    // An answer the tool could not handle; the server is named so that one
    // bad server in a fleet can be found.
    std::fprintf(stderr, "vornctl: %s: unexpected failure: %s\n", name.c_str(),
                 PrintablePeerText(error.what()).c_str());
    return kExitInternal;
  }
}

void SelectChecked(CSocketSession& session, const std::string& device) {
  session.Select(device);
  session.CheckError();
}

std::vector<std::string> SplitCatalog(const std::string& catalog) {
  std::vector<std::string> entries;
  std::size_t at = 0;
  while (at < catalog.size()) {
    std::size_t end = catalog.find(',', at);
    if (catalog[at] == '"') {
      const std::size_t close = catalog.find('"', at + 1);
      end = close == std::string::npos ? std::string::npos : catalog.find(',', close);
    }
    std::string entry = catalog.substr(at, end == std::string::npos ? end : end - at);
    if (entry.size() >= 2 && entry.front() == '"' && entry.back() == '"') {
      entry = entry.substr(1, entry.size() - 2);
    }
    entries.push_back(entry);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return entries;
}

}  // namespace vornctl
