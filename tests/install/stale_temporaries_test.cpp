// What a killed service leaves in the transfer directory is removed at the
// next start: the temporary files of its uploads, and nothing else (a
// verified copy may stay on purpose for an installation after a restart).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/registry_keys.h"
#include "install/install_manager.h"
#include "tests/install/install_test_support.h"

namespace {

namespace fs = std::filesystem;
using vorn_test::ManagerFixture;
using vorn_test::ScratchDirectory;

void Touch(const fs::path& path) { std::ofstream(path, std::ios::binary) << "x"; }

TEST(StaleTemporaryNameTest, OnlyTheNamesTheServiceMakes) {
  for (const char* name : {"~vorn-123-0.tmp", "~vorn-4294967295-17.tmp"}) {
    EXPECT_TRUE(CInstallManager::IsTemporaryName(name)) << name;
  }
  for (const char* name :
       {"~vorn-.tmp", "~vorn--1.tmp", "~vorn-1-.tmp", "~vorn-1-2.tmp.bin", "~vorn-1-2.TMP",
        "~vorn-a-2.tmp", "~vorn-1-2-3.tmp", "vorn-1-2.tmp", "~vorn-setup.tmp", "pkg.bin",
        "~vorn-verified-0123456789abcdef.msi", "~vorn-verified-0123456789abcdef"}) {
    EXPECT_FALSE(CInstallManager::IsTemporaryName(name)) << name;
  }
}

class StaleTemporariesTest : public ManagerFixture {};

TEST_F(StaleTemporariesTest, KilledUploadsLeaveNothingBehindAfterTheNextStart) {
  // An upload cut off in the middle: its temporary file stays.
  {
    CPackageDescription description;
    description.FileName = "sub/pkg.bin";
    description.Name = "Entry";
    ASSERT_EQ(Transfer(0, vorn_test::RecordBytes(description)), 0u);
  }
  ASSERT_EQ(manager_->OpenTransfer(1), 0u);
  ASSERT_EQ(Chunk(0, "half of it"), 0u);
  std::vector<fs::path> temporaries;
  for (const auto& entry : fs::recursive_directory_iterator(directory_)) {
    if (CInstallManager::IsTemporaryName(entry.path().filename().string())) {
      temporaries.push_back(entry.path());
    }
  }
  ASSERT_EQ(temporaries.size(), 1u)
      << "the transfer's temporary file has another name than expected";
  // A killed service holds no handle, and Windows does not delete an open
  // file: the manager goes, and what a kill leaves under that name stays.
  manager_.reset();
  if (!fs::exists(temporaries[0])) Touch(temporaries[0]);

  Touch(directory_ / "~vorn-verified-0123456789abcdef.exe");
  Touch(directory_ / "pkg.bin");
  Touch(directory_ / "~vorn-notes.txt");
  std::string where;
  EXPECT_EQ(CInstallManager::RemoveStaleTemporaries(registry_, where), 1);
  EXPECT_EQ(fs::path(where), directory_);
  std::set<std::string> left;
  for (const auto& entry : fs::recursive_directory_iterator(directory_)) {
    left.insert(fs::relative(entry.path(), directory_).generic_string());
  }
  EXPECT_EQ(left, (std::set<std::string>{"pkg.bin", "~vorn-notes.txt", "sub",
                                         "~vorn-verified-0123456789abcdef.exe"}));
  EXPECT_EQ(CInstallManager::RemoveStaleTemporaries(registry_, where), 0);
}

TEST_F(StaleTemporariesTest, LinksAreNeitherFollowedNorRemoved) {
  const fs::path outside = ScratchDirectory("vorn-outside");
  Touch(outside / "~vorn-1-1.tmp");
  std::error_code error;
  fs::create_directory_symlink(outside, directory_ / "linked", error);
  if (!error) fs::create_symlink(outside / "~vorn-1-1.tmp", directory_ / "~vorn-2-2.tmp", error);
  if (error) {
    fs::remove_all(outside);
    GTEST_SKIP() << "no symbolic links here: " << error.message();
  }
  std::string where;
  EXPECT_EQ(CInstallManager::RemoveStaleTemporaries(registry_, where), 0);
  EXPECT_TRUE(fs::exists(outside / "~vorn-1-1.tmp"));
  EXPECT_TRUE(fs::is_symlink(directory_ / "~vorn-2-2.tmp"));
  fs::remove_all(outside);
}

TEST_F(StaleTemporariesTest, AMissingDirectoryIsNoError) {
  registry_.PutString(kPlatformKey, CInstallManager::kTransferDirectoryValue,
                      (directory_ / "not-there").string());
  std::string where;
  EXPECT_EQ(CInstallManager::RemoveStaleTemporaries(registry_, where), 0);
}

}  // namespace
