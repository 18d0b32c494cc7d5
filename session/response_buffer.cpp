#include "session/response_buffer.h"

CResponseBuffer::CResponseBuffer(platform::ISocketApi& sockets,
                                 const std::atomic<platform::SocketHandle>* socket)
    : sockets_(sockets), socket_(socket) {}

std::int32_t CResponseBuffer::Append(const char* data, std::size_t length) {
  pending_.append(data, length);
  if (pending_.size() >= kFlushThreshold && Flush() == platform::kSocketError) {
    return platform::kSocketError;
  }
  return static_cast<std::int32_t>(length);
}

std::int32_t CResponseBuffer::Flush() {
  if (pending_.empty()) return 0;
  const int sent =
      sockets_.Send(socket_->load(), pending_.data(), static_cast<int>(pending_.size()));
  pending_.clear();
  return sent;
}

void CResponseBuffer::Clear() { std::string().swap(pending_); }
