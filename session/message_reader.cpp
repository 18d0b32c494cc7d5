#include "session/message_reader.h"

#include <algorithm>
#include <cstring>

#include "protocol/text_format.h"
#include "session/response_buffer.h"
#include "session/session_host.h"

namespace {

// Index of the first byte at or after from that is not a space. The copies
// that the parsers look at end in an added NUL, and a NUL (added or received)
// ends every scan, as it does for the C string functions.
int SkipSpaces(const char* copy, int from) {
  while (copy[from] == ' ') ++from;
  return from;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::int32_t ParseDecimal(const std::string& digits) {
  std::int64_t value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return INT32_MAX;
  }
  return static_cast<std::int32_t>(value);
}

CMessageReader::CMessageReader(ISessionHost* server, platform::ISocketApi& sockets,
                               const std::atomic<platform::SocketHandle>* socket,
                               CResponseBuffer* responses)
    : server_(server), sockets_(sockets), socket_(socket), responses_(responses) {}

CMessageReader::~CMessageReader() = default;

void CMessageReader::Reset() {
  buffer_.reset();
  start_ = 0;
  count_ = 0;
}

char* CMessageReader::Buffer() {
  if (!buffer_) buffer_.reset(new char[kReceiveSize]);
  return buffer_.get();
}

int CMessageReader::BeforeReceive(bool mayBlock) {
  if (mayBlock && responses_ != nullptr && responses_->Flush() == platform::kSocketError) {
    return platform::kSocketError;
  }
  if (beforeReceive_) beforeReceive_();
  return 1;
}

int CMessageReader::Receive(char* into, int length) {
  return sockets_.Recv(socket_->load(), into, length);
}

int CMessageReader::Peek(char* output, int max) {
  if (max > kPeekLimit) return platform::kSocketError;
  if (max < 0) max = 0;
  char* const buffer = Buffer();
  int n;
  // Only the first max bytes count: an LF further on gives max as well.
  const int look = std::min(count_, max);
  const char* lf =
      look > 0 ? static_cast<const char*>(std::memchr(buffer + start_, '\n', look)) : nullptr;
  if (lf != nullptr) {
    n = static_cast<int>(lf - (buffer + start_)) + 1;
  } else if (count_ < max) {
    for (;;) {
      if (BeforeReceive(true) < 0) return platform::kSocketError;
      std::memmove(buffer, buffer + start_, count_);
      start_ = 0;
      const int received = Receive(buffer + count_, kReceiveSize - count_);
      if (received <= 0) return received;
      const int before = count_;
      count_ += received;
      const int fresh = std::min(count_, max) - before;
      lf = static_cast<const char*>(std::memchr(buffer + before, '\n', fresh));
      if (lf != nullptr) {
        n = static_cast<int>(lf - buffer) + 1;
        break;
      }
      if (count_ >= max) {
        n = max;
        break;
      }
    }
  } else {
    n = max;
  }
  n = std::min(n, count_);
  std::memcpy(output, buffer + start_, n);
  return n;
}

std::string CMessageReader::TakeBuffered() {
  std::string taken;
  if (count_ > 0) taken.assign(Buffer() + start_, static_cast<std::size_t>(count_));
  start_ = 0;
  count_ = 0;
  return taken;
}

int CMessageReader::Read(char* output, int length) {
  if (length <= 0) return 0;
  char* const buffer = Buffer();
  int taken = 0;
  if (count_ > 0) {
    taken = std::min(length, count_);
    if (output != nullptr) std::memcpy(output, buffer + start_, taken);
    start_ += taken;
    count_ -= taken;
    if (taken == length) return length;
    // Never block once something was delivered: callers that need an exact
    // length loop, and a parser must not wait for bytes nobody sent.
    std::uint32_t ready = 0;
    if (sockets_.BytesReadable(socket_->load(), ready) != 0) return platform::kSocketError;
    if (ready == 0) return taken;
  }
  // The buffer is empty here; it keeps what follows the bytes delivered.
  const int wanted = length - taken;
  if (BeforeReceive(taken == 0) < 0) return platform::kSocketError;
  start_ = 0;
  const int received = Receive(buffer, kReceiveSize);
  if (received <= 0) return received;
  const int delivered = std::min(received, wanted);
  if (output != nullptr) std::memcpy(output + taken, buffer, delivered);
  start_ = delivered;
  count_ = received - delivered;
  return delivered + taken;
}

int CMessageReader::SkipTo(char byte) {
  char copy[kPeekLimit];
  int n = Peek(copy, kPeekLimit);
  if (n < 1) return n;
  if (const void* hit = std::memchr(copy, byte, n)) {
    n = static_cast<int>(static_cast<const char*>(hit) - copy) + 1;
  }
  return Discard(n);
}

int CMessageReader::ConsumeTerminator(const char* copy, int n, int from, char& terminator) {
  const int at = SkipSpaces(copy, from);
  if (copy[at] == '\0') {
    Discard(n);
    return 0;
  }
  terminator = copy[at];
  const bool through = terminator == ',' || terminator == '\n';
  return Discard(through ? at + 1 : at);
}

int CMessageReader::ReadToken(std::string& output, char& terminator, bool log) {
  output.clear();
  terminator = 0;
  char copy[kWindow + 1];
  const int n = Peek(copy, kWindow);
  if (n < 1) return n;
  copy[n] = '\0';

  if (log && server_ != nullptr) {
    const void* lf = std::memchr(copy, '\n', n);
    const int shown = lf ? static_cast<int>(static_cast<const char*>(lf) - copy) + 1 : n;
    server_->LogTraffic(static_cast<unsigned>(socket_->load()), true, EscapeForLog(copy, shown));
  }

  const int begin = SkipSpaces(copy, 0);
  if (copy[begin] == '\0') {
    Discard(n);
    return 0;
  }
  const char* separator = std::strpbrk(copy + begin, " ,\n");
  if (separator == nullptr) {
    Discard(n);
    return 0;
  }
  const int end = static_cast<int>(separator - copy);
  output.assign(copy + begin, end - begin);
  return ConsumeTerminator(copy, n, end, terminator);
}

int CMessageReader::ReadString(std::string& output, char& terminator) {
  output.clear();
  terminator = 0;
  char copy[kWindow + 1];
  const int n = Peek(copy, kWindow);
  if (n < 1) return n;
  copy[n] = '\0';

  const int open = SkipSpaces(copy, 0);
  const char quote = copy[open];
  if (quote != '\'' && quote != '"') {
    Discard(n);
    return 0;
  }
  int pos = open + 1;
  for (;;) {
    const char* close = std::strchr(copy + pos, quote);
    if (close == nullptr) {
      Discard(n);
      return 0;
    }
    const int at = static_cast<int>(close - copy);
    output.append(copy + pos, at - pos);
    if (copy[at + 1] == quote) {
      output += quote;
      pos = at + 2;
      continue;
    }
    pos = at + 1;
    break;
  }
  const int at = SkipSpaces(copy, pos);
  if (copy[at] == '\0') {
    Discard(n);
    return 0;
  }
  terminator = copy[at];
  return Discard(at + 1);
}

std::int32_t CMessageReader::ReadBlock(const std::uint8_t*& output, char& terminator) {
  terminator = 0;
  char copy[kWindow + 1];
  int n = Peek(copy, kWindow);
  if (n < 1) return n;
  copy[n] = '\0';

  const int hash = SkipSpaces(copy, 0);
  if (copy[hash] != '#' || !IsDigit(copy[hash + 1])) return 0;
  const int digits = copy[hash + 1] - '0';
  std::int32_t length = 0;
  for (int i = 0; i < digits; ++i) {
    const char c = copy[hash + 2 + i];
    if (!IsDigit(c)) return 0;
    length = length * 10 + (c - '0');  // at most nine digits: fits
  }

  if (length > kMaxBlock) return 0;

  int r = Discard(hash + 2 + digits);
  if (r < 1) return r;
  r = GatherBlock(length);
  if (r < 1) return r;
  // The block is handed out where it was received: no copy before it goes
  // to the file.
  output = reinterpret_cast<const std::uint8_t*>(Buffer() + start_);
  start_ += length;
  count_ -= length;

  n = Peek(copy, kWindow);
  if (n < 1) return n;
  copy[n] = '\0';
  // Junk right behind the data is consumed up to, not including, itself: a
  // count of 0 is fine here, the terminator tells the caller what follows.
  r = ConsumeTerminator(copy, n, 0, terminator);
  if (terminator == 0 || r < 0) return r;
  return length;
}

int CMessageReader::GatherBlock(std::int32_t length) {
  char* const buffer = Buffer();
  for (;;) {
    if (count_ >= length) {
      // What the terminator's Peek will look at is here already: an LF
      // within the window behind the data, or the whole window.
      const int behind = count_ - length;
      if (behind >= kWindow || std::memchr(buffer + start_ + length, '\n',
                                           static_cast<std::size_t>(behind)) != nullptr) {
        return 1;
      }
    }
    if (BeforeReceive(true) < 0) return platform::kSocketError;
    if (start_ + length + kWindow > kReceiveSize) {
      std::memmove(buffer, buffer + start_, count_);
      start_ = 0;
    }
    const int received = Receive(buffer + start_ + count_, kReceiveSize - start_ - count_);
    if (received <= 0) return received;
    count_ += received;
  }
}

int CMessageReader::ReadNumber(std::int32_t& output, char& terminator) {
  std::string token;
  const int r = ReadToken(token, terminator, false);
  if (r > 0) {
    if (!std::all_of(token.begin(), token.end(), IsDigit)) return 0;
    output = ParseDecimal(token);
  }
  return r;
}
