#include "platform/process.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/shutdown.h"
#include "tests/install/install_test_support.h"

namespace {

namespace fs = std::filesystem;

class PosixProcessTest : public testing::Test {
 protected:
  PosixProcessTest() : directory_(vorn_test::ScratchDirectory("vorn-process")) {}
  ~PosixProcessTest() override { fs::remove_all(directory_); }

  // A program that writes its directory and arguments, one a line.
  std::string WriteReporter(const std::string& name) {
    const std::string path = (directory_ / name).string();
    std::ofstream(path)
        << "#!/bin/sh\npwd > out.txt\nfor a in \"$@\"; do echo \"[$a]\" >> out.txt; done\n";
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    return path;
  }

  fs::path directory_;
};

TEST_F(PosixProcessTest, TransferredProgramRunsWithItsArgumentsInTheDirectory) {
  const std::string program = WriteReporter("setup.sh");
  platform::IProcessApi& processes = platform::Processes();
  processes.MakeExecutable(program);
  EXPECT_NE(fs::status(program).permissions() & fs::perms::owner_exec, fs::perms::none);
  platform::ProcessHandle process = nullptr;
  ASSERT_EQ(processes.Start("\"" + program + "\" -a \"b c\" d\\\"e", directory_.string(), process),
            0u);
  ASSERT_TRUE(processes.Wait(process, 5000));
  std::uint32_t code = 99;
  EXPECT_TRUE(processes.ExitCode(process, code));
  EXPECT_EQ(code, 0u);
  processes.Close(process);
  EXPECT_EQ(vorn_test::ReadWholeFile(directory_ / "out.txt"),
            directory_.string() + "\n[-a]\n[b c]\n[d\"e]\n");
}

// Two sessions at once: while one still writes its program, the other's
// fork copies the open file, and until that child execs, exec of the first
// program fails with ETXTBSY. Held open here (as a forked copy would be) for
// a moment, the program still starts.
TEST_F(PosixProcessTest, ProgramHeldOpenForWritingBrieflyStillStarts) {
  const std::string program = WriteReporter("busy.sh");
  platform::IProcessApi& processes = platform::Processes();
  processes.MakeExecutable(program);
  const int writer = open(program.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  std::thread closer([writer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(writer);
  });
  platform::ProcessHandle process = nullptr;
  const std::uint32_t started = processes.Start("\"" + program + "\"", directory_.string(), process);
  closer.join();
  ASSERT_EQ(started, 0u);
  ASSERT_TRUE(processes.Wait(process, 5000));
  processes.Close(process);
  EXPECT_TRUE(fs::exists(directory_ / "out.txt"));
}

TEST_F(PosixProcessTest, StartFailuresCarryWindowsErrorNumbers) {
  platform::IProcessApi& processes = platform::Processes();
  platform::ProcessHandle process = nullptr;
  EXPECT_EQ(processes.Start("\"" + (directory_ / "missing").string() + "\"", "/", process), 2u);
  EXPECT_EQ(process, nullptr);
  const std::string program = WriteReporter("not-executable.sh");
  EXPECT_EQ(processes.Start("\"" + program + "\"", "/", process), 5u);
  EXPECT_EQ(processes.Start("/bin/true", (directory_ / "nodir").string(), process), 267u);
}

TEST_F(PosixProcessTest, RebootRunsTheConfiguredCommandOnly) {
  const fs::path marker = directory_ / "rebooted";
  EXPECT_FALSE(platform::SystemShutdown().Reboot(""));
  EXPECT_TRUE(platform::SystemShutdown().Reboot("touch \"" + marker.string() + "\""));
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_FALSE(platform::SystemShutdown().Reboot("/bin/false"));
}

}  // namespace
