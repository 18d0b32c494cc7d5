#include "platform/posix/reg_file_format.h"

#include <cstdint>
#include <cstdio>
#include <optional>

namespace platform::posix {
namespace {

constexpr char kHeader[] = "REGEDIT4";
constexpr char kRoot[] = "HKEY_LOCAL_MACHINE";
constexpr char kRootShort[] = "HKLM";
// regedit wraps hex data before the line passes this width.
constexpr std::size_t kWrapColumn = 76;

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// A quoted name or string from `pos` (at the opening quote); `pos` ends after
// the closing quote.
std::optional<std::string> ReadQuoted(const std::string& line, std::size_t& pos) {
  if (pos >= line.size() || line[pos] != '"') return std::nullopt;
  std::string text;
  for (++pos; pos < line.size(); ++pos) {
    char c = line[pos];
    if (c == '"') {
      ++pos;
      return text;
    }
    if (c == '\\' && pos + 1 < line.size()) c = line[++pos];
    text.push_back(c);
  }
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Fold(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::vector<std::uint8_t>> ReadHexBytes(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::size_t pos = 0;
  auto skipBlanks = [&] {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  };
  skipBlanks();
  while (pos < text.size()) {
    int high = HexDigit(text[pos]);
    int low = pos + 1 < text.size() ? HexDigit(text[pos + 1]) : -1;
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    pos += 2;
    skipBlanks();
    if (pos == text.size()) break;
    if (text[pos] != ',') return std::nullopt;
    ++pos;  // a trailing comma is tolerated
    skipBlanks();
  }
  return bytes;
}

// The data after '=': a quoted string, dword:, hex: or hex(N):.
std::optional<RegistryValue> ReadData(const std::string& data) {
  RegistryValue value;
  if (!data.empty() && data[0] == '"') {
    std::size_t pos = 0;
    std::optional<std::string> text = ReadQuoted(data, pos);
    if (!text || !Trim(data.substr(pos)).empty()) return std::nullopt;
    value.type = kRegSz;
    value.data.assign(text->begin(), text->end());
    value.data.push_back(0);
    return value;
  }
  std::string lower;
  for (char c : data) lower.push_back(Fold(c));
  if (lower.compare(0, 6, "dword:") == 0) {
    std::string digits = Trim(data.substr(6));
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    std::uint32_t number = 0;
    for (char c : digits) {
      int digit = HexDigit(c);
      if (digit < 0) return std::nullopt;
      number = number * 16 + static_cast<std::uint32_t>(digit);
    }
    value.type = kRegDword;
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
    return value;
  }
  std::size_t colon;
  if (lower.compare(0, 4, "hex:") == 0) {
    value.type = kRegBinary;
    colon = 3;
  } else if (lower.compare(0, 4, "hex(") == 0) {
    std::size_t close = lower.find(')');
    if (close == std::string::npos || close == 4 || close > 12 || close + 1 >= lower.size() ||
        lower[close + 1] != ':') {
      return std::nullopt;
    }
    std::uint32_t type = 0;
    for (std::size_t i = 4; i < close; ++i) {
      int digit = HexDigit(lower[i]);
      if (digit < 0) return std::nullopt;
      type = type * 16 + static_cast<std::uint32_t>(digit);
    }
    value.type = type;
    colon = close + 1;
  } else {
    return std::nullopt;
  }
  std::optional<std::vector<std::uint8_t>> bytes = ReadHexBytes(data.substr(colon + 1));
  if (!bytes) return std::nullopt;
  value.data = std::move(*bytes);
  return value;
}

// "[HKEY_LOCAL_MACHINE\path]" -> "path"; nullopt for other hives and for
// deletions ("[-...]").
std::optional<std::string> ReadSection(const std::string& line) {
  std::string inner = line.substr(1, line.size() - 2);
  for (const char* root : {kRoot, kRootShort}) {
    std::string prefix(root);
    if (inner.size() < prefix.size() || !NamesEqual(inner.substr(0, prefix.size()), prefix)) {
      continue;
    }
    std::string rest = inner.substr(prefix.size());
    if (rest.empty()) return rest;
    if (rest[0] != '\\') continue;
    rest = rest.substr(1);
    while (!rest.empty() && rest.back() == '\\') rest.pop_back();
    if (rest.find("\\\\") != std::string::npos) return std::nullopt;
    return rest;
  }
  return std::nullopt;
}

RegFileKey* FindKey(RegFileDocument& document, const std::string& path) {
  for (RegFileKey& key : document.keys) {
    if (NamesEqual(key.path, path)) return &key;
  }
  return nullptr;
}

void PutValue(RegFileKey& key, RegFileValue value) {
  for (RegFileValue& existing : key.values) {
    if (NamesEqual(existing.name, value.name)) {
      existing.value = std::move(value.value);
      return;
    }
  }
  key.values.push_back(std::move(value));
}

std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

bool FitsQuotedString(const RegistryValue& value) {
  if (value.type != kRegSz || value.data.empty() || value.data.back() != 0) return false;
  for (std::size_t i = 0; i + 1 < value.data.size(); ++i) {
    std::uint8_t c = value.data[i];
    if (c == 0 || c == '\n' || c == '\r') return false;
  }
  return true;
}

void AppendHex(std::string& out, std::string prefix, const std::vector<std::uint8_t>& bytes) {
  std::string line = std::move(prefix);
  char hex[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
    line += hex;
    if (i + 1 == bytes.size()) break;
    line += ',';
    if (line.size() >= kWrapColumn) {
      out += line;
      out += "\\\n";
      line = "  ";
    }
  }
  out += line;
  out += '\n';
}

void AppendValue(std::string& out, const RegFileValue& value) {
  std::string name = value.name.empty() ? "@" : Quote(value.name);
  const RegistryValue& data = value.value;
  if (FitsQuotedString(data)) {
    out += name + "=" + Quote(std::string(data.data.begin(), data.data.end() - 1)) + "\n";
  } else if (data.type == kRegDword && data.data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = (number << 8) | data.data[static_cast<std::size_t>(i)];
    char text[20];
    std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(number));
    out += name + "=" + text + "\n";
  } else if (data.type == kRegBinary) {
    AppendHex(out, name + "=hex:", data.data);
  } else {
    char type[24];
    std::snprintf(type, sizeof type, "=hex(%x):", static_cast<unsigned>(data.type));
    AppendHex(out, name + type, data.data);
  }
}

}  // namespace

bool NamesEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

RegFileDocument ParseRegFile(const std::string& text) {
  RegFileDocument document;
  std::vector<std::string> lines = SplitLines(text);
  RegFileKey* current = nullptr;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string line = Trim(lines[i]);
    if (line.empty() || line[0] == ';' || line == kHeader) continue;
    if (line[0] == '[') {
      current = nullptr;
      if (line.back() != ']' || line.size() < 2) continue;
      std::optional<std::string> path = ReadSection(line);
      if (!path) continue;
      current = FindKey(document, *path);
      if (current == nullptr) {
        document.keys.push_back(RegFileKey{*path, {}});
        current = &document.keys.back();
      }
      continue;
    }
    // Hex data runs on over lines that end in a backslash; gather them even
    // when the value turns out to be unusable, so that they are not misread
    // as values of their own.
    while (!line.empty() && line.back() == '\\') {
      line.pop_back();
      if (i + 1 == lines.size() || Trim(lines[i + 1]).rfind('[', 0) == 0) break;
      line += Trim(lines[++i]);
    }
    if (line.empty()) continue;
    if (current == nullptr) continue;
    RegFileValue value;
    std::size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else {
      std::optional<std::string> name = ReadQuoted(line, pos);
      if (!name) continue;
      value.name = *name;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') continue;
    std::optional<RegistryValue> data = ReadData(Trim(line.substr(pos + 1)));
    if (!data) continue;
    value.value = std::move(*data);
    PutValue(*current, std::move(value));
  }
  return document;
}

std::string FormatRegFile(const RegFileDocument& document) {
  std::string out = std::string(kHeader) + "\n\n";
  for (const RegFileKey& key : document.keys) {
    out += "[" + std::string(kRoot);
    if (!key.path.empty()) out += "\\" + key.path;
    out += "]\n";
    for (const RegFileValue& value : key.values) AppendValue(out, value);
    out += "\n";
  }
  return out;
}

}  // namespace platform::posix
