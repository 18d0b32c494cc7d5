// The Windows Installer step against a scripted installer: what it calls, how
// it answers the installer's messages, and which final status each outcome
// gives.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "install/install_engine.h"
#include "install/patch_info.h"
#include "platform/installer.h"
#include "tests/install/install_fakes.h"
#include "tests/install/install_test_support.h"
#include "tests/support/running_server.h"

namespace {

using vorn_test::CFakeInstaller;
using vorn_test::CFakeProcesses;
using vorn_test::Status;
using Message = CFakeInstaller::Message;

constexpr std::uint32_t kError = 0x01000000;
constexpr std::uint32_t kWarning = 0x02000000;
constexpr std::uint32_t kFilesInUse = 0x05000000;
constexpr std::uint32_t kOutOfDisk = 0x07000000;
constexpr std::uint32_t kActionData = 0x09000000;
constexpr std::uint32_t kProgress = 0x0A000000;
constexpr std::uint32_t kShowDialog = 0x0E000000;
const std::string kProperties = "ALLUSERS=2 MK_REMOTE_INSTALL=1 REBOOT=Suppress ";

class InstallerStepTest : public testing::Test {
 protected:
  InstallerStepTest() : directory_(vorn_test::ScratchDirectory("vorn-msi")) {}
  ~InstallerStepTest() override {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  // Runs one installer step on the file named name (created first) and
  // returns its final status.
  Status Run(const std::string& name, const std::string& commandLine = "",
             bool deleteAfter = false) {
    path_ = (directory_ / name).string();
    std::ofstream(path_) << "package";
    CInstallEngine engine(processes_, installer_);
    EXPECT_EQ(engine.StartInstall(path_.c_str(), commandLine.c_str(), deleteAfter), 0u);
    for (int i = 0; i < 500 && engine.IsBusy(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(engine.IsBusy());
    Status status;
    engine.GetStatus(&status.percent, &status.state, &status.text);
    EXPECT_EQ(installer_.OpenHandles(), 0u) << "installer handles left open";
    return status;
  }
  bool FileKept() const { return std::filesystem::exists(path_); }

  std::filesystem::path directory_;
  std::string path_;
  CFakeProcesses processes_;
  CFakeInstaller installer_;
};

TEST_F(InstallerStepTest, ProductInstallPassesTheServicePropertiesFirst) {
  EXPECT_EQ(Run("p.msi", "FOO=1", true), (Status{100, kStateSucc, ""}));
  ASSERT_EQ(installer_.calls.size(), 1u);
  EXPECT_EQ(installer_.calls[0], "install " + path_ + " " + kProperties + "FOO=1");
  EXPECT_EQ(installer_.uiLevel, 4u);
  EXPECT_EQ(installer_.filter, 0x46AFu);
  EXPECT_EQ(installer_.queriedProduct, installer_.productCode);
  EXPECT_FALSE(FileKept());
}

TEST_F(InstallerStepTest, InstalledProductIsReinstalledWithThePrefixInFront) {
  installer_.productState = 5;
  Run("p.msi", "FOO=1");
  EXPECT_EQ(installer_.calls.at(0),
            "install " + path_ + " REINSTALL=ALL REINSTALLMODE=vdmus " + kProperties + "FOO=1");
}

TEST_F(InstallerStepTest, ResultCodesMapToTheFinalStatus) {
  struct Case {
    const char* name;
    std::uint32_t result;
    std::vector<Message> messages;
    Status status;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"restart needed keeps the file", 3010, {}, {100, kStateBoot, ""}, true},
      {"patch target missing",
       1642,
       {},
       {100, kStateErr, "skipped: Target is not available"},
       false},
      {"user cancelled at 25 percent",
       1602,
       {{kProgress, "1: 0 2: 200 3: 0 4: 0"}, {kProgress, "1: 2 2: 50"}},
       {25, kStateErr, "Cancelled by local user."},
       false},
      {"failure with an error message",
       1603,
       {{kError, "Error 1925. You need administrator rights."}},
       {0, kStateErr, "Error 1925. You need administrator rights."},
       false},
      {"failure out of disk space",
       1603,
       {{kOutOfDisk, "Out of disk space."}},
       {0, kStateErr, "Out of disk space."},
       false},
      {"failure without a message",
       1603,
       {},
       {0, kStateErr, "Windows Installer error no. 1603"},
       false},
  };
  for (const Case& c : cases) {
    installer_ = CFakeInstaller();
    installer_.result = c.result;
    installer_.messages = c.messages;
    EXPECT_EQ(Run("p.msi", "", true), c.status) << c.name;
    EXPECT_EQ(FileKept(), c.kept) << c.name;
  }
}

TEST_F(InstallerStepTest, UnreadablePackagesFailBeforeInstallingAndStay) {
  struct Case {
    const char* name;
    std::uint32_t openResult;
    bool codeReadable;
    std::string code;
    bool sequenceReadable;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"not a database", 1620, true, "{11111111-2222-3333-4444-555555555555}", true,
       "Opening MSI file failed."},
      {"no product code", 0, false, "", true, "Reading MSI file failed."},
      {"product code of the wrong length", 0, true, "{short}", true, "Reading MSI file failed."},
      {"no UI sequence", 0, true, "{11111111-2222-3333-4444-555555555555}", false,
       "Reading MSI file failed."},
  };
  for (const Case& c : cases) {
    installer_ = CFakeInstaller();
    installer_.openResult = c.openResult;
    installer_.productCodeReadable = c.codeReadable;
    installer_.productCode = c.code;
    installer_.uiSequenceReadable = c.sequenceReadable;
    EXPECT_EQ(Run("p.msi", "", true), (Status{0, kStateErr, c.text})) << c.name;
    EXPECT_TRUE(installer_.calls.empty()) << c.name;
    EXPECT_TRUE(FileKept()) << c.name;
  }
}

TEST_F(InstallerStepTest, ProgressFollowsTheFirstResetAndClampsAtTheTotal) {
  struct Case {
    const char* name;
    std::vector<Message> messages;
    Status status;  // the step then fails without a message: its percent stays
  };
  const std::vector<Case> cases = {
      {"reports add up",
       {{kProgress, "1: 0 2: 400 3: 0 4: 0"},
        {kProgress, "1: 2 2: 100"},
        {kProgress, "1: 2 2: 199"}},
       {74, kStateErr, ""}},
      {"more than the total gives exactly 100 and stops",
       {{kProgress, "1: 0 2: 100 3: 0 4: 0"},
        {kProgress, "1: 2 2: 250"},
        {kProgress, "1: 0 2: 100 3: 0 4: 0"}},
       {100, kStateErr, ""}},
      {"a later reset does not move the scale",
       {{kProgress, "1: 0 2: 100 3: 0 4: 0"},
        {kProgress, "1: 2 2: 10"},
        {kProgress, "1: 0 2: 5 3: 0 4: 0"},
        {kProgress, "1: 2 2: 50"}},
       {10, kStateErr, ""}},
      {"a first reset of 0 ticks leaves progress off",
       {{kProgress, "1: 0 2: 0 3: 0 4: 0"}, {kProgress, "1: 2 2: 10"}},
       {0, kStateErr, ""}},
      {"action data moves by the ticks of its action",
       {{kProgress, "1: 0 2: 100 3: 0 4: 0"},
        {kProgress, "1: 1 2: 20 3: 1"},
        {kActionData, "file"},
        {kActionData, "file"}},
       {40, kStateErr, ""}},
      {"rollback keeps the percent",
       {{kProgress, "1: 0 2: 100 3: 0 4: 0"},
        {kProgress, "1: 2 2: 30"},
        {kProgress, "1: 0 2: 100 3: 1 4: 0"},
        {kProgress, "1: 2 2: 30"}},
       {30, kStateErr, ""}},
      {"bad progress texts are ignored",
       {{kProgress, "1: 0 2: 100 3: 0 4: 0"},
        {kProgress, "1: 5 2: 10"},
        {kProgress, "2: 2 1: 10"},
        {kProgress, "1: 2 2: 1e30"},
        {kProgress, "1: 2 2: 10"}},
       {10, kStateErr, ""}},
  };
  for (const Case& c : cases) {
    installer_ = CFakeInstaller();
    installer_.result = 1603;
    installer_.messages = c.messages;
    Status expected = c.status;
    expected.text = "Windows Installer error no. 1603";
    EXPECT_EQ(Run("p.msi"), expected) << c.name;
  }
}

TEST_F(InstallerStepTest, HandlerAnswersTheInstallersQuestions) {
  installer_.uiSequence = {{"-1", "SuccessDlg"}, {"-3", "FatalDlg"}, {"5", "Other"}, {"", "X"}};
  installer_.messages = {
      {kError | 2, "e"},           {kError | 1, "e"},         {kWarning | 0, "w"},
      {kWarning | 2, "w"},         {kWarning | 4, "w"},       {kFilesInUse, "f"},
      {kShowDialog, "SuccessDlg"}, {kShowDialog, "FatalDlg"}, {kShowDialog, "Other"},
      {kOutOfDisk, "d"},           {0x0B000000, "c"}};
  Run("p.msi");
  EXPECT_EQ(installer_.answers, (std::vector<int>{3, 2, 1, 5, 2, 5, 1, 1, 0, -1, 0}));
  EXPECT_EQ(CInstallEngine::UiHandler(nullptr, kError, "x"), -1);
}

TEST_F(InstallerStepTest, PatchStatesDecideWhetherToApply) {
  struct Case {
    const char* name;
    std::deque<std::string> states;  // before, and after applying
    bool applied;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"already applied", {"1"}, false, "skipped: update is already applied"},
      {"superseded",
       {"2"},
       false,
       "skipped: update is already installed and superseded by another update"},
      {"obsolete", {"4"}, false, "skipped: update is obsolete"},
      {"applied now", {"", "1"}, true, "ok: update is applied"},
      {"applied but superseded",
       {"", "2"},
       true,
       "ok: update is applied, but superseded by a newer update"},
      {"applied and obsolete", {"", "4"}, true, "ok: update is obsolete"},
      {"state unreadable throughout", {"", ""}, true, "warning: update state is unknown"},
  };
  for (const Case& c : cases) {
    installer_ = CFakeInstaller();
    installer_.patchStates = c.states;
    EXPECT_EQ(Run("SETUP.Msp", "P=1"), (Status{100, kStateSucc, c.text})) << c.name;
    EXPECT_EQ(installer_.calls.size(), c.applied ? 1u : 0u) << c.name;
  }
  // The patch code is the first 38 characters of the revision; the target
  // all the products named.
  EXPECT_EQ(installer_.patchQueries.at(0),
            "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}|{P1};{P2}|State");
  EXPECT_EQ(installer_.calls.at(0), "patch " + path_ + " " + kProperties + "P=1");
  EXPECT_EQ(installer_.opened.at(0), path_ + " (patch)");
}

TEST(PatchFileTest, ExtensionDecides) {
  EXPECT_TRUE(IsPatchFile("C:\\T\\SETUP.Msp"));
  EXPECT_TRUE(IsPatchFile("a.msp"));
  EXPECT_FALSE(IsPatchFile("x.msi.bak"));
  EXPECT_FALSE(IsPatchFile("dir.msp\\file"));
  EXPECT_FALSE(IsPatchFile("a.mspx"));
}

// Where there is no Windows Installer the step ends with an honest error.
TEST(PlatformInstallerTest, WithoutWindowsInstallerTheStepFails) {
  if (platform::Installer().IsAvailable()) GTEST_SKIP() << "Windows Installer is present";
  CFakeProcesses processes;
  CInstallEngine engine(processes, platform::Installer());
  ASSERT_EQ(engine.StartInstall("/nowhere/p.msi", "", false), 0u);
  ASSERT_TRUE(vorn_test::WaitUntil([&] { return !engine.IsBusy(); }));
  Status status;
  engine.GetStatus(&status.percent, &status.state, &status.text);
  EXPECT_EQ(status, (Status{0, kStateErr, "Windows Installer error no. 1633"}));
}

}  // namespace
