// Replacement files on posix: the directories are walked with openat and
// O_NOFOLLOW from the one the caller trusts, the file is created in the last
// of them with O_EXCL, and the rename happens between the same two handles,
// so no name is looked up again after it was checked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/file_system.h"
#include "platform/posix/retry_interrupted.h"
#include "platform/posix/write_whole.h"

namespace platform {

struct CReplacementFile::State {
  int directory = -1;
  int file = -1;
  std::string tempName;
  std::string finalName;
  // A device or pipe under the name is written as it is, never replaced.
  bool inPlace = false;
};

namespace {

std::atomic<unsigned> nextNumber{0};

std::string RealPathOr(const std::string& path, const std::string& otherwise) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return otherwise;
  std::string result(real);
  std::free(real);
  return result;
}

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

bool CReplacementFile::Open(const std::string& requested, const std::string& within) {
  Discard();
  errorText_.clear();
  std::string path = requested;
  struct stat named;
  // Where transfers may go anywhere, a link at the name keeps working as it
  // did: what it leads to is replaced, not the link.
  if (within.empty() && lstat(path.c_str(), &named) == 0 && S_ISLNK(named.st_mode)) {
    path = RealPathOr(path, path);
  }
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
    // Links that stay inside (the directory itself may be one that the
    // configuration names) are resolved once, here; the walk below then
    // follows none, so one swapped in from now on is refused.
    for (std::size_t end = start; end <= slash; ++end) {
      if (end < slash && path[end] != '/') continue;
      mkdir(path.substr(0, end).c_str(), 0777);
    }
    const std::string realBase = RealPathOr(base, "");
    const std::string realDirectory = RealPathOr(directory, "");
    if (realBase.empty() || realDirectory.empty()) return fail(errno);
    if (realDirectory.compare(0, realBase.size(), realBase) != 0 ||
        (realDirectory.size() > realBase.size() && realBase != "/" &&
         realDirectory[realBase.size()] != '/')) {
      return fail(EXDEV);
    }
    state_->directory = open(realBase.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    below = realDirectory.size() > realBase.size() ? realDirectory.substr(realBase.size() + 1)
                                                   : std::string();
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

  struct stat existing;
  if (fstatat(state_->directory, state_->finalName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    // A directory in the file's place could not be replaced at the end.
    if (S_ISDIR(existing.st_mode)) return fail(EISDIR);
    if (S_ISLNK(existing.st_mode)) return fail(ELOOP);
    if (!S_ISREG(existing.st_mode)) {
      state_->inPlace = true;
      state_->file = posix::RetryInterrupted([&] {
        return openat(state_->directory, state_->finalName.c_str(),
                      O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
      });
      return state_->file >= 0 || fail(errno);
    }
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
  return posix::WriteWhole(state_->file, data, length, errorText_);
}

bool CReplacementFile::Commit() {
  if (state_->file < 0) {
    errorText_ = std::strerror(EBADF);
    return false;
  }
  if (state_->inPlace) {
    const bool closed = close(state_->file) == 0;
    if (!closed) errorText_ = std::strerror(errno);
    state_->file = -1;
    Discard();
    return closed;
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
  state_->inPlace = false;
}

}  // namespace platform
