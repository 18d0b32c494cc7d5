// The configuration store of the posix backend: HKEY_LOCAL_MACHINE kept in a
// REGEDIT4 file. Every access first looks whether the file changed on disk,
// so an administrator's edit takes effect without a restart; every change is
// written to a new file that replaces the old one in one rename, so a crash
// or a reader never sees half a file.
#include "platform/registry.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/posix/process_registry.h"
#include "platform/posix/reg_file_format.h"
#include "platform/posix/retry_interrupted.h"

namespace platform {
namespace {

using posix::NamesEqual;
using posix::RegFileDocument;
using posix::RegFileKey;
using posix::RegFileValue;

constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorBadPathname = 161;
constexpr long kErrorWriteFault = 29;

// What identifies one version of the file on disk.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

  bool operator==(const FileStamp& other) const {
    return exists == other.exists && device == other.device && inode == other.inode &&
           size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec;
  }
};

FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return stamp;
  stamp.exists = true;
  stamp.device = info.st_dev;
  stamp.inode = info.st_ino;
  stamp.size = info.st_size;
  stamp.modified = info.st_mtim;
  return stamp;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  int fd = posix::RetryInterrupted([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return false;
  text.clear();
  char buffer[8192];
  bool ok = true;
  for (;;) {
    ssize_t n = posix::RetryInterrupted([&] { return read(fd, buffer, sizeof buffer); });
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return ok;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t n = posix::RetryInterrupted(
        [&] { return write(fd, text.data() + written, text.size() - written); });
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

long WriteErrorOf(int error) {
  return (error == EACCES || error == EPERM || error == EROFS) ? kRegAccessDenied
                                                               : kErrorWriteFault;
}

// Splits "A\B\C" into its components; false for empty components (a leading,
// doubled or trailing backslash), which Windows refuses too.
bool SplitPath(const std::string& path, std::vector<std::string>& parts) {
  parts.clear();
  if (path.empty()) return true;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find('\\', start);
    std::string part = path.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty()) return false;
    parts.push_back(part);
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// True when `path` equals `ancestor` or lies below it.
bool IsAtOrBelow(const std::string& path, const std::string& ancestor) {
  if (ancestor.empty()) return true;
  if (path.size() < ancestor.size() || !NamesEqual(path.substr(0, ancestor.size()), ancestor)) {
    return false;
  }
  return path.size() == ancestor.size() || path[ancestor.size()] == '\\';
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

class CRegistryFile : public IRegistry {
 public:
  explicit CRegistryFile(std::string path) : path_(std::move(path)) {}

  long CreateKey(const std::string& path) override {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> parts;
    if (!SplitPath(path, parts) || HasLineBreak(path)) return kErrorBadPathname;
    Refresh();
    if (KeyExists(path)) return kRegOk;
    // Like regedit's export, every key gets a section, parents first.
    RegFileDocument changed = document_;
    std::string prefix;
    for (const std::string& part : parts) {
      prefix += (prefix.empty() ? "" : "\\") + part;
      if (FindKey(changed, prefix) == nullptr) changed.keys.push_back(RegFileKey{prefix, {}});
    }
    return Save(std::move(changed));
  }

  long OpenKey(const std::string& path) override {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> parts;
    if (!SplitPath(path, parts)) return kRegNotFound;
    Refresh();
    return KeyExists(path) ? kRegOk : kRegNotFound;
  }

  long QueryValue(const std::string& path, const std::string& name, RegistryValue& value) override {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    const RegFileKey* key = FindKey(document_, path);
    if (key == nullptr) return kRegNotFound;
    for (const RegFileValue& entry : key->values) {
      if (NamesEqual(entry.name, name)) {
        value = entry.value;
        return kRegOk;
      }
    }
    return kRegNotFound;
  }

  long SetValue(const std::string& path, const std::string& name, std::uint32_t type,
                const void* data, std::size_t size) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (HasLineBreak(name) || (data == nullptr && size != 0)) return kErrorInvalidParameter;
    Refresh();
    if (!KeyExists(path)) return kRegNotFound;
    RegFileDocument changed = document_;
    RegFileKey* key = FindKey(changed, path);
    if (key == nullptr) {
      // The key exists only as the parent of others: give it a section.
      changed.keys.push_back(RegFileKey{path, {}});
      key = &changed.keys.back();
    }
    RegistryValue value;
    value.type = type;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (size != 0) value.data.assign(bytes, bytes + size);
    bool replaced = false;
    for (RegFileValue& entry : key->values) {
      if (NamesEqual(entry.name, name)) {
        entry.value = value;
        replaced = true;
        break;
      }
    }
    if (!replaced) key->values.push_back(RegFileValue{name, value});
    return Save(std::move(changed));
  }

  long EnumSubKeys(const std::string& path, std::vector<std::string>& names) override {
    std::lock_guard<std::mutex> guard(mutex_);
    names.clear();
    std::vector<std::string> parts;
    if (!SplitPath(path, parts)) return kRegNotFound;
    Refresh();
    if (!KeyExists(path)) return kRegNotFound;
    std::size_t skip = path.empty() ? 0 : path.size() + 1;
    for (const RegFileKey& key : document_.keys) {
      if (key.path.size() <= skip || !IsAtOrBelow(key.path, path)) continue;
      std::string child = key.path.substr(skip, key.path.find('\\', skip) - skip);
      bool seen = false;
      for (const std::string& name : names) seen = seen || NamesEqual(name, child);
      if (!seen) names.push_back(child);
    }
    return kRegOk;
  }

 private:
  static const RegFileKey* FindKey(const RegFileDocument& document, const std::string& path) {
    for (const RegFileKey& key : document.keys) {
      if (NamesEqual(key.path, path)) return &key;
    }
    return nullptr;
  }
  static RegFileKey* FindKey(RegFileDocument& document, const std::string& path) {
    for (RegFileKey& key : document.keys) {
      if (NamesEqual(key.path, path)) return &key;
    }
    return nullptr;
  }

  // A key named only as part of a deeper key's path exists too.
  bool KeyExists(const std::string& path) const {
    if (path.empty()) return true;
    for (const RegFileKey& key : document_.keys) {
      if (IsAtOrBelow(key.path, path)) return true;
    }
    return false;
  }

  void Refresh() {
    FileStamp stamp = StampOf(path_);
    if (loaded_ && stamp == stamp_) return;
    std::string text;
    if (stamp.exists && !ReadWholeFile(path_, text)) {
      // Unreadable for now: keep what was read before and try again next time.
      return;
    }
    document_ = stamp.exists ? posix::ParseRegFile(text) : RegFileDocument();
    stamp_ = stamp;
    loaded_ = true;
  }

  // Writes the changed document next to the file and renames it over the
  // file; only then does the change count.
  long Save(RegFileDocument changed) {
    if (path_.empty()) return kRegAccessDenied;
    std::string target = path_;
    char resolved[PATH_MAX];
    if (realpath(path_.c_str(), resolved) != nullptr) target = resolved;  // keep a symlink
    std::string temp = target + ".XXXXXX";
    int fd = posix::RetryInterrupted([&] { return mkostemp(temp.data(), O_CLOEXEC); });
    if (fd < 0) return WriteErrorOf(errno);
    struct stat old;
    mode_t mode = stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    fchmod(fd, mode);
    bool ok = WriteAll(fd, posix::FormatRegFile(changed)) &&
              posix::RetryInterrupted([&] { return fsync(fd); }) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
      ok = false;
      error = errno;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
      ok = false;
      error = errno;
    }
    if (!ok) {
      unlink(temp.c_str());
      return WriteErrorOf(error);
    }
    SyncDirectoryOf(target);
    document_ = std::move(changed);
    stamp_ = StampOf(path_);
    loaded_ = true;
    return kRegOk;
  }

  // The rename itself survives a power cut only once the directory is synced.
  static void SyncDirectoryOf(const std::string& file) {
    std::size_t slash = file.rfind('/');
    std::string directory = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
  }

  const std::string path_;
  std::mutex mutex_;
  RegFileDocument document_;
  FileStamp stamp_;
  bool loaded_ = false;
};

std::mutex processPathMutex;
std::string processPath;

}  // namespace

std::unique_ptr<IRegistry> OpenRegistryFile(const std::string& path) {
  return std::make_unique<CRegistryFile>(path);
}

void posix::SetProcessRegistryPath(const std::string& path) {
  std::lock_guard<std::mutex> guard(processPathMutex);
  processPath = path;
}

// Opened on first use with the path ConfigureProcess chose; without one (a
// test program that never configured the process) VORN_REGISTRY names it,
// and failing that the store is empty and refuses writes.
IRegistry& Registry() {
  static std::unique_ptr<IRegistry> store = [] {
    std::lock_guard<std::mutex> guard(processPathMutex);
    std::string path = processPath;
    if (path.empty()) {
      const char* fromEnvironment = getenv("VORN_REGISTRY");
      if (fromEnvironment != nullptr) path = fromEnvironment;
    }
    return OpenRegistryFile(path);
  }();
  return *store;
}

}  // namespace platform
