#pragma once

#include <atomic>
#include <cstdint>

#include "net/critical_section.h"
#include "net/refusal_log.h"
#include "net/thread.h"
#include "platform/socket.h"
#include "platform/thread.h"

class IChannelHost;

// What the two channels share: a socket bound to a port on the thread of the
// channel, a stop in two steps, and the refusals of clients outside
// "AllowedClients" (a bounded log of them).
//
// Stop in two steps, so that the server can stop the sessions, the data
// channel and the control channel in that order under one grace:
// RequestStop marks the stop (the grace starts; a start now fails, and the
// loop ends at its next turn), FinishStop shuts the socket down, waits for the
// thread until graceEnd, closes the socket if the thread is still in its
// call (Winsock wakes it no other way) and joins it.
class CListenerThread : public virtual CThread {
 public:
  bool Stop() override;
  void RequestStop();
  void FinishStop(Deadline graceEnd);

  std::uint16_t Port();
  void SetPort(std::uint16_t port);
  std::uint16_t BoundPort();

 protected:
  // what: "connection" or "datagram", as the refusal lines name it.
  CListenerThread(IChannelHost* server, const char* what);

  // The socket to wait on, or kInvalidSocket once a stop was asked for.
  platform::SocketHandle ActiveSocket();
  bool StopRequested();
  // Closes the socket, if still open, under the lock.
  void CloseSocket();
  // False for a client outside "AllowedClients"; the refusal goes to the
  // bounded refusal log.
  bool AdmitsAddress(std::uint32_t address);

  IChannelHost* server_;
  std::uint16_t port_;
  std::uint16_t boundPort_ = 0;
  std::atomic<platform::SocketHandle> socket_{platform::kInvalidSocket};
  CCriticalSection lock_;
  // Set by RequestStop until the thread has ended, so that a failed call
  // caused by the stop is told apart from one worth retrying (and, on Linux,
  // a shut-down UDP socket's empty read from a peer's datagram).
  bool stopping_ = false;
  platform::Event stopEvent_;

 private:
  CRefusalLog refusals_;
};
