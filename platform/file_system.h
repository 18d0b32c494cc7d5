#pragma once
// Files and directories as the installation sees them. Paths are byte strings
// handed to the platform's ANSI functions unchanged.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
// The full paths of the plain files directly in `directory` whose names start
// with `prefix`; directories and links are left out. Empty when the directory
// cannot be read.
std::vector<std::string> FilesStartingWith(const std::string& directory, const std::string& prefix);

// Removes the regular files in directory and the directories below it
// (down to kRemoveDepth levels) whose names `matches` accepts; returns how
// many went. Links (and on Windows junctions) are never followed nor
// removed, so nothing outside the directory can be reached through one.
constexpr int kRemoveDepth = 16;
int RemoveFilesBelow(const std::string& directory,
                     const std::function<bool(const std::string& name)>& matches);

// A file that replaces the one at a path only once it is complete: written
// under a temporary name of its own in the same directory, then flushed to
// disk and renamed onto the path, and the rename itself flushed. Readers, a
// second writer of the same name and a crash or power cut at any moment see
// the earlier file or the new one, whole; the name is never left torn.
// Temporary names start with kReplacementPrefix.
class CReplacementFile {
 public:
  static constexpr const char* kReplacementPrefix = "~vorn-";

  CReplacementFile();
  // Discards what was not committed.
  ~CReplacementFile();
  CReplacementFile(const CReplacementFile&) = delete;
  CReplacementFile& operator=(const CReplacementFile&) = delete;

  // Starts the new file for path (a full path). With `within` (a directory
  // that path lies below), every directory from there down to the file's
  // and the temporary file are opened without following a link or junction,
  // and the missing ones are created on the way: a link swapped in at any
  // moment is refused, not written through. Without it the parent directory
  // must exist and is reached as the system resolves it.
  bool Open(const std::string& path, const std::string& within = std::string());
  bool IsOpen() const;
  // All of data, or false (the file stays open; Discard removes it).
  bool Write(const void* data, std::size_t length);
  // Puts the file in place under its path. False, with the file discarded
  // and the path untouched, when any step fails.
  bool Commit();
  // Removes the temporary file; the path keeps what it had.
  void Discard();
  // The system's text for the last failure ("No space left on device").
  const std::string& ErrorText() const { return errorText_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::string errorText_;
};

// A new file that only its creator can name: created in `directory` as
// prefix + an unpredictable part + suffix, never over an existing file and
// never through a link, so no name a peer sends can reach it ahead of time
// or take its place. The creator removes it when done with it.
class CPrivateFile {
 public:
  CPrivateFile();
  // Closes the file; it stays.
  ~CPrivateFile();
  CPrivateFile(const CPrivateFile&) = delete;
  CPrivateFile& operator=(const CPrivateFile&) = delete;

  bool Create(const std::string& directory, const std::string& prefix, const std::string& suffix);
  // All of data, or false.
  bool Write(const void* data, std::size_t length);
  // Closes the file; false when it did not close cleanly.
  bool Close();
  // The full path of the created file; empty before Create succeeded.
  const std::string& Path() const { return path_; }
  const std::string& ErrorText() const { return errorText_; }

 private:
  struct State;
  std::unique_ptr<State> state_;
  std::string path_;
  std::string errorText_;
};

}  // namespace platform
