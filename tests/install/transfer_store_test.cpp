#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/install/install_test_support.h"

namespace {

using vorn_test::ManagerFixture;
using vorn_test::ReadWholeFile;
using vorn_test::RecordBytes;

constexpr std::uint32_t kInvalidBlock = 0x80070009u;
constexpr std::uint32_t kInvalidAccess = 0x8007000Cu;
constexpr std::uint32_t kInvalidData = 0x8007000Du;
constexpr std::uint32_t kCrc = 0x80070017u;
using install_result::kOpenFailed;

CPackageDescription Executable(const std::string& fileName) {
  CPackageDescription description;
  description.PackageType = CPackageDescription::kTypeExecutable;
  description.FileName = fileName;
  return description;
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
  return bytes;
}

class TransferStoreTest : public ManagerFixture {};

TEST_F(TransferStoreTest, UploadWritesTheDataFileAndItsSidecar) {
  const std::string data = Pattern(300000);
  ASSERT_EQ(Upload(Executable("sub\\tool.bin"), data), 0u) << LastError();
  EXPECT_EQ(ReadWholeFile(In("sub/tool.bin")), data);
  // The sidecar lies in the transfer directory itself, named after the file.
  CPackageDescription sidecar;
  std::ifstream in(In("tool.bin.mki"), std::ios::binary);
  ASSERT_TRUE(in.is_open());
  EXPECT_EQ(sidecar.ReadFrom(in), nullptr);
  EXPECT_EQ(sidecar.FileName, "sub\\tool.bin");
  EXPECT_EQ(manager_->Description().FileName, "sub\\tool.bin");
}

TEST_F(TransferStoreTest, WrongChecksumIsRefusedAndTheSameChunkThenAccepted) {
  ASSERT_EQ(Transfer(0, RecordBytes(Executable("a.bin"))), 0u);
  ASSERT_EQ(manager_->OpenTransfer(1), 0u);
  ASSERT_EQ(Chunk(0, "first"), 0u);
  const std::string second = "second";
  EXPECT_EQ(manager_->WriteChunk(5, 1234, 6, reinterpret_cast<const std::uint8_t*>(second.data())),
            kCrc);
  EXPECT_EQ(LastError(), "invalid checksum");
  EXPECT_EQ(Chunk(5, second), 0u);
  EXPECT_EQ(manager_->CloseTransfer(), 0u);
  EXPECT_EQ(ReadWholeFile(In("a.bin")), "firstsecond");
}

TEST_F(TransferStoreTest, RepeatedOffsetEndsTheTransfer) {
  ASSERT_EQ(Transfer(0, RecordBytes(Executable("a.bin"))), 0u);
  ASSERT_EQ(manager_->OpenTransfer(1), 0u);
  ASSERT_EQ(Chunk(0, "abc"), 0u);
  EXPECT_EQ(Chunk(0, "abc"), kInvalidBlock);
  EXPECT_EQ(LastError(), "unexpected offset value");
  EXPECT_EQ(Chunk(3, "def"), kInvalidAccess);
  EXPECT_EQ(LastError(), "transfer of data was not opened");
  // What arrived of an ended transfer is dropped; nothing takes the name.
  EXPECT_FALSE(std::filesystem::exists(In("a.bin")));
  EXPECT_EQ(std::filesystem::directory_iterator(directory_), std::filesystem::directory_iterator());
}

TEST_F(TransferStoreTest, ChecksumOfAbcIs40485) {
  ASSERT_EQ(Transfer(0, RecordBytes(Executable("a.bin"))), 0u);
  ASSERT_EQ(manager_->OpenTransfer(1), 0u);
  EXPECT_EQ(manager_->WriteChunk(0, 40485, 3, reinterpret_cast<const std::uint8_t*>("abc")), 0u);
}

TEST_F(TransferStoreTest, DataBeforeAnyDescriptionIsRefused) {
  EXPECT_EQ(manager_->OpenTransfer(1), kOpenFailed);
  EXPECT_EQ(LastError(), "transfer of data without description is not possible");
  EXPECT_EQ(Chunk(0, "x"), kInvalidAccess);
}

TEST_F(TransferStoreTest, SecondOpenEndsTheFirstAndAThirdSucceeds) {
  ASSERT_EQ(manager_->OpenTransfer(0), 0u);
  EXPECT_EQ(manager_->OpenTransfer(0), kOpenFailed);
  EXPECT_EQ(LastError(), "transfer is already open");
  EXPECT_EQ(Chunk(0, "x"), kInvalidAccess);
  EXPECT_EQ(manager_->OpenTransfer(0), 0u);
}

TEST_F(TransferStoreTest, CloseWithNothingOpenChangesNothing) {
  EXPECT_EQ(manager_->CloseTransfer(), 0u);
  EXPECT_EQ(LastError(), "");
  EXPECT_EQ(manager_->OpenTransfer(1), kOpenFailed);
}

TEST_F(TransferStoreTest, BadRecordFailsAtCloseAndDataStillUsesThePreviousDescription) {
  ASSERT_EQ(Transfer(0, RecordBytes(Executable("keep.bin"))), 0u);
  EXPECT_EQ(Transfer(0, "not a record at all"), kInvalidData);
  EXPECT_EQ(LastError(), "Not a M&K Package Description");
  EXPECT_EQ(Transfer(1, "payload"), 0u);
  EXPECT_EQ(ReadWholeFile(In("keep.bin")), "payload");
}

TEST_F(TransferStoreTest, ShorterDescriptionOverwritesTheBufferFromItsStart) {
  CPackageDescription longer = Executable("first.bin");
  longer.CommandLine = std::string(500, 'x');
  ASSERT_EQ(Transfer(0, RecordBytes(longer)), 0u);
  ASSERT_EQ(Transfer(0, RecordBytes(Executable("second.bin"))), 0u);
  EXPECT_EQ(manager_->Description().FileName, "second.bin");
  EXPECT_EQ(manager_->Description().CommandLine, "");
}

TEST_F(TransferStoreTest, PackageTypeThreeAndAboveGetsNoSidecar) {
  CPackageDescription description;
  description.PackageType = CPackageDescription::kTypePostProcess;
  description.FileName = "post.dat";
  ASSERT_EQ(Upload(description, "data"), 0u);
  EXPECT_TRUE(std::filesystem::exists(In("post.dat")));
  EXPECT_FALSE(std::filesystem::exists(In("post.dat.mki")));
}

TEST_F(TransferStoreTest, UnwritableTargetFailsToOpenAndNeedsANewDescription) {
  // A directory stands where the file should go.
  std::filesystem::create_directories(In("taken"));
  ASSERT_EQ(Transfer(0, RecordBytes(Executable("taken"))), 0u);
  EXPECT_EQ(manager_->OpenTransfer(1), kOpenFailed);
  EXPECT_EQ(LastError(), "could not open file");
  EXPECT_EQ(manager_->OpenTransfer(1), kOpenFailed);
  EXPECT_EQ(LastError(), "transfer of data without description is not possible");
}

TEST_F(TransferStoreTest, EmptyChunkIsAcceptedWithoutChecksum) {
  ASSERT_EQ(Transfer(0, RecordBytes(Executable("a.bin"))), 0u);
  ASSERT_EQ(manager_->OpenTransfer(1), 0u);
  EXPECT_EQ(manager_->WriteChunk(0, 999, 0, nullptr), 0u);
  EXPECT_EQ(Chunk(0, "a"), 0u);
}

// Tools and other sessions see a data file only once it is complete: until
// the close, the earlier file of that name is what is there, and a transfer
// that ends early leaves it so.
TEST_F(TransferStoreTest, TheEarlierFileStaysUntilTheNewOneIsComplete) {
  ASSERT_EQ(Upload(Executable("a.bin"), "earlier"), 0u);
  ASSERT_EQ(Transfer(0, RecordBytes(Executable("a.bin"))), 0u);
  ASSERT_EQ(manager_->OpenTransfer(1), 0u);
  ASSERT_EQ(Chunk(0, "newer, "), 0u);
  EXPECT_EQ(ReadWholeFile(In("a.bin")), "earlier");
  EXPECT_EQ(Chunk(99, "x"), kInvalidBlock);
  EXPECT_EQ(ReadWholeFile(In("a.bin")), "earlier");

  ASSERT_EQ(Transfer(0, RecordBytes(Executable("a.bin"))), 0u);
  ASSERT_EQ(manager_->OpenTransfer(1), 0u);
  ASSERT_EQ(Chunk(0, "newer, "), 0u);
  ASSERT_EQ(Chunk(7, "whole"), 0u);
  EXPECT_EQ(ReadWholeFile(In("a.bin")), "earlier");
  ASSERT_EQ(manager_->CloseTransfer(), 0u);
  EXPECT_EQ(ReadWholeFile(In("a.bin")), "newer, whole");
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"a.bin", "a.bin.mki"}));
}

// Two sessions upload one name with their chunks interleaved: the file that
// remains is the one closed last, whole, not a mix of both.
TEST_F(TransferStoreTest, TwoSessionsUploadingOneNameDoNotMixTheirData) {
  CInstallManager other(InstallPlatform{registry_, processes_, installer_, shutdown_});
  auto chunk = [](CInstallManager& m, std::uint32_t offset, const std::string& bytes) {
    return m.WriteChunk(offset, Crc16X25(bytes.data(), bytes.size()),
                        static_cast<std::uint32_t>(bytes.size()),
                        reinterpret_cast<const std::uint8_t*>(bytes.data()));
  };
  const std::string record = RecordBytes(Executable("same.bin"));
  for (CInstallManager* m : {manager_.get(), &other}) {
    ASSERT_EQ(m->OpenTransfer(0), 0u);
    ASSERT_EQ(chunk(*m, 0, record), 0u);
    ASSERT_EQ(m->CloseTransfer(), 0u);
    ASSERT_EQ(m->OpenTransfer(1), 0u);
  }
  const std::string a(65536, 'a');
  const std::string b(65536, 'b');
  ASSERT_EQ(chunk(*manager_, 0, a), 0u);
  ASSERT_EQ(chunk(other, 0, b), 0u);
  ASSERT_EQ(chunk(other, 65536, b), 0u);
  ASSERT_EQ(chunk(*manager_, 65536, a), 0u);
  ASSERT_EQ(other.CloseTransfer(), 0u);
  EXPECT_EQ(ReadWholeFile(In("same.bin")), b + b);
  ASSERT_EQ(manager_->CloseTransfer(), 0u);
  EXPECT_EQ(ReadWholeFile(In("same.bin")), a + a);
}

}  // namespace
