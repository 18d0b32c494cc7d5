#pragma once
// Shows an installation as it goes: a bar with bytes and rate while the data
// travels, then percent, state word and text of the installation. On a
// terminal one line is redrawn; otherwise each change is a line of its own.

#include <chrono>
#include <cstdint>
#include <string>

namespace vornctl {

class CProgressDisplay {
 public:
  CProgressDisplay(bool terminal, std::uint64_t dataBytes);

  // Keeps the last state and text but prints nothing (for --json).
  void Silence() { silent_ = true; }

  // The client session's progress callback; context is the display.
  static void Callback(std::uintptr_t context, int percent, int state, const char* text);
  void Show(int percent, int state, const std::string& shown);
  // Ends a line that is being redrawn.
  void Finish();

  int LastState() const { return lastState_; }
  int LastPercent() const { return lastPercent_; }
  const std::string& LastText() const { return lastText_; }

 private:
  void Put(const std::string& line);

  bool terminal_;
  bool silent_ = false;
  std::uint64_t dataBytes_;
  bool transferStarted_ = false;
  std::chrono::steady_clock::time_point transferStart_;
  std::string lastLine_;
  std::size_t drawnWidth_ = 0;
  int phase_ = -1;  // preparing, data transfer, installation
  int lastState_ = -1;
  int lastPercent_ = 0;
  std::string lastText_;
};

// "1.5 MiB" and the like.
std::string FormatBytes(double bytes);

}  // namespace vornctl
