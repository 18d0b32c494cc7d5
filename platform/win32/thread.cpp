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

Event::Event() : impl_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

Event::~Event() {
  if (impl_ != nullptr) CloseHandle(impl_);
}

void Event::Set() { SetEvent(impl_); }

void Event::Reset() { ResetEvent(impl_); }

bool Event::Wait(std::uint32_t timeoutMs) {
  return WaitForSingleObject(impl_, timeoutMs) == WAIT_OBJECT_0;
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
