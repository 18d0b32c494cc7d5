#include "net/bounded_parallel.h"

#include <atomic>
#include <vector>

#include "platform/thread.h"

namespace {

struct SharedWork {
  std::size_t count;
  const std::function<void(std::size_t)>* work;
  std::atomic<std::size_t> next{0};
};

void TakeUntilDone(SharedWork& shared) {
  for (;;) {
    const std::size_t index = shared.next.fetch_add(1);
    if (index >= shared.count) return;
    try {
      (*shared.work)(index);
    } catch (...) {
    }
  }
}

unsigned HelperThread(void* argument) {
  TakeUntilDone(*static_cast<SharedWork*>(argument));
  return 0;
}

}  // namespace

void RunBounded(std::size_t count, std::size_t parallel,
                const std::function<void(std::size_t index)>& work) {
  SharedWork shared{count, &work};
  const std::size_t inFlight = parallel == 0 ? 1 : parallel;
  const std::size_t helpers = count == 0 ? 0 : (inFlight < count ? inFlight : count) - 1;
  std::vector<platform::ThreadHandle> threads;
  for (std::size_t i = 0; i < helpers; ++i) {
    platform::ThreadHandle thread = platform::CreateThread(&HelperThread, &shared);
    if (thread == nullptr) break;
    threads.push_back(thread);
  }
  TakeUntilDone(shared);
  for (platform::ThreadHandle thread : threads) platform::JoinThread(thread);
}
