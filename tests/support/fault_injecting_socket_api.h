#pragma once
// The real socket layer with faults injected on purpose and the tuning of
// accepted sockets recorded: the Nth Accept can fail with a chosen Winsock
// error, and every SetKeepAlive / SetNoDelay call is remembered per handle.

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/socket.h"

namespace vorn_test {

struct KeepAliveSetting {
  std::uint32_t on = 0;
  std::uint32_t timeMs = 0;
  std::uint32_t intervalMs = 0;
};

class CFaultInjectingSocketApi : public platform::ISocketApi {
 public:
  explicit CFaultInjectingSocketApi(platform::ISocketApi& inner) : inner_(inner) {}

  // The Accept calls with these 1-based numbers fail with the error given
  // for each (the pending connection stays queued for the next Accept).
  void FailAccepts(std::map<int, int> numberToError);
  int AcceptCalls();
  std::map<platform::SocketHandle, KeepAliveSetting> KeepAlives();
  std::set<platform::SocketHandle> NoDelaySockets();
  std::set<platform::SocketHandle> AcceptedSockets();

  int Startup() override { return Pass(inner_.Startup()); }
  platform::SocketHandle Open(platform::SocketKind kind) override;
  int Bind(platform::SocketHandle s, const platform::Endpoint& local) override;
  int GetSockName(platform::SocketHandle s, platform::Endpoint& local) override;
  int Listen(platform::SocketHandle s, int backlog) override;
  platform::SocketHandle Accept(platform::SocketHandle s) override;
  int Connect(platform::SocketHandle s, const platform::Endpoint& remote) override;
  int Recv(platform::SocketHandle s, void* buffer, int length) override;
  int Send(platform::SocketHandle s, const void* data, int length) override;
  int RecvFrom(platform::SocketHandle s, void* buffer, int length,
               platform::Endpoint& from) override;
  int SendTo(platform::SocketHandle s, const void* data, int length,
             const platform::Endpoint& to) override;
  int Shutdown(platform::SocketHandle s) override;
  int Close(platform::SocketHandle s) override;
  int BytesReadable(platform::SocketHandle s, std::uint32_t& count) override;
  int SetKeepAlive(platform::SocketHandle s, std::uint32_t on, std::uint32_t timeMs,
                   std::uint32_t intervalMs) override;
  int SetNoDelay(platform::SocketHandle s, bool on) override;
  int SetBroadcast(platform::SocketHandle s, bool on) override;
  int SetReuseAddress(platform::SocketHandle s, bool on) override;
  int SetReceiveTimeout(platform::SocketHandle s, std::uint32_t ms) override;
  int LastError() override;

  // The client side and the relay, passed through unchanged.
  int SetSendTimeout(platform::SocketHandle s, std::uint32_t ms) override {
    return Pass(inner_.SetSendTimeout(s, ms));
  }
  int ConnectWithin(platform::SocketHandle s, const platform::Endpoint& remote,
                    std::uint32_t timeoutMs) override {
    return Pass(inner_.ConnectWithin(s, remote, timeoutMs));
  }
  int ShutdownSend(platform::SocketHandle s) override { return Pass(inner_.ShutdownSend(s)); }
  int GetPeerName(platform::SocketHandle s, platform::Endpoint& remote) override {
    return Pass(inner_.GetPeerName(s, remote));
  }
  int ResolveHost(const std::string& host, std::uint32_t& address) override {
    return Pass(inner_.ResolveHost(host, address));
  }
  int Wait(WaitEntry* entries, int count) override { return Pass(inner_.Wait(entries, count)); }
  int RecvUrgent(platform::SocketHandle s, void* buffer, int length) override {
    return Pass(inner_.RecvUrgent(s, buffer, length));
  }
  int SendUrgent(platform::SocketHandle s, const void* data, int length) override {
    return Pass(inner_.SendUrgent(s, data, length));
  }

 private:
  int Pass(int result);

  platform::ISocketApi& inner_;
  std::mutex mutex_;
  std::map<int, int> failAccepts_;
  int acceptCalls_ = 0;
  std::map<platform::SocketHandle, KeepAliveSetting> keepAlives_;
  std::set<platform::SocketHandle> noDelay_;
  std::set<platform::SocketHandle> accepted_;
};

}  // namespace vorn_test
