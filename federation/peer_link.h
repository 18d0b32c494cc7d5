#pragma once
// The connection a server opens to the next server on the way to a relay
// target: connect, prepare a session there as a tool would (clear, select
// the first device, identify), and ask a server that relays in turn to go on
// towards the target.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "client/socket_session.h"
#include "platform/socket.h"

class CPeerLink {
 public:
  explicit CPeerLink(platform::ISocketApi& sockets) : session_(sockets) {}

  // Connects and prepares the peer. Nothing when the peer is ready to be
  // relayed to; otherwise the answer, without its LF, by which a forwarding
  // peer refused. Throws Fernway::CSocketError for socket failures and
  // Fernway::CError when the peer did not identify itself.
  std::optional<std::string> Open(const platform::Endpoint& address,
                                  const std::string& quotedOrigin, const std::string& quotedTarget);
  // Told the link's socket handle as CSocket::SetHandleObserver tells it.
  void ObserveSocket(std::function<void(platform::SocketHandle)> observer) {
    session_.SetHandleObserver(std::move(observer));
  }
  // The connected socket, now the caller's.
  platform::SocketHandle Detach() { return session_.Detach(); }

 private:
  CSocketSession session_;
};

// The answer for a socket failure on the way to the target: the code, a
// comma and the message quoted. The system's text ends in CR LF on Windows;
// that line end is left out, so the answer stays one line.
std::string SocketErrorAnswer(int code, const std::string& message);
