#pragma once
// Which refusals of clients outside "AllowedClients" reach the log. Anyone
// can send datagrams and open connections as fast as the network carries
// them, so a line per refusal would let a stranger flood the log (and the
// disk or journal behind it). Each address is logged once a minute, with the
// number refused since its previous line; the table of addresses holds at
// most kCapacity of them. When it is full of addresses seen within the
// minute, refusals from further addresses are only counted, and one line a
// minute tells how many there were. A flood from any number of addresses
// therefore writes at most kCapacity + 1 lines a minute and keeps a table of
// fixed size. Used by one thread at a time (the channel's own).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

class CRefusalLog {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kCapacity = 256;
  static constexpr Clock::duration kInterval = std::chrono::minutes(1);

  // what: "connection" or "datagram", as the lines name the refused thing.
  explicit CRefusalLog(const char* what) : what_(what) {}

  // Notes one refusal of address at now; returns the line to log, if any.
  std::optional<std::string> Refuse(std::uint32_t address, Clock::time_point now);

  std::size_t Tracked() const { return entries_.size(); }

 private:
  struct Entry {
    Clock::time_point logged;
    std::uint64_t unlogged = 0;
  };
  // Frees the slots of addresses whose minute is over; their unlogged
  // refusals move to the count of the summary line.
  void Expire(Clock::time_point now);
  std::optional<std::string> CountWithoutSlot(Clock::time_point now);

  const char* what_;
  std::unordered_map<std::uint32_t, Entry> entries_;
  std::uint64_t untracked_ = 0;
  std::optional<Clock::time_point> summaryLogged_;
};
