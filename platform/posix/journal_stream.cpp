#include "platform/posix/journal_stream.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>

namespace platform::posix {

bool IsJournalStream(const char* journalStreamVariable, int fd) {
  if (journalStreamVariable == nullptr) return false;
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
  char rest = 0;
  if (std::sscanf(journalStreamVariable, "%" SCNuMAX ":%" SCNuMAX "%c", &device, &inode, &rest) !=
      2) {
    return false;
  }
  struct stat status;
  if (fstat(fd, &status) != 0) return false;
  return static_cast<std::uintmax_t>(status.st_dev) == device &&
         static_cast<std::uintmax_t>(status.st_ino) == inode;
}

}  // namespace platform::posix
