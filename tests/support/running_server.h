#pragma once
// A CInstallServer with both channels started on the fixed ports (each test
// program runs in a network namespace of its own), over an in-memory registry
// and a device list given by the test; plus the loopback clients that talk
// to it and a guard that turns a deadlock into a failure instead of a hang.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/socket.h"
#include "service/access_settings.h"
#include "tests/support/fake_registry.h"
#include "tests/support/wire_text.h"

class CInstallServer;

namespace vorn_test {

// Runs work on a thread of its own and waits at most timeoutMs for it. If it
// does not finish, the program ends with a message naming what hung: a
// deadlock must fail the test, not stall it.
void RunWithin(const char* what, std::uint32_t timeoutMs, const std::function<void()>& work);

class CRunningServer {
 public:
  struct Options {
    std::vector<std::pair<std::string, std::string>> devices;  // material -> serial
    platform::ISocketApi* sockets = nullptr;                   // default: the platform's
    bool start = true;
    // Used by the server before its channels start.
    std::optional<AccessSettings> access;
  };

  CRunningServer();
  explicit CRunningServer(Options options);
  // Stops the server with force and deletes it, within a time limit.
  ~CRunningServer();
  CRunningServer(const CRunningServer&) = delete;
  CRunningServer& operator=(const CRunningServer&) = delete;

  CInstallServer& Server() { return *server_; }
  CFakeRegistry& Registry() { return *registry_; }
  bool Started() const { return started_; }
  // Stops and deletes the server now (the destructor then has nothing to do).
  void StopAndDelete();

 private:
  std::unique_ptr<CFakeRegistry> registry_;
  CInstallServer* server_ = nullptr;
  bool started_ = false;
};

// A UDP client socket on loopback.
class CUdpProbe {
 public:
  CUdpProbe();
  ~CUdpProbe();
  CUdpProbe(const CUdpProbe&) = delete;
  CUdpProbe& operator=(const CUdpProbe&) = delete;

  bool Send(const std::string& datagram, std::uint16_t port = kServicePort);
  // The next datagram's bytes, or nothing within timeoutMs.
  std::optional<std::string> Receive(std::uint32_t timeoutMs = 1000);
  // Sends the magic prefix and the phrase, and waits for one reply.
  std::optional<std::string> Ask(const std::string& phrase, std::uint32_t timeoutMs = 1000);

 private:
  platform::SocketHandle socket_;
};

// A TCP connection to loopback; kInvalidSocket when it was refused.
platform::SocketHandle ConnectTcp(std::uint16_t port = kServicePort);
// True when the peer closes the connection (or it fails) within timeoutMs.
bool WaitForPeerClose(platform::SocketHandle s, std::uint32_t timeoutMs = 3000);
void CloseTcp(platform::SocketHandle s);

// Polls condition every 10 ms for at most timeoutMs.
bool WaitUntil(const std::function<bool()>& condition, std::uint32_t timeoutMs = 3000);

}  // namespace vorn_test
