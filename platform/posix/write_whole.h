#pragma once
// Writes every byte or says why not: write may take less than it was given,
// and a write of 0 on a regular file means the disk is full.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "platform/posix/retry_interrupted.h"

namespace platform::posix {

inline bool WriteWhole(int file, const void* data, std::size_t length, std::string& errorText) {
  if (file < 0) {
    errorText = std::strerror(EBADF);
    return false;
  }
  const char* next = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = RetryInterrupted([&] { return write(file, next, length); });
    if (n <= 0) {
      errorText = std::strerror(n < 0 ? errno : ENOSPC);
      return false;
    }
    next += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform::posix
