#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/socket.h"

// Answers of a session that wait to go out together. A tool that pipelines
// its requests gets every answer byte for byte as if each had been sent on
// its own, but the batch costs one send: the session flushes just before it
// would block on a receive, and when it ends.
class CResponseBuffer {
 public:
  // Above this many waiting bytes the answers go out at once, so a long
  // pipeline of large answers does not pile up in memory.
  static constexpr std::size_t kFlushThreshold = 64 * 1024;

  // socket points at the owning session's socket field, read at every send.
  CResponseBuffer(platform::ISocketApi& sockets, const std::atomic<platform::SocketHandle>* socket);
  CResponseBuffer(const CResponseBuffer&) = delete;
  CResponseBuffer& operator=(const CResponseBuffer&) = delete;

  // Queues the bytes; the result is what a send of them alone would have
  // returned unless a flush was due and failed (kSocketError).
  std::int32_t Append(const char* data, std::size_t length);
  // Sends everything waiting in one send. 0 when nothing was waiting,
  // otherwise the result of send (kSocketError with the error in
  // LastError). The bytes are dropped either way: a send is never retried.
  std::int32_t Flush();
  bool Empty() const { return pending_.empty(); }
  // Drops waiting answers and gives their memory back (end of a connection).
  void Clear();

 private:
  platform::ISocketApi& sockets_;
  const std::atomic<platform::SocketHandle>* socket_;
  std::string pending_;
};
