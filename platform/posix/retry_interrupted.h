#pragma once
// The one place where the posix backend retries system calls cut short by a
// signal, so that no call site has to.

#include <cerrno>

namespace platform::posix {

template <typename Call>
auto RetryInterrupted(Call call) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

}  // namespace platform::posix
