#include "platform/thread.h"

#include <process.h>

#include "platform/win32/windows_api.h"

namespace platform {

Mutex::Mutex() : impl_(new CRITICAL_SECTION{}) {
  InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(impl_));
}

Mutex::~Mutex() {
  auto* section = static_cast<CRITICAL_SECTION*>(impl_);
  DeleteCriticalSection(section);
  delete section;
}

void Mutex::Lock() { EnterCriticalSection(static_cast<CRITICAL_SECTION*>(impl_)); }

void Mutex::Unlock() { LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(impl_)); }

// A lock and a condition variable rather than a kernel event: a session
// owns two events, and a stop with hundreds of sessions creates, sets, waits
// on and closes them by the hundred. These stay in the process (under Wine a
// kernel event costs a round trip to the wine server for each of those).
namespace {

struct EventState {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  bool signalled = false;
};

}  // namespace

Event::Event() : impl_(new EventState) {}

Event::~Event() { delete static_cast<EventState*>(impl_); }

void Event::Set() {
  auto* state = static_cast<EventState*>(impl_);
  AcquireSRWLockExclusive(&state->lock);
  state->signalled = true;
  ReleaseSRWLockExclusive(&state->lock);
  WakeAllConditionVariable(&state->changed);
}

void Event::Reset() {
  auto* state = static_cast<EventState*>(impl_);
  AcquireSRWLockExclusive(&state->lock);
  state->signalled = false;
  ReleaseSRWLockExclusive(&state->lock);
}

bool Event::Wait(std::uint32_t timeoutMs) {
  auto* state = static_cast<EventState*>(impl_);
  const ULONGLONG start = GetTickCount64();
  AcquireSRWLockExclusive(&state->lock);
  while (!state->signalled) {
    DWORD wait = INFINITE;
    if (timeoutMs != INFINITE) {
      const ULONGLONG elapsed = GetTickCount64() - start;
      if (elapsed >= timeoutMs) break;
      wait = static_cast<DWORD>(timeoutMs - elapsed);
    }
    SleepConditionVariableSRW(&state->changed, &state->lock, wait, 0);
  }
  const bool signalled = state->signalled;
  ReleaseSRWLockExclusive(&state->lock);
  return signalled;
}

namespace {

struct ThreadStart {
  ThreadProc proc;
  void* argument;
};

unsigned __stdcall ThreadEntry(void* start) {
  ThreadStart copy = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  return copy.proc(copy.argument);
}

}  // namespace

// Through the C runtime rather than the bare CreateThread, so that the
// runtime's per-thread state is set up for code that uses it. The size is a
// reservation: without the flag Windows would commit it all up front.
ThreadHandle CreateThread(ThreadProc proc, void* argument, std::size_t stackSize) {
  auto* start = new ThreadStart{proc, argument};
  std::uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stackSize), &ThreadEntry,
                                         start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) {
    delete start;
    return nullptr;
  }
  return reinterpret_cast<ThreadHandle>(handle);
}

void JoinThread(ThreadHandle thread) {
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

void ComInitialize() { CoInitialize(nullptr); }

void ComUninitialize() { CoUninitialize(); }

void SleepMs(std::uint32_t ms) { Sleep(ms); }

}  // namespace platform
