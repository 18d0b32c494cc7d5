#pragma once

#include <string>

// One --entry of `vornpkg container`: NAME=DESCRIPTION:PAYLOAD, or
// NAME=DESCRIPTION for an entry without payload bytes.
struct EntrySpec {
  std::string name;
  std::string description;
  std::string payload;  // empty: no payload
};

// Paths may hold colons themselves (C:\...), so the description is the
// shortest part before a colon that names an existing file. On failure
// `error` says why.
bool ParseEntrySpec(const std::string& text, EntrySpec& spec, std::string& error);
