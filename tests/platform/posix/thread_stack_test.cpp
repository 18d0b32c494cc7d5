// Threads of the service reserve the stack they are given, not the
// platform's 8 MiB default, so thousands of sessions stay cheap.
#include <gtest/gtest.h>
#include <pthread.h>

#include "platform/thread.h"

namespace {

unsigned RecordStackSize(void* result) {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, static_cast<std::size_t*>(result));
    pthread_attr_destroy(&attributes);
  }
  return 0;
}

std::size_t StackSizeOfNewThread(std::size_t requested, bool useDefault) {
  std::size_t size = 0;
  platform::ThreadHandle thread = useDefault
                                      ? platform::CreateThread(&RecordStackSize, &size)
                                      : platform::CreateThread(&RecordStackSize, &size, requested);
  EXPECT_NE(thread, nullptr);
  platform::JoinThread(thread);
  return size;
}

TEST(ThreadStackTest, ThreadsGetTheStackSizeTheyAskFor) {
  EXPECT_EQ(StackSizeOfNewThread(0, true), platform::kThreadStackSize);
  EXPECT_LT(platform::kThreadStackSize, 8u * 1024 * 1024);
  EXPECT_EQ(StackSizeOfNewThread(1024 * 1024, false), 1024u * 1024);
}

}  // namespace
