#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/file_system.h"
#include "platform/posix/retry_interrupted.h"
#include "platform/posix/write_whole.h"

namespace platform {

struct CPrivateFile::State {
  int file = -1;
};

namespace {

// 64 bits from the kernel's generator as hex: a name nobody can send first.
bool RandomPart(std::string& part) {
  std::uint64_t value = 0;
  if (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) return false;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  part = text;
  return true;
}

}  // namespace

CPrivateFile::CPrivateFile() : state_(std::make_unique<State>()) {}

CPrivateFile::~CPrivateFile() { Close(); }

bool CPrivateFile::Create(const std::string& directory, const std::string& prefix,
                          const std::string& suffix) {
  Close();
  path_.clear();
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string part;
    if (!RandomPart(part)) {
      errorText_ = std::strerror(errno);
      return false;
    }
    std::string path = directory;
    if (path.empty() || path.back() != '/') path += '/';
    path += prefix + part + suffix;
    state_->file = posix::RetryInterrupted([&] {
      return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    });
    if (state_->file >= 0) {
      path_ = path;
      return true;
    }
    if (errno != EEXIST) break;
  }
  errorText_ = std::strerror(errno);
  return false;
}

bool CPrivateFile::Write(const void* data, std::size_t length) {
  return posix::WriteWhole(state_->file, data, length, errorText_);
}

bool CPrivateFile::Close() {
  if (state_->file < 0) return true;
  const bool closed = close(state_->file) == 0;
  if (!closed) errorText_ = std::strerror(errno);
  state_->file = -1;
  return closed;
}

}  // namespace platform
