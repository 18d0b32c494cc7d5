#pragma once
// A stand-in installation server on a loopback TCP port: it takes one
// connection, cuts what arrives into program messages (definite-length
// blocks included, so a block may hold LF bytes), records every message
// exactly as received and sends whatever the test's responder returns.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace vorn_test {

class CScriptedServer {
 public:
  // Gets each message without its LF; returns the bytes to answer (LF
  // included) or nothing to stay silent.
  using Responder = std::function<std::optional<std::string>(const std::string& message)>;

  // Listens on address (another 127.x.y.z stands for another computer).
  explicit CScriptedServer(Responder responder, std::uint32_t address = platform::kLoopbackAddress);
  ~CScriptedServer();
  CScriptedServer(const CScriptedServer&) = delete;
  CScriptedServer& operator=(const CScriptedServer&) = delete;

  std::uint16_t Port() const { return port_; }
  std::vector<std::string> Messages();
  // Every byte received, in order.
  std::string Received();
  // Closes the connection from the server's side at once.
  void Disconnect();
  // Closes the connection right after the answer to this message has gone out.
  void CloseAfterAnswering(const std::string& message) {
    std::lock_guard<std::mutex> guard(mutex_);
    closeAfter_ = message;
  }

  // Answers of a server of protocol version 210 to the identity queries,
  // "0,..." to SYST:ERR?, and silence to everything else.
  static std::optional<std::string> IdentityAnswer(const std::string& message);

 private:
  void Serve();
  void Receive();
  // Cuts complete messages off the front of pending_.
  void TakeMessages(platform::SocketHandle connection);

  Responder responder_;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  platform::SocketHandle connection_ = platform::kInvalidSocket;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::string pending_;
  std::string closeAfter_;
  std::string received_;
  std::vector<std::string> messages_;
  std::thread thread_;
  // Set when the thread has left its last socket call.
  std::atomic<bool> served_{false};
};

}  // namespace vorn_test
