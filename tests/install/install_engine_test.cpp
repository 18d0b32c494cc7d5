#include "install/install_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "tests/install/install_fakes.h"
#include "tests/install/install_test_support.h"
#include "tests/support/running_server.h"

namespace {

using vorn_test::CFakeInstaller;
using vorn_test::CFakeProcesses;
using vorn_test::Status;

class InstallEngineTest : public testing::Test {
 protected:
  Status Current() {
    Status status;
    engine_->GetStatus(&status.percent, &status.state, &status.text);
    return status;
  }
  bool WaitIdle() {
    for (int i = 0; i < 500 && engine_->IsBusy(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !engine_->IsBusy();
  }

  CFakeProcesses processes_;
  CFakeInstaller installer_;
  std::unique_ptr<CInstallEngine> engine_ =
      std::make_unique<CInstallEngine>(processes_, installer_);
};

TEST_F(InstallEngineTest, StartsIdleWithSuccess) {
  EXPECT_EQ(Current(), (Status{0, kStateSucc, ""}));
  EXPECT_FALSE(engine_->IsBusy());
}

TEST_F(InstallEngineTest, ExecutableRunsQuotedPathWithArgumentsInTheDirectory) {
  ASSERT_EQ(engine_->StartExecutable("/t/p.bin", "-a b", "/t", 0, false), 0u);
  ASSERT_TRUE(WaitIdle());
  ASSERT_EQ(processes_.started.size(), 1u);
  EXPECT_EQ(processes_.started[0].first, "\"/t/p.bin\" -a b");
  EXPECT_EQ(processes_.started[0].second, "/t");
  EXPECT_EQ(Current(), (Status{100, kStateSucc, ""}));
}

TEST_F(InstallEngineTest, EmptyPathRunsTheArgumentsAloneAndDeletesNothing) {
  ASSERT_EQ(engine_->StartExecutable("", "tool -v", "/t", 0, true), 0u);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(processes_.started.at(0).first, "tool -v");
  EXPECT_TRUE(processes_.madeExecutable.empty());
}

TEST_F(InstallEngineTest, NoWaitSucceedsAtOnceAndKeepsTheFile) {
  const auto directory = vorn_test::ScratchDirectory("vorn-engine");
  const auto file = directory / "p.bin";
  std::ofstream(file) << "x";
  processes_.ends = false;
  ASSERT_EQ(engine_->StartExecutable(file.string().c_str(), "", "", 1, true), 0u);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Current(), (Status{100, kStateSucc, ""}));
  EXPECT_FALSE(processes_.waited);
  EXPECT_TRUE(std::filesystem::exists(file));
  std::filesystem::remove_all(directory);
}

TEST_F(InstallEngineTest, ProcessCreationFailureIsReported) {
  processes_.startError = 2;
  ASSERT_EQ(engine_->StartExecutable("/missing", "", "", 0, false), 0u);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Current(), (Status{0, kStateErr, "Process creation error no. 2"}));
}

TEST_F(InstallEngineTest, SecondStartWhileBusyFailsAndLeavesTheStatus) {
  processes_.ends = false;
  ASSERT_EQ(engine_->StartExecutable("/p", "", "", 0, false), 0u);
  ASSERT_TRUE(vorn_test::WaitUntil([&] { return Current().percent == 50; }));
  EXPECT_EQ(engine_->StartInstall("/x.msi", "", false), CInstallEngine::kFail);
  EXPECT_EQ(engine_->StartPostProcessing("/x"), CInstallEngine::kFail);
  EXPECT_EQ(Current(), (Status{50, kStateRun, "Invoking executable."}));
  processes_.ends = true;
  ASSERT_TRUE(WaitIdle());
}

// A program that never ends must not hold up whoever releases the device
// (a session that ends, a new selection, the service's stop).
TEST_F(InstallEngineTest, HungProgramDoesNotBlockTheEngineGoingAway) {
  processes_.ends = false;
  ASSERT_EQ(engine_->StartExecutable("/hangs", "", "", 0, true), 0u);
  ASSERT_TRUE(vorn_test::WaitUntil([&] { return processes_.waited.load(); }));
  const auto start = std::chrono::steady_clock::now();
  vorn_test::RunWithin("deleting an engine whose program hangs", 5000, [&] { engine_.reset(); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(processes_.closed, 1);
}

TEST_F(InstallEngineTest, PostProcessingWithoutObserverSucceeds) {
  ASSERT_EQ(engine_->StartPostProcessing("/f"), 0u);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Current(), (Status{100, kStateSucc, ""}));
}

}  // namespace
