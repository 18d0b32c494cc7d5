#include "tools/vornctl/rollout_display.h"

#include <cstdio>

namespace vornctl {

CRolloutDisplay::CRolloutDisplay(std::FILE* out, bool terminal, std::vector<std::string> servers)
    : out_(out),
      terminal_(terminal),
      servers_(std::move(servers)),
      states_(servers_.size(), "waiting"),
      phases_(servers_.size()) {
  for (const std::string& name : servers_) {
    if (name.size() > nameWidth_) nameWidth_ = name.size();
  }
}

void CRolloutDisplay::Update(std::size_t i, const std::string& state, bool final) {
  std::lock_guard<std::mutex> guard(mutex_);
  states_[i] = state;
  if (terminal_) {
    Redraw(final);
    return;
  }
  // The phase is the state without its figures: "transfer 40%" and
  // "transfer 41%" are one phase.
  const std::string phase = state.substr(0, state.find_first_of("0123456789"));
  if (!final && phase == phases_[i]) return;
  phases_[i] = phase;
  std::fprintf(out_, "%-*s  %s\n", static_cast<int>(nameWidth_), servers_[i].c_str(),
               state.c_str());
  std::fflush(out_);
}

void CRolloutDisplay::Finish() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (terminal_) Redraw(true);
}

void CRolloutDisplay::Redraw(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  std::string out;
  if (drawn_) out += "\x1b[" + std::to_string(servers_.size()) + "A";
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    out += "\r\x1b[2K";
    std::string line = servers_[i];
    line.resize(nameWidth_, ' ');
    out += line + "  " + states_[i] + "\n";
  }
  drawn_ = true;
  std::fputs(out.c_str(), out_);
  std::fflush(out_);
}

}  // namespace vornctl
