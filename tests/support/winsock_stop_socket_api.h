#pragma once
// The real socket layer with Winsock's answer to a stop: shutdown does not
// end a receive that is blocked on the socket, only closesocket does, and the
// receive then fails with 10004. Every Shutdown and Close of an accepted
// socket is recorded in order, so a test can see how a stop went about it.
// Header-only, over the fault-injecting layer that records accepted sockets.

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/fault_injecting_socket_api.h"

namespace vorn_test {

class CWinsockStopSocketApi : public CFaultInjectingSocketApi {
 public:
  explicit CWinsockStopSocketApi(platform::ISocketApi& inner)
      : CFaultInjectingSocketApi(inner), inner_(inner) {}
  ~CWinsockStopSocketApi() override {
    for (platform::SocketHandle s : unreleased_) inner_.Close(s);
  }

  // "shutdown <handle>" and "close <handle>" of accepted sockets, in order.
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_;
  }

  int Recv(platform::SocketHandle s, void* buffer, int length) override {
    const int n = inner_.Recv(s, buffer, length);
    std::lock_guard<std::mutex> guard(mutex_);
    if (n <= 0 && closed_.count(s) != 0) {
      // The descriptor is released by the thread whose receive the close
      // ended: closing it under that receive is what Winsock may do, but a
      // Linux descriptor must not be (and ThreadSanitizer would say so).
      if (unreleased_.erase(s) != 0) inner_.Close(s);
      error_ = platform::kWsaEintr;
      return platform::kSocketError;
    }
    error_ = 0;
    return n;
  }

  // Kept from the peer's view too: Winsock's shutdown sends the FIN, it only
  // leaves the blocked receive alone. Here the receive must stay blocked, so
  // nothing is done until the close.
  int Shutdown(platform::SocketHandle s) override {
    if (!IsAccepted(s)) return CFaultInjectingSocketApi::Shutdown(s);
    Record("shutdown", s);
    error_ = 0;
    return 0;
  }

  int Close(platform::SocketHandle s) override {
    if (!IsAccepted(s)) return CFaultInjectingSocketApi::Close(s);
    Record("close", s);
    std::lock_guard<std::mutex> guard(mutex_);
    closed_.insert(s);
    unreleased_.insert(s);
    error_ = 0;
    return inner_.Shutdown(s);  // how Linux wakes the receive that the close ends
  }

  int LastError() override { return error_ != 0 ? error_ : CFaultInjectingSocketApi::LastError(); }

 private:
  bool IsAccepted(platform::SocketHandle s) { return AcceptedSockets().count(s) != 0; }
  void Record(const char* what, platform::SocketHandle s) {
    std::lock_guard<std::mutex> guard(mutex_);
    events_.push_back(std::string(what) + " " + std::to_string(s));
  }

  platform::ISocketApi& inner_;
  std::mutex mutex_;
  std::vector<std::string> events_;
  std::set<platform::SocketHandle> closed_;
  std::set<platform::SocketHandle> unreleased_;
  static inline thread_local int error_ = 0;
};

}  // namespace vorn_test
