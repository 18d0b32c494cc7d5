#pragma once
// A socket layer that plays back a script: the chunks a peer "sends", one per
// recv (or less, when recv asks for less), then the peer closing. FIONREAD
// reports only what is left of the current chunk, so a reader sees data
// arrive in the same pieces as scripted. Header-only so that the fuzz targets
// and benchmarks can use it without the test library.

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace vorn_test {

class CScriptedSocketApi : public platform::ISocketApi {
 public:
  static constexpr platform::SocketHandle kHandle = 0x1F4;

  // Splits data into chunks of the given sizes (repeating the last size); a
  // size of 0 counts as 1.
  void Feed(const std::string& data, const std::vector<std::size_t>& sizes = {}) {
    std::size_t at = 0;
    std::size_t index = 0;
    while (at < data.size()) {
      std::size_t size = data.size() - at;
      if (!sizes.empty()) {
        size = sizes[index < sizes.size() ? index : sizes.size() - 1];
        if (size == 0) size = 1;
        ++index;
      }
      chunks_.push_back(data.substr(at, size));
      at += chunks_.back().size();
    }
  }
  void FeedChunk(const std::string& chunk) { chunks_.push_back(chunk); }
  // Forgets the script, the sent bytes and the injected faults.
  void Reset() { *this = CScriptedSocketApi(); }
  // The recv with this 1-based number fails with the given Winsock error.
  void FailRecv(int number, int error = platform::kWsaEconnreset) {
    failRecvAt_ = number;
    failError_ = error;
  }
  void FailBytesReadable(bool fail) { failFionread_ = fail; }
  // The send with this 1-based number fails with the given Winsock error.
  void FailSend(int number, int error = platform::kWsaEconnreset) {
    failSendAt_ = number;
    failSendError_ = error;
  }

  const std::string& Sent() const { return sent_; }
  void ClearSent() { sent_.clear(); }
  int RecvCalls() const { return recvCalls_; }
  int SendCalls() const { return sendCalls_; }
  bool Closed() const { return closed_; }
  bool ShutDown() const { return shutDown_; }
  std::size_t PendingBytes() const {
    std::size_t total = 0;
    for (const auto& c : chunks_) total += c.size();
    return total;
  }

  int Startup() override { return 0; }
  platform::SocketHandle Open(platform::SocketKind) override { return kHandle; }
  int Bind(platform::SocketHandle, const platform::Endpoint&) override { return 0; }
  int GetSockName(platform::SocketHandle, platform::Endpoint&) override { return 0; }
  int Listen(platform::SocketHandle, int) override { return 0; }
  platform::SocketHandle Accept(platform::SocketHandle) override {
    return platform::kInvalidSocket;
  }
  int Connect(platform::SocketHandle, const platform::Endpoint&) override { return 0; }

  int Recv(platform::SocketHandle, void* buffer, int length) override {
    ++recvCalls_;
    if (recvCalls_ == failRecvAt_) return Fail(failError_);
    if (closed_ || shutDown_) return Fail(platform::kWsaEnotsock);
    if (chunks_.empty() || length <= 0) return 0;
    std::string& chunk = chunks_.front();
    const std::size_t n = chunk.size() < static_cast<std::size_t>(length) ? chunk.size() : length;
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) chunks_.pop_front();
    return static_cast<int>(n);
  }
  int Send(platform::SocketHandle, const void* data, int length) override {
    ++sendCalls_;
    if (sendCalls_ == failSendAt_) return Fail(failSendError_);
    if (closed_) return Fail(platform::kWsaEnotsock);
    sent_.append(static_cast<const char*>(data), length);
    return length;
  }
  int RecvFrom(platform::SocketHandle, void*, int, platform::Endpoint&) override {
    return Fail(platform::kWsaEopnotsupp);
  }
  int SendTo(platform::SocketHandle, const void*, int, const platform::Endpoint&) override {
    return Fail(platform::kWsaEopnotsupp);
  }
  int Shutdown(platform::SocketHandle) override {
    shutDown_ = true;
    return 0;
  }
  int Close(platform::SocketHandle) override {
    if (closed_) return Fail(platform::kWsaEnotsock);
    closed_ = true;
    return 0;
  }
  int BytesReadable(platform::SocketHandle, std::uint32_t& count) override {
    if (failFionread_) return Fail(platform::kWsaEnotsock);
    count = chunks_.empty() ? 0 : static_cast<std::uint32_t>(chunks_.front().size());
    return 0;
  }
  int SetKeepAlive(platform::SocketHandle, std::uint32_t, std::uint32_t, std::uint32_t) override {
    return 0;
  }
  int SetNoDelay(platform::SocketHandle, bool) override { return 0; }
  int SetBroadcast(platform::SocketHandle, bool) override { return 0; }
  int SetReuseAddress(platform::SocketHandle, bool) override { return 0; }
  int SetReceiveTimeout(platform::SocketHandle, std::uint32_t) override { return 0; }
  int LastError() override { return lastError_; }

 private:
  int Fail(int error) {
    lastError_ = error;
    return platform::kSocketError;
  }

  std::deque<std::string> chunks_;
  std::string sent_;
  int recvCalls_ = 0;
  int sendCalls_ = 0;
  int failSendAt_ = 0;
  int failSendError_ = 0;
  int failRecvAt_ = 0;
  int failError_ = 0;
  bool failFionread_ = false;
  bool closed_ = false;
  bool shutDown_ = false;
  int lastError_ = 0;
};

}  // namespace vorn_test
