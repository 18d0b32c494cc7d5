#pragma once

#include "platform/thread.h"

// A re-entrant lock (a Windows critical section on that platform).
class CCriticalSection {
 public:
  CCriticalSection() = default;
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  void Enter() { mutex_.Lock(); }
  void Leave() { mutex_.Unlock(); }

 private:
  platform::Mutex mutex_;
};

// Scope guard: every step done under a lock in this system holds one, so the
// lock is released on every way out, exceptions included.
class CLock {
 public:
  explicit CLock(CCriticalSection& section) : section_(section) { section_.Enter(); }
  virtual ~CLock() { section_.Leave(); }
  CLock(const CLock&) = delete;
  CLock& operator=(const CLock&) = delete;

 private:
  CCriticalSection& section_;
};
