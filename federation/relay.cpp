#include "federation/relay.h"

#include <memory>
#include <new>

namespace {

// One direction of the relay, from one socket to the other.
class CDirection {
 public:
  bool Allocate() {
    bytes_.reset(new (std::nothrow) char[kRelayBufferBytes]);
    return bytes_ != nullptr;
  }

  bool WantsToReceive() const { return !ended_ && filled_ < kRelayBufferBytes; }
  bool HasUnsent() const { return sent_ < filled_; }
  // Its source ended and everything was delivered, so the destination's
  // sending direction may be shut down.
  bool ReadyToClose() const { return ended_ && !HasUnsent() && !closed_; }
  bool Closed() const { return closed_; }
  bool Ended() const { return ended_; }

  // Like recv: bytes received, 0 at the end of the source's stream (kept,
  // not an end of the relay), kSocketError on a failure.
  int Receive(platform::ISocketApi& sockets, platform::SocketHandle from) {
    const int n = sockets.Recv(from, bytes_.get() + filled_, kRelayBufferBytes - filled_);
    if (n == 0) ended_ = true;
    if (n > 0) filled_ += n;
    return n;
  }

  // Sends what the destination takes now; 1 when that was anything or
  // nothing fitted after all, else the failed send's result.
  int Send(platform::ISocketApi& sockets, platform::SocketHandle to) {
    const int n = sockets.SendNow(to, bytes_.get() + sent_, filled_ - sent_);
    if (n == platform::kSocketError) {
      return sockets.LastError() == platform::kWsaEwouldblock ? 1 : n;
    }
    sent_ += n;
    if (sent_ == filled_) filled_ = sent_ = 0;
    return n < 1 ? n : 1;
  }

  // The destination learns that no more comes. A destination that has gone
  // cannot be told; its next send or receive reports that.
  void Close(platform::ISocketApi& sockets, platform::SocketHandle to) {
    sockets.ShutdownSend(to);
    closed_ = true;
  }

 private:
  std::unique_ptr<char[]> bytes_;
  int filled_ = 0;
  int sent_ = 0;
  bool ended_ = false;
  bool closed_ = false;
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

}  // namespace

std::int32_t Relay(platform::ISocketApi& sockets,
                   const std::atomic<platform::SocketHandle>& session,
                   const std::atomic<platform::SocketHandle>& peer) {
  CDirection toPeer;     // session -> peer
  CDirection toSession;  // peer -> session
  if (!toPeer.Allocate() || !toSession.Allocate()) return -1;

  for (;;) {
    const platform::SocketHandle s = session;
    const platform::SocketHandle p = peer;
    if (s == platform::kInvalidSocket || p == platform::kInvalidSocket) return 0;

    if (toPeer.ReadyToClose()) toPeer.Close(sockets, p);
    if (toSession.ReadyToClose()) toSession.Close(sockets, s);
    if (toPeer.Closed() && toSession.Closed()) return 0;

    platform::ISocketApi::WaitEntry wait[2];
    wait[0].socket = s;
    wait[0].wantUrgent = !toPeer.Ended();
    wait[0].wantRead = toPeer.WantsToReceive();
    wait[0].wantWrite = toSession.HasUnsent();
    wait[1].socket = p;
    wait[1].wantUrgent = !toSession.Ended();
    wait[1].wantRead = toSession.WantsToReceive();
    wait[1].wantWrite = toPeer.HasUnsent();
    // Nothing asked of a side is still woken by its failure; with no
    // condition to act on, the relay ends rather than spin on it.
    int r = sockets.Wait(wait, 2);
    if (r < 1) return r;

    if (wait[0].urgent && (r = ForwardUrgent(sockets, s, p)) < 1) return r;
    if (wait[1].urgent && (r = ForwardUrgent(sockets, p, s)) < 1) return r;

    if (wait[0].readable && (r = toPeer.Receive(sockets, s)) < 0) return r;
    if (wait[1].readable && (r = toSession.Receive(sockets, p)) < 0) return r;

    if (wait[0].writable && (r = toSession.Send(sockets, s)) < 1) return r;
    if (wait[1].writable && (r = toPeer.Send(sockets, p)) < 1) return r;
  }
}
