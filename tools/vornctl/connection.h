#pragma once
// What every subcommand that talks to one server does first: reach it,
// select a device, and turn the library's exceptions into a message and an
// exit code.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client/socket_session.h"
#include "protocol/wire_limits.h"

namespace vornctl {

inline constexpr std::uint16_t kDataPort = kDefaultPort;

struct HostAndPort {
  std::string host;
  std::uint16_t port = kDataPort;
};

// "HOST" or "HOST:PORT"; false for a port that is not a number below 65536.
bool ParseHostAndPort(const std::string& text, HostAndPort& result);

// --via HOST --to VORNID: the session goes to the server HOST, which relays
// it to the server with that VORN identifier (found by HOST's last scan).
// Further --to identifiers go on from there, each asked of the server
// reached before it (tool -> HOST -> first -> second ...).
struct Relay {
  std::string via;
  std::vector<std::string> to;
  bool Active() const { return !via.empty(); }
};

// How long the relaying server may take to answer: it connects to the next
// server and prepares it, and that one may relay further.
inline constexpr std::uint32_t kRelayAnswerTimeoutMs = 30000;

// Connects (to relay.via, and through it to relay.to, when relay is
// active), then runs work; prints "vornctl: <what went wrong>" on standard
// error and returns the matching exit code for an exception that escapes.
int WithSession(const std::string& hostText, const Relay& relay, std::uint32_t timeoutMs,
                const std::function<int(CSocketSession&, const HostAndPort&)>& work);

// Asks the server at the other end of session to relay it to the server
// `to`. The server's answer when it refused ("2": it does not know that
// server; "2250": it does not relay; code,"text": it could not reach it).
std::string AskForRelay(CSocketSession& session, const std::string& to);

// Selects the device and reads the error queue, which tells whether the
// server took the selection (throws the server's entry if not).
void SelectChecked(CSocketSession& session, const std::string& device);

// The entries of a catalogue answer ("a","b"), without their quotes.
std::vector<std::string> SplitCatalog(const std::string& catalog);

// A library message as one line: the system text's CR LF taken off.
std::string OneLine(std::string text);

}  // namespace vornctl
