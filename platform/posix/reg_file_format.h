#pragma once
// The REGEDIT4 text form of a part of HKEY_LOCAL_MACHINE, as regedit exports
// and imports it: the posix backend keeps its configuration store in it so
// that an administrator can read and edit it with any text editor.

#include <string>
#include <vector>

#include "platform/registry.h"

namespace platform::posix {

struct RegFileValue {
  std::string name;  // empty for the key's default value ("@")
  RegistryValue value;
};

struct RegFileKey {
  std::string path;  // below HKEY_LOCAL_MACHINE, components joined by '\'
  std::vector<RegFileValue> values;
};

// Keys in file order; enumeration follows it.
struct RegFileDocument {
  std::vector<RegFileKey> keys;
};

// Lines that cannot be understood (other hives, broken values, deletions) are
// skipped; a value that appears twice keeps the last data, as an import does.
RegFileDocument ParseRegFile(const std::string& text);

// Strings that read back to exactly the stored bytes are written in quotes;
// any other string value (an embedded zero, no terminator, a line break) as
// hex(1) so that nothing is lost.
std::string FormatRegFile(const RegFileDocument& document);

bool NamesEqual(const std::string& a, const std::string& b);

}  // namespace platform::posix
