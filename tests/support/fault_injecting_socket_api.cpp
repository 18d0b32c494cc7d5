#include "tests/support/fault_injecting_socket_api.h"

namespace vorn_test {
namespace {

// The injected error of this thread's last call; 0 when the call was passed
// through, so LastError then asks the real layer.
thread_local int injectedError = 0;

}  // namespace

void CFaultInjectingSocketApi::FailAccepts(std::map<int, int> numberToError) {
  std::lock_guard<std::mutex> guard(mutex_);
  failAccepts_ = std::move(numberToError);
}

int CFaultInjectingSocketApi::AcceptCalls() {
  std::lock_guard<std::mutex> guard(mutex_);
  return acceptCalls_;
}

std::map<platform::SocketHandle, KeepAliveSetting> CFaultInjectingSocketApi::KeepAlives() {
  std::lock_guard<std::mutex> guard(mutex_);
  return keepAlives_;
}

std::set<platform::SocketHandle> CFaultInjectingSocketApi::NoDelaySockets() {
  std::lock_guard<std::mutex> guard(mutex_);
  return noDelay_;
}

std::set<platform::SocketHandle> CFaultInjectingSocketApi::AcceptedSockets() {
  std::lock_guard<std::mutex> guard(mutex_);
  return accepted_;
}

int CFaultInjectingSocketApi::Pass(int result) {
  injectedError = 0;
  return result;
}

platform::SocketHandle CFaultInjectingSocketApi::Open(platform::SocketKind kind) {
  injectedError = 0;
  return inner_.Open(kind);
}

int CFaultInjectingSocketApi::Bind(platform::SocketHandle s, const platform::Endpoint& local) {
  return Pass(inner_.Bind(s, local));
}

int CFaultInjectingSocketApi::GetSockName(platform::SocketHandle s, platform::Endpoint& local) {
  return Pass(inner_.GetSockName(s, local));
}

int CFaultInjectingSocketApi::Listen(platform::SocketHandle s, int backlog) {
  return Pass(inner_.Listen(s, backlog));
}

platform::SocketHandle CFaultInjectingSocketApi::Accept(platform::SocketHandle s) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++acceptCalls_;
    auto failure = failAccepts_.find(acceptCalls_);
    if (failure != failAccepts_.end()) {
      injectedError = failure->second;
      return platform::kInvalidSocket;
    }
  }
  injectedError = 0;
  platform::SocketHandle client = inner_.Accept(s);
  if (client != platform::kInvalidSocket) {
    std::lock_guard<std::mutex> guard(mutex_);
    accepted_.insert(client);
  }
  return client;
}

int CFaultInjectingSocketApi::Connect(platform::SocketHandle s, const platform::Endpoint& remote) {
  return Pass(inner_.Connect(s, remote));
}

int CFaultInjectingSocketApi::Recv(platform::SocketHandle s, void* buffer, int length) {
  return Pass(inner_.Recv(s, buffer, length));
}

int CFaultInjectingSocketApi::Send(platform::SocketHandle s, const void* data, int length) {
  return Pass(inner_.Send(s, data, length));
}

int CFaultInjectingSocketApi::RecvFrom(platform::SocketHandle s, void* buffer, int length,
                                       platform::Endpoint& from) {
  return Pass(inner_.RecvFrom(s, buffer, length, from));
}

int CFaultInjectingSocketApi::SendTo(platform::SocketHandle s, const void* data, int length,
                                     const platform::Endpoint& to) {
  return Pass(inner_.SendTo(s, data, length, to));
}

int CFaultInjectingSocketApi::Shutdown(platform::SocketHandle s) {
  return Pass(inner_.Shutdown(s));
}

int CFaultInjectingSocketApi::Close(platform::SocketHandle s) { return Pass(inner_.Close(s)); }

int CFaultInjectingSocketApi::BytesReadable(platform::SocketHandle s, std::uint32_t& count) {
  return Pass(inner_.BytesReadable(s, count));
}

int CFaultInjectingSocketApi::SetKeepAlive(platform::SocketHandle s, std::uint32_t on,
                                           std::uint32_t timeMs, std::uint32_t intervalMs) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    keepAlives_[s] = KeepAliveSetting{on, timeMs, intervalMs};
  }
  return Pass(inner_.SetKeepAlive(s, on, timeMs, intervalMs));
}

int CFaultInjectingSocketApi::SetNoDelay(platform::SocketHandle s, bool on) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (on) noDelay_.insert(s);
  }
  return Pass(inner_.SetNoDelay(s, on));
}

int CFaultInjectingSocketApi::SetBroadcast(platform::SocketHandle s, bool on) {
  return Pass(inner_.SetBroadcast(s, on));
}

int CFaultInjectingSocketApi::SetReuseAddress(platform::SocketHandle s, bool on) {
  return Pass(inner_.SetReuseAddress(s, on));
}

int CFaultInjectingSocketApi::SetReceiveTimeout(platform::SocketHandle s, std::uint32_t ms) {
  return Pass(inner_.SetReceiveTimeout(s, ms));
}

int CFaultInjectingSocketApi::LastError() {
  return injectedError != 0 ? injectedError : inner_.LastError();
}

}  // namespace vorn_test
