#pragma once
// The text form of a part of HKEY_LOCAL_MACHINE as Windows' registry editor
// exports and imports it: "REGEDIT4" (ANSI or UTF-8 bytes) or "Windows
// Registry Editor Version 5.00" (normally UTF-16LE with a byte order mark).
// The posix backend keeps its configuration store in it, so that an
// administrator can read and edit it with any text editor.
//
// A file is kept as its lines, so that a change replaces or adds only the
// lines of the value it writes, git-config style: comments, blank lines,
// ordering, sections of other hives and values of any type stay byte for
// byte, and the file keeps its format and encoding.

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/registry.h"

namespace platform::posix {

enum class RegFileFormat { kRegedit4, kVersion5 };

struct RegFileProblem {
  std::size_t line;  // 1-based
  std::string message;
};

// One value line, with its continuation lines, as found in the file.
struct RegFileValue {
  std::string name;  // as written; empty for the key's default value ("@")
  RegistryValue value;
  std::size_t firstLine = 0;  // 0-based indexes into RegFile::lines
  std::size_t lastLine = 0;
};

// One "[HKEY_LOCAL_MACHINE\...]" section. A key may have several sections;
// its values are those of all of them, a later one winning (as an import).
struct RegFileSection {
  std::string path;  // below HKEY_LOCAL_MACHINE, components joined by '\'
  std::size_t headerLine = 0;
  std::size_t lastLine = 0;  // the header or the section's last value line
  std::vector<RegFileValue> values;
};

struct RegFile {
  RegFileFormat format = RegFileFormat::kRegedit4;
  bool utf16 = false;                    // UTF-16LE with byte order mark on disk
  std::string lineEnd = "\n";            // as the header line ends: new lines get the same
  std::vector<std::string> lines;        // the text (UTF-8 when utf16), terminators kept
  std::vector<RegFileSection> sections;  // HKEY_LOCAL_MACHINE only, in file order
  std::unordered_map<std::string, std::vector<std::size_t>> sectionsByPath;  // folded path
  // Every line that cannot be used. A file with problems is never written.
  std::vector<RegFileProblem> problems;
};

RegFile ParseRegFile(const std::string& bytes);
// The bytes of the file as it stands: unchanged lines come back exactly.
std::string EncodeRegFile(const RegFile& file);

// The value as the store answers for it (last occurrence); nullptr if none.
const RegFileValue* FindRegFileValue(const RegFile& file, const std::string& path,
                                     const std::string& name);
// A key named only as part of a deeper key's path exists too.
bool RegFileKeyExists(const RegFile& file, const std::string& path);
// Direct subkeys in file order, each name once.
std::vector<std::string> RegFileSubKeys(const RegFile& file, const std::string& path);

// Replaces the value's lines, or adds a line to the key's last section, or
// adds a section for the key at the end of the file. False when the value
// cannot be written in the file's encoding (text that is not UTF-8 in a
// Unicode file); the file is then unchanged.
bool SetRegFileValue(RegFile& file, const std::string& path, const std::string& name,
                     const RegistryValue& value);
// Adds a section for the key at the end of the file (nothing if it exists).
void AddRegFileKey(RegFile& file, const std::string& path);

bool NamesEqual(const std::string& a, const std::string& b);

}  // namespace platform::posix
