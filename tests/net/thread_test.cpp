#include "net/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>

#include "platform/thread.h"
#include "tests/support/log_capture.h"
#include "tests/support/running_server.h"

class CThreadTestAccess {
 public:
  static void SetStartTimeout(CThread& thread, std::uint32_t ms) { thread.startTimeoutMs_ = ms; }
};

namespace {

using vorn_test::CLogCapture;
using vorn_test::WaitUntil;

const std::string kGuardLine = "!!!! Quillon: Thread has terminated with exception !!!!\n";

// A thread whose body the test chooses. Stop releases a body that waits.
class CScriptedThread : public CThread {
 public:
  enum class Body { kReportAndWait, kWaitWithoutReport, kReportAndThrow, kThrowBeforeReport };

  explicit CScriptedThread(Body body) : body_(body) {}
  ~CScriptedThread() override { Stop(); }

  void SetBody(Body body) { body_ = body; }
  int Runs() const { return runs_; }

  void Run() override {
    ++runs_;
    switch (body_.load()) {
      case Body::kReportAndWait:
        SignalStarted(true);
        release_.Wait(10000);
        break;
      case Body::kWaitWithoutReport:
        release_.Wait(10000);
        break;
      case Body::kReportAndThrow:
        SignalStarted(true);
        throw std::runtime_error("body failed");
      case Body::kThrowBeforeReport:
        throw std::runtime_error("set-up failed");
    }
  }

  bool Stop() override {
    if (!IsCreated()) return true;
    release_.Set();
    Join();
    release_.Reset();
    return true;
  }

 private:
  std::atomic<Body> body_;
  std::atomic<int> runs_{0};
  platform::Event release_;
};

using Body = CScriptedThread::Body;

TEST(ThreadTest, StartOnARunningThreadIsRefusedAndCreatesNothing) {
  CScriptedThread thread(Body::kReportAndWait);
  ASSERT_TRUE(thread.Start());
  EXPECT_FALSE(thread.Start());
  EXPECT_EQ(thread.Runs(), 1);
  EXPECT_TRUE(thread.IsRunning());
}

TEST(ThreadTest, EndedThreadIsReapedAndStartedAgain) {
  CScriptedThread thread(Body::kReportAndWait);
  ASSERT_TRUE(thread.Start());
  ASSERT_TRUE(thread.Stop());
  EXPECT_FALSE(thread.IsRunning());
  EXPECT_FALSE(thread.IsCreated());
  ASSERT_TRUE(thread.Start());
  EXPECT_EQ(thread.Runs(), 2);
  EXPECT_TRUE(thread.IsRunning());
}

TEST(ThreadTest, BodyThatNeverReportsFailsTheStartAfterTheTimeout) {
  CScriptedThread thread(Body::kWaitWithoutReport);
  CThreadTestAccess::SetStartTimeout(thread, 200);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(thread.Start());
  const auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_LT(waited, std::chrono::seconds(5));
  // Still registered as created: Stop reaps it.
  EXPECT_TRUE(thread.IsCreated());
  EXPECT_TRUE(thread.Stop());
  EXPECT_FALSE(thread.IsCreated());
}

TEST(ThreadTest, ThrowingBodyWritesTheGuardLineOnceAndStaysRestartable) {
  CLogCapture log;
  CScriptedThread thread(Body::kReportAndThrow);
  EXPECT_TRUE(thread.Start());
  ASSERT_TRUE(WaitUntil([&] { return !thread.IsRunning(); }));
  ASSERT_TRUE(log.WaitFor(kGuardLine));
  thread.SetBody(Body::kReportAndWait);
  ASSERT_TRUE(thread.Start());
  EXPECT_TRUE(thread.IsRunning());
  EXPECT_EQ(log.Count(kGuardLine), 1u);
  EXPECT_EQ(log.Lines().size(), 1u);
}

TEST(ThreadTest, BodyThatEndsWithoutReportingFailsTheStartAtOnce) {
  CLogCapture log;
  CScriptedThread thread(Body::kThrowBeforeReport);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(thread.Start());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  EXPECT_TRUE(log.WaitFor(kGuardLine));
}

TEST(ThreadTest, StopOnANeverStartedThreadReturnsTrueAtOnce) {
  CScriptedThread thread(Body::kReportAndWait);
  EXPECT_TRUE(thread.Stop());
  EXPECT_EQ(thread.Runs(), 0);
}

}  // namespace
