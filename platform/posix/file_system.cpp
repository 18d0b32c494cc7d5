// Paths on posix: a backslash in a description is a separator as on Windows,
// and names are resolved lexically against the base, never through chdir.
#include "platform/file_system.h"

#include <sys/stat.h>
#include <unistd.h>

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

bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }

bool DirectoryExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

}  // namespace platform
