#pragma once
// What the pages are told as it happens: a bounded window of the latest
// events, each numbered, which every event stream reads from its own place.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace vornctl::console {

struct Event {
  std::uint64_t number = 0;
  std::string name;
  std::string data;  // one line of JSON
};

class EventBus {
 public:
  explicit EventBus(std::size_t window = 4096) : window_(window) {}
  void Publish(std::string name, std::string data);
  // The number the next event will get.
  std::uint64_t Next() const;
  // The events from `from` on, waiting up to `wait` for the first; `from`
  // moves past them. `lost` tells that some fell out of the window unread.
  std::vector<Event> Read(std::uint64_t& from, std::chrono::milliseconds wait, bool& lost);

 private:
  std::size_t window_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Event> events_;
  std::uint64_t next_ = 1;
};

}  // namespace vornctl::console
