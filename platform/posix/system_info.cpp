#include "platform/system_info.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "platform/posix/retry_interrupted.h"

namespace platform {
namespace {

void FillRandom(unsigned char* bytes, std::size_t size) {
  std::size_t filled = 0;
  int fd = posix::RetryInterrupted([] { return open("/dev/urandom", O_RDONLY | O_CLOEXEC); });
  if (fd >= 0) {
    while (filled < size) {
      ssize_t n = posix::RetryInterrupted([&] { return read(fd, bytes + filled, size - filled); });
      if (n <= 0) break;
      filled += static_cast<std::size_t>(n);
    }
    close(fd);
  }
  // Without /dev/urandom (a bare chroot) the identity must still be unique.
  std::random_device device;
  for (; filled < size; ++filled) bytes[filled] = static_cast<unsigned char>(device());
}

}  // namespace

// A random (version 4, RFC 4122 variant) GUID, printed as StringFromGUID2 does.
std::string CreateGuidText() {
  unsigned char b[16];
  FillRandom(b, sizeof b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char text[39];
  std::snprintf(text, sizeof text,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                b[14], b[15]);
  return text;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

}  // namespace platform
