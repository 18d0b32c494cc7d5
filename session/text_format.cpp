#include "session/text_format.h"

std::string QuoteString(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string EscapeForLog(const char* bytes, std::size_t length) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    switch (b) {
      case '\\':
        out += "\\\\";
        break;
      case 0:
        out += "\\0";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (b < 0x20 || b == 0x7F) {
          out += "\\x";
          out += kHex[b >> 4];
          out += kHex[b & 0xF];
        } else {
          out += static_cast<char>(b);
        }
    }
  }
  return out;
}
