#pragma once
// A blocking IPv4 TCP client socket with a connect time-out and send and
// receive time-outs: the channel of every client session.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "client/channel.h"
#include "platform/socket.h"

class CSocket : public virtual CChannel {
 public:
  explicit CSocket(platform::ISocketApi& sockets = platform::Sockets());
  // Closes the socket; a failure of that close is swallowed.
  ~CSocket() override;
  CSocket(const CSocket&) = delete;
  CSocket& operator=(const CSocket&) = delete;

  // WSAStartup for callers that need it; the service's own sockets do it.
  static void Startup(platform::ISocketApi& sockets = platform::Sockets());

  void Connect(const std::string& host, std::uint16_t port);
  void Connect(const platform::Endpoint& address);
  // Hands the open handle to the caller, who then owns it.
  platform::SocketHandle Detach();
  // Told each handle as soon as it is open, before the connection is made,
  // and kInvalidSocket just before it is closed: another thread may then
  // shut down a connection that is still being made or waiting for an
  // answer, and never one whose handle was closed and reused.
  void SetHandleObserver(std::function<void(platform::SocketHandle)> observer) {
    observer_ = std::move(observer);
  }
  platform::Endpoint GetPeerAddress() const;
  platform::Endpoint GetLocalAddress() const;

  void Open() override;
  bool IsOpen() const override { return connected_; }
  void Close() override;
  const char* GetName() const override;
  std::string GetAddress() const override;
  std::uint32_t GetTimeout() const override { return timeoutMs_; }
  void SetTimeout(std::uint32_t ms) override;
  int Send(const void* bytes, int length) override;
  void Flush() override {}
  int Read(void* buffer, int capacity) override;
  void Clear() override;
  void SetAttribute(std::uint32_t, std::uint32_t) override {}
  std::uint32_t GetAttribute(std::uint32_t) override { return 0; }
  std::string GetResource() const override { return std::string(); }

 private:
  [[noreturn]] void ThrowLastError() const;

  void Observe(platform::SocketHandle handle) {
    if (observer_) observer_(handle);
  }

  platform::ISocketApi& sockets_;
  std::function<void(platform::SocketHandle)> observer_;
  bool connected_ = false;
  std::string host_ = "127.0.0.1";
  std::uint16_t port_ = 4000;
  platform::SocketHandle handle_ = platform::kInvalidSocket;
  std::uint32_t timeoutMs_ = 2000;
};
