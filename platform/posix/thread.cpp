// pthreads behind the platform's threads, re-entrant locks and manual-reset
// events.
#include "platform/thread.h"

#include <pthread.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/posix/retry_interrupted.h"

namespace platform {
namespace {

// WaitForSingleObject's INFINITE.
constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

struct EventState {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
};

struct ThreadStart {
  ThreadProc proc;
  void* argument;
};

struct ThreadRecord {
  pthread_t thread;
  void* stack = nullptr;  // mapping with its guard page, from the pool
  std::size_t mappedBytes = 0;
};

// Thread stacks are kept for the next thread instead of being unmapped at
// every join. A stop with a thousand sessions otherwise unmaps a thousand
// stacks one after another, and each unmapping makes every processor flush
// its address translations; a service whose sessions come and go reuses the
// same few. The pool keeps at most kPooledStacks; their untouched pages
// cost nothing.
constexpr std::size_t kPooledStacks = 1024;

class CStackPool {
 public:
  // A stack of `size` usable bytes below a guard page; nullptr when none
  // can be mapped (the thread then gets one of pthread's own).
  void* Take(std::size_t mappedBytes) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      for (auto it = free_.begin(); it != free_.end(); ++it) {
        if (it->second == mappedBytes) {
          void* stack = it->first;
          free_.erase(it);
          return stack;
        }
      }
    }
    void* mapped = mmap(nullptr, mappedBytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    // Stacks grow down: the lowest page catches an overflow.
    if (mprotect(mapped, PageSize(), PROT_NONE) != 0) {
      munmap(mapped, mappedBytes);
      return nullptr;
    }
    return mapped;
  }

  void Give(void* stack, std::size_t mappedBytes) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (free_.size() < kPooledStacks) {
        free_.emplace_back(stack, mappedBytes);
        return;
      }
    }
    munmap(stack, mappedBytes);
  }

  static std::size_t PageSize() {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<void*, std::size_t>> free_;
};

// Never destroyed: threads may be joined while the process exits.
CStackPool& Stacks() {
  static auto* pool = new CStackPool;
  return *pool;
}

void* RunThread(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.proc(start.argument);
  return nullptr;
}

}  // namespace

Mutex::Mutex() {
  auto* mutex = new pthread_mutex_t;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  impl_ = mutex;
}

Mutex::~Mutex() {
  auto* mutex = static_cast<pthread_mutex_t*>(impl_);
  pthread_mutex_destroy(mutex);
  delete mutex;
}

void Mutex::Lock() { pthread_mutex_lock(static_cast<pthread_mutex_t*>(impl_)); }

void Mutex::Unlock() { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(impl_)); }

Event::Event() : impl_(new EventState) {}

Event::~Event() { delete static_cast<EventState*>(impl_); }

void Event::Set() {
  auto* state = static_cast<EventState*>(impl_);
  std::lock_guard<std::mutex> guard(state->mutex);
  state->signalled = true;
  state->changed.notify_all();
}

void Event::Reset() {
  auto* state = static_cast<EventState*>(impl_);
  std::lock_guard<std::mutex> guard(state->mutex);
  state->signalled = false;
}

bool Event::Wait(std::uint32_t timeoutMs) {
  auto* state = static_cast<EventState*>(impl_);
  std::unique_lock<std::mutex> guard(state->mutex);
  if (timeoutMs == kWaitForever) {
    state->changed.wait(guard, [state] { return state->signalled; });
    return true;
  }
  // steady_clock: a change of the wall clock must not stretch the wait.
  return state->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [state] { return state->signalled; });
}

ThreadHandle CreateThread(ThreadProc proc, void* argument, std::size_t stackSize) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return nullptr;
  auto* start = new ThreadStart{proc, argument};
  auto* record = new ThreadRecord;
  const std::size_t page = CStackPool::PageSize();
  const std::size_t usable = (stackSize + page - 1) / page * page;
  if (usable >= static_cast<std::size_t>(PTHREAD_STACK_MIN)) {
    record->mappedBytes = usable + page;
    record->stack = Stacks().Take(record->mappedBytes);
  }
  if (record->stack != nullptr) {
    pthread_attr_setstack(&attributes, static_cast<char*>(record->stack) + page, usable);
  } else {
    // A size below the platform's minimum is refused; the default stays then.
    pthread_attr_setstacksize(&attributes, stackSize);
  }
  const int created = pthread_create(&record->thread, &attributes, &RunThread, start);
  pthread_attr_destroy(&attributes);
  if (created != 0) {
    if (record->stack != nullptr) Stacks().Give(record->stack, record->mappedBytes);
    delete start;
    delete record;
    return nullptr;
  }
  return record;
}

// A stack goes back to the pool only once its thread has been joined: until
// then the thread may still be running on it.
void JoinThread(ThreadHandle thread) {
  if (thread == nullptr) return;
  auto* record = static_cast<ThreadRecord*>(thread);
  pthread_join(record->thread, nullptr);
  if (record->stack != nullptr) Stacks().Give(record->stack, record->mappedBytes);
  delete record;
}

void ComInitialize() {}

void ComUninitialize() {}

void SleepMs(std::uint32_t ms) {
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  posix::RetryInterrupted([&] { return nanosleep(&remaining, &remaining); });
}

}  // namespace platform
