#pragma once
// Threads, re-entrant locks and manual-reset events of the platform.

#include <cstdint>

namespace platform {

// Re-entrant for the owning thread (a Windows critical section).
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void Lock();
  void Unlock();

 private:
  void* impl_;
};

// Manual-reset event, initially not signalled.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  void Set();
  void Reset();
  // True when signalled within timeoutMs milliseconds.
  bool Wait(std::uint32_t timeoutMs);

 private:
  void* impl_;
};

using ThreadProc = unsigned (*)(void* argument);
using ThreadHandle = void*;

// _beginthreadex on Windows. Returns nullptr when no thread could be created.
ThreadHandle CreateThread(ThreadProc proc, void* argument);
// Waits without a time limit for the thread to end, then closes the handle.
void JoinThread(ThreadHandle thread);

// Per-thread COM initialisation (single-threaded apartment); no-ops where
// there is no COM.
void ComInitialize();
void ComUninitialize();

void SleepMs(std::uint32_t ms);

}  // namespace platform
