#pragma once
// The tool's side of a data-channel connection on loopback, for tests and
// measurements: raw bytes out, raw bytes or LF-ended lines back, each read
// bounded by a time limit.

#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace vorn_test {

class CWireClient {
 public:
  // Connects at once; Connected() tells whether it worked.
  explicit CWireClient(std::uint16_t port = 13217, std::uint32_t timeoutMs = 5000);
  ~CWireClient();
  CWireClient(const CWireClient&) = delete;
  CWireClient& operator=(const CWireClient&) = delete;

  bool Connected() const { return socket_ != platform::kInvalidSocket; }
  bool Send(const std::string& bytes);
  // Up to n bytes: fewer when the peer closed or the time limit passed.
  std::string Read(std::size_t n);
  // One line without its LF; empty with ok false when none came whole.
  std::string ReadLine(bool* ok = nullptr);
  // True when the peer closes the connection (or it fails) within the time
  // limit; bytes that arrive before are dropped.
  bool WaitClosed();
  platform::SocketHandle Handle() const { return socket_; }

 private:
  platform::SocketHandle socket_;
  std::string pending_;
};

}  // namespace vorn_test
