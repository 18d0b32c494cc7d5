#pragma once
// The live view of a rollout: one line per server with its state. On a
// terminal the block of lines is redrawn in place (at most ten times a
// second); otherwise every change of phase is printed as a line of its own,
// so a log shows when each server started and ended. Callable from every
// installing thread.

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace vornctl {

class CRolloutDisplay {
 public:
  // out: where the lines go (standard error when standard output carries JSON).
  CRolloutDisplay(std::FILE* out, bool terminal, std::vector<std::string> servers);

  // Sets the line of server i; final marks the server's last word.
  void Update(std::size_t i, const std::string& state, bool final = false);
  // Draws the last state of every line (terminal only).
  void Finish();

 private:
  void Redraw(bool force);

  std::FILE* out_;
  bool terminal_;
  std::vector<std::string> servers_;
  std::vector<std::string> states_;
  std::vector<std::string> phases_;  // what was last printed (not on a terminal)
  std::size_t nameWidth_ = 0;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_;
  std::mutex mutex_;
};

}  // namespace vornctl
