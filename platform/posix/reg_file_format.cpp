#include "platform/posix/reg_file_format.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "platform/posix/utf16.h"

namespace platform::posix {
namespace {

constexpr char kHeader4[] = "REGEDIT4";
constexpr char kHeader5[] = "Windows Registry Editor Version 5.00";
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";
constexpr char kUtf16LeBom[] = "\xFF\xFE";
constexpr char kRoot[] = "HKEY_LOCAL_MACHINE";
// regedit wraps hex data before the line passes this width.
constexpr std::size_t kWrapColumn = 76;

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string FoldText(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) c = Fold(c);
  return folded;
}

std::string Trim(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// The line without its terminator.
std::string Content(const std::string& line) {
  std::size_t end = line.size();
  if (end > 0 && line[end - 1] == '\n') --end;
  if (end > 0 && line[end - 1] == '\r') --end;
  return line.substr(0, end);
}

bool HasTerminator(const std::string& line) { return !line.empty() && line.back() == '\n'; }

std::vector<std::string> SplitKeepingTerminators(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

// A quoted name or string from `pos` (at the opening quote); `pos` ends after
// the closing quote.
std::optional<std::string> ReadQuoted(const std::string& line, std::size_t& pos) {
  if (pos >= line.size() || line[pos] != '"') return std::nullopt;
  std::string text;
  for (++pos; pos < line.size(); ++pos) {
    // Plain runs are copied whole: values may be megabytes long.
    std::size_t special = line.find_first_of("\"\\", pos);
    if (special == std::string::npos) break;
    text.append(line, pos, special - pos);
    pos = special;
    if (line[pos] == '"') {
      ++pos;
      return text;
    }
    if (pos + 1 < line.size()) ++pos;
    text.push_back(line[pos]);
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

bool IsStringType(std::uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == 7;
}

// Version 5 files hold the string types' hex data in UTF-16LE (quoted text is
// text like any other line); the store
// answers as RegQueryValueExA does, in the ANSI code page (UTF-8 here).
void ToAnsi(RegFileFormat format, RegistryValue& value) {
  if (format != RegFileFormat::kVersion5 || !IsStringType(value.type)) return;
  std::optional<std::string> text =
      Utf16LeToUtf8(std::string(value.data.begin(), value.data.end()));
  if (text) value.data.assign(text->begin(), text->end());
}

// The data after '=': a quoted string, dword:, hex: or hex(N):.
std::optional<RegistryValue> ReadData(const std::string& data, std::string& error) {
  RegistryValue value;
  if (!data.empty() && data[0] == '"') {
    std::size_t pos = 0;
    std::optional<std::string> text = ReadQuoted(data, pos);
    if (!text) {
      error = "the string is not closed with '\"'";
      return std::nullopt;
    }
    if (!Trim(data.substr(pos)).empty()) {
      error = "unexpected text after the closing '\"'";
      return std::nullopt;
    }
    value.type = kRegSz;
    value.data.assign(text->begin(), text->end());
    value.data.push_back(0);
    return value;
  }
  if (data == "-") {
    error = "a value deletion (=-) has no meaning in the configuration store";
    return std::nullopt;
  }
  std::string lower = FoldText(data.substr(0, 16));
  if (lower.compare(0, 6, "dword:") == 0) {
    std::string digits = Trim(data.substr(6));
    error = "dword: needs 1 to 8 hexadecimal digits";
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
    error = "hex(N): needs a hexadecimal type number";
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
    error = "unknown kind of data (expected \"text\", dword:, hex: or hex(N):)";
    return std::nullopt;
  }
  std::optional<std::vector<std::uint8_t>> bytes = ReadHexBytes(data.substr(colon + 1));
  if (!bytes) {
    error = "malformed hexadecimal bytes (expected pairs of digits separated by commas)";
    return std::nullopt;
  }
  value.data = std::move(*bytes);
  return value;
}

enum class SectionKind { kLocal, kOtherHive, kBad };

// "[HKEY_LOCAL_MACHINE\path]" -> kLocal and "path".
SectionKind ReadSection(const std::string& line, std::string& path, std::string& error) {
  if (line.size() < 2 || line.back() != ']') {
    error = "the key name is not closed with ']'";
    return SectionKind::kBad;
  }
  std::string inner = line.substr(1, line.size() - 2);
  if (!inner.empty() && inner[0] == '-') {
    error = "a key deletion ([-...]) has no meaning in the configuration store";
    return SectionKind::kBad;
  }
  std::size_t slash = inner.find('\\');
  std::string root = FoldText(inner.substr(0, slash));
  std::string rest = slash == std::string::npos ? std::string() : inner.substr(slash + 1);
  while (!rest.empty() && rest.back() == '\\') rest.pop_back();
  if (rest.find("\\\\") != std::string::npos || (!rest.empty() && rest[0] == '\\')) {
    error = "the key name has an empty part ('\\\\')";
    return SectionKind::kBad;
  }
  if (root == "hkey_local_machine" || root == "hklm") {
    path = rest;
    return SectionKind::kLocal;
  }
  for (const char* other : {"hkey_current_user", "hkey_classes_root", "hkey_users",
                            "hkey_current_config", "hkcu", "hkcr", "hku", "hkcc"}) {
    if (root == other) return SectionKind::kOtherHive;
  }
  error = "unknown root key '" + inner.substr(0, slash) + "'";
  return SectionKind::kBad;
}

// Parses the lines of `file` (already split) into its sections and problems.
void ParseLines(RegFile& file) {
  file.sections.clear();
  file.sectionsByPath.clear();
  file.problems.clear();
  const std::vector<std::string>& lines = file.lines;
  auto problem = [&](std::size_t index, std::string message) {
    file.problems.push_back(RegFileProblem{index + 1, std::move(message)});
  };

  std::string header = lines.empty() ? std::string() : Content(lines[0]);
  if (!file.utf16 && header.compare(0, 3, kUtf8Bom) == 0) header.erase(0, 3);
  header = Trim(header);
  if (header == kHeader4) {
    file.format = RegFileFormat::kRegedit4;
  } else if (header == kHeader5) {
    file.format = RegFileFormat::kVersion5;
  } else {
    problem(0, std::string("not a registry file: the first line must be \"") + kHeader4 +
                   "\" or \"" + kHeader5 + "\"");
    return;
  }
  file.lineEnd =
      lines[0].size() >= 2 && lines[0].compare(lines[0].size() - 2, 2, "\r\n") == 0 ? "\r\n" : "\n";

  enum { kNone, kLocal, kOther } where = kNone;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t first = i;
    std::string line = Trim(Content(lines[i]));
    if (line.find('\0') != std::string::npos) {
      problem(i, "the line holds a zero byte");
      continue;
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      std::string path, error;
      SectionKind kind = ReadSection(line, path, error);
      where = kind == SectionKind::kLocal ? kLocal : kOther;
      if (kind == SectionKind::kBad) {
        problem(i, error);
      } else if (kind == SectionKind::kLocal) {
        file.sectionsByPath[FoldText(path)].push_back(file.sections.size());
        file.sections.push_back(RegFileSection{path, i, i, {}});
      }
      continue;
    }
    // Hex data runs on over lines that end in a backslash.
    bool cut = false;
    while (!line.empty() && line.back() == '\\') {
      line.pop_back();
      if (i + 1 == lines.size()) {
        problem(first, "the data continues past the end of the file");
        cut = true;
        break;
      }
      std::string next = Trim(Content(lines[i + 1]));
      if (!next.empty() && next[0] == '[') {
        problem(first, "the data continues into the next key");
        cut = true;
        break;
      }
      line += next;
      ++i;
    }
    if (cut) continue;
    RegFileValue value;
    std::size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else {
      std::optional<std::string> name = ReadQuoted(line, pos);
      if (!name) {
        problem(first, "expected a quoted value name or @");
        continue;
      }
      value.name = *name;
    }
    if (where == kNone) {
      problem(first, "a value before the first key");
      continue;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') {
      problem(first, "expected '=' after the value name");
      continue;
    }
    std::string error;
    const std::string text = Trim(line.substr(pos + 1));
    std::optional<RegistryValue> data = ReadData(text, error);
    if (!data) {
      problem(first,
              (value.name.empty() ? std::string("@") : "\"" + value.name + "\"") + ": " + error);
      continue;
    }
    if (where != kLocal) continue;
    value.value = std::move(*data);
    if (text[0] != '"') ToAnsi(file.format, value.value);
    value.firstLine = first;
    value.lastLine = i;
    RegFileSection& section = file.sections.back();
    section.lastLine = i;
    section.values.push_back(std::move(value));
  }
}

void ParseText(RegFile& file, const std::string& text) {
  file.lines = SplitKeepingTerminators(text);
  ParseLines(file);
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

void AppendHex(std::string& out, std::string prefix, const std::vector<std::uint8_t>& bytes,
               const std::string& lineEnd) {
  std::string line = std::move(prefix);
  char hex[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
    line += hex;
    if (i + 1 == bytes.size()) break;
    line += ',';
    if (line.size() >= kWrapColumn) {
      out += line;
      out += "\\" + lineEnd;
      line = "  ";
    }
  }
  out += line;
  out += lineEnd;
}

// The value's lines, each with the file's line end; nullopt when the value
// has no form in this file.
std::optional<std::string> FormatValue(const RegFile& file, const std::string& name,
                                       const RegistryValue& data) {
  std::string out;
  std::string quotedName = name.empty() ? "@" : Quote(name);
  if (FitsQuotedString(data)) {
    out = quotedName + "=" + Quote(std::string(data.data.begin(), data.data.end() - 1)) +
          file.lineEnd;
  } else if (data.type == kRegDword && data.data.size() == 4) {
    std::uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = (number << 8) | data.data[static_cast<std::size_t>(i)];
    char text[20];
    std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(number));
    out = quotedName + "=" + text + file.lineEnd;
  } else if (data.type == kRegBinary) {
    AppendHex(out, quotedName + "=hex:", data.data, file.lineEnd);
  } else {
    std::vector<std::uint8_t> bytes = data.data;
    if (file.format == RegFileFormat::kVersion5 && IsStringType(data.type)) {
      std::optional<std::string> wide = Utf8ToUtf16Le(std::string(bytes.begin(), bytes.end()));
      if (!wide) return std::nullopt;
      bytes.assign(wide->begin(), wide->end());
    }
    char type[24];
    std::snprintf(type, sizeof type, "=hex(%x):", static_cast<unsigned>(data.type));
    AppendHex(out, quotedName + type, bytes, file.lineEnd);
  }
  if (file.utf16 && !Utf8ToUtf16Le(out)) return std::nullopt;
  return out;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::size_t size = 0;
  for (const std::string& line : lines) size += line.size();
  std::string text;
  text.reserve(size);
  for (const std::string& line : lines) text += line;
  return text;
}

// Replaces lines [first, last] by `text` (whole lines) and parses again.
void ReplaceLines(RegFile& file, std::size_t first, std::size_t last, std::string text) {
  std::vector<std::string> lines(file.lines.begin(), file.lines.begin() + first);
  // The file's last line keeps having no terminator if it had none.
  if (last + 1 == file.lines.size() && last >= first && !HasTerminator(file.lines[last])) {
    text.resize(text.size() - file.lineEnd.size());
  }
  for (std::string& line : SplitKeepingTerminators(text)) lines.push_back(std::move(line));
  lines.insert(lines.end(), file.lines.begin() + static_cast<std::ptrdiff_t>(last + 1),
               file.lines.end());
  file.lines = std::move(lines);
  ParseLines(file);
}

// Inserts whole lines after line `after`.
void InsertLines(RegFile& file, std::size_t after, const std::string& text) {
  if (!HasTerminator(file.lines[after])) file.lines[after] += file.lineEnd;
  std::vector<std::string> added = SplitKeepingTerminators(text);
  file.lines.insert(file.lines.begin() + static_cast<std::ptrdiff_t>(after + 1), added.begin(),
                    added.end());
  ParseLines(file);
}

}  // namespace

bool NamesEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

RegFile ParseRegFile(const std::string& bytes) {
  RegFile file;
  if (bytes.compare(0, 2, kUtf16LeBom) == 0) {
    file.utf16 = true;
    std::size_t bad = 0;
    std::optional<std::string> text = Utf16LeToUtf8(bytes.substr(2), &bad);
    if (!text) {
      std::string before = Utf16LeToUtf8(bytes.substr(2, bad)).value_or(std::string());
      std::size_t line = 1;
      for (char c : before) line += c == '\n' ? 1 : 0;
      file.lines = SplitKeepingTerminators(before);
      file.problems.push_back(RegFileProblem{line, "not valid UTF-16LE text"});
      return file;
    }
    ParseText(file, *text);
    return file;
  }
  if (bytes.compare(0, 2, "\xFE\xFF") == 0) {
    file.problems.push_back(RegFileProblem{
        1, "UTF-16 big-endian is not supported: save the file as Unicode (UTF-16LE) or ANSI"});
    return file;
  }
  ParseText(file, bytes);
  return file;
}

std::string EncodeRegFile(const RegFile& file) {
  std::string text = JoinLines(file.lines);
  if (!file.utf16) return text;
  // Only text that came from UTF-16 or passed FormatValue's check is here.
  return std::string(kUtf16LeBom) + Utf8ToUtf16Le(text).value_or(std::string());
}

const RegFileValue* FindRegFileValue(const RegFile& file, const std::string& path,
                                     const std::string& name) {
  auto found = file.sectionsByPath.find(FoldText(path));
  if (found == file.sectionsByPath.end()) return nullptr;
  const RegFileValue* result = nullptr;
  for (std::size_t index : found->second) {
    for (const RegFileValue& value : file.sections[index].values) {
      if (NamesEqual(value.name, name)) result = &value;
    }
  }
  return result;
}

bool RegFileKeyExists(const RegFile& file, const std::string& path) {
  if (path.empty() || file.sectionsByPath.count(FoldText(path)) != 0) return true;
  const std::string prefix = FoldText(path) + "\\";
  for (const auto& entry : file.sectionsByPath) {
    if (entry.first.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

std::vector<std::string> RegFileSubKeys(const RegFile& file, const std::string& path) {
  std::vector<std::string> names;
  std::vector<std::string> folded;
  const std::string prefix = path.empty() ? std::string() : FoldText(path) + "\\";
  for (const RegFileSection& section : file.sections) {
    if (section.path.size() <= prefix.size()) continue;
    if (FoldText(section.path.substr(0, prefix.size())) != prefix) continue;
    std::string child =
        section.path.substr(prefix.size(), section.path.find('\\', prefix.size()) - prefix.size());
    std::string key = FoldText(child);
    bool seen = false;
    for (const std::string& name : folded) seen = seen || name == key;
    if (seen) continue;
    folded.push_back(key);
    names.push_back(child);
  }
  return names;
}

bool SetRegFileValue(RegFile& file, const std::string& path, const std::string& name,
                     const RegistryValue& value) {
  if (const RegFileValue* existing = FindRegFileValue(file, path, name)) {
    std::optional<std::string> text = FormatValue(file, existing->name, value);
    if (!text) return false;
    ReplaceLines(file, existing->firstLine, existing->lastLine, *text);
    return true;
  }
  std::optional<std::string> text = FormatValue(file, name, value);
  if (!text) return false;
  AddRegFileKey(file, path);
  const RegFileSection& section = file.sections[file.sectionsByPath[FoldText(path)].back()];
  InsertLines(file, section.lastLine, *text);
  return true;
}

void AddRegFileKey(RegFile& file, const std::string& path) {
  if (file.sectionsByPath.count(FoldText(path)) != 0) return;
  std::string text;
  if (!file.lines.empty() && !HasTerminator(file.lines.back())) file.lines.back() += file.lineEnd;
  if (!file.lines.empty() && !Trim(Content(file.lines.back())).empty()) text += file.lineEnd;
  text += "[" + std::string(kRoot) + (path.empty() ? "" : "\\" + path) + "]" + file.lineEnd;
  for (std::string& line : SplitKeepingTerminators(text)) file.lines.push_back(std::move(line));
  ParseLines(file);
}

}  // namespace platform::posix
