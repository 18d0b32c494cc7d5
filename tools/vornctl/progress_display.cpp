#include "tools/vornctl/progress_display.h"

#include <algorithm>
#include <cstdio>

#include "client/client_session.h"
#include "client/peer_text.h"

namespace vornctl {
namespace {

constexpr int kBarWidth = 30;

const char* StateWord(int state) {
  static const char* const words[] = {"TRAN", "RUN", "INST", "ERR", "SUCC", "BOOT"};
  return state >= 0 && state <= 5 ? words[state] : "?";
}

}  // namespace

std::string FormatBytes(double bytes) {
  const char* const units[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (bytes >= 1024.0 && unit < 3) {
    bytes /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

CProgressDisplay::CProgressDisplay(bool terminal, std::uint64_t dataBytes)
    : terminal_(terminal), dataBytes_(dataBytes) {}

void CProgressDisplay::Callback(std::uintptr_t context, int percent, int state, const char* text) {
  reinterpret_cast<CProgressDisplay*>(context)->Show(percent, state, text != nullptr ? text : "");
}

void CProgressDisplay::Show(int percent, int state, const std::string& shown) {
  std::string text = shown;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  lastState_ = state;
  lastPercent_ = percent;
  lastText_ = text;
  // What the bar and the figures show; a server may say 104 % or -4 %.
  percent = std::clamp(percent, 0, 100);
  const int phase = state != CClientSession::kTran ? 2 : text == "Binary" ? 1 : 0;
  if (phase != phase_) Finish();
  phase_ = phase;
  std::string line;
  if (state == CClientSession::kTran && text == "Initialize") {
    line = "connecting and sending the package description";
  } else if (state == CClientSession::kTran && text == "Binary") {
    const auto now = std::chrono::steady_clock::now();
    if (!transferStarted_) {
      transferStarted_ = true;
      transferStart_ = now;
    }
    const double sent = static_cast<double>(dataBytes_) * percent / 100.0;
    const double seconds = std::chrono::duration<double>(now - transferStart_).count();
    const int filled = percent * kBarWidth / 100;
    line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] ";
    char figures[96];
    std::snprintf(figures, sizeof figures, "%3d%%  %s / %s", percent, FormatBytes(sent).c_str(),
                  FormatBytes(static_cast<double>(dataBytes_)).c_str());
    line += figures;
    // Into a file or a pipe only the percent goes, so that a line is
    // written when it moves, not at every block.
    if (terminal_ && seconds > 0.05) line += "  " + FormatBytes(sent / seconds) + "/s";
  } else {
    char head[32];
    std::snprintf(head, sizeof head, "%3d%% %-4s", percent, StateWord(state));
    line = head;
    if (!text.empty()) line += " " + PrintablePeerText(text);
  }
  Put(line);
}

void CProgressDisplay::Put(const std::string& line) {
  if (silent_ || line == lastLine_) return;
  lastLine_ = line;
  if (!terminal_) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    return;
  }
  // Blanks over what a longer previous line left behind; no escape codes,
  // so a Windows console shows the same.
  std::string padded = line;
  if (padded.size() < drawnWidth_) padded.append(drawnWidth_ - padded.size(), ' ');
  drawnWidth_ = line.size();
  std::printf("\r%s", padded.c_str());
  std::fflush(stdout);
}

void CProgressDisplay::Finish() {
  if (terminal_ && !lastLine_.empty()) std::printf("\n");
  lastLine_.clear();
  drawnWidth_ = 0;
}

}  // namespace vornctl
