#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

// SCPI error text of an error number; "Unknown Error" for numbers it does not know.
const char* ErrorText(std::int32_t code);

// A finished error entry: <code>,"<text>[;<detail>]". The detail is inserted as
// it is (no quote doubling); an empty detail adds nothing.
std::string FormatError(std::int32_t code, std::string_view detail = {});

// The error queue of one command session, oldest entry first. Bounded like an
// instrument's: when it is full, the newest entry is replaced by -350 "Queue
// overflow" and later errors are dropped until the client reads the queue. A
// tool that reads SYST:ERR? after each step, as transfers do, never holds more
// than a handful; the bound only stops a client that never reads it from
// growing the service's memory for the life of the connection.
class CErrorQueue {
 public:
  static constexpr std::size_t kCapacity = 100;
  static constexpr std::int32_t kQueueOverflow = -350;

  void Push(std::int32_t code, std::string_view detail = {});
  // Removes and returns the oldest entry; 0,"No error" when the queue is empty.
  std::string Pop();
  // The oldest entry without removing it; 0,"No error" when the queue is empty.
  std::string Front() const;
  void Clear() { entries_.clear(); }
  bool Empty() const { return entries_.empty(); }
  std::size_t Size() const { return entries_.size(); }

 private:
  std::deque<std::string> entries_;
};
