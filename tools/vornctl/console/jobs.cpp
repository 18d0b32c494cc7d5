#include "tools/vornctl/console/jobs.h"

#include <algorithm>

#include "net/bounded_parallel.h"
#include "tools/vornctl/console/security.h"
#include "tools/vornctl/installer_hints.h"
#include "tools/vornctl/json_output.h"

namespace vornctl::console {
namespace {

constexpr unsigned kMostParallel = 64;
constexpr std::size_t kMostTargets = 1000;

nlohmann::json TargetJson(const TargetProgress& t) {
  return {{"server", t.server}, {"device", t.device},   {"state", t.state},
          {"step", t.step},     {"percent", t.percent}, {"text", t.text},
          {"hint", t.hint},     {"started", t.started}, {"ended", t.ended}};
}

}  // namespace

struct Jobs::Job {
  std::string id;
  JobRequest request;
  std::string packageName;
  Package package;
  std::vector<ServerLink> links;
  std::vector<TargetProgress> targets;
  std::int64_t started = 0;
  std::int64_t ended = 0;
  bool finished = false;
};

Jobs::Jobs(Fleet& fleet, PackageStore& packages, History& history, EventBus& events,
           TargetInstaller installer)
    : fleet_(fleet),
      packages_(packages),
      history_(history),
      events_(events),
      installer_(std::move(installer)) {}

Jobs::~Jobs() { Wait(); }

std::string Jobs::Start(const JobRequest& request, std::string& id) {
  id.clear();
  auto job = std::make_shared<Job>();
  job->request = request;
  job->request.parallel = std::clamp(request.parallel, 1u, kMostParallel);
  if (request.device.empty() || request.device.size() > 200) return "a device id is required";
  if (request.servers.empty()) return "no targets chosen";
  if (request.servers.size() > kMostTargets) return "too many targets";
  if (std::string error = packages_.Load(request.package, job->package); !error.empty()) {
    return error;
  }
  const std::optional<StoredPackage> stored = packages_.Find(request.package);
  job->packageName = stored->fileName;
  for (const std::string& server : request.servers) {
    const std::optional<ServerEntry> entry = fleet_.Find(server);
    if (!entry) return "no server " + Bounded(server, 64);
    job->links.push_back(entry->link);
    TargetProgress target;
    target.server = server;
    target.device = request.device;
    job->targets.push_back(target);
  }
  job->id = "j" + NewToken().substr(0, 12);
  job->started = NowSeconds();
  id = job->id;
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_[id] = job;
  events_.Publish("job", CompactJson(JobJson(*job)));
  threads_.emplace_back([this, job] { Run(job); });
  return std::string();
}

void Jobs::Run(std::shared_ptr<Job> job) {
  RunBounded(job->targets.size(), job->request.parallel, [&](std::size_t i) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      TargetProgress& t = job->targets[i];
      if (t.state == "cancelled") return;
      t.state = "running";
      t.step = "connecting";
      t.started = NowSeconds();
    }
    Publish(*job, i);
    const InstallResult result =
        installer_(job->links[i], job->request.device, job->package,
                   [&](int percent, int state, const std::string& text) {
                     {
                       std::lock_guard<std::mutex> lock(mutex_);
                       TargetProgress& t = job->targets[i];
                       const std::string step = StateWord(state);
                       if (t.percent == percent && t.step == step && t.text == text) return;
                       t.percent = percent;
                       t.step = step;
                       t.text = text;
                     }
                     Publish(*job, i);
                   });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      TargetProgress& t = job->targets[i];
      t.ended = NowSeconds();
      t.text = result.text;
      switch (result.kind) {
        case InstallResult::kSucceeded:
          t.state = "succeeded";
          t.percent = 100;
          break;
        case InstallResult::kRebootRequired:
          t.state = "reboot required";
          t.percent = 100;
          break;
        case InstallResult::kFailed:
          t.state = "failed";
          t.hint = InstallerHint(result.text);
          break;
      }
    }
    Publish(*job, i);
  });
  nlohmann::json record;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job->ended = NowSeconds();
    job->finished = true;
    record = JobJson(*job);
  }
  record["kind"] = "install";
  if (!history_.Append(record)) record["historyError"] = "the history could not be written";
  events_.Publish("job", CompactJson(record));
}

void Jobs::Publish(const Job& job, std::size_t index) {
  nlohmann::json event;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    event = {{"job", job.id}, {"index", index}, {"target", TargetJson(job.targets[index])}};
  }
  events_.Publish("target", CompactJson(event));
}

std::string Jobs::Cancel(const std::string& id, std::size_t index) {
  std::shared_ptr<Job> job;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = jobs_.find(id);
    if (found == jobs_.end()) return "no job " + Bounded(id, 64);
    job = found->second;
    if (index >= job->targets.size()) return "no such target";
    TargetProgress& t = job->targets[index];
    if (t.state != "waiting") return "the target has already started";
    t.state = "cancelled";
    t.ended = NowSeconds();
  }
  Publish(*job, index);
  return std::string();
}

std::string Jobs::Reboot(const std::string& server, const std::string& device,
                         const std::string& user, const std::string& remote) {
  const std::optional<ServerEntry> entry = fleet_.Find(server);
  if (!entry) return "no server " + Bounded(server, 64);
  const std::int64_t started = NowSeconds();
  const std::string error = RebootServer(entry->link, device);
  const nlohmann::json record = {
      {"kind", "reboot"},
      {"id", "r" + NewToken().substr(0, 12)},
      {"user", user},
      {"remote", remote},
      {"started", started},
      {"ended", NowSeconds()},
      {"targets", nlohmann::json::array({{{"server", server},
                                          {"device", device},
                                          {"state", error.empty() ? "reboot requested" : "failed"},
                                          {"text", error}}})}};
  history_.Append(record);
  events_.Publish("history", CompactJson(record));
  return error;
}

nlohmann::json Jobs::JobJson(const Job& job) const {
  nlohmann::json targets = nlohmann::json::array();
  for (const TargetProgress& t : job.targets) targets.push_back(TargetJson(t));
  return {{"id", job.id},
          {"package", job.request.package},
          {"packageName", job.packageName},
          {"device", job.request.device},
          {"parallel", job.request.parallel},
          {"user", job.request.user},
          {"remote", job.request.remote},
          {"started", job.started},
          {"ended", job.ended},
          {"finished", job.finished},
          {"targets", targets}};
}

nlohmann::json Jobs::List() const {
  std::lock_guard<std::mutex> lock(mutex_);
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [id, job] : jobs_) list.push_back(JobJson(*job));
  return list;
}

nlohmann::json Jobs::Get(const std::string& id, bool& found) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto job = jobs_.find(id);
  found = job != jobs_.end();
  return found ? JobJson(*job->second) : nlohmann::json();
}

void Jobs::Wait() {
  std::list<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }
}

}  // namespace vornctl::console
