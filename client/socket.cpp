#include "client/socket.h"

#include <cstdio>

#include "client/error.h"

namespace {

constexpr int kWsaEalready = 10037;

}  // namespace

CSocket::CSocket(platform::ISocketApi& sockets) : sockets_(sockets) {}

CSocket::~CSocket() {
  try {
    Close();
  } catch (const Fernway::CError&) {
  }
}

void CSocket::Startup(platform::ISocketApi& sockets) {
  const int result = sockets.Startup();
  if (result != 0) throw Fernway::CSocketError(result);
}

void CSocket::Connect(const std::string& host, std::uint16_t port) {
  if (connected_) throw Fernway::CSocketError(kWsaEalready);
  host_ = host;
  port_ = port;
  Open();
}

void CSocket::Connect(const platform::Endpoint& address) {
  Connect(platform::FormatAddress(address.address), address.port);
}

platform::SocketHandle CSocket::Detach() {
  const platform::SocketHandle handle = handle_;
  handle_ = platform::kInvalidSocket;
  connected_ = false;
  return handle;
}

platform::Endpoint CSocket::GetPeerAddress() const {
  platform::Endpoint peer;
  if (sockets_.GetPeerName(handle_, peer) != 0) ThrowLastError();
  return peer;
}

platform::Endpoint CSocket::GetLocalAddress() const {
  platform::Endpoint local;
  if (sockets_.GetSockName(handle_, local) != 0) ThrowLastError();
  return local;
}

void CSocket::Open() {
  if (connected_) throw Fernway::CSocketError(kWsaEalready);
  platform::Endpoint remote;
  remote.port = port_;
  if (sockets_.ResolveHost(host_, remote.address) != 0) ThrowLastError();
  if (handle_ != platform::kInvalidSocket) Close();
  handle_ = sockets_.Open(platform::SocketKind::kStream);
  if (handle_ == platform::kInvalidSocket) ThrowLastError();
  Observe(handle_);
  if (sockets_.SetNoDelay(handle_, true) != 0) ThrowLastError();
  SetTimeout(timeoutMs_);
  connected_ = sockets_.ConnectWithin(handle_, remote, timeoutMs_) == 0;
  if (!connected_) {
    const int error = sockets_.LastError();
    Close();
    throw Fernway::CSocketError(error);
  }
}

void CSocket::Close() {
  // What the last connection sent is no answer on the next one.
  DiscardReceived();
  const platform::SocketHandle handle = handle_;
  handle_ = platform::kInvalidSocket;
  int shutdownError = 0;
  if (handle != platform::kInvalidSocket) Observe(platform::kInvalidSocket);
  if (connected_) {
    connected_ = false;
    if (sockets_.ShutdownSend(handle) != 0) shutdownError = sockets_.LastError();
  }
  if (handle != platform::kInvalidSocket && sockets_.Close(handle) != 0) ThrowLastError();
  if (shutdownError != 0) throw Fernway::CSocketError(shutdownError);
}

const char* CSocket::GetName() const {
  static const std::string name = "MKSOCKET";
  return name.c_str();
}

std::string CSocket::GetAddress() const {
  char port[8];
  std::snprintf(port, sizeof port, ":%u", static_cast<unsigned>(port_));
  return host_ + port;
}

void CSocket::SetTimeout(std::uint32_t ms) {
  if (handle_ != platform::kInvalidSocket) {
    if (sockets_.SetReceiveTimeout(handle_, ms) != 0) ThrowLastError();
    if (sockets_.SetSendTimeout(handle_, ms) != 0) ThrowLastError();
  }
  timeoutMs_ = ms;
}

int CSocket::Send(const void* bytes, int length) {
  if (length < 0) throw Fernway::CSocketError(platform::kWsaEmsgsize);
  if (sockets_.Send(handle_, bytes, length) != length) ThrowLastError();
  return length;
}

// A peer that closes the connection ends the conversation the same way as
// one that stops answering.
int CSocket::Read(void* buffer, int capacity) {
  const int n = sockets_.Recv(handle_, buffer, capacity);
  if (n == platform::kSocketError) ThrowLastError();
  if (n == 0) throw Fernway::CSocketError(platform::kWsaEtimedout);
  return n;
}

void CSocket::Clear() {
  SendText("*CLS\n");
  DiscardReceived();
  if (handle_ == platform::kInvalidSocket) return;
  char scratch[256];
  std::uint32_t pending = 0;
  while (sockets_.BytesReadable(handle_, pending) == 0 && pending != 0) {
    const int n = sockets_.Recv(
        handle_, scratch, static_cast<int>(pending < sizeof scratch ? pending : sizeof scratch));
    if (n <= 0) break;
  }
}

void CSocket::ThrowLastError() const { throw Fernway::CSocketError(sockets_.LastError()); }
