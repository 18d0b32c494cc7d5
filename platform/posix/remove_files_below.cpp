// The walk goes from directory handle to directory handle with O_NOFOLLOW
// and removes with unlinkat on the handle the name was found in, so a link
// swapped in during the walk leads nowhere.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/posix/retry_interrupted.h"

namespace platform {
namespace {

int RemoveBelow(int directory, int depth,
                const std::function<bool(const std::string& name)>& matches) {
  DIR* listing = fdopendir(directory);
  if (listing == nullptr) {
    close(directory);
    return 0;
  }
  std::vector<std::string> files;
  std::vector<std::string> directories;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status;
    if (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(status.st_mode)) {
      directories.push_back(name);
    } else if (S_ISREG(status.st_mode) && matches(name)) {
      files.push_back(name);
    }
  }
  int removed = 0;
  for (const std::string& name : files) {
    if (unlinkat(directory, name.c_str(), 0) == 0) ++removed;
  }
  if (depth > 1) {
    for (const std::string& name : directories) {
      const int below = posix::RetryInterrupted([&] {
        return openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      });
      if (below >= 0) removed += RemoveBelow(below, depth - 1, matches);
    }
  }
  closedir(listing);
  return removed;
}

}  // namespace

int RemoveFilesBelow(const std::string& directory,
                     const std::function<bool(const std::string& name)>& matches) {
  // The directory itself is the configured one and may be a link.
  const int handle = posix::RetryInterrupted(
      [&] { return open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (handle < 0) return 0;
  return RemoveBelow(handle, kRemoveDepth, matches);
}

}  // namespace platform
