#pragma once
// A client session over its own TCP socket: one object that is both, so the
// session's channel is that socket.

#include "client/client_session.h"
#include "client/socket.h"

class CSocketSession : public CClientSession, public CSocket {
 public:
  explicit CSocketSession(platform::ISocketApi& sockets = platform::Sockets()) : CSocket(sockets) {}
};
