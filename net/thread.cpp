#include "net/thread.h"

#include <algorithm>
#include <exception>

#include "base/log.h"

CThread::~CThread() { Join(); }

bool CThread::Start() {
  {
    CLock guard(lock_);
    if (running_) return false;
  }
  Join();  // reap a thread that ended on its own
  std::uint32_t timeoutMs;
  {
    CLock guard(lock_);
    startEvent_.Reset();
    endEvent_.Reset();
    reportedOk_ = false;
    thread_ = platform::CreateThread(&CThread::ThreadProc, this);
    if (thread_ == nullptr) return false;
    created_ = true;
    timeoutMs = startTimeoutMs_;
  }
  const bool reported = startEvent_.Wait(timeoutMs);
  CLock guard(lock_);
  return reported && reportedOk_;
}

void CThread::SignalStarted(bool ok) {
  CLock guard(lock_);
  if (!created_) return;
  running_ = ok;
  reportedOk_ = ok;
  startEvent_.Set();
}

bool CThread::WaitForEnd(std::uint32_t timeoutMs) {
  if (!IsCreated()) return true;
  return endEvent_.Wait(timeoutMs);
}

CThread::Deadline CThread::GraceDeadline() {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(kShutdownGraceMs);
}

CThread::Deadline CThread::WakeDeadline(Deadline graceEnd) {
  return std::max(graceEnd,
                  std::chrono::steady_clock::now() + std::chrono::milliseconds(kWakeGraceMs));
}

bool CThread::WaitForEndUntil(Deadline deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return WaitForEnd(static_cast<std::uint32_t>(std::max<long long>(0, left.count())));
}

void CThread::ShutdownSocketAndJoin(CCriticalSection& lock, platform::ISocketApi& sockets,
                                    std::atomic<platform::SocketHandle>& socket,
                                    Deadline graceEnd) {
  ShutdownSocket(lock, sockets, socket);
  WaitForEndUntil(graceEnd);
  CloseSocketIfStillRunning(lock, sockets, socket);
  Join();
}

void CThread::ShutdownSocket(CCriticalSection& lock, platform::ISocketApi& sockets,
                             std::atomic<platform::SocketHandle>& socket) {
  CLock guard(lock);
  if (socket != platform::kInvalidSocket) sockets.Shutdown(socket);
}

// Linux wakes the blocked call on shutdown and the thread closes the socket
// itself; Winsock gives a blocking call up only when the socket is closed.
// Closing under a call that is still running would let the handle be reused
// under it, so close here only when the thread has not ended after the
// shutdown and the grace that the caller waited, and forget the handle so
// that the thread does not close it again.
bool CThread::CloseSocketIfStillRunning(CCriticalSection& lock, platform::ISocketApi& sockets,
                                        std::atomic<platform::SocketHandle>& socket) {
  if (WaitForEnd(0)) return false;
  CLock guard(lock);
  const platform::SocketHandle s = socket;
  if (s == platform::kInvalidSocket) return false;
  sockets.Close(s);
  socket = platform::kInvalidSocket;
  return true;
}

bool CThread::IsRunning() {
  CLock guard(lock_);
  return running_;
}

bool CThread::IsCreated() {
  CLock guard(lock_);
  return created_;
}

void CThread::Join() {
  platform::ThreadHandle thread;
  {
    CLock guard(lock_);
    if (!created_) return;
    thread = thread_;
    // Clear now so that a concurrent Join does not wait on a handle that the
    // first one is about to close.
    thread_ = nullptr;
    created_ = false;
  }
  if (thread != nullptr) platform::JoinThread(thread);
}

unsigned CThread::ThreadProc(void* argument) {
  auto* self = static_cast<CThread*>(argument);
  platform::ComInitialize();
  try {
    self->Run();
    platform::ComUninitialize();
  } catch (...) {
    WriteDebugLine("!!!! Quillon: Thread has terminated with exception !!!!\n");
  }
  CLock guard(self->lock_);
  self->running_ = false;
  // A body that ended without reporting has failed its start; do not keep
  // the starter waiting for the full time-out.
  self->startEvent_.Set();
  self->endEvent_.Set();
  return 0;
}
