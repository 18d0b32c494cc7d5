#include "net/data_channel.h"

#include <cstdio>
#include <new>
#include <optional>

#include "net/channel_host.h"
#include "net/connection_session.h"
#include "protocol/wire_limits.h"

namespace {

constexpr std::uint32_t kAcceptBackoffMs = 100;
constexpr std::uint32_t kMaxAcceptBackoffMs = 1600;

std::string Format(const char* format, int value) {
  char text[128];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

CDataChannel::CDataChannel(IChannelHost* server) : CListenerThread(server, "connection") {}

CDataChannel::~CDataChannel() {
  Stop();
  CloseAllSessions();
}

std::size_t CDataChannel::SessionCount() {
  CLock guard(lock_);
  return sessions_.size();
}

void CDataChannel::LogLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) server_->Log("%s", line.c_str());
}

void CDataChannel::Run() {
  if (SetUp()) AcceptLoop();
}

// Binds and listens under the lock, then reports. Listening comes before the
// report: a client told the port right after the start must not be refused.
// The log lines are written after the lock is released: a thread holding the
// server lock may be about to ask this channel something.
bool CDataChannel::SetUp() {
  platform::ISocketApi& sockets = server_->Sockets();
  std::vector<std::string> lines;
  bool ok = false;
  {
    CLock guard(lock_);
    socket_ = sockets.Open(platform::SocketKind::kStream);
    platform::Endpoint local;
    if (socket_ == platform::kInvalidSocket) {
      lines.push_back(Format("Error: Cannot create socket. Failed with %d", sockets.LastError()));
    } else if (sockets.Bind(socket_, platform::Endpoint{server_->ListenAddress(), port_}) != 0) {
      lines.push_back(Format("Error: bind of data channel failed with %d", sockets.LastError()));
      lines.push_back(Format("Error: Cannot bind data channel to port %d", port_));
    } else if (sockets.GetSockName(socket_, local) != 0) {
      lines.push_back(Format("Error: getsockname failed with %d", sockets.LastError()));
    } else if (sockets.Listen(socket_, kMaxBacklog) != 0) {
      lines.push_back(Format("Info: listen() returned %d", sockets.LastError()));
      lines.push_back("Terminating data channel server thread.");
    } else if (!stopping_) {
      boundPort_ = local.port;
      ok = true;
    }
    if (!ok && socket_ != platform::kInvalidSocket) {
      sockets.Close(socket_);
      socket_ = platform::kInvalidSocket;
    }
    if (ok) SignalStarted(true);
  }
  LogLines(lines);
  // A failure is reported after its lines, so that they come before the
  // starter's own conclusion in the log.
  if (!ok) SignalStarted(false);
  return ok;
}

void CDataChannel::AcceptLoop() {
  platform::ISocketApi& sockets = server_->Sockets();
  std::uint32_t backoffMs = kAcceptBackoffMs;
  for (;;) {
    const platform::SocketHandle listening = ActiveSocket();
    if (listening == platform::kInvalidSocket) break;
    const platform::SocketHandle client = sockets.Accept(listening);
    if (client == platform::kInvalidSocket) {
      const int error = sockets.LastError();
      if (StopRequested()) {
        server_->Log("Error: accept() failed with error %d", error);
        break;
      }
      // Out of descriptors or buffers, or a client that gave up before it
      // was accepted: the listener itself is fine. Wait a little so that a
      // lasting shortage does not spin, then go on; only Stop ends the loop.
      server_->Log("Error: accept() failed with error %d", error);
      stopEvent_.Wait(backoffMs);
      if (backoffMs < kMaxAcceptBackoffMs) backoffMs *= 2;
      continue;
    }
    backoffMs = kAcceptBackoffMs;
    if (!Admits(client)) {
      // Closed with whatever it sent unread (the peer sees a reset), and no
      // session thread started for it.
      sockets.Close(client);
      continue;
    }
    std::vector<std::string> lines;
    CConnectionSession* failed = nullptr;
    bool admitted;
    {
      CLock guard(lock_);
      admitted = Admit(client, lines, failed);
    }
    LogLines(lines);
    // A session whose thread did not start is deleted without the channel
    // lock: its destructor waits for the thread, which may be logging.
    delete failed;
    if (!admitted) {
      sockets.Close(client);
      break;
    }
  }
  server_->Log("Terminating data channel server thread.");
  CloseSocket();
}

bool CDataChannel::Admits(platform::SocketHandle client) {
  if (!server_->FiltersClients()) return true;
  platform::Endpoint peer;
  if (server_->Sockets().GetPeerName(client, peer) != 0) return false;
  return AdmitsAddress(peer.address);
}

bool CDataChannel::Admit(platform::SocketHandle client, std::vector<std::string>& lines,
                         CConnectionSession*& failed) {
  platform::ISocketApi& sockets = server_->Sockets();
  CConnectionSession* session = nullptr;
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (!(*it)->IsRunning()) {
      session = *it;
      sessions_.erase(it);
      break;
    }
  }
  if (session == nullptr) {
    session = server_->CreateSession();
    if (session == nullptr) {
      lines.push_back("Out of memory!");
      return false;
    }
  }
  if (sockets.SetKeepAlive(client, 1, kKeepAliveTimeMs, kKeepAliveIntervalMs) != 0) {
    lines.push_back(
        Format("Warning: Cannot set keep alive options. Failed with %d", sockets.LastError()));
  }
  if (sockets.SetNoDelay(client, true) != 0) lines.push_back("Warning: Cannot set TCP_NODELAY");
  session->SetSocket(client);
  if (session->Start()) {
    sessions_.push_back(session);
  } else {
    failed = session;
  }
  return true;
}

bool CDataChannel::HasRunningSessions() {
  CLock guard(lock_);
  for (CConnectionSession* session : sessions_) {
    if (session->IsRunning()) return true;
  }
  return false;
}

// The sessions are taken out of the list under the lock and stopped without
// it: a session's last steps log and release its device through the server,
// and nobody may wait for them while holding a lock they could need.
//
// They are stopped together, not one after another: every socket is shut
// down first, then one bounded wait covers them all, then the sockets of the
// sessions still in a call are closed (Winsock ends a blocked receive only
// that way) and the threads joined. A stop with hundreds of sessions so
// takes one grace period, not one per session.
bool CDataChannel::CloseAllSessions(Deadline graceEnd) {
  std::list<CConnectionSession*> closing;
  {
    CLock guard(lock_);
    if (sessions_.empty()) return false;
    closing.swap(sessions_);
  }
  try {
    for (CConnectionSession* session : closing) session->BeginStop();
    for (CConnectionSession* session : closing) session->WaitForEndUntil(graceEnd);
    for (CConnectionSession* session : closing) session->CloseIfStillRunning();
  } catch (...) {
  }
  for (CConnectionSession* session : closing) {
    session->Join();
    delete session;
  }
  return true;
}
