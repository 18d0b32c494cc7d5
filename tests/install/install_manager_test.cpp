#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "install/package_container.h"
#include "platform/file_system.h"
#include "platform/registry_keys.h"
#include "tests/install/install_test_support.h"

namespace {

using vorn_test::ManagerFixture;
using vorn_test::ReadWholeFile;
using vorn_test::RecordBytes;
using vorn_test::Status;

constexpr std::uint32_t kEFail = 0x80004005u;
constexpr std::uint32_t kEInvalidArg = 0x80070057u;
constexpr std::uint32_t kFileNotFound = 0x80070002u;
constexpr std::uint32_t kBusy = 0x800700AAu;

CPackageDescription Package(std::uint32_t type, const std::string& fileName,
                            const std::string& name = "") {
  CPackageDescription description;
  description.PackageType = type;
  description.FileName = fileName;
  description.Name = name;
  return description;
}

// An installer container: each entry's payload followed by its record.
void WriteContainer(const std::filesystem::path& path,
                    const std::vector<std::pair<CPackageDescription, std::string>>& entries) {
  std::ofstream out(path, std::ios::binary);
  for (auto [description, payload] : entries) {
    description.EntrySize =
        static_cast<std::uint32_t>(payload.size()) + description.SerializedSize();
    out << payload;
    description.WriteTo(out);
  }
}

class InstallManagerTest : public ManagerFixture {};

TEST_F(InstallManagerTest, EmptyRequestInstallsTheTransferredExecutable) {
  CPackageDescription description = Package(0, "tool.bin");
  description.CommandLine = "-x \"a b\"";
  description.Flags = CPackageDescription::kFlagDeleteDataFile;
  ASSERT_EQ(Upload(description, "program"), 0u);
  ASSERT_EQ(manager_->Install(""), 0u);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Progress(), (Status{100, kStateSucc, ""}));
  const std::string full = platform::ResolveFullPath(directory_.string(), "tool.bin");
  ASSERT_EQ(processes_.started.size(), 1u);
  EXPECT_EQ(processes_.started[0].first, "\"" + full + "\" -x \"a b\"");
  EXPECT_EQ(processes_.started[0].second, directory_.string());
  EXPECT_EQ(processes_.madeExecutable, std::vector<std::string>{full});
  EXPECT_FALSE(std::filesystem::exists(In("tool.bin")));  // delete-after
}

TEST_F(InstallManagerTest, ContainerRequestExtractsTheNamedEntry) {
  WriteContainer(In("setup.bin"), {{Package(0, "tools\\a.exe", "Tools"), "first"},
                                   {Package(5, "", "Docs"), ""},
                                   {Package(0, "tools\\b.exe", "Tools"), "second"}});
  ASSERT_EQ(manager_->Install("setup.bin::Tools"), 0u) << LastError();
  ASSERT_TRUE(WaitIdle());
  // Of two entries with one name the later one in the file wins.
  EXPECT_EQ(ReadWholeFile(In("tools/b.exe")), "second");
  EXPECT_TRUE(std::filesystem::exists(In("b.exe.mki")));
  EXPECT_FALSE(std::filesystem::exists(In("tools/a.exe")));
  EXPECT_EQ(Progress(), (Status{100, kStateSucc, ""}));
}

TEST_F(InstallManagerTest, RequestFormsAndTheirErrors) {
  struct Case {
    std::string request;
    std::uint32_t result;
    std::string error;
  };
  WriteContainer(In("setup.bin"), {{Package(5, "", ""), ""}});
  const Case cases[] = {
      {"setup.bin", kEInvalidArg, "No '...::<Productname>' specified"},
      {"::Tools", kEInvalidArg, "No '<filename>::...' specified"},
      {"missing.bin::Tools", kFileNotFound, "Specified M&K Installer file not found"},
      {"setup.bin::Tools", kEFail, "Specified MKI package not found"},
      {"setup.bin::", 0, ""},  // selects the entry with an empty name
  };
  for (const Case& c : cases) {
    EXPECT_EQ(manager_->Install(c.request), c.result) << c.request;
    EXPECT_EQ(LastError(), c.error) << c.request;
    if (c.result != 0) {
      EXPECT_EQ(Progress(), (Status{100, kStateErr, c.error})) << c.request;
    }
  }
}

TEST_F(InstallManagerTest, UnsupportedTypesAndNothingToInstall) {
  struct Case {
    std::uint32_t type;
    std::uint32_t execType;
    Status status;
  };
  const Case cases[] = {
      {0, 3, {100, kStateErr, "Install failed: invalid version (Unsupported exec type)"}},
      {2, 0, {100, kStateErr, "Install failed: invalid version (Unsupported package type)"}},
      {3, 0, {100, kStateErr, "Install failed: invalid version (Unsupported package type)"}},
      {6, 0, {100, kStateErr, "Install failed: invalid version (Unsupported package type)"}},
      {5, 0, {100, kStateSucc, ""}},
  };
  for (const Case& c : cases) {
    CPackageDescription description = Package(c.type, "x.bin");
    description.ExecType = c.execType;
    ASSERT_EQ(Transfer(0, RecordBytes(description)), 0u);
    EXPECT_EQ(manager_->Install(""), c.status.state == kStateErr ? kEFail : 0u) << c.type;
    EXPECT_EQ(Progress(), c.status) << c.type;
  }
  EXPECT_TRUE(processes_.started.empty());
}

TEST_F(InstallManagerTest, BusyEngineRefusesASecondInstall) {
  processes_.ends = false;  // the program runs until the test lets it end
  ASSERT_EQ(Upload(Package(0, "slow.bin"), "x"), 0u);
  ASSERT_EQ(manager_->Install(""), 0u);
  EXPECT_EQ(manager_->Install(""), kBusy);
  EXPECT_EQ(LastError(), "Another installation is still in progress");
  EXPECT_EQ(Progress(), (Status{100, kStateErr, "Another installation is still in progress"}));
  processes_.ends = true;
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Progress(), (Status{100, kStateSucc, ""}));
}

TEST_F(InstallManagerTest, PathsResolveAgainstTheTransferDirectoryAndLeaveTheCurrentOneAlone) {
  const auto before = std::filesystem::current_path();
  const std::string elsewhere = (directory_ / "abs" / "p.bin").string();
  CPackageDescription description = Package(0, elsewhere);
  ASSERT_EQ(Upload(description, "absolute"), 0u);
  ASSERT_EQ(Upload(Package(0, "..\\up\\..\\rel.bin"), "relative"), 0u);
  EXPECT_EQ(ReadWholeFile(elsewhere), "absolute");
  // ".." of the transfer directory is its parent: the name says so.
  EXPECT_EQ(ReadWholeFile(directory_.parent_path() / "rel.bin"), "relative");
  std::filesystem::remove(directory_.parent_path() / "rel.bin");
  EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST_F(InstallManagerTest, WithoutTheRegistryValueTheDefaultDirectoryHolds) {
  CFakeRegistry empty;
  CInstallManager manager(InstallPlatform{empty, processes_, installer_, shutdown_});
  EXPECT_EQ(manager.TransferDirectory(), platform::DefaultTransferDirectory());
}

TEST_F(InstallManagerTest, LastErrorIsHandedOutOnce) {
  manager_->Install("no-colons");
  EXPECT_EQ(LastError(), "No '...::<Productname>' specified");
  EXPECT_EQ(LastError(), "");
}

TEST_F(InstallManagerTest, RebootRunsTheConfiguredCommandOrFails) {
  EXPECT_EQ(manager_->Reboot(), kEFail);
  EXPECT_EQ(LastError(), "System Reboot Failed.");
  EXPECT_EQ(Progress(), (Status{100, kStateErr, "System Reboot Failed."}));
  registry_.PutString(kPlatformKey, CInstallManager::kRebootCommandValue, "touch /tmp/x");
  EXPECT_EQ(manager_->Reboot(), 0u);
  EXPECT_EQ(shutdown_.Commands().back(), "touch /tmp/x");
}

TEST_F(InstallManagerTest, PatchPropertyIsRewrittenBeforeTheInstallerStep) {
  CPackageDescription description = Package(1, "fix.msp");
  description.CommandLine = "A=1 PATCH=\"one.msp;my \"\"two\"\".msp\" B=2";
  ASSERT_EQ(Transfer(0, RecordBytes(description)), 0u);
  ASSERT_EQ(manager_->Install(""), 0u);
  ASSERT_TRUE(WaitIdle());
  const std::string dir = directory_.string();
  ASSERT_EQ(installer_.calls.size(), 1u);
  EXPECT_EQ(installer_.calls[0],
            "patch " + platform::ResolveFullPath(dir, "fix.msp") +
                " ALLUSERS=2 MK_REMOTE_INSTALL=1 REBOOT=Suppress A=1 PATCH=\"" +
                platform::ResolveFullPath(dir, "one.msp") + ";" +
                platform::ResolveFullPath(dir, "my \"two\".msp") + "\" B=2");
}

}  // namespace
