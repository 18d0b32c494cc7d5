#pragma once
// What every subcommand that talks to one server does first: reach it,
// select a device, and turn the library's exceptions into a message and an
// exit code.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "client/socket_session.h"

namespace vornctl {

inline constexpr std::uint16_t kDataPort = 13217;

struct HostAndPort {
  std::string host;
  std::uint16_t port = kDataPort;
};

// "HOST" or "HOST:PORT"; false for a port that is not a number below 65536.
bool ParseHostAndPort(const std::string& text, HostAndPort& result);

// Connects, then runs work; prints "vornctl: <what went wrong>" on standard
// error and returns the matching exit code for an exception that escapes.
int WithSession(const std::string& hostText, std::uint32_t timeoutMs,
                const std::function<int(CSocketSession&, const HostAndPort&)>& work);

// Selects the device and reads the error queue, which tells whether the
// server took the selection (throws the server's entry if not).
void SelectChecked(CSocketSession& session, const std::string& device);

// The entries of a catalogue answer ("a","b"), without their quotes.
std::vector<std::string> SplitCatalog(const std::string& catalog);

// A library message as one line: the system text's CR LF taken off.
std::string OneLine(std::string text);

}  // namespace vornctl
