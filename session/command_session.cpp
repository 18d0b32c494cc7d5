#include "session/command_session.h"

#include "service/install_server.h"

namespace {

constexpr std::uint32_t kShutdownGraceMs = 100;

unsigned LogHandle(platform::SocketHandle s) { return static_cast<unsigned>(s); }

}  // namespace

CCommandSession::CCommandSession(CInstallServer* server) : server_(server) {}

CCommandSession::~CCommandSession() {
  Stop();
  // A session whose thread never started still owns the socket it was given.
  CLock guard(lock_);
  if (socket_ != platform::kInvalidSocket) {
    server_->Sockets().Close(socket_);
    socket_ = platform::kInvalidSocket;
  }
}

void CCommandSession::SetSocket(platform::SocketHandle socket) {
  CLock guard(lock_);
  if (socket_ != platform::kInvalidSocket) CloseSocket();
  socket_ = socket;
}

// Under the lock.
void CCommandSession::CloseSocket() {
  platform::ISocketApi& sockets = server_->Sockets();
  sockets.Shutdown(socket_);
  if (sockets.Close(socket_) == 0) {
    server_->Log("Socket[%X]: socket normally closed.", LogHandle(socket_));
  } else {
    server_->Log("Socket[%X]: closing socket failed with error %d", LogHandle(socket_),
                 sockets.LastError());
  }
  socket_ = platform::kInvalidSocket;
}

// Serves the connection until the peer closes it or Stop closes it here.
void CCommandSession::Run() {
  SignalStarted(true);
  platform::ISocketApi& sockets = server_->Sockets();
  platform::SocketHandle s;
  {
    CLock guard(lock_);
    s = socket_;
  }
  char buffer[4096];
  int r;
  do {
    r = sockets.Recv(s, buffer, sizeof buffer);
  } while (r > 0);
  if (r < 0) {
    server_->Log("Socket[%X]: Error: Data channel closed with error %d", LogHandle(s),
                 sockets.LastError());
  } else {
    server_->Log("Socket[%X]: Data channel normally closed (or due to unexpected data).",
                 LogHandle(s));
  }
  CLock guard(lock_);
  if (socket_ != platform::kInvalidSocket) CloseSocket();
}

bool CCommandSession::Stop() {
  try {
    // Also while the thread is still starting: its receive must fail too.
    if (IsCreated()) {
      {
        CLock guard(lock_);
        if (socket_ != platform::kInvalidSocket) server_->Sockets().Shutdown(socket_);
      }
      // The loop's end closes the socket once the shutdown has woken it.
      // Winsock may need the close to give up a blocked receive; closing
      // under a receive that still runs could let the handle be reused
      // under it, hence the short grace first.
      if (!WaitForEnd(kShutdownGraceMs)) {
        CLock guard(lock_);
        if (socket_ != platform::kInvalidSocket) {
          server_->Sockets().Close(socket_);
          socket_ = platform::kInvalidSocket;
        }
      }
    }
    Join();
  } catch (...) {
  }
  return true;
}
