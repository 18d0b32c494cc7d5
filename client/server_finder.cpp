#include "client/server_finder.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "client/error.h"
#include "protocol/discovery_text.h"

namespace {

constexpr std::size_t kDatagramCapacity = 512;

std::uint32_t SwapBytes(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

std::uint16_t SwapBytes(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }

bool StartsWith(const char* data, std::size_t size, const std::string& prefix) {
  return size >= prefix.size() && std::memcmp(data, prefix.data(), prefix.size()) == 0;
}

// Leading blanks skipped, then the digits up to the first other byte: a
// port number, or nothing when there are none or it is out of range.
std::optional<std::uint16_t> PortAfter(const char* text, std::size_t size) {
  std::size_t i = 0;
  while (i < size && text[i] == ' ') ++i;
  if (i == size || text[i] < '0' || text[i] > '9') return std::nullopt;
  std::uint32_t value = 0;
  for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
    if (value > 65535) return std::nullopt;
  }
  if (value == 0) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

class CUdpSocket {
 public:
  explicit CUdpSocket(platform::ISocketApi& sockets)
      : sockets_(sockets), handle_(sockets.Open(platform::SocketKind::kDatagram)) {
    if (handle_ == platform::kInvalidSocket) throw Fernway::CSocketError(sockets_.LastError());
  }
  ~CUdpSocket() { sockets_.Close(handle_); }
  CUdpSocket(const CUdpSocket&) = delete;
  CUdpSocket& operator=(const CUdpSocket&) = delete;
  platform::SocketHandle Handle() const { return handle_; }

 private:
  platform::ISocketApi& sockets_;
  platform::SocketHandle handle_;
};

}  // namespace

bool CAddressOrder::operator()(const platform::Endpoint& a, const platform::Endpoint& b) const {
  const std::uint32_t addressA = SwapBytes(a.address);
  const std::uint32_t addressB = SwapBytes(b.address);
  if (addressA != addressB) return addressA < addressB;
  return SwapBytes(a.port) < SwapBytes(b.port);
}

CServerFinder::CServerFinder(platform::ISocketApi& sockets,
                             platform::INetworkInterfaces& interfaces)
    : sockets_(sockets), interfaces_(interfaces) {}

void CServerFinder::SetGroup(const char* group) {
  groupEnabled_ = group != nullptr;
  if (group != nullptr) group_ = group;
}

void CServerFinder::SetEqNumber(const char* equipmentNumber) {
  equipmentNumbers_.clear();
  if (equipmentNumber != nullptr) equipmentNumbers_.insert(equipmentNumber);
}

void CServerFinder::SetEqNumbers(const std::set<std::string>& equipmentNumbers) {
  equipmentNumbers_ = equipmentNumbers;
}

// Every interface gets its directed broadcast, and its own address becomes
// an exclusion, so that this machine's own server does not count. Without
// the table, the limited broadcast on the first port is all there is.
CAddressSet CServerFinder::Scan(CAddressSet& exclusions, std::uint16_t port1, std::uint16_t port2) {
  CAddressSet targets{platform::Endpoint{platform::kBroadcastAddress, port1}};
  std::vector<platform::InterfaceAddress> rows;
  if (interfaces_.ReadAddressTable(rows)) {
    targets.clear();
    for (const platform::InterfaceAddress& row : rows) {
      if (row.address == platform::kLoopbackAddress || row.address == platform::kAnyAddress) {
        continue;
      }
      auto addInterface = [&](std::uint16_t port) {
        if (exclusions.insert(platform::Endpoint{row.address, port}).second) {
          targets.insert(platform::Endpoint{row.address | ~row.mask, port});
        }
      };
      addInterface(port1);
      if (port2 != 0) addInterface(port2);
    }
  }
  return Collect(targets, exclusions, false);
}

platform::Endpoint CServerFinder::FindServer(const std::string& host, std::uint16_t port1,
                                             std::uint16_t port2) {
  std::uint32_t address = 0;
  if (sockets_.ResolveHost(host, address) != 0) throw Fernway::CSocketError(sockets_.LastError());
  CAddressSet targets{platform::Endpoint{address, port1}};
  if (port2 != 0) targets.insert(platform::Endpoint{address, port2});
  const CAddressSet found = Collect(targets, CAddressSet(), true);
  if (!found.empty()) return *found.begin();
  return platform::Endpoint{address, port2 != 0 ? port2 : port1};
}

// The closing time-out is how every collection ends; anything else is an error.
CAddressSet CServerFinder::Collect(const CAddressSet& targets, const CAddressSet& exclusions,
                                   bool firstOnly) {
  identities_.clear();
  CAddressSet found;
  CUdpSocket udp(sockets_);
  try {
    Exchange(udp.Handle(), targets, exclusions, firstOnly, found);
  } catch (const Fernway::CError& error) {
    if (!error.IsTimeout()) throw;
  }
  return found;
}

void CServerFinder::Exchange(platform::SocketHandle s, const CAddressSet& targets,
                             const CAddressSet& exclusions, bool firstOnly, CAddressSet& found) {
  if (sockets_.SetBroadcast(s, true) != 0) throw Fernway::CSocketError(sockets_.LastError());
  // The wait for the next datagram is cut into slices: the quiet time is
  // measured across them, so datagrams that tell nothing new do not extend
  // it, and a stop is seen between them.
  const std::uint32_t slice = std::min(timeout, kStopPollMs);
  if (sockets_.SetReceiveTimeout(s, slice) != 0 || sockets_.SetSendTimeout(s, timeout) != 0) {
    throw Fernway::CSocketError(sockets_.LastError());
  }
  auto sendTo = [&](const std::string& datagram, const platform::Endpoint& to) {
    if (sockets_.SendTo(s, datagram.data(), static_cast<int>(datagram.size()), to) < 0) {
      throw Fernway::CSocketError(sockets_.LastError());
    }
  };
  for (const std::string& number : equipmentNumbers_) {
    std::string query = discovery::kQueryId + discovery::kEquipmentKey + number;
    if (groupEnabled_) query += ",\"" + group_ + "\"";
    for (const platform::Endpoint& target : targets) sendTo(query, target);
  }
  char buffer[kDatagramCapacity];
  CAddressSet reported;
  auto quietSince = std::chrono::steady_clock::now();
  const auto quietEnough = [&] {
    return std::chrono::steady_clock::now() - quietSince >= std::chrono::milliseconds(timeout);
  };
  for (;;) {
    if (stopRequested && stopRequested()) return;
    if (quietEnough()) throw Fernway::CSocketError(platform::kWsaEtimedout);
    platform::Endpoint sender;
    const int n = sockets_.RecvFrom(s, buffer, sizeof buffer, sender);
    if (n < 0) {
      const int error = sockets_.LastError();
      if (error == platform::kWsaEconnreset) continue;
      // A datagram too large for any answer is no answer; one host sending
      // such must not end the collection for every other one.
      if (error == platform::kWsaEmsgsize) continue;
      if (error == platform::kWsaEtimedout) continue;
      throw Fernway::CSocketError(error);
    }
    const std::size_t size = static_cast<std::size_t>(n);
    if (exclusions.count(sender) != 0) continue;
    if (StartsWith(buffer, size, discovery::kIdentityPrefix)) {
      if (RecordIdentity(sender, std::string(buffer, size))) {
        quietSince = std::chrono::steady_clock::now();
      }
      // Every answer gets its start request, repeats too: one that was
      // lost is asked for again.
      sendTo(discovery::kStartRequest, sender);
    } else if (StartsWith(buffer, size, discovery::kListeningPrefix)) {
      const std::optional<std::uint16_t> port = PortAfter(
          buffer + discovery::kListeningPrefix.size(), size - discovery::kListeningPrefix.size());
      if (!port || found.size() >= kMostAnswers) continue;
      // A server's control channel names one data port; whatever else the
      // same sender claims after that is not believed.
      if (!reported.insert(sender).second) continue;
      platform::Endpoint server = sender;
      server.port = *port;
      if (!found.insert(server).second) continue;
      quietSince = std::chrono::steady_clock::now();
      if (firstOnly) return;
    }
  }
}

// "ID: <identity>,<equipment number> <serial number>", the number being one
// of those asked for.
bool CServerFinder::RecordIdentity(const platform::Endpoint& sender, const std::string& reply) {
  std::string text = reply.substr(discovery::kIdentityPrefix.size());
  text = text.substr(0, text.find('\0'));
  if (!text.empty() && text[0] == ' ') text.erase(0, 1);
  CServerIdentity identity{sender, text, std::string(), std::string()};
  for (const std::string& number : equipmentNumbers_) {
    const std::size_t at = text.rfind("," + number + " ");
    if (at == std::string::npos) continue;
    identity =
        CServerIdentity{sender, text.substr(0, at), number, text.substr(at + number.size() + 2)};
    break;
  }
  if (identities_.size() >= kMostAnswers) return false;
  for (const CServerIdentity& known : identities_) {
    if (known.sender.address == sender.address && known.sender.port == sender.port &&
        known.identity == identity.identity && known.equipmentNumber == identity.equipmentNumber &&
        known.serialNumber == identity.serialNumber) {
      return false;
    }
  }
  identities_.push_back(std::move(identity));
  return true;
}
