#pragma once
// A blocking IPv4 TCP client socket with a connect time-out and send and
// receive time-outs: the channel of every client session.

#include <cstdint>
#include <string>

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

  platform::ISocketApi& sockets_;
  bool connected_ = false;
  std::string host_ = "127.0.0.1";
  std::uint16_t port_ = 4000;
  platform::SocketHandle handle_ = platform::kInvalidSocket;
  std::uint32_t timeoutMs_ = 2000;
};
