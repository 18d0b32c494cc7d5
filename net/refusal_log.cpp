#include "net/refusal_log.h"

#include "platform/socket.h"

std::optional<std::string> CRefusalLog::Refuse(std::uint32_t address, Clock::time_point now) {
  auto found = entries_.find(address);
  if (found == entries_.end()) {
    if (entries_.size() >= kCapacity) Expire(now);
    if (entries_.size() >= kCapacity) return CountWithoutSlot(now);
    found = entries_.emplace(address, Entry{now, 0}).first;
  } else if (now - found->second.logged < kInterval) {
    ++found->second.unlogged;
    return std::nullopt;
  }
  Entry& entry = found->second;
  std::string line = std::string("Refused ") + what_ + " from " + platform::FormatAddress(address) +
                     ": not in AllowedClients";
  if (entry.unlogged != 0) {
    line += " (" + std::to_string(entry.unlogged) + " more refused since the last line)";
  }
  entry.logged = now;
  entry.unlogged = 0;
  return line;
}

void CRefusalLog::Expire(Clock::time_point now) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (now - it->second.logged >= kInterval) {
      untracked_ += it->second.unlogged;
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

std::optional<std::string> CRefusalLog::CountWithoutSlot(Clock::time_point now) {
  ++untracked_;
  if (summaryLogged_ && now - *summaryLogged_ < kInterval) return std::nullopt;
  summaryLogged_ = now;
  std::string line = "Refused " + std::to_string(untracked_) + " " + what_ +
                     "(s) from addresses not in AllowedClients that are not logged one by one";
  untracked_ = 0;
  return line;
}
