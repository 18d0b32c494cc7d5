#include "install/transfer_restriction.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "install/package_container.h"
#include "platform/file_system.h"
#include "platform/registry_keys.h"
#include "service/install_server.h"
#include "tests/install/install_test_support.h"

namespace {

namespace fs = std::filesystem;
using vorn_test::ManagerFixture;
using vorn_test::ReadWholeFile;
using vorn_test::RecordBytes;

using install_result::kOpenFailed;
constexpr std::uint32_t kWriteFault = 0x8007001Du;
constexpr std::uint32_t kFileNotFound = 0x80070002u;

std::string Dword(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i)
    bytes[static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
  return bytes;
}

CPackageDescription Package(const std::string& fileName, std::uint32_t type = 0) {
  CPackageDescription description;
  description.PackageType = type;
  description.FileName = fileName;
  description.Name = "Entry";
  return description;
}

TEST(ContainedPathTest, NamesThatCouldLeadOutAreRefused) {
  const std::string base = platform::ResolveFullPath(
      (fs::temp_directory_path() / "vorn-base" / "transfer").string(), ".");
  const std::string refused[] = {
      "",
      "/etc/x",
      "\\x",
      "\\\\host\\share\\x",
      "C:\\x",
      "C:x",
      "c:/x",
      "x:stream",
      "..\\..\\x",
      "..",
      "a/../../x",
      "a\\..\\..\\x",
      "./../x",
      "a/.. /x",
      "a/x.",
      "x ",
      "sub/",
      std::string(256, 'n'),
      std::string(300, 'n') + ".bin",
      // Short parts, but a full path of MAX_PATH or more.
      [] {
        std::string name;
        for (int i = 0; i < 30; ++i) name += "abcdefghi/";
        return name + "x";
      }(),
  };
  for (const std::string& name : refused) {
    EXPECT_FALSE(ContainedPath(base, name).has_value()) << "[" << name << "]";
  }
  struct Case {
    std::string name;
    std::string relative;
  };
  const Case accepted[] = {
      {"tool.bin", "tool.bin"}, {"sub\\tool.bin", "sub/tool.bin"},
      {"a/../b.bin", "b.bin"},  {"./x", "x"},
      {"a//b", "a/b"},          {std::string(200, 'n'), std::string(200, 'n')},
      {"..x/y..z", "..x/y..z"},
  };
  for (const Case& c : accepted) {
    EXPECT_EQ(ContainedPath(base, c.name), platform::ResolveFullPath(base, c.relative))
        << "[" << c.name << "]";
  }
}

TEST(RestrictTransfersValueTest, OnlyDwordZeroOrOneIsWellFormed) {
  struct Case {
    std::uint32_t type;
    std::string bytes;
    std::optional<bool> expected;
  };
  const Case cases[] = {
      {platform::kRegDword, Dword(0), false},
      {platform::kRegDword, Dword(1), true},
      {platform::kRegDword, Dword(2), std::nullopt},
      {platform::kRegDword, "\x01", std::nullopt},
      {platform::kRegSz, std::string("1\0", 2), std::nullopt},
      {platform::kRegBinary, Dword(1), std::nullopt},
  };
  for (const Case& c : cases) {
    CFakeRegistry registry;
    registry.Put(kConfigurationKey, kRestrictTransfersValue, c.type, c.bytes);
    std::string error;
    EXPECT_EQ(ReadRestrictTransfers(registry, error), c.expected)
        << c.type << " " << c.bytes.size();
    EXPECT_EQ(error.empty(), c.expected.has_value());
    // A value the service would not start over still keeps transfers in.
    EXPECT_EQ(TransfersRestricted(registry), c.expected.value_or(true));
  }
  CFakeRegistry empty;
  std::string error;
  EXPECT_EQ(ReadRestrictTransfers(empty, error), false);
  EXPECT_FALSE(TransfersRestricted(empty));
}

// The transfer directory lies two levels below a scratch root, with a
// directory "outside" next to it; every file the tests find afterwards must
// be inside the transfer directory or have been there before.
class RestrictedTransferTest : public ManagerFixture {
 protected:
  RestrictedTransferTest()
      : transfer_(directory_ / "a" / "transfer"), outside_(directory_ / "outside") {
    fs::create_directories(transfer_);
    fs::create_directories(outside_);
    std::ofstream(outside_ / "victim") << "original";
    registry_.PutString(kPlatformKey, CInstallManager::kTransferDirectoryValue, transfer_.string());
    registry_.Put(kConfigurationKey, kRestrictTransfersValue, platform::kRegDword, Dword(1));
  }

  // Links are made by the test where the file system lets it (Windows
  // needs a privilege for them); false when it does not.
  bool LinkDirectory(const fs::path& target, const fs::path& link) {
    std::error_code error;
    fs::create_directory_symlink(target, link, error);
    return !error;
  }
  bool LinkFile(const fs::path& target, const fs::path& link) {
    std::error_code error;
    fs::create_symlink(target, link, error);
    return !error;
  }

  // Every path below the scratch root that is not inside the transfer directory.
  std::set<std::string> Outside() const {
    std::set<std::string> found;
    for (auto it = fs::recursive_directory_iterator(directory_);
         it != fs::recursive_directory_iterator(); ++it) {
      const std::string path = it->path().string();
      if (path.rfind(transfer_.string(), 0) == 0) {
        it.disable_recursion_pending();
        continue;
      }
      found.insert(path);
    }
    return found;
  }

  void ExpectRefused(const std::string& name) {
    SCOPED_TRACE(name);
    const std::set<std::string> before = Outside();
    ASSERT_EQ(Transfer(0, RecordBytes(Package(name))), 0u);
    EXPECT_EQ(Transfer(1, "payload"), kOpenFailed);
    EXPECT_EQ(LastError(), "could not open file");
    EXPECT_EQ(Outside(), before);
    EXPECT_EQ(ReadWholeFile(outside_ / "victim"), "original");
  }

  fs::path transfer_;
  fs::path outside_;
};

TEST_F(RestrictedTransferTest, HostileFileNamesAreRefusedAndNothingIsWrittenOutside) {
  const std::string names[] = {
      (outside_ / "abs.bin").string(),
      (outside_ / "victim").string(),
      "C:\\x",
      "\\x",
      "..\\..\\x",
      "..\\..\\outside\\victim",
      "a/../../x",
      "../../outside/new/deeper.bin",
      std::string(300, 'n'),
  };
  for (const std::string& name : names) ExpectRefused(name);
}

TEST_F(RestrictedTransferTest, LinksLeadingOutAreRefused) {
  if (!LinkDirectory(outside_, transfer_ / "out") ||
      !LinkFile(outside_ / "victim", transfer_ / "victim") ||
      !LinkFile(outside_ / "created-by-write", transfer_ / "dangling")) {
    GTEST_SKIP() << "this file system does not let the test make links";
  }
  for (const char* name : {"out/x.bin", "out\\new\\x.bin", "victim", "dangling"}) {
    ExpectRefused(name);
  }
  // A link inside that stays inside is a directory like any other.
  fs::create_directories(transfer_ / "real");
  ASSERT_TRUE(LinkDirectory(transfer_ / "real", transfer_ / "alias"));
  ASSERT_EQ(Upload(Package("alias/tool.bin"), "program"), 0u) << LastError();
  EXPECT_EQ(ReadWholeFile(transfer_ / "real" / "tool.bin"), "program");
}

// The names are checked before the file is opened: a directory swapped for a
// link to the outside in between must not be written through. Another thread
// swaps one back and forth while uploads go to a file in it.
TEST_F(RestrictedTransferTest, DirectorySwappedForALinkMeanwhileIsNotWrittenThrough) {
  const fs::path sub = transfer_ / "sub";
  const fs::path parked = transfer_ / "parked";
  fs::create_directories(sub);
  if (!LinkDirectory(outside_, transfer_ / "probe")) {
    GTEST_SKIP() << "this file system does not let the test make links";
  }
  fs::remove(transfer_ / "probe");
  std::atomic<bool> done{false};
  std::thread swapper([&] {
    std::error_code ignored;
    // The name is missing only for a moment, then a link for a while: a
    // check that sees the directory or nothing is followed by an open
    // that meets the link.
    while (!done) {
      fs::rename(sub, parked, ignored);
      fs::create_directory_symlink(outside_, sub, ignored);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      fs::remove(sub, ignored);
      fs::rename(parked, sub, ignored);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int written = 0;
  for (int i = 0; i < 20000 && std::chrono::steady_clock::now() < end; ++i) {
    if (Upload(Package("sub/victim"), "replaced") == 0) ++written;
  }
  done = true;
  swapper.join();
  EXPECT_EQ(ReadWholeFile(outside_ / "victim"), "original");
  EXPECT_FALSE(fs::exists(outside_ / "victim.mki"));
  EXPECT_GT(written, 0);
}

TEST_F(RestrictedTransferTest, SidecarThatIsALinkOutIsNotWritten) {
  if (!LinkFile(outside_ / "victim", transfer_ / "tool.bin.mki")) {
    GTEST_SKIP() << "this file system does not let the test make links";
  }
  ASSERT_EQ(Transfer(0, RecordBytes(Package("tool.bin"))), 0u);
  EXPECT_EQ(Transfer(1, "program"), kWriteFault);
  EXPECT_EQ(LastError(), "error in writing description file (*.mki)");
  EXPECT_EQ(ReadWholeFile(outside_ / "victim"), "original");
}

TEST_F(RestrictedTransferTest, OrdinaryRelativeNamesStillWork) {
  const std::set<std::string> before = Outside();
  ASSERT_EQ(Upload(Package("sub\\tool.bin"), "program"), 0u) << LastError();
  EXPECT_EQ(ReadWholeFile(transfer_ / "sub" / "tool.bin"), "program");
  EXPECT_TRUE(fs::exists(transfer_ / "tool.bin.mki"));
  ASSERT_EQ(Upload(Package("x/../plain.bin"), "data"), 0u) << LastError();
  EXPECT_EQ(ReadWholeFile(transfer_ / "plain.bin"), "data");
  EXPECT_EQ(Outside(), before);
}

TEST_F(RestrictedTransferTest, WithTheValueZeroAbsoluteNamesWriteWhereTheySay) {
  registry_.Put(kConfigurationKey, kRestrictTransfersValue, platform::kRegDword, Dword(0));
  ASSERT_EQ(Upload(Package((outside_ / "abs.bin").string()), "data"), 0u) << LastError();
  EXPECT_EQ(ReadWholeFile(outside_ / "abs.bin"), "data");
}

TEST_F(RestrictedTransferTest, ContainerEntriesAndInstalledFilesStayInside) {
  auto writeContainer = [this](const CPackageDescription& entry, const std::string& payload) {
    CPackageDescription description = entry;
    description.EntrySize =
        static_cast<std::uint32_t>(payload.size()) + description.SerializedSize();
    std::ofstream out(transfer_ / "bundle.mkc", std::ios::binary);
    out << payload;
    description.WriteTo(out);
  };
  const std::set<std::string> before = Outside();
  for (const std::string& name :
       {(outside_ / "victim").string(), std::string("..\\..\\x"), std::string("C:\\x")}) {
    SCOPED_TRACE(name);
    writeContainer(Package(name), "payload");
    EXPECT_EQ(manager_->Install("bundle.mkc::Entry"), kOpenFailed);
    EXPECT_EQ(LastError(), "Can not write binary stream of MKI package");
  }
  // The container itself must be one in the transfer directory.
  fs::copy_file(transfer_ / "bundle.mkc", outside_ / "bundle.mkc");
  EXPECT_EQ(manager_->Install((outside_ / "bundle.mkc").string() + "::Entry"), kFileNotFound);
  EXPECT_EQ(LastError(), "Specified M&K Installer file not found");
  // A description alone may not name a program outside to run (and delete).
  ASSERT_EQ(Transfer(0, RecordBytes(Package((outside_ / "victim").string()))), 0u);
  EXPECT_EQ(manager_->Install(""), kOpenFailed);
  EXPECT_EQ(LastError(), "could not open file");
  EXPECT_TRUE(processes_.started.empty());
  // An ordinary entry is extracted inside.
  writeContainer(Package("tools\\a.exe", 5), "payload");
  EXPECT_EQ(manager_->Install("bundle.mkc::Entry"), 0u) << LastError();
  EXPECT_EQ(ReadWholeFile(transfer_ / "tools" / "a.exe"), "payload");
  std::set<std::string> after = Outside();
  after.erase((outside_ / "bundle.mkc").string());
  EXPECT_EQ(after, before);
  EXPECT_EQ(ReadWholeFile(outside_ / "victim"), "original");
}

}  // namespace
