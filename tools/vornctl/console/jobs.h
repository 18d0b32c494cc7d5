#pragma once
// Installation runs: one package on chosen targets, a bounded number at a
// time, each target's progress published as it changes. A target not yet
// started can be cancelled. Every run goes into the history when it ends.

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tools/vornctl/console/event_bus.h"
#include "tools/vornctl/console/fleet.h"
#include "tools/vornctl/console/history.h"
#include "tools/vornctl/console/package_store.h"
#include "tools/vornctl/console/target_installer.h"

namespace vornctl::console {

struct JobRequest {
  std::string package;
  std::string device;
  std::vector<std::string> servers;
  unsigned parallel = 4;
  std::string user;    // who, as the page names them
  std::string remote;  // the address the request came from
};

struct TargetProgress {
  std::string server;
  std::string device;
  std::string state = "waiting";  // waiting, running, succeeded, failed, reboot required, cancelled
  std::string step;               // the progress state word
  int percent = 0;
  std::string text;
  std::string hint;
  std::int64_t started = 0;
  std::int64_t ended = 0;
};

class Jobs {
 public:
  Jobs(Fleet& fleet, PackageStore& packages, History& history, EventBus& events,
       TargetInstaller installer = InstallOnServer);
  ~Jobs();

  // The new job's id, or an error text (with id empty).
  std::string Start(const JobRequest& request, std::string& id);
  // An error text, or empty when the target will not be started.
  std::string Cancel(const std::string& job, std::size_t target);
  // Reboots the server's computer; recorded in the history. Empty, or why it failed.
  std::string Reboot(const std::string& server, const std::string& device, const std::string& user,
                     const std::string& remote);

  nlohmann::json List() const;
  nlohmann::json Get(const std::string& id, bool& found) const;
  // Waits for every running job to end (tests, shutdown).
  void Wait();

 private:
  struct Job;
  void Run(std::shared_ptr<Job> job);
  void Publish(const Job& job, std::size_t index);
  nlohmann::json JobJson(const Job& job) const;

  Fleet& fleet_;
  PackageStore& packages_;
  History& history_;
  EventBus& events_;
  TargetInstaller installer_;
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Job>> jobs_;
  std::list<std::thread> threads_;
};

}  // namespace vornctl::console
