#include "protocol/text_format.h"

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

namespace {

bool NeedsEscape(unsigned char b) { return b < 0x20 || b == 0x7F || b == '\\'; }

// U+0080..U+009F in UTF-8: controls too for a terminal that reads the log as
// UTF-8 (U+009B starts an escape sequence like ESC [). High bytes otherwise
// stay as they are: ANSI text is logged as it came.
bool IsUtf8Control(const char* bytes, std::size_t at, std::size_t length) {
  return static_cast<unsigned char>(bytes[at]) == 0xC2 && at + 1 < length &&
         static_cast<unsigned char>(bytes[at + 1]) >= 0x80 &&
         static_cast<unsigned char>(bytes[at + 1]) <= 0x9F;
}

}  // namespace

// Runs of printable bytes are copied whole: every request and answer of a
// session passes through here.
std::string EscapeForLog(const char* bytes, std::size_t length) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(length + 8);
  std::size_t i = 0;
  while (i < length) {
    std::size_t run = i;
    while (run < length && !NeedsEscape(static_cast<unsigned char>(bytes[run])) &&
           !IsUtf8Control(bytes, run, length)) {
      ++run;
    }
    out.append(bytes + i, run - i);
    if (run == length) break;
    const auto b = static_cast<unsigned char>(bytes[run]);
    if (IsUtf8Control(bytes, run, length)) {
      const auto c = static_cast<unsigned char>(bytes[run + 1]);
      const char hex[] = {'\\', 'x', 'C', '2', '\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
      out.append(hex, sizeof hex);
      i = run + 2;
      continue;
    }
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
      default: {
        const char hex[] = {'\\', 'x', kHex[b >> 4], kHex[b & 0xF]};
        out.append(hex, sizeof hex);
      }
    }
    i = run + 1;
  }
  return out;
}
