#pragma once

#include <atomic>
#include <cstdint>

#include "net/critical_section.h"
#include "platform/socket.h"
#include "platform/thread.h"

// Base of every object that owns a worker thread. The starter waits until the
// new thread reports whether its set-up worked; a derived class stops the
// thread by making its blocking call fail and then joining it.
class CThread {
 public:
  static constexpr std::uint32_t kStartTimeoutMs = 10000;
  // How long a stop lets a thread end by itself after its socket was shut
  // down, before it closes the socket under the thread's call.
  static constexpr std::uint32_t kShutdownGraceMs = 100;

  CThread() = default;
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  virtual void Run() = 0;
  virtual bool Stop() = 0;

  // Starts the thread and waits up to kStartTimeoutMs for its report; true
  // only if the thread reported success in time. A running thread is never
  // started twice; an ended one is reaped first.
  bool Start();
  bool IsRunning();
  bool IsCreated();
  // Waits without a time limit for the thread to end. Never from the thread
  // itself.
  void Join();
  // Waits at most timeoutMs for the body to return; true when it has (or
  // when no thread was created).
  bool WaitForEnd(std::uint32_t timeoutMs);

 protected:
  // Called once from inside Run when set-up is done.
  void SignalStarted(bool ok);
  // The stop protocol of the objects that own a socket: shut the socket down
  // so that the thread's blocking call fails, then join the thread. lock
  // guards socket.
  void ShutdownSocketAndJoin(CCriticalSection& lock, platform::ISocketApi& sockets,
                             std::atomic<platform::SocketHandle>& socket);
  // The same protocol in steps, so that many objects can be stopped
  // together: shut every socket down, wait once for all threads (WaitForEnd),
  // close the sockets of those still in their call, then join them all.
  // CloseSocketIfStillRunning forgets the handle it closes, so the thread
  // does not close it again; true when it had to close.
  void ShutdownSocket(CCriticalSection& lock, platform::ISocketApi& sockets,
                      std::atomic<platform::SocketHandle>& socket);
  bool CloseSocketIfStillRunning(CCriticalSection& lock, platform::ISocketApi& sockets,
                                 std::atomic<platform::SocketHandle>& socket);

 private:
  static unsigned ThreadProc(void* argument);

  CCriticalSection lock_;
  bool created_ = false;
  platform::Event startEvent_;
  platform::Event endEvent_;
  platform::ThreadHandle thread_ = nullptr;
  bool running_ = false;
  // What the body reported to the Start that is waiting now. Kept apart from
  // running_ because a body may report success and end before the starter
  // looks: that start still succeeded.
  bool reportedOk_ = false;
  std::uint32_t startTimeoutMs_ = kStartTimeoutMs;

  friend class CThreadTestAccess;
};
