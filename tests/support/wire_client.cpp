#include "tests/support/wire_client.h"

#include "tests/support/running_server.h"

namespace vorn_test {

CWireClient::CWireClient(std::uint16_t port, std::uint32_t timeoutMs) : socket_(ConnectTcp(port)) {
  if (Connected()) {
    platform::Sockets().SetReceiveTimeout(socket_, timeoutMs);
    platform::Sockets().SetNoDelay(socket_, true);
  }
}

CWireClient::~CWireClient() { CloseTcp(socket_); }

bool CWireClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = platform::Sockets().Send(socket_, bytes.data() + sent,
                                           static_cast<int>(bytes.size() - sent));
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string CWireClient::Read(std::size_t n) {
  char buffer[4096];
  while (pending_.size() < n) {
    const int got = platform::Sockets().Recv(socket_, buffer, sizeof buffer);
    if (got <= 0) break;
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
  const std::size_t take = pending_.size() < n ? pending_.size() : n;
  std::string out = pending_.substr(0, take);
  pending_.erase(0, take);
  return out;
}

std::string CWireClient::ReadLine(bool* ok) {
  char buffer[4096];
  std::size_t lf;
  while ((lf = pending_.find('\n')) == std::string::npos) {
    const int got = platform::Sockets().Recv(socket_, buffer, sizeof buffer);
    if (got <= 0) {
      if (ok != nullptr) *ok = false;
      return {};
    }
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
  std::string line = pending_.substr(0, lf);
  pending_.erase(0, lf + 1);
  if (ok != nullptr) *ok = true;
  return line;
}

bool CWireClient::WaitClosed() { return WaitForPeerClose(socket_); }

}  // namespace vorn_test
