#include "client/peer_text.h"

#include <cstdint>
#include <cstdio>

namespace {

// Windows-1252 0x80..0x9F; 0 where the code page defines no character.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The length of the UTF-8 sequence at text[at], 0 when none starts there
// (overlong forms, surrogates and code points above U+10FFFF included).
std::size_t SequenceLength(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = SequenceLength(text, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string PeerTextToUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() * 2);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else if (byte < 0xA0) {
      const char16_t mapped = kCp1252High[byte - 0x80];
      AppendUtf8(out, mapped != 0 ? mapped : 0xFFFD);
    } else {
      AppendUtf8(out, byte);
    }
  }
  return out;
}

std::string PrintablePeerText(std::string_view raw, std::size_t limit) {
  const std::string text = PeerTextToUtf8(raw);
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t length = SequenceLength(text, at);
    const auto lead = static_cast<unsigned char>(text[at]);
    std::string piece;
    char escape[8];
    if (lead == '\n') {
      piece = "\\n";
    } else if (lead == '\r') {
      piece = "\\r";
    } else if (lead == '\t') {
      piece = "\\t";
    } else if (lead < 0x20 || lead == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02X", lead);
      piece = escape;
    } else if (lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0) {
      // C1 controls: 0x9B alone starts an escape sequence on many terminals.
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned char>(text[at + 1]));
      piece = escape;
    } else {
      piece = text.substr(at, length);
    }
    if (out.size() + piece.size() > limit) break;
    out += piece;
    at += length;
  }
  if (at < text.size()) {
    // Counted in the text as converted, which is what the reader would see.
    out += "... (" + std::to_string(text.size() - at) + " more bytes)";
  }
  return out;
}
