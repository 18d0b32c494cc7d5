#include "client/channel.h"

#include <cstring>

void CChannel::SendText(const char* text) { Write(text, static_cast<int>(std::strlen(text))); }

void CChannel::SendText(const std::string& text) {
  Write(text.data(), static_cast<int>(text.size()));
}

std::string CChannel::ReceiveResponse() {
  // On the stack: a transfer asks once per block, and a heap buffer filled
  // with zeros each time cost more than the answer.
  char buffer[kResponseCapacity];
  const int n = Read(buffer, kResponseCapacity);
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string CChannel::Query(const char* text) {
  SendText(text);
  return ReceiveResponse();
}

std::string CChannel::Query(const std::string& text) {
  SendText(text);
  return ReceiveResponse();
}
