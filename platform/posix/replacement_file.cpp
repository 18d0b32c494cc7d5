// Replacement files on posix: the directories are walked with openat and
// O_NOFOLLOW from the one the caller trusts, the file is created in the last
// of them with O_EXCL, and the rename happens between the same two handles,
// so no name is looked up again after it was checked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/file_system.h"
#include "platform/posix/retry_interrupted.h"

namespace platform {

struct CReplacementFile::State {
  int directory = -1;
  int file = -1;
  std::string tempName;
  std::string finalName;
};

namespace {

std::atomic<unsigned> nextNumber{0};

int OpenDirectoryBelow(int parent, const std::string& name) {
  if (mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) return -1;
  return posix::RetryInterrupted([&] {
    return openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  });
}

}  // namespace

CReplacementFile::CReplacementFile() : state_(std::make_unique<State>()) {}

CReplacementFile::~CReplacementFile() { Discard(); }

bool CReplacementFile::IsOpen() const { return state_->file >= 0; }

bool CReplacementFile::Open(const std::string& path, const std::string& within) {
  Discard();
  errorText_.clear();
  auto fail = [&](int error) {
    errorText_ = std::strerror(error);
    Discard();
    return false;
  };
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return fail(EINVAL);
  state_->finalName = path.substr(slash + 1);
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);

  std::string below;
  if (within.empty()) {
    state_->directory = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } else {
    const std::string base = ResolveFullPath(within, ".");
    const std::size_t start = base == "/" ? 1 : base.size() + 1;
    if (path.compare(0, base.size(), base) != 0 || (base != "/" && path[base.size()] != '/')) {
      return fail(EXDEV);
    }
    // The directory itself may be a link that the configuration names.
    state_->directory = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    below = start <= slash ? path.substr(start, slash - start) : std::string();
  }
  if (state_->directory < 0) return fail(errno);
  std::size_t from = 0;
  while (from < below.size()) {
    std::size_t end = below.find('/', from);
    if (end == std::string::npos) end = below.size();
    const std::string part = below.substr(from, end - from);
    from = end + 1;
    if (part.empty()) continue;
    const int next = OpenDirectoryBelow(state_->directory, part);
    if (next < 0) return fail(errno);
    close(state_->directory);
    state_->directory = next;
  }

  // A directory in the file's place could not be replaced at the end: refuse now.
  struct stat existing;
  if (fstatat(state_->directory, state_->finalName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(existing.st_mode)) {
    return fail(EISDIR);
  }
  state_->tempName = std::string(kReplacementPrefix) + std::to_string(getpid()) + "-" +
                     std::to_string(nextNumber++) + ".tmp";
  state_->file = posix::RetryInterrupted([&] {
    return openat(state_->directory, state_->tempName.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  });
  if (state_->file < 0) {
    const int error = errno;
    state_->tempName.clear();
    return fail(error);
  }
  return true;
}

bool CReplacementFile::Write(const void* data, std::size_t length) {
  if (state_->file < 0) {
    errorText_ = std::strerror(EBADF);
    return false;
  }
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = posix::RetryInterrupted([&] { return write(state_->file, next, length); });
    if (n <= 0) {
      errorText_ = std::strerror(n < 0 ? errno : ENOSPC);
      return false;
    }
    next += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool CReplacementFile::Commit() {
  if (state_->file < 0) {
    errorText_ = std::strerror(EBADF);
    return false;
  }
  int error = 0;
  // The data must be on disk before the name points at it.
  if (posix::RetryInterrupted([&] { return fsync(state_->file); }) != 0) error = errno;
  if (close(state_->file) != 0 && error == 0) error = errno;
  state_->file = -1;
  if (error == 0 && renameat(state_->directory, state_->tempName.c_str(), state_->directory,
                             state_->finalName.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    errorText_ = std::strerror(error);
    Discard();
    return false;
  }
  state_->tempName.clear();
  // The rename survives a power cut only once the directory is synced.
  fsync(state_->directory);
  Discard();
  return true;
}

void CReplacementFile::Discard() {
  if (state_->file >= 0) close(state_->file);
  state_->file = -1;
  if (state_->directory >= 0) {
    if (!state_->tempName.empty()) unlinkat(state_->directory, state_->tempName.c_str(), 0);
    close(state_->directory);
  }
  state_->directory = -1;
  state_->tempName.clear();
}

}  // namespace platform
