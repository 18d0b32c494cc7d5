#include "tools/vornctl/console/fleet.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "client/error.h"
#include "client/server_finder.h"
#include "net/bounded_parallel.h"
#include "tools/vornctl/connection.h"

namespace vornctl::console {
namespace {

// A server lists a few devices; more than this is not an instrument computer.
constexpr std::size_t kMostDevices = 32;
// Servers identified at a time during a refresh.
constexpr std::size_t kIdentifyParallel = 16;
// The scanning server identifies what it found after its own time-out.
constexpr std::uint32_t kScanAllowanceMs = 30000;

std::string Unquoted(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text = text.substr(1, text.size() - 2);
  }
  return text;
}

// "Installation Server V2.35.2": the name and the version behind " V".
void SplitIdentity(const std::string& identity, std::string& name, std::string& version) {
  const std::size_t v = identity.rfind(" V");
  if (v == std::string::npos) {
    name = Bounded(identity);
    version.clear();
  } else {
    name = Bounded(identity.substr(0, v));
    version = Bounded(identity.substr(v + 2), 64);
  }
}

std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Fleet::Fleet(FleetOptions options, std::function<void()> changed)
    : options_(options), changed_(std::move(changed)) {}

Fleet::~Fleet() { Stop(); }

void Fleet::Start() {
  thread_ = std::thread([this] { Loop(); });
}

void Fleet::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool Fleet::RefreshSoon() {
  if (refreshing_) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_ = true;
  }
  wake_.notify_all();
  return true;
}

void Fleet::Loop() {
  while (!stopping_) {
    Refresh();
    std::unique_lock<std::mutex> lock(mutex_);
    const auto due = [this] { return stopping_ || wanted_; };
    if (options_.refreshSeconds == 0) {
      wake_.wait(lock, due);
    } else {
      wake_.wait_for(lock, std::chrono::seconds(options_.refreshSeconds), due);
    }
    wanted_ = false;
  }
}

void Fleet::Changed() {
  if (changed_) changed_();
}

void Fleet::Refresh() {
  if (refreshing_.exchange(true)) return;
  Changed();
  std::map<std::string, std::pair<std::string, std::string>> discovered;  // id -> name, version
  if (options_.discover) {
    CServerFinder finder;
    finder.timeout = options_.discoveryTimeoutMs;
    finder.SetGroup(nullptr);
    try {
      CAddressSet exclusions;
      const CAddressSet found = finder.Scan(exclusions, kDataPort, 0);
      for (const platform::Endpoint& server : found) {
        const std::string id =
            platform::FormatAddress(server.address) + ":" + std::to_string(server.port);
        auto& [name, version] = discovered[id];
        for (const CServerIdentity& identity : finder.Identities()) {
          if (identity.sender.address == server.address) {
            SplitIdentity(identity.identity, name, version);
          }
        }
      }
    } catch (const Fernway::CError&) {
      // No interface to broadcast on: the servers added by address remain.
    }
  }
  std::vector<ServerEntry> work;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [discoveredId, identity] : discovered) {
      const std::string& id = discoveredId;
      auto known = std::find_if(servers_.begin(), servers_.end(),
                                [&](const ServerEntry& s) { return s.id == id; });
      if (known == servers_.end()) {
        ServerEntry entry;
        entry.id = id;
        entry.how = "discovery";
        entry.link.address = id;
        servers_.push_back(entry);
        known = servers_.end() - 1;
      }
      known->name = identity.first;
      known->version = identity.second;
    }
    work = servers_;
  }
  RunBounded(work.size(), kIdentifyParallel, [&](std::size_t i) { Identify(work[i]); });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const ServerEntry& done : work) {
      for (ServerEntry& entry : servers_) {
        if (entry.id != done.id) continue;
        const std::string name = entry.name, version = entry.version;
        entry = done;
        if (entry.name.empty()) entry.name = name, entry.version = version;
      }
    }
    refreshedAt_ = NowSeconds();
  }
  refreshing_ = false;
  Changed();
}

void Fleet::Identify(ServerEntry& entry) const {
  try {
    CSocketSession session;
    Connect(session, entry.link, options_.answerTimeoutMs);
    session.SendText("*CLS\n");
    const std::vector<std::string> ids = SplitCatalog(session.Catalog());
    entry.group = Bounded(Unquoted(session.Query("DIAG:PROD:GRO?\n")), 64);
    std::vector<DeviceInfo> devices;
    for (const std::string& id : ids) {
      if (devices.size() >= kMostDevices) break;
      if (id.empty() || id.rfind("__", 0) == 0) continue;
      SelectChecked(session, id);
      session.Identify();
      if (!session.IsIdentified()) continue;
      devices.push_back(DeviceInfo{Bounded(id), Bounded(session.MaterialNumber()),
                                   Bounded(session.SerialNumber()), Bounded(session.Model()),
                                   Bounded(session.DeviceVersion())});
      entry.hostName = Bounded(session.Host());
      entry.vornId = Bounded(session.VornId(), 64);
    }
    session.Close();
    entry.devices = std::move(devices);
    entry.reachable = true;
    entry.lastSeen = NowSeconds();
    entry.problem.clear();
  } catch (const Fernway::CError& error) {
    entry.reachable = false;
    entry.problem = Bounded(OneLine(error.Message()));
  }
}

std::string Fleet::AddAddress(const std::string& text) {
  HostAndPort where;
  if (text.size() > 255 || !ParseHostAndPort(text, where)) {
    return "'" + Bounded(text, 64) + "' is not HOST or HOST:PORT";
  }
  ServerEntry entry;
  entry.id = where.host + ":" + std::to_string(where.port);
  entry.how = "address";
  entry.link.address = entry.id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const ServerEntry& known : servers_) {
      if (known.id == entry.id) return std::string();
    }
    servers_.push_back(entry);
  }
  Changed();
  RefreshSoon();
  return std::string();
}

std::string Fleet::Scan(const std::string& id, std::uint32_t timeoutMs, std::size_t& found) {
  found = 0;
  const std::optional<ServerEntry> scanner = Find(id);
  if (!scanner) return "no server " + Bounded(id, 64);
  std::vector<std::string> ids;
  try {
    CSocketSession session;
    Connect(session, scanner->link, timeoutMs + kScanAllowanceMs);
    // The scan runs in a session that has a device; the service's own
    // pseudo device is always there.
    SelectChecked(session, "__TRL_Tool__");
    const std::string answer = session.Query("DIAG:VORN:SCAN? " + std::to_string(timeoutMs) +
                                             ",ALL,0," + Quoted("__TRL_Tool__") + "\n");
    session.CheckError();
    session.Close();
    std::string list = answer;
    while (!list.empty() && (list.back() == '\n' || list.back() == '\r')) list.pop_back();
    if (!list.empty()) ids = SplitCatalog(list);
  } catch (const Fernway::CError& error) {
    return Bounded(OneLine(error.Message()));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& vornId : ids) {
      if (vornId.empty() || vornId.size() > 64) continue;
      ServerEntry entry;
      entry.id = scanner->id + ">" + vornId;
      entry.how = "scan";
      entry.link = scanner->link;
      entry.link.to.push_back(vornId);
      entry.vornId = vornId;
      const bool known = std::any_of(servers_.begin(), servers_.end(),
                                     [&](const ServerEntry& s) { return s.id == entry.id; });
      if (!known) servers_.push_back(entry);
      ++found;
    }
  }
  Changed();
  RefreshSoon();
  return std::string();
}

void Fleet::Insert(ServerEntry entry) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    servers_.push_back(std::move(entry));
  }
  Changed();
}

std::vector<ServerEntry> Fleet::Servers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return servers_;
}

std::optional<ServerEntry> Fleet::Find(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const ServerEntry& entry : servers_) {
    if (entry.id == id) return entry;
  }
  return std::nullopt;
}

std::int64_t Fleet::RefreshedAt() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refreshedAt_;
}

}  // namespace vornctl::console
