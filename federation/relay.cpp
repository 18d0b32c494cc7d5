#include "federation/relay.h"

#include <memory>
#include <new>

namespace {

struct Direction {
  std::unique_ptr<char[]> bytes;
  int filled = 0;
  int sent = 0;

  bool HasRoom() const { return filled < kRelayBufferBytes; }
  bool HasUnsent() const { return sent < filled; }
};

// One urgent byte from one side to the other. The forwarding send is not
// checked: a side that cannot take it fails its next ordinary send.
int ForwardUrgent(platform::ISocketApi& sockets, platform::SocketHandle from,
                  platform::SocketHandle to) {
  char byte;
  const int n = sockets.RecvUrgent(from, &byte, 1);
  if (n < 1) return n;
  sockets.SendUrgent(to, &byte, 1);
  return n;
}

int Receive(platform::ISocketApi& sockets, platform::SocketHandle from, Direction& into) {
  const int n = sockets.Recv(from, into.bytes.get() + into.filled, kRelayBufferBytes - into.filled);
  if (n >= 1) into.filled += n;
  return n;
}

int SendOn(platform::ISocketApi& sockets, platform::SocketHandle to, Direction& from) {
  const int n = sockets.Send(to, from.bytes.get() + from.sent, from.filled - from.sent);
  if (n >= 1) from.sent += n;
  return n;
}

}  // namespace

std::int32_t Relay(platform::ISocketApi& sockets,
                   const std::atomic<platform::SocketHandle>& session,
                   const std::atomic<platform::SocketHandle>& peer) {
  Direction toPeer;     // session -> peer
  Direction toSession;  // peer -> session
  toPeer.bytes.reset(new (std::nothrow) char[kRelayBufferBytes]);
  toSession.bytes.reset(new (std::nothrow) char[kRelayBufferBytes]);
  if (!toPeer.bytes || !toSession.bytes) return -1;

  for (;;) {
    const platform::SocketHandle s = session;
    const platform::SocketHandle p = peer;
    if (s == platform::kInvalidSocket || p == platform::kInvalidSocket) return 0;

    platform::ISocketApi::WaitEntry wait[2];
    wait[0].socket = s;
    wait[0].wantUrgent = true;
    wait[0].wantRead = toPeer.HasRoom();
    wait[0].wantWrite = toSession.HasUnsent();
    wait[1].socket = p;
    wait[1].wantUrgent = true;
    wait[1].wantRead = toSession.HasRoom();
    wait[1].wantWrite = toPeer.HasUnsent();
    int r = sockets.Wait(wait, 2);
    if (r < 1) return r;

    if (wait[0].urgent && (r = ForwardUrgent(sockets, s, p)) < 1) return r;
    if (wait[1].urgent && (r = ForwardUrgent(sockets, p, s)) < 1) return r;

    if (wait[0].readable && (r = Receive(sockets, s, toPeer)) < 1) return r;
    if (wait[1].readable && (r = Receive(sockets, p, toSession)) < 1) return r;

    if (wait[0].writable && (r = SendOn(sockets, s, toSession)) < 1) return r;
    if (wait[1].writable && (r = SendOn(sockets, p, toPeer)) < 1) return r;

    if (toPeer.sent == toPeer.filled) toPeer.filled = toPeer.sent = 0;
    if (toSession.sent == toSession.filled) toSession.filled = toSession.sent = 0;
  }
}
