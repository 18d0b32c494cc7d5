#include "tests/support/running_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "platform/thread.h"
#include "service/install_server.h"
#include "tests/support/fake_device_registry.h"

namespace vorn_test {

void RunWithin(const char* what, std::uint32_t timeoutMs, const std::function<void()>& work) {
  std::packaged_task<void()> task(work);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
    std::fprintf(stderr, "DEADLOCK: %s did not finish within %u ms\n", what,
                 static_cast<unsigned>(timeoutMs));
    std::fflush(stderr);
    std::_Exit(3);
  }
  runner.join();
  done.get();
}

CRunningServer::CRunningServer() : CRunningServer(Options{}) {}

CRunningServer::CRunningServer(Options options) : registry_(std::make_unique<CFakeRegistry>()) {
  platform::ISocketApi& sockets =
      options.sockets != nullptr ? *options.sockets : platform::Sockets();
  server_ = new CInstallServer(new CFakeDeviceRegistry(options.devices), *registry_, sockets);
  if (options.access) server_->UseAccessSettings(*options.access);
  if (options.start) started_ = server_->StartControlChannel() && server_->StartDataChannel();
}

CRunningServer::~CRunningServer() { StopAndDelete(); }

void CRunningServer::StopAndDelete() {
  if (server_ == nullptr) return;
  CInstallServer* server = server_;
  server_ = nullptr;
  RunWithin("stopping and deleting the server", 10000, [server] {
    server->Stop(true);
    delete server;
  });
}

CUdpProbe::CUdpProbe() : socket_(platform::Sockets().Open(platform::SocketKind::kDatagram)) {
  platform::Sockets().Bind(socket_, platform::Endpoint{platform::kLoopbackAddress, 0});
}

CUdpProbe::~CUdpProbe() { platform::Sockets().Close(socket_); }

bool CUdpProbe::Send(const std::string& datagram, std::uint16_t port) {
  return platform::Sockets().SendTo(socket_, datagram.data(), static_cast<int>(datagram.size()),
                                    platform::Endpoint{platform::kLoopbackAddress, port}) ==
         static_cast<int>(datagram.size());
}

std::optional<std::string> CUdpProbe::Receive(std::uint32_t timeoutMs) {
  platform::ISocketApi& sockets = platform::Sockets();
  sockets.SetReceiveTimeout(socket_, timeoutMs);
  char buffer[2048];
  platform::Endpoint from;
  const int n = sockets.RecvFrom(socket_, buffer, sizeof buffer, from);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::optional<std::string> CUdpProbe::Ask(const std::string& phrase, std::uint32_t timeoutMs) {
  if (!Send(kMagic + phrase)) return std::nullopt;
  return Receive(timeoutMs);
}

platform::SocketHandle ConnectTcp(std::uint16_t port) {
  platform::ISocketApi& sockets = platform::Sockets();
  platform::SocketHandle s = sockets.Open(platform::SocketKind::kStream);
  if (s == platform::kInvalidSocket) return s;
  if (sockets.Connect(s, platform::Endpoint{platform::kLoopbackAddress, port}) != 0) {
    sockets.Close(s);
    return platform::kInvalidSocket;
  }
  return s;
}

bool WaitForPeerClose(platform::SocketHandle s, std::uint32_t timeoutMs) {
  platform::ISocketApi& sockets = platform::Sockets();
  sockets.SetReceiveTimeout(s, timeoutMs);
  char buffer[256];
  for (;;) {
    const int n = sockets.Recv(s, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) return sockets.LastError() != platform::kWsaEtimedout;
  }
}

void CloseTcp(platform::SocketHandle s) {
  if (s != platform::kInvalidSocket) platform::Sockets().Close(s);
}

bool WaitUntil(const std::function<bool()>& condition, std::uint32_t timeoutMs) {
  for (std::uint32_t waited = 0;; waited += 10) {
    if (condition()) return true;
    if (waited >= timeoutMs) return false;
    platform::SleepMs(10);
  }
}

}  // namespace vorn_test
