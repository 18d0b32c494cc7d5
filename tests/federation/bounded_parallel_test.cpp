#include "net/bounded_parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// Every index runs exactly once, never more than `parallel` at a time, and
// the bound is reached (the calls really overlap).
TEST(BoundedParallel, RunsEachIndexOnceWithAtMostTheBoundInFlight) {
  struct Case {
    std::size_t count, parallel, expectedPeak;
  };
  for (const Case& c :
       {Case{10, 3, 3}, Case{2, 8, 2}, Case{5, 1, 1}, Case{4, 0, 1}, Case{0, 4, 0}}) {
    std::vector<std::atomic<int>> runs(c.count);
    std::atomic<std::size_t> inFlight{0}, peak{0};
    RunBounded(c.count, c.parallel, [&](std::size_t i) {
      const std::size_t now = ++inFlight;
      std::size_t seen = peak.load();
      while (now > seen && !peak.compare_exchange_weak(seen, now)) {
      }
      // The first calls wait (bounded) for the others to start.
      for (int w = 0; w < 200 && peak.load() < c.expectedPeak; ++w) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      ++runs[i];
      --inFlight;
    });
    for (std::size_t i = 0; i < c.count; ++i) EXPECT_EQ(runs[i].load(), 1) << i;
    EXPECT_EQ(peak.load(), c.expectedPeak) << c.count << " by " << c.parallel;
  }
}

TEST(BoundedParallel, AThrowingCallDoesNotStopTheOthers) {
  std::atomic<int> done{0};
  RunBounded(6, 2, [&](std::size_t i) {
    if (i == 1) throw 1;
    ++done;
  });
  EXPECT_EQ(done.load(), 5);
}

}  // namespace
