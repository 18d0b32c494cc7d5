#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "net/critical_section.h"
#include "net/thread.h"
#include "platform/socket.h"
#include "platform/thread.h"

class CCommandSession;
class CInstallServer;

// The TCP listener: accepts connections one after another, tunes each socket
// and hands it to a command session on a thread of its own. Finished session
// objects are reused for later connections.
class CDataChannel : public virtual CThread {
 public:
  static constexpr std::uint32_t kKeepAliveTimeMs = 30000;
  static constexpr std::uint32_t kKeepAliveIntervalMs = 3000;
  static constexpr int kMaxBacklog = 0x7fffffff;

  explicit CDataChannel(CInstallServer* server);
  ~CDataChannel() override;

  void Run() override;
  // Stops the listener only; connected clients keep their sessions.
  bool Stop() override;

  bool HasRunningSessions();
  // Stops and deletes every session; false when there was none, or when no
  // session's Stop succeeded.
  bool CloseAllSessions();
  // Session objects held, running or finished.
  std::size_t SessionCount();

  std::uint16_t Port();
  void SetPort(std::uint16_t port);
  std::uint16_t BoundPort();

 private:
  bool SetUp();
  void AcceptLoop();
  // Under the lock: hands the socket to a finished or a new session and
  // starts it. Returns false when no session object could be had. Lines to
  // log are collected and written by the caller after the lock is released.
  bool Admit(platform::SocketHandle client, std::vector<std::string>& lines,
             CCommandSession*& failed);
  platform::SocketHandle ListeningSocket();
  bool StopRequested();
  void LogLines(const std::vector<std::string>& lines);

  CInstallServer* server_;
  std::uint16_t port_;
  std::uint16_t boundPort_ = 0;
  std::atomic<platform::SocketHandle> socket_{platform::kInvalidSocket};
  CCriticalSection lock_;
  std::list<CCommandSession*> sessions_;
  // Set by Stop until the thread has ended, so that a failed accept caused by
  // the stop is told apart from one that is worth retrying.
  bool stopping_ = false;
  platform::Event stopEvent_;
};
