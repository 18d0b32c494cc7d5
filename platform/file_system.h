#pragma once
// Files and directories as the installation sees them. Paths are byte strings
// handed to the platform's ANSI functions unchanged.

#include <string>

namespace platform {

// Where transferred packages land when the configuration names no directory:
// C:\ on Windows, /var/lib/vorn/transfer elsewhere.
std::string DefaultTransferDirectory();

// A full path for name: relative names are taken relative to base, absolute
// names stay as they are; "." and ".." are resolved (GetFullPathNameA). Never
// touches the process's current directory, which other threads share. An
// empty name names no file and gives an empty path.
std::string ResolveFullPath(const std::string& base, const std::string& name);

// Both separators count on every platform: descriptions are written on
// Windows and mean the same elsewhere.
inline bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// Whether `path` (a full path below `directory`) and each of its parent
// directories below `directory` lie inside `directory` once symbolic links
// (and on Windows junctions) are followed. Parts that do not exist yet count
// as inside: nothing below them exists either. A link that leads nowhere
// counts as outside, since writing through it would create its target.
bool StaysInside(const std::string& directory, const std::string& path);

// CreateDirectoryA: true when it was created (false also when it exists).
bool MakeDirectory(const std::string& path);
bool DirectoryExists(const std::string& path);
// DeleteFileA.
bool RemoveFile(const std::string& path);

}  // namespace platform
