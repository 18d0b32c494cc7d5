#include "federation/server_scan.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "client/error.h"
#include "client/socket_session.h"
#include "net/bounded_parallel.h"
#include "protocol/text_format.h"
#include "protocol/wire_limits.h"

namespace {

// The line number that the scan's catch-all has always reported; tools and
// log readers look for it.
constexpr int kUnknownExceptionLine = 674;

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

}  // namespace

// "{8-4-4-4-12 hexadecimal digits}" in double quotes, nothing before or after:
// the table's keys are answered to tools line by line, so an identifier with
// a line end in it would hand them answers that no server gave.
bool IsVornIdText(const std::string& text) {
  static constexpr char kPattern[] = "\"{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}\"";
  if (text.size() != sizeof kPattern - 1) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kPattern[i] == 'X' ? !IsHexDigit(text[i]) : text[i] != kPattern[i]) return false;
  }
  return true;
}

CServerScan::CServerScan(ILogTarget& log, ScanSwitches switches, CKnownServers& knownServers,
                         platform::ISocketApi& sockets, platform::INetworkInterfaces& interfaces,
                         platform::INeighbourTable& neighbours)
    : log_(log),
      switches_(std::move(switches)),
      knownServers_(knownServers),
      sockets_(sockets),
      interfaces_(interfaces),
      neighbours_(neighbours) {}

std::string CServerScan::Run(unsigned logHandle, const ScanRequest& request) {
  if (!switches_.relayAllowed) return std::string();
  // A scan already running on another session is not waited for.
  if (!knownServers_.BeginScan()) return knownServers_.Answer();

  // The flag must not stay set if anything below escapes.
  struct EndGuard {
    CKnownServers& servers;
    bool ended = false;
    ~EndGuard() {
      if (!ended) servers.EndScan(CKnownServers::Table());
    }
  } guard{knownServers_};

  const CAddressSet found = Discover(logHandle, request);
  const std::vector<platform::Endpoint> addresses(found.begin(), found.end());

  // Identified several at a time, so that servers that are slow or silent
  // cost one round of time-outs, not one each; a server that fails is
  // logged and the others still count.
  std::vector<std::optional<std::string>> ids(addresses.size());
  RunBounded(addresses.size(), parallel, [&](std::size_t i) {
    if (!switches_.stopping()) ids[i] = Identify(logHandle, addresses[i]);
  });

  // In address order, so that of two servers with one identifier the later
  // address wins.
  CKnownServers::Table table;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (ids[i]) table[*ids[i]] = addresses[i];
  }
  knownServers_.EndScan(std::move(table));
  guard.ended = true;
  return knownServers_.Answer();
}

CAddressSet CServerScan::Discover(unsigned logHandle, const ScanRequest& request) {
  CServerFinder finder(sockets_, interfaces_);
  finder.SetGroup(request.group ? request.group->c_str() : nullptr);
  finder.SetEqNumbers(request.equipmentNumbers);
  finder.timeout = request.timeoutMs;
  finder.stopRequested = [this] { return switches_.stopping(); };

  const bool bothPorts = request.mode == ScanMode::kDall || request.mode == ScanMode::kDextern;
  const std::uint16_t port2 =
      bothPorts || switches_.directMode ? kSecondDiscoveryPort : std::uint16_t{0};

  // Excluding this server's address on the tool's network also drops that
  // network's broadcast (the finder skips interfaces already excluded).
  CAddressSet exclusions;
  const bool external = request.mode == ScanMode::kExtern || request.mode == ScanMode::kDextern;
  if (external && request.localAddress) {
    exclusions.insert(platform::Endpoint{*request.localAddress, kDefaultPort});
    if (port2 != 0) exclusions.insert(platform::Endpoint{*request.localAddress, port2});
  }

  try {
    return finder.Scan(exclusions, kDefaultPort, port2);
  } catch (...) {
    log_.Log("Socket[%X]: Warning: unknown exception at line %d", logHandle, kUnknownExceptionLine);
    return CAddressSet();
  }
}

std::optional<std::string> CServerScan::Identify(unsigned logHandle,
                                                 const platform::Endpoint& address) {
  const std::string dotted = platform::FormatAddress(address.address);
  try {
    CSocketSession session(sockets_);
    session.Connect(address);
    session.SendText("*CLS\n");
    const std::string catalog = session.Catalog();
    session.Select(catalog.substr(0, catalog.find(',')));
    session.Identify();
    std::optional<std::string> id = session.VornId();
    // Servers older than the federation have no identifier; the hardware
    // address of their network card stands in for it.
    if (id->empty()) {
      id = MacIdentifier(address.address);
    } else if (!IsVornIdText(*id)) {
      log_.Log("Socket[%X]: Error! Server '%s' answered a malformed VORNID!", logHandle,
               dotted.c_str());
      return std::nullopt;
    }
    if (!id) {
      log_.Log("Socket[%X]: Error! No VORNID for Server '%s' found!", logHandle, dotted.c_str());
      return std::nullopt;
    }
    log_.Log("Socket[%X]: Server '%s' has VORNID=%s", logHandle, dotted.c_str(), id->c_str());
    return id;
  } catch (const Fernway::CSocketError& error) {
    log_.Log("Socket[%X]: Connection to VORN server '%s' failed with %s", logHandle, dotted.c_str(),
             error.Message().c_str());
  } catch (const Fernway::CError& error) {
    // A server that took the connection but never identified itself. It is
    // left out; the servers after it are still identified. The line log
    // readers know comes second; the first says which server it was.
    log_.Log(
        "Socket[%X]: Connection to VORN server '%s' failed with %s", logHandle, dotted.c_str(),
        EscapeForLog(error.Message().data(), std::min<std::size_t>(error.Message().size(), 200))
            .c_str());
    log_.Log("Socket[%X]: Warning: unknown exception at line %d", logHandle, kUnknownExceptionLine);
  } catch (...) {
    log_.Log("Socket[%X]: Connection to VORN server '%s' failed", logHandle, dotted.c_str());
    log_.Log("Socket[%X]: Warning: unknown exception at line %d", logHandle, kUnknownExceptionLine);
  }
  return std::nullopt;
}

std::optional<std::string> CServerScan::MacIdentifier(std::uint32_t address) {
  std::vector<std::uint8_t> mac;
  if (!neighbours_.LookUpMacAddress(address, mac) || mac.empty()) return std::nullopt;
  std::string text = "\"";
  for (const std::uint8_t byte : mac) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text + "\"";
}
