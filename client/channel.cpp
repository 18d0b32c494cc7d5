#include "client/channel.h"

#include <cstring>
#include <string_view>

#include "client/error.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The length of the first whole response in data, 0 while it is incomplete.
// A line is searched for its LF only from `searched` on: the bytes before it
// were looked at by an earlier call and held none.
std::size_t CompleteLength(std::string_view data, std::size_t searched) {
  if (data.size() >= 2 && data[0] == '#' && data[1] >= '1' && data[1] <= '9') {
    const std::size_t digits = static_cast<std::size_t>(data[1] - '0');
    std::size_t count = 0;
    bool block = true;
    for (std::size_t i = 2; i < 2 + digits && i < data.size(); ++i) {
      if (!IsDigit(data[i])) {
        block = false;
        break;
      }
      count = count * 10 + static_cast<std::size_t>(data[i] - '0');
    }
    if (block) {
      if (data.size() < 2 + digits) return 0;
      // The LF that ends the response follows the block; a peer that sends
      // something else has it taken as the next response.
      const std::size_t end = 2 + digits + count;
      if (data.size() <= end) return 0;
      return data[end] == '\n' ? end + 1 : end;
    }
  }
  const std::size_t lf = data.find('\n', searched);
  return lf == std::string_view::npos ? 0 : lf + 1;
}

}  // namespace

void CChannel::SendText(const char* text) { Write(text, static_cast<int>(std::strlen(text))); }

void CChannel::SendText(const std::string& text) {
  Write(text.data(), static_cast<int>(text.size()));
}

std::string CChannel::ReceiveResponse() {
  // On the stack: a transfer asks once per block, and a heap buffer filled
  // with zeros each time cost more than the answer.
  char buffer[kResponseCapacity];
  std::size_t searched = 0;
  for (;;) {
    if (const std::size_t length = CompleteLength(received_, searched); length != 0) {
      std::string response = received_.substr(0, length);
      received_.erase(0, length);
      return response;
    }
    searched = received_.size();
    if (received_.size() > kLongestResponse) {
      received_.clear();
      throw Fernway::CError("Response longer than " + std::to_string(kLongestResponse) +
                            " bytes without its end");
    }
    const int n = Read(buffer, kResponseCapacity);
    if (n <= 0) {
      std::string partial;
      partial.swap(received_);
      return partial;
    }
    // The common case, a whole response in one read and nothing behind it,
    // takes no detour through the buffer.
    const std::string_view piece(buffer, static_cast<std::size_t>(n));
    if (received_.empty() && CompleteLength(piece, 0) == piece.size()) {
      return std::string(piece);
    }
    received_.append(piece);
  }
}

std::string CChannel::Query(const char* text) {
  SendText(text);
  return ReceiveResponse();
}

std::string CChannel::Query(const std::string& text) {
  SendText(text);
  return ReceiveResponse();
}
