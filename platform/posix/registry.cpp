// The configuration store of the posix backend: HKEY_LOCAL_MACHINE kept in a
// registry file that an administrator edits too. The file is read again only
// when its directory reports a change (inotify), so an edit takes effect
// without a restart and an unchanged file costs one non-blocking read per
// access.
//
// A file that cannot be read as a whole is never written, and the store keeps
// answering from the last version that could be read (a start-up with such a
// file is refused before this matters, see process_config.cpp). A write
// changes only the lines of what it writes; it takes "<file>.lock" first,
// reads the file again under that lock, so that a writer in another process
// loses nothing, and replaces the file in one rename, so that a crash or a
// reader never sees half a file.
#include "platform/registry.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>

#include "platform/debug_output.h"
#include "platform/posix/file_watch.h"
#include "platform/posix/process_registry.h"
#include "platform/posix/reg_file_format.h"
#include "platform/posix/retry_interrupted.h"

namespace platform {
namespace {

using posix::RegFile;

constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorBadPathname = 161;
constexpr long kErrorWriteFault = 29;

std::atomic<std::uint64_t> fileReads{0};

// 0 or the errno of the failure.
int ReadWholeFile(const std::string& path, std::string& bytes) {
  ++fileReads;
  bytes.clear();
  int fd = posix::RetryInterrupted([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return errno;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    return EISDIR;
  }
  char buffer[65536];
  int error = 0;
  for (;;) {
    ssize_t n = posix::RetryInterrupted([&] { return read(fd, buffer, sizeof buffer); });
    if (n < 0) error = errno;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return error;
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

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

// An exclusive lock on "<file>.lock" that serialises writers across
// processes. The lock file is removed while still held; a writer that locked
// a lock file that was removed meanwhile starts again with the new one.
class CLockFile {
 public:
  ~CLockFile() {
    if (fd_ < 0) return;
    unlink(path_.c_str());
    close(fd_);
  }

  long Acquire(const std::string& path) {
    path_ = path;
    for (;;) {
      int fd = posix::RetryInterrupted(
          [&] { return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); });
      if (fd < 0) return WriteErrorOf(errno);
      if (posix::RetryInterrupted([&] { return flock(fd, LOCK_EX); }) != 0) {
        int error = errno;
        close(fd);
        return WriteErrorOf(error);
      }
      struct stat held, named;
      if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
          held.st_ino == named.st_ino) {
        fd_ = fd;
        return kRegOk;
      }
      close(fd);
    }
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// The rename itself survives a power cut only once the directory is synced.
void SyncDirectoryOf(const std::string& file) {
  std::size_t slash = file.rfind('/');
  std::string directory = slash == std::string::npos ? "." : file.substr(0, slash + 1);
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Writes `bytes` next to the file and renames it over the file (the target
// of a symbolic link, so that the link stays).
long ReplaceFile(const std::string& path, const std::string& bytes) {
  std::string target = path;
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) target = resolved;
  std::string temp = target + ".XXXXXX";
  int fd = posix::RetryInterrupted([&] { return mkostemp(temp.data(), O_CLOEXEC); });
  if (fd < 0) return WriteErrorOf(errno);
  struct stat old;
  if (stat(target.c_str(), &old) == 0) {
    fchmod(fd, old.st_mode & 07777);
    if (fchown(fd, old.st_uid, old.st_gid) != 0) {
      // Only root may give the file away; the mode is what matters here.
    }
  }
  bool ok = WriteAll(fd, bytes) && posix::RetryInterrupted([&] { return fsync(fd); }) == 0;
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
  return kRegOk;
}

class CRegistryFile : public IRegistry {
 public:
  explicit CRegistryFile(std::string path) : path_(std::move(path)), watch_(path_) {}

  long CreateKey(const std::string& path) override {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> parts;
    if (!SplitPath(path, parts) || HasLineBreak(path)) return kErrorBadPathname;
    Refresh();
    if (posix::RegFileKeyExists(file_, path)) return kRegOk;
    return Edit([&](RegFile& file) -> long {
      // Like regedit's export, every missing key gets a section, parents first.
      std::string prefix;
      for (const std::string& part : parts) {
        prefix += (prefix.empty() ? "" : "\\") + part;
        if (!posix::RegFileKeyExists(file, prefix)) posix::AddRegFileKey(file, prefix);
      }
      return kRegOk;
    });
  }

  long OpenKey(const std::string& path) override {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> parts;
    if (!SplitPath(path, parts)) return kRegNotFound;
    Refresh();
    return posix::RegFileKeyExists(file_, path) ? kRegOk : kRegNotFound;
  }

  long QueryValue(const std::string& path, const std::string& name, RegistryValue& value) override {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    const posix::RegFileValue* found = posix::FindRegFileValue(file_, path, name);
    if (found == nullptr) return kRegNotFound;
    value = found->value;
    return kRegOk;
  }

  long SetValue(const std::string& path, const std::string& name, std::uint32_t type,
                const void* data, std::size_t size) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (HasLineBreak(name) || (data == nullptr && size != 0)) return kErrorInvalidParameter;
    RegistryValue value;
    value.type = type;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (size != 0) value.data.assign(bytes, bytes + size);
    return Edit([&](RegFile& file) -> long {
      if (!posix::RegFileKeyExists(file, path)) return kRegNotFound;
      return posix::SetRegFileValue(file, path, name, value) ? kRegOk : kErrorInvalidParameter;
    });
  }

  long EnumSubKeys(const std::string& path, std::vector<std::string>& names) override {
    std::lock_guard<std::mutex> guard(mutex_);
    names.clear();
    std::vector<std::string> parts;
    if (!SplitPath(path, parts)) return kRegNotFound;
    Refresh();
    if (!posix::RegFileKeyExists(file_, path)) return kRegNotFound;
    names = posix::RegFileSubKeys(file_, path);
    return kRegOk;
  }

  std::uint64_t ChangeCount() override {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    return changeCount_;
  }

  std::vector<std::string> Problems() override {
    std::lock_guard<std::mutex> guard(mutex_);
    Refresh();
    return problems_;
  }

 private:
  void Refresh() {
    if (loaded_ && !watch_.Changed()) return;
    ++changeCount_;
    std::string bytes;
    int error = ReadWholeFile(path_, bytes);
    Take(error, error == 0 ? posix::ParseRegFile(bytes) : RegFile{});
  }

  // Makes what was just read the store's state: a sound file replaces it; a
  // file with problems only replaces a state that never was sound.
  void Take(int readError, RegFile file) {
    loaded_ = true;
    std::vector<std::string> problems;
    if (readError != 0) {
      problems.push_back(path_ +
                         ": cannot read the configuration store: " + std::strerror(readError));
    }
    for (const posix::RegFileProblem& problem : file.problems) {
      problems.push_back(path_ + ":" + std::to_string(problem.line) + ": " + problem.message);
    }
    if (problems.empty()) {
      file_ = std::move(file);
      sound_ = true;
      problems_.clear();
      return;
    }
    if (sound_ && problems != problems_) {
      // Running on: say once why edits are not taken up.
      for (const std::string& problem : problems) {
        DebugOutput(("VORN: " + problem + "\n").c_str());
      }
      DebugOutput(("VORN: " + path_ +
                   ": ignored until it is corrected; the configuration read before stays in use\n")
                      .c_str());
    }
    problems_ = std::move(problems);
    if (!sound_) file_ = std::move(file);
  }

  // Applies `change` to the file as it is on disk now, under the lock file,
  // and writes the result if it differs.
  long Edit(const std::function<long(RegFile&)>& change) {
    CLockFile lock;
    long result = lock.Acquire(path_ + ".lock");
    if (result != kRegOk) return result;
    std::string bytes;
    int error = ReadWholeFile(path_, bytes);
    if (error == ENOENT) {
      Take(error, RegFile{});
      return kRegNotFound;
    }
    RegFile file = error == 0 ? posix::ParseRegFile(bytes) : RegFile{};
    Take(error, file);
    if (!problems_.empty()) return kRegBadDatabase;
    result = change(file);
    if (result != kRegOk) return result;
    std::string changed = posix::EncodeRegFile(file);
    if (changed == bytes) return kRegOk;
    result = ReplaceFile(path_, changed);
    if (result != kRegOk) return result;
    file_ = std::move(file);
    ++changeCount_;
    return kRegOk;
  }

  const std::string path_;
  std::mutex mutex_;
  posix::CFileWatch watch_;
  RegFile file_;
  std::vector<std::string> problems_;
  bool loaded_ = false;
  bool sound_ = false;  // a version without problems was read
  std::uint64_t changeCount_ = 0;
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

std::uint64_t posix::RegistryFileReads() { return fileReads; }

// Opened on first use with the path ConfigureProcess chose; without one (a
// test program that never configured the process) VORN_REGISTRY names it.
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
