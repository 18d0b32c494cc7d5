#include "net/listener_thread.h"

#include <optional>
#include <string>

#include "net/channel_host.h"
#include "protocol/wire_limits.h"

CListenerThread::CListenerThread(IChannelHost* server, const char* what)
    : server_(server), port_(kDefaultPort), refusals_(what) {}

std::uint16_t CListenerThread::Port() {
  CLock guard(lock_);
  return port_;
}

void CListenerThread::SetPort(std::uint16_t port) {
  CLock guard(lock_);
  port_ = port;
}

std::uint16_t CListenerThread::BoundPort() {
  CLock guard(lock_);
  return boundPort_;
}

platform::SocketHandle CListenerThread::ActiveSocket() {
  CLock guard(lock_);
  return stopping_ ? platform::kInvalidSocket : socket_.load();
}

bool CListenerThread::StopRequested() {
  CLock guard(lock_);
  return stopping_ || socket_ == platform::kInvalidSocket;
}

void CListenerThread::CloseSocket() {
  CLock guard(lock_);
  if (socket_ != platform::kInvalidSocket) {
    server_->Sockets().Close(socket_);
    socket_ = platform::kInvalidSocket;
  }
}

bool CListenerThread::Stop() {
  if (!IsCreated()) return true;
  RequestStop();
  FinishStop(GraceDeadline());
  return true;
}

void CListenerThread::RequestStop() {
  {
    CLock guard(lock_);
    stopping_ = true;
  }
  stopEvent_.Set();
}

void CListenerThread::FinishStop(Deadline graceEnd) {
  try {
    if (IsCreated()) {
      ShutdownSocketAndJoin(lock_, server_->Sockets(), socket_, WakeDeadline(graceEnd));
    }
    CLock guard(lock_);
    stopping_ = false;
    stopEvent_.Reset();
  } catch (...) {
  }
}

bool CListenerThread::AdmitsAddress(std::uint32_t address) {
  if (server_->IsClientAllowed(address)) return true;
  if (std::optional<std::string> line = refusals_.Refuse(address, CRefusalLog::Clock::now())) {
    server_->Log("%s", line->c_str());
  }
  return false;
}
