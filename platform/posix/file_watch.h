#pragma once
// Tells cheaply whether a file may have changed since the last look: inotify
// on the file's directory (so that edits in place, a rename over the file and
// its removal are all seen) read without blocking, one system call per look.
// Where inotify is not available it falls back to comparing stat results.

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

namespace platform::posix {

class CFileWatch {
 public:
  explicit CFileWatch(const std::string& path);
  ~CFileWatch();
  CFileWatch(const CFileWatch&) = delete;
  CFileWatch& operator=(const CFileWatch&) = delete;

  // True on the first call and whenever the file may have changed since the
  // previous call.
  bool Changed();

 private:
  struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const Stamp& other) const;
  };
  struct Watch {
    int descriptor;
    std::string name;  // the file's name in the watched directory
  };
  bool DrainEvents();
  bool StampChanged();
  void Close();

  std::string path_;
  int inotify_ = -1;
  std::vector<Watch> watches_;
  bool first_ = true;
  Stamp stamp_;
};

}  // namespace platform::posix
