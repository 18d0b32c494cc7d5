// Threads of the service reserve the stack they are given, not the
// executable's default reservation, so thousands of sessions stay cheap.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/thread.h"
#include "platform/win32/windows_api.h"

namespace {

struct Stack {
  std::size_t reserved = 0;
};

// Adds up the regions of the reservation that holds this thread's stack.
unsigned RecordStack(void* result) {
  MEMORY_BASIC_INFORMATION region{};
  VirtualQuery(&region, &region, sizeof region);
  auto* base = static_cast<char*>(region.AllocationBase);
  Stack stack;
  MEMORY_BASIC_INFORMATION part{};
  while (VirtualQuery(base + stack.reserved, &part, sizeof part) == sizeof part &&
         part.AllocationBase == region.AllocationBase) {
    stack.reserved += part.RegionSize;
  }
  *static_cast<Stack*>(result) = stack;
  return 0;
}

Stack StackOfNewThread(std::size_t requested, bool useDefault) {
  Stack stack;
  platform::ThreadHandle thread = useDefault
                                      ? platform::CreateThread(&RecordStack, &stack)
                                      : platform::CreateThread(&RecordStack, &stack, requested);
  EXPECT_NE(thread, nullptr);
  platform::JoinThread(thread);
  return stack;
}

// The executable's default reservation is 2 MiB; Wine reserves at least
// 1 MiB for any thread (and maps it all), Windows rounds up to 64 KiB.
TEST(ThreadStackTest, ThreadsReserveTheStackSizeTheyAskFor) {
  constexpr std::size_t kMiB = 1024 * 1024;
  const Stack standard = StackOfNewThread(0, true);
  EXPECT_GE(standard.reserved, platform::kThreadStackSize);
  EXPECT_LE(standard.reserved, std::max(platform::kThreadStackSize, kMiB));
  const Stack large = StackOfNewThread(4 * kMiB, false);
  EXPECT_EQ(large.reserved, 4 * kMiB);
}

}  // namespace
