// Entries that are reparse points (links, junctions) are left alone and
// never entered, so nothing outside the directory is reached through one.
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

int RemoveBelow(const std::string& directory, int depth,
                const std::function<bool(const std::string& name)>& matches) {
  WIN32_FIND_DATAA entry;
  const HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return 0;
  std::vector<std::string> directories;
  int removed = 0;
  do {
    const std::string name = entry.cFileName;
    if (name == "." || name == "..") continue;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      directories.push_back(name);
    } else if (matches(name) && DeleteFileA((directory + "\\" + name).c_str()) != 0) {
      ++removed;
    }
  } while (FindNextFileA(search, &entry) != 0);
  FindClose(search);
  if (depth > 1) {
    for (const std::string& name : directories) {
      removed += RemoveBelow(directory + "\\" + name, depth - 1, matches);
    }
  }
  return removed;
}

}  // namespace

int RemoveFilesBelow(const std::string& directory,
                     const std::function<bool(const std::string& name)>& matches) {
  std::string root = directory;
  while (root.size() > 1 && IsPathSeparator(root.back())) root.pop_back();
  return RemoveBelow(root, kRemoveDepth, matches);
}

}  // namespace platform
