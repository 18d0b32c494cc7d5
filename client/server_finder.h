#pragma once
// Finds installation servers with the UDP discovery protocol: broadcasts an
// identification query, asks every server that identifies itself to start
// its data channel, and collects the address and TCP port of every server
// that reports where it listens. Collection ends after one time-out of quiet.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/network_interfaces.h"
#include "platform/socket.h"

// Addresses ordered by their four bytes (network order) read as a
// little-endian number, then by the port read the same way.
struct CAddressOrder {
  bool operator()(const platform::Endpoint& a, const platform::Endpoint& b) const;
};
using CAddressSet = std::set<platform::Endpoint, CAddressOrder>;

// One identification reply: who answered for which equipment number.
struct CServerIdentity {
  platform::Endpoint sender;  // the server's control channel
  std::string identity;       // "Installation Server V2.35.2"
  std::string equipmentNumber;
  std::string serialNumber;
};

class CServerFinder {
 public:
  explicit CServerFinder(platform::ISocketApi& sockets = platform::Sockets(),
                         platform::INetworkInterfaces& interfaces = platform::NetworkInterfaces());
  virtual ~CServerFinder() = default;

  // nullptr switches the group off: the query then names none.
  void SetGroup(const char* group);
  void SetEqNumber(const char* equipmentNumber);
  void SetEqNumbers(const std::set<std::string>& equipmentNumbers);

  // Broadcasts on every interface; the machine's own addresses are added to
  // exclusions and their answers ignored. port2 = 0: one port only.
  CAddressSet Scan(CAddressSet& exclusions, std::uint16_t port1, std::uint16_t port2);
  // Asks one host; the first server that reports its port is the answer,
  // else the host with port2 (port1 when port2 is 0).
  platform::Endpoint FindServer(const std::string& host, std::uint16_t port1, std::uint16_t port2);

  // The identification replies of the last Scan or FindServer, in arrival
  // order, excluded senders left out.
  const std::vector<CServerIdentity>& Identities() const { return identities_; }

  // ms of quiet that ends the collection. Only answers that tell something
  // new break the quiet: repeats and junk, however many, do not keep the
  // collection going.
  std::uint32_t timeout = 2000;
  // At most this many identification replies and servers are kept.
  static constexpr std::size_t kMostAnswers = 1024;
  // When set, asked between datagrams and at least every kStopPollMs: true
  // ends the collection at once with what was found so far.
  std::function<bool()> stopRequested;
  static constexpr std::uint32_t kStopPollMs = 100;

 private:
  CAddressSet Collect(const CAddressSet& targets, const CAddressSet& exclusions, bool firstOnly);
  void Exchange(platform::SocketHandle s, const CAddressSet& targets, const CAddressSet& exclusions,
                bool firstOnly, CAddressSet& found);
  // False when the reply told nothing new (or the table is full).
  bool RecordIdentity(const platform::Endpoint& sender, const std::string& reply);

  platform::ISocketApi& sockets_;
  platform::INetworkInterfaces& interfaces_;
  std::string group_ = "DEFAULT";
  bool groupEnabled_ = true;
  std::set<std::string> equipmentNumbers_{"__TRL_Tool__"};
  std::vector<CServerIdentity> identities_;
};
