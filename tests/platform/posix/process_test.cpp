#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

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
