#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "net/critical_section.h"
#include "net/refusal_log.h"
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
  // Stop in two steps, so that the server can stop the sessions, this
  // listener and the control channel in that order under one grace:
  // RequestStop marks the stop (the grace starts; a start now fails, and the
  // accept loop ends at its next turn), FinishStop shuts the socket down,
  // waits for the thread until graceEnd, closes the socket if the thread is
  // still in accept (Winsock wakes it no other way) and joins it.
  void RequestStop();
  void FinishStop(Deadline graceEnd);

  bool HasRunningSessions();
  // Stops and deletes every session, all under the grace that ends at
  // graceEnd; false when there was none.
  bool CloseAllSessions(Deadline graceEnd = GraceDeadline());
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
  // False for a connection from outside "AllowedClients" (or whose peer is
  // gone already): the caller closes it before reading anything from it.
  bool Admits(platform::SocketHandle client);
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
  CRefusalLog refusals_{"connection"};
};
