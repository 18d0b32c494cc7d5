// pthreads behind the platform's threads, re-entrant locks and manual-reset
// events.
#include "platform/thread.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

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
};

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
  // A size below the platform's minimum is refused; the default stays then.
  pthread_attr_setstacksize(&attributes, stackSize);
  auto* start = new ThreadStart{proc, argument};
  auto* record = new ThreadRecord;
  const int created = pthread_create(&record->thread, &attributes, &RunThread, start);
  pthread_attr_destroy(&attributes);
  if (created != 0) {
    delete start;
    delete record;
    return nullptr;
  }
  return record;
}

void JoinThread(ThreadHandle thread) {
  if (thread == nullptr) return;
  auto* record = static_cast<ThreadRecord*>(thread);
  pthread_join(record->thread, nullptr);
  delete record;
}

void ComInitialize() {}

void ComUninitialize() {}

void SleepMs(std::uint32_t ms) {
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  posix::RetryInterrupted([&] { return nanosleep(&remaining, &remaining); });
}

}  // namespace platform
