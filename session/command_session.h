#pragma once

#include "net/critical_section.h"
#include "net/thread.h"
#include "platform/socket.h"

class CInstallServer;

// Serves one TCP connection of the data channel on a thread of its own.
class CCommandSession : public virtual CThread {
 public:
  explicit CCommandSession(CInstallServer* server);
  ~CCommandSession() override;

  // Under the lock: closes a socket still held, then keeps the new one.
  void SetSocket(platform::SocketHandle socket);
  void Run() override;
  // Closes the socket (making a blocked receive fail) and waits for the
  // thread. Always true.
  bool Stop() override;

 private:
  void CloseSocket();

  CInstallServer* server_;
  platform::SocketHandle socket_ = platform::kInvalidSocket;
  CCriticalSection lock_;
};
