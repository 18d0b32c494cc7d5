#include "tools/vornctl/console/history.h"

#include <fstream>

namespace vornctl::console {
namespace {

// Runs kept in memory for the page; the file keeps every one.
constexpr std::size_t kRunsShown = 10000;

}  // namespace

History::History(std::string path) : path_(std::move(path)) {
  std::ifstream in(path_, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    nlohmann::json run = nlohmann::json::parse(line, nullptr, false);
    if (!run.is_object()) {
      ++skipped_;
      continue;
    }
    runs_.push_back(std::move(run));
    if (runs_.size() > kRunsShown) runs_.erase(runs_.begin());
  }
  // A line cut off by a crash is ended, so that the next run starts a line
  // of its own instead of spoiling itself.
  std::ifstream tail(path_, std::ios::binary | std::ios::ate);
  if (tail && tail.tellg() > 0) {
    tail.seekg(-1, std::ios::end);
    char last = '\n';
    tail.get(last);
    if (last != '\n') std::ofstream(path_, std::ios::binary | std::ios::app) << '\n';
  }
}

bool History::Append(const nlohmann::json& run) {
  const std::string line = run.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::lock_guard<std::mutex> lock(mutex_);
  runs_.push_back(nlohmann::json::parse(line, nullptr, false));
  if (runs_.size() > kRunsShown) runs_.erase(runs_.begin());
  std::ofstream out(path_, std::ios::binary | std::ios::app);
  out << line << '\n';
  out.flush();
  return static_cast<bool>(out);
}

nlohmann::json History::All() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nlohmann::json(runs_);
}

}  // namespace vornctl::console
