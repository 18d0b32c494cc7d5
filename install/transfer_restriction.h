#pragma once
// "RestrictTransfers": when set, the files a transfer or a container writes
// (and the package file an installation runs or deletes) must lie inside
// the transfer directory.

#include <optional>
#include <string>

namespace platform {
class IRegistry;
}

inline constexpr const char* kRestrictTransfersValue = "RestrictTransfers";
// How the transfer store, and an installation, refuse a file they cannot use.
inline constexpr const char* kCannotOpenFile = "could not open file";

// The value as stored: false when it is missing, else REG_DWORD 0 or 1.
// nullopt, with `error` saying why, for anything else.
std::optional<bool> ReadRestrictTransfers(platform::IRegistry& registry, std::string& error);

// Whether transfers are restricted now. A malformed value counts as set: the
// service refuses to start over one, and an edit that breaks the value while
// it runs must not open what it closed.
bool TransfersRestricted(platform::IRegistry& registry);

// The full path of `name` inside `directory`, or nullopt when the name could
// lead out of it or cannot be stored there: empty, absolute ("/x", "\x",
// "C:\x", "\\host\share"), naming a drive or a stream (any ':'), a ".." that
// climbs above the directory, a part ending in a dot or blank (Windows drops
// those, so ".. " would climb too), a part longer than 255 bytes or a full
// path of 260 bytes or more (MAX_PATH). Both separators count. The names are
// only looked at; links are the file system's to check (platform::StaysInside).
std::optional<std::string> ContainedPath(const std::string& directory, const std::string& name);
