#pragma once
// The journal of runs: one JSON object a line, appended to history.jsonl in
// the console's directory as each run ends, read again at start. A line
// that cannot be read (a run cut off by a crash) is skipped, not fatal.

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace vornctl::console {

class History {
 public:
  explicit History(std::string path);
  // False when the journal could not be written (the run is still listed).
  bool Append(const nlohmann::json& run);
  nlohmann::json All() const;
  std::size_t Skipped() const { return skipped_; }

 private:
  std::string path_;
  mutable std::mutex mutex_;
  std::vector<nlohmann::json> runs_;
  std::size_t skipped_ = 0;
};

}  // namespace vornctl::console
