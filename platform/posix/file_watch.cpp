#include "platform/posix/file_watch.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/retry_interrupted.h"

namespace platform::posix {
namespace {

constexpr std::uint32_t kEvents = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_CREATE | IN_DELETE |
                                  IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

void SplitPath(const std::string& path, std::string& directory, std::string& name) {
  std::size_t slash = path.rfind('/');
  directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool CFileWatch::Stamp::operator==(const Stamp& other) const {
  return exists == other.exists && device == other.device && inode == other.inode &&
         size == other.size && modified.tv_sec == other.modified.tv_sec &&
         modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
         changed.tv_nsec == other.changed.tv_nsec;
}

CFileWatch::CFileWatch(const std::string& path) : path_(path) {
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ < 0) return;
  // A symbolic link is followed: the link's directory shows the link being
  // replaced, the target's directory edits of the target.
  std::vector<std::string> paths{path};
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr && path != resolved) paths.push_back(resolved);
  for (const std::string& each : paths) {
    std::string directory, name;
    SplitPath(each, directory, name);
    int descriptor = inotify_add_watch(inotify_, directory.c_str(), kEvents | IN_ONLYDIR);
    if (descriptor < 0) {
      Close();
      return;
    }
    watches_.push_back(Watch{descriptor, name});
  }
}

CFileWatch::~CFileWatch() { Close(); }

void CFileWatch::Close() {
  if (inotify_ >= 0) close(inotify_);
  inotify_ = -1;
  watches_.clear();
}

bool CFileWatch::Changed() {
  if (first_) {
    first_ = false;
    if (inotify_ >= 0) {
      DrainEvents();
    } else {
      StampChanged();
    }
    return true;
  }
  if (inotify_ >= 0) return DrainEvents();
  return StampChanged();
}

// Reads every queued event without blocking. A watch that ends (its
// directory removed or moved) or an overflowing queue counts as a change;
// after a lost watch the stat comparison takes over for good.
bool CFileWatch::DrainEvents() {
  alignas(inotify_event) char buffer[4096];
  bool changed = false;
  bool lost = false;
  for (;;) {
    ssize_t n = RetryInterrupted([&] { return read(inotify_, buffer, sizeof buffer); });
    if (n <= 0) break;
    for (char* at = buffer; at < buffer + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + event->len;
      if (event->mask & (IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
        changed = true;
        lost = lost || (event->mask & IN_Q_OVERFLOW) == 0;
        continue;
      }
      if (event->len == 0) continue;
      for (const Watch& watch : watches_) {
        if (watch.descriptor == event->wd && watch.name == event->name) changed = true;
      }
    }
  }
  if (lost) {
    Close();
    StampChanged();
  }
  return changed;
}

bool CFileWatch::StampChanged() {
  Stamp stamp;
  struct stat info;
  if (stat(path_.c_str(), &info) == 0) {
    stamp.exists = true;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modified = info.st_mtim;
    stamp.changed = info.st_ctim;
  }
  bool changed = !(stamp == stamp_);
  stamp_ = stamp;
  return changed;
}

}  // namespace platform::posix
