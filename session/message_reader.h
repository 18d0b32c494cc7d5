#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/socket.h"
#include "protocol/wire_limits.h"

class ISessionHost;
class CResponseBuffer;

// Takes program messages and their parameters off a session's socket through
// a small fixed buffer. Every operation answers > 0 on success, 0 when the
// peer closed the connection or the input does not fit the grammar, and
// kSocketError when recv or FIONREAD failed. Used only on the session's thread.
//
// Headers, numbers, strings and block headers must lie within the first
// kWindow unconsumed bytes; block data may be of any length up to kMaxBlock.
// The reader never looks further ahead than kPeekLimit bytes, but it receives
// in chunks of up to kReceiveSize, so that a pipeline of requests costs a
// receive per chunk, not per message. What it parses does not depend on how
// much it received.
class CMessageReader {
 public:
  static constexpr int kPeekLimit = 258;
  static constexpr int kWindow = 256;
  static constexpr std::int32_t kMaxBlock = static_cast<std::int32_t>(kLargestBlock);
  // The largest block and a window behind it fit, so that a block is read
  // in place; allocated on first use, so an idle session's pages stay
  // untouched.
  static constexpr int kReceiveSize = kMaxBlock + 2 * kPeekLimit;

  // server (may be null: nothing is logged) writes the traffic lines; socket
  // points at the owning session's socket field, read at every receive (a
  // stop on another thread may close it meanwhile). responses (may be null)
  // holds the session's waiting answers: they are flushed before every
  // receive that may block, and a failed flush fails that receive.
  CMessageReader(ISessionHost* server, platform::ISocketApi& sockets,
                 const std::atomic<platform::SocketHandle>* socket,
                 CResponseBuffer* responses = nullptr);
  virtual ~CMessageReader();
  CMessageReader(const CMessageReader&) = delete;
  CMessageReader& operator=(const CMessageReader&) = delete;

  // Copies the unconsumed bytes up to and including the first LF, at most max
  // (<= kPeekLimit), receiving as needed; consumes nothing.
  int Peek(char* output, int max);
  // Consumes length bytes into output (may be null to discard); delivers
  // fewer when the buffer ran dry and the socket has nothing ready.
  int Read(char* output, int length);
  // Consumes through the next occurrence of byte within the next kPeekLimit
  // bytes (all of them when it does not occur there).
  int SkipTo(char byte);

  // The terminator of each reader is the first non-space byte after the item:
  // LF at the end of the message, a comma before another parameter, anything
  // else otherwise (0 when nothing was found).
  int ReadToken(std::string& output, char& terminator, bool log);
  int ReadString(std::string& output, char& terminator);
  // Returns the block length; output points into the receive buffer and
  // stays valid until the next call on the reader.
  std::int32_t ReadBlock(const std::uint8_t*& output, char& terminator);
  int ReadNumber(std::int32_t& output, char& terminator);

  // Called before every receive, after waiting answers went out and before
  // the buffer is moved or written, so a block handed out earlier is still
  // intact while it runs.
  void SetBeforeReceive(std::function<void()> hook) { beforeReceive_ = std::move(hook); }

  // Drops buffered input and the receive buffer, as for a new connection.
  void Reset();
  // Hands over the bytes received but not consumed yet (what a tool sent
  // behind the message being handled) and forgets them.
  std::string TakeBuffered();

 private:
  // Discards n bytes that a Peek has just shown.
  int Discard(int n) { return Read(nullptr, n); }
  // Consumes through the first non-space byte of copy[from...] (or up to it
  // when it is neither a comma nor LF) and reports it as terminator; 0 when
  // the copy holds no such byte.
  int ConsumeTerminator(const char* copy, int n, int from, char& terminator);
  // Receives until the block of length bytes at the read position and the
  // window behind it (or the LF in it) are buffered, moving what is buffered
  // to the front first when the buffer's end is too near.
  int GatherBlock(std::int32_t length);
  // Runs before every receive, before the buffer is moved or written: a
  // receive that may block first sends the answers that wait for it, then
  // the before-receive hook runs. kSocketError when the answers failed.
  int BeforeReceive(bool mayBlock);
  // One recv into `into`.
  int Receive(char* into, int length);
  // The receive buffer, allocated on first use.
  char* Buffer();

  ISessionHost* server_;
  platform::ISocketApi& sockets_;
  const std::atomic<platform::SocketHandle>* socket_;
  CResponseBuffer* responses_;
  std::function<void()> beforeReceive_;
  std::unique_ptr<char[]> buffer_;
  int start_ = 0;
  int count_ = 0;
};

// Decimal text to a signed 32-bit value; saturates at 2147483647, "" is 0.
std::int32_t ParseDecimal(const std::string& digits);
