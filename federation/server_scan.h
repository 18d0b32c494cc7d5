#pragma once
// A server's search for other installation servers: discovery on the
// networks the request names, then an identification of every server that
// answered, several at a time, and the table of known servers replaced by
// what was found. Individual failures are only logged; the scan always
// answers.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "base/log_target.h"
#include "client/server_finder.h"
#include "federation/known_servers.h"
#include "federation/scan_request.h"
#include "platform/neighbour_table.h"
#include "platform/network_interfaces.h"
#include "platform/socket.h"

// What the scan obeys of the server that runs it, as plain values: whether
// relaying is on (off: the scan answers nothing), whether discovery also goes
// to the second port, and whether the server is stopping (asked again and
// again: a stop ends the scan early).
struct ScanSwitches {
  bool relayAllowed = true;
  bool directMode = false;
  std::function<bool()> stopping = [] { return false; };
};

// Whether text is a VORN identifier as a server answers it: a GUID in braces
// and double quotes, on one line.
bool IsVornIdText(const std::string& text);

class CServerScan {
 public:
  // Identifications in flight at once: enough that a lab of servers is
  // identified in a few rounds, few enough that a scan does not take a
  // thread per server.
  static constexpr std::size_t kDefaultParallel = 16;
  static constexpr std::uint16_t kSecondDiscoveryPort = 17;

  CServerScan(ILogTarget& log, ScanSwitches switches, CKnownServers& knownServers,
              platform::ISocketApi& sockets = platform::Sockets(),
              platform::INetworkInterfaces& interfaces = platform::NetworkInterfaces(),
              platform::INeighbourTable& neighbours = platform::NeighbourTable());

  // Scans for the session whose handle the log lines show and returns the
  // answer: the known identifiers joined by commas. While another scan runs,
  // the current table at once; when relaying is off, nothing.
  std::string Run(unsigned logHandle, const ScanRequest& request);

  std::size_t parallel = kDefaultParallel;

 private:
  CAddressSet Discover(unsigned logHandle, const ScanRequest& request);
  // The quoted identifier of the server at address, or none (logged).
  std::optional<std::string> Identify(unsigned logHandle, const platform::Endpoint& address);
  // The peer's MAC address as twelve upper-case hexadecimal digits in
  // double quotes, or none.
  std::optional<std::string> MacIdentifier(std::uint32_t address);

  ILogTarget& log_;
  ScanSwitches switches_;
  CKnownServers& knownServers_;
  platform::ISocketApi& sockets_;
  platform::INetworkInterfaces& interfaces_;
  platform::INeighbourTable& neighbours_;
};
