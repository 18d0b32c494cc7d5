#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "net/critical_section.h"
#include "net/listener_thread.h"
#include "platform/socket.h"

class CConnectionSession;
class IChannelHost;

// The TCP listener: accepts connections one after another, tunes each socket
// and hands it to a command session on a thread of its own. Finished session
// objects are reused for later connections.
class CDataChannel : public CListenerThread {
 public:
  static constexpr std::uint32_t kKeepAliveTimeMs = 30000;
  static constexpr std::uint32_t kKeepAliveIntervalMs = 3000;
  static constexpr int kMaxBacklog = 0x7fffffff;

  explicit CDataChannel(IChannelHost* server);
  ~CDataChannel() override;

  // Stop (of the listener thread) leaves connected clients their sessions.
  void Run() override;

  bool HasRunningSessions();
  // Stops and deletes every session, all under the grace that ends at
  // graceEnd; false when there was none.
  bool CloseAllSessions(Deadline graceEnd = GraceDeadline());
  // Session objects held, running or finished.
  std::size_t SessionCount();

 private:
  bool SetUp();
  void AcceptLoop();
  // Under the lock: hands the socket to a finished or a new session and
  // starts it. Returns false when no session object could be had. Lines to
  // log are collected and written by the caller after the lock is released.
  bool Admit(platform::SocketHandle client, std::vector<std::string>& lines,
             CConnectionSession*& failed);
  // False for a connection from outside "AllowedClients" (or whose peer is
  // gone already): the caller closes it before reading anything from it.
  bool Admits(platform::SocketHandle client);
  void LogLines(const std::vector<std::string>& lines);

  std::list<CConnectionSession*> sessions_;
};
