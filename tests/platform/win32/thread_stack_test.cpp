// Threads of the service reserve the stack they are given, not the
// executable's default reservation, so thousands of sessions stay cheap.
#include <gtest/gtest.h>

#include "platform/thread.h"
#include "platform/win32/windows_api.h"

namespace {

// Adds up the regions of the reservation that holds this thread's stack.
unsigned RecordReservedStack(void* result) {
  MEMORY_BASIC_INFORMATION region{};
  VirtualQuery(&region, &region, sizeof region);
  auto* base = static_cast<char*>(region.AllocationBase);
  std::size_t reserved = 0;
  MEMORY_BASIC_INFORMATION part{};
  while (VirtualQuery(base + reserved, &part, sizeof part) == sizeof part &&
         part.AllocationBase == region.AllocationBase) {
    reserved += part.RegionSize;
  }
  *static_cast<std::size_t*>(result) = reserved;
  return 0;
}

std::size_t ReservedStackOfNewThread(std::size_t requested, bool useDefault) {
  std::size_t reserved = 0;
  platform::ThreadHandle thread =
      useDefault ? platform::CreateThread(&RecordReservedStack, &reserved)
                 : platform::CreateThread(&RecordReservedStack, &reserved, requested);
  EXPECT_NE(thread, nullptr);
  platform::JoinThread(thread);
  return reserved;
}

TEST(ThreadStackTest, ThreadsReserveTheStackSizeTheyAskFor) {
  EXPECT_EQ(ReservedStackOfNewThread(0, true), platform::kThreadStackSize);
  EXPECT_EQ(ReservedStackOfNewThread(4 * 1024 * 1024, false), 4u * 1024 * 1024);
}

}  // namespace
