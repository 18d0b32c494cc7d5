#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace {

struct LockProbe {
  platform::Mutex* mutex;
  std::atomic<bool> acquired{false};
  platform::Event done;
};

unsigned TakeLock(void* raw) {
  auto* probe = static_cast<LockProbe*>(raw);
  probe->mutex->Lock();
  probe->acquired = true;
  probe->mutex->Unlock();
  probe->done.Set();
  return 0;
}

TEST(MutexTest, OwnerMayLockAgainAndOthersWaitForTheLastUnlock) {
  platform::Mutex mutex;
  mutex.Lock();
  mutex.Lock();  // re-entry must not deadlock
  LockProbe probe;
  probe.mutex = &mutex;
  platform::ThreadHandle thread = platform::CreateThread(&TakeLock, &probe);
  ASSERT_NE(thread, nullptr);

  EXPECT_FALSE(probe.done.Wait(100));
  mutex.Unlock();
  EXPECT_FALSE(probe.done.Wait(100)) << "one unlock released a lock taken twice";
  EXPECT_FALSE(probe.acquired);
  mutex.Unlock();
  EXPECT_TRUE(probe.done.Wait(5000));
  EXPECT_TRUE(probe.acquired);
  platform::JoinThread(thread);
}

TEST(EventTest, WaitOnAnUnsetEventTimesOutAfterTheGivenTime) {
  platform::Event event;
  auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(event.Wait(150));
  auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(elapsed, std::chrono::milliseconds(140));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, StaysSignalledUntilReset) {
  platform::Event event;
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0)) << "a manual-reset event must not reset itself on a wait";
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

struct Setter {
  platform::Event* event;
};

unsigned SetLater(void* raw) {
  platform::SleepMs(50);
  static_cast<Setter*>(raw)->event->Set();
  return 0;
}

TEST(EventTest, SetFromAnotherThreadWakesTheWaiter) {
  platform::Event event;
  Setter setter{&event};
  platform::ThreadHandle thread = platform::CreateThread(&SetLater, &setter);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(event.Wait(5000));
  platform::JoinThread(thread);
}

}  // namespace

namespace {

// Threads that run at the same time never share a stack, also when their
// stacks are ones that earlier threads gave back: each fills most of its
// stack, waits until all have, then finds its own bytes unchanged.
constexpr int kStackThreads = 32;
constexpr std::size_t kFilledBytes = 96 * 1024;

struct StackProbe {
  std::atomic<int>* filled;
  int id;
  bool intact = false;
};

unsigned FillStack(void* raw) {
  auto* probe = static_cast<StackProbe*>(raw);
  volatile unsigned char bytes[kFilledBytes];
  for (std::size_t i = 0; i < kFilledBytes; ++i) bytes[i] = static_cast<unsigned char>(probe->id);
  probe->filled->fetch_add(1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (probe->filled->load() < kStackThreads && std::chrono::steady_clock::now() < deadline) {
    platform::SleepMs(1);
  }
  bool intact = true;
  for (std::size_t i = 0; i < kFilledBytes; ++i) {
    intact = intact && bytes[i] == static_cast<unsigned char>(probe->id);
  }
  probe->intact = intact;
  return 0;
}

TEST(ThreadTest, LiveThreadsNeverShareAStackAlsoWhenStacksAreReused) {
  for (int round = 0; round < 3; ++round) {
    std::atomic<int> filled{0};
    StackProbe probes[kStackThreads];
    platform::ThreadHandle threads[kStackThreads];
    for (int i = 0; i < kStackThreads; ++i) {
      probes[i].filled = &filled;
      probes[i].id = i + 1;
      threads[i] = platform::CreateThread(&FillStack, &probes[i]);
      ASSERT_NE(threads[i], nullptr);
    }
    for (auto thread : threads) platform::JoinThread(thread);
    for (const StackProbe& probe : probes) EXPECT_TRUE(probe.intact) << "thread " << probe.id;
  }
}

}  // namespace
