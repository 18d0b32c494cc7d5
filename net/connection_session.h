#pragma once

#include "net/thread.h"
#include "platform/socket.h"

// A connection's session as the data channel holds it: handed an accepted
// socket, run on a thread of its own, stopped in steps together with the
// other sessions (BeginStop on all, one wait, CloseIfStillRunning, Join). A
// finished session may be handed the next connection.
class CConnectionSession : public virtual CThread {
 public:
  // Closes a socket still held, then keeps the new one.
  virtual void SetSocket(platform::SocketHandle socket) = 0;
  // Shuts the socket down, which ends a receive blocked in Run.
  virtual void BeginStop() = 0;
  // Closes the socket of a session still in a call after the wait.
  virtual void CloseIfStillRunning() = 0;
};
