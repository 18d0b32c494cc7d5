#include "platform/posix/utf16.h"

#include <cstdint>

namespace platform::posix {
namespace {

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

void AppendUnit(std::string& out, std::uint32_t unit) {
  out.push_back(static_cast<char>(unit & 0xFF));
  out.push_back(static_cast<char>(unit >> 8));
}

}  // namespace

std::optional<std::string> Utf16LeToUtf8(const std::string& bytes, std::size_t* badOffset) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unitAt = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i])) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i + 1])) << 8);
  };
  std::size_t i = 0;
  auto fail = [&] {
    if (badOffset != nullptr) *badOffset = i;
    return std::nullopt;
  };
  for (; i + 1 < bytes.size(); i += 2) {
    std::uint32_t unit = unitAt(i);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 3 >= bytes.size()) return fail();
      std::uint32_t low = unitAt(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return fail();
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      i += 2;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return fail();
    } else {
      AppendUtf8(out, unit);
    }
  }
  if (i != bytes.size()) return fail();
  return out;
}

std::optional<std::string> Utf8ToUtf16Le(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    std::uint32_t code;
    std::size_t length;
    if (lead < 0x80) {
      code = lead;
      length = 1;
    } else if ((lead & 0xE0) == 0xC0) {
      code = lead & 0x1F;
      length = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      code = lead & 0x0F;
      length = 3;
    } else if ((lead & 0xF8) == 0xF0) {
      code = lead & 0x07;
      length = 4;
    } else {
      return std::nullopt;
    }
    if (i + length > text.size()) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF have no UTF-16 form.
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return std::nullopt;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      AppendUnit(out, 0xD800 + (code >> 10));
      AppendUnit(out, 0xDC00 + (code & 0x3FF));
    } else {
      AppendUnit(out, code);
    }
    i += length;
  }
  return out;
}

}  // namespace platform::posix
