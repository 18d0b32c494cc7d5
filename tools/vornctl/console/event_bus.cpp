#include "tools/vornctl/console/event_bus.h"

namespace vornctl::console {

void EventBus::Publish(std::string name, std::string data) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(Event{next_++, std::move(name), std::move(data)});
    while (events_.size() > window_) events_.pop_front();
  }
  arrived_.notify_all();
}

std::uint64_t EventBus::Next() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return next_;
}

std::vector<Event> EventBus::Read(std::uint64_t& from, std::chrono::milliseconds wait, bool& lost) {
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_.wait_for(lock, wait, [&] { return next_ > from; });
  lost = !events_.empty() && events_.front().number > from;
  std::vector<Event> out;
  for (const Event& event : events_) {
    if (event.number >= from) out.push_back(event);
  }
  from = next_;
  return out;
}

}  // namespace vornctl::console
