#pragma once
// The servers the console knows: found by discovery on every interface,
// added by address, or found by a server's scan and reached through it.
// Refreshed on demand and every few seconds; a server that stops answering
// stays in the list, marked unreachable, with the time it was last seen.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/vornctl/console/server_link.h"

namespace vornctl::console {

struct DeviceInfo {
  std::string id;  // as the server's catalogue names it
  std::string materialNumber;
  std::string serialNumber;
  std::string model;
  std::string deviceVersion;
};

struct ServerEntry {
  std::string id;   // the address, or "VIA>VORNID" for a server reached through another
  std::string how;  // "discovery", "address" or "scan"
  ServerLink link;
  std::string hostName;
  std::string name;  // the server's own name ("Installation Server")
  std::string version;
  std::string group;
  std::string vornId;
  std::vector<DeviceInfo> devices;
  bool reachable = false;
  std::int64_t lastSeen = 0;  // seconds since 1970; 0: never
  std::string problem;        // why it is unreachable
};

struct FleetOptions {
  std::uint32_t discoveryTimeoutMs = 1500;
  unsigned refreshSeconds = 10;  // 0: on demand only
  std::uint32_t answerTimeoutMs = 3000;
  bool discover = true;
};

class Fleet {
 public:
  explicit Fleet(FleetOptions options, std::function<void()> changed = nullptr);
  ~Fleet();

  void Start();
  void Stop();
  // A refresh now, in the background; false when one is already running.
  bool RefreshSoon();
  // Discovery and identification of every known server, on this thread.
  void Refresh();

  // HOST or HOST:PORT; an error text, or empty when added.
  std::string AddAddress(const std::string& text);
  // Has the server `id` scan its networks, and adds what it found as servers
  // reached through it. The number found, or the error text.
  std::string Scan(const std::string& id, std::uint32_t timeoutMs, std::size_t& found);
  // For the benchmark and the tests: a server as if found.
  void Insert(ServerEntry entry);

  std::vector<ServerEntry> Servers() const;
  std::optional<ServerEntry> Find(const std::string& id) const;
  bool Refreshing() const { return refreshing_; }
  std::int64_t RefreshedAt() const;

 private:
  void Identify(ServerEntry& entry) const;
  void Loop();
  void Changed();

  FleetOptions options_;
  std::function<void()> changed_;
  mutable std::mutex mutex_;
  std::vector<ServerEntry> servers_;
  std::int64_t refreshedAt_ = 0;
  std::atomic<bool> refreshing_{false};
  std::atomic<bool> stopping_{false};
  std::condition_variable wake_;
  bool wanted_ = false;
  std::thread thread_;
};

std::int64_t NowSeconds();

}  // namespace vornctl::console
