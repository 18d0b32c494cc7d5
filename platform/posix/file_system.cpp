// Paths on posix: a backslash in a description is a separator as on Windows,
// and names are resolved lexically against the base, never through chdir.
#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace platform {

std::string DefaultTransferDirectory() { return "/var/lib/vorn/transfer"; }

std::string ResolveFullPath(const std::string& base, const std::string& name) {
  // GetFullPathNameA fails on an empty name: no file is named.
  if (name.empty()) return "";
  std::string combined = name;
  for (char& c : combined) {
    if (c == '\\') c = '/';
  }
  if (combined.empty() || combined.front() != '/') {
    std::string root = base;
    for (char& c : root) {
      if (c == '\\') c = '/';
    }
    combined = root + "/" + combined;
  }
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= combined.size()) {
    std::size_t end = combined.find('/', start);
    if (end == std::string::npos) end = combined.size();
    const std::string part = combined.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string full;
  for (const std::string& part : parts) full += "/" + part;
  // A trailing separator names a directory; GetFullPathNameA keeps it too.
  if (!name.empty() && IsPathSeparator(name.back())) full += "/";
  return full.empty() ? "/" : full;
}

namespace {

std::optional<std::string> RealPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string result(real);
  std::free(real);
  return result;
}

bool IsSameOrBelow(const std::string& base, const std::string& path) {
  if (path.compare(0, base.size(), base) != 0) return false;
  return path.size() == base.size() || base.back() == '/' || path[base.size()] == '/';
}

}  // namespace

bool StaysInside(const std::string& directory, const std::string& path) {
  const std::optional<std::string> realBase = RealPath(directory);
  const std::string base = ResolveFullPath(directory, ".");
  if (!realBase || !IsSameOrBelow(base, path)) return false;
  for (std::size_t end = base.size() + 1; end <= path.size(); ++end) {
    if (end < path.size() && path[end] != '/') continue;
    const std::string part = path.substr(0, end);
    struct stat info;
    // lstat, not stat: a link that leads nowhere exists and is refused below.
    if (lstat(part.c_str(), &info) != 0) return errno == ENOENT;
    const std::optional<std::string> real = RealPath(part);
    if (!real || !IsSameOrBelow(*realBase, *real)) return false;
  }
  return true;
}

bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }

bool DirectoryExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

std::vector<std::string> FilesStartingWith(const std::string& directory,
                                           const std::string& prefix) {
  std::vector<std::string> paths;
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return paths;
  const std::string base =
      directory.empty() || directory.back() == '/' ? directory : directory + "/";
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    struct stat status {};
    if (fstatat(dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(status.st_mode)) {
      continue;
    }
    paths.push_back(base + name);
  }
  closedir(listing);
  return paths;
}

}  // namespace platform
