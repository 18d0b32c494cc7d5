#pragma once
// Threads, re-entrant locks and manual-reset events of the platform.

#include <cstddef>
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

// Sanitizers put red zones around every local and keep frames of their own,
// so the same code needs several times the stack it needs in a plain build.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::size_t kSanitizerStackFactor = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr std::size_t kSanitizerStackFactor = 4;
#else
inline constexpr std::size_t kSanitizerStackFactor = 1;
#endif
#else
inline constexpr std::size_t kSanitizerStackFactor = 1;
#endif

// Stack reserved for each thread of the service (sessions, channels, the
// service thread). The deepest of them holds the log's 2000- and 2048-byte
// buffers, a session's reader buffer and answer and a discovery reply, a few
// KiB in all; 256 KiB leaves room for the platform's own calls (COM
// marshalling, name resolution) with a wide margin, where the platform
// default (8 MiB on Linux) would reserve gigabytes for thousands of sessions.
inline constexpr std::size_t kThreadStackSize = 256 * 1024 * kSanitizerStackFactor;

// _beginthreadex on Windows. stackSize is what the thread reserves (Windows
// commits on demand below it). Returns nullptr when no thread could be
// created.
ThreadHandle CreateThread(ThreadProc proc, void* argument,
                          std::size_t stackSize = kThreadStackSize);
// Waits without a time limit for the thread to end, then closes the handle.
void JoinThread(ThreadHandle thread);

// Per-thread COM initialisation (single-threaded apartment); no-ops where
// there is no COM.
void ComInitialize();
void ComUninitialize();

void SleepMs(std::uint32_t ms);

}  // namespace platform
