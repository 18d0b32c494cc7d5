#pragma once
// A control channel stand-in on one address and port: records every
// datagram it receives and sends back what the test's reply function makes
// of it (nothing for an empty reply). Served on a thread of its own until
// the object goes.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace vorn_test {

class CUdpResponder {
 public:
  // The reply's bytes exactly as sent, terminating NUL included when wanted.
  using ReplyFunction = std::function<std::string(const std::string& datagram)>;

  CUdpResponder(std::uint32_t address, std::uint16_t port, ReplyFunction reply)
      : reply_(std::move(reply)) {
    platform::ISocketApi& sockets = platform::Sockets();
    socket_ = sockets.Open(platform::SocketKind::kDatagram);
    bound_ = sockets.Bind(socket_, platform::Endpoint{address, port}) == 0;
    sockets.SetReceiveTimeout(socket_, 50);
    thread_ = std::thread([this] { Serve(); });
  }
  ~CUdpResponder() {
    stop_ = true;
    thread_.join();
    platform::Sockets().Close(socket_);
  }
  CUdpResponder(const CUdpResponder&) = delete;
  CUdpResponder& operator=(const CUdpResponder&) = delete;

  bool Bound() const { return bound_; }
  std::vector<std::string> Received() {
    std::lock_guard<std::mutex> guard(mutex_);
    return received_;
  }

 private:
  void Serve() {
    platform::ISocketApi& sockets = platform::Sockets();
    char buffer[2048];
    while (!stop_) {
      platform::Endpoint from;
      const int n = sockets.RecvFrom(socket_, buffer, sizeof buffer, from);
      if (n <= 0) continue;
      const std::string datagram(buffer, static_cast<std::size_t>(n));
      {
        std::lock_guard<std::mutex> guard(mutex_);
        received_.push_back(datagram);
      }
      const std::string reply = reply_(datagram);
      if (!reply.empty()) {
        sockets.SendTo(socket_, reply.data(), static_cast<int>(reply.size()), from);
      }
    }
  }

  ReplyFunction reply_;
  platform::SocketHandle socket_;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> received_;
  std::thread thread_;
};

}  // namespace vorn_test
