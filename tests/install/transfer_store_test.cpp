#include <gtest/gtest.h>

#include <filesystem>
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
constexpr std::uint32_t kOpenFailed = 0x8007006Eu;

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
  // What arrived stays.
  EXPECT_EQ(ReadWholeFile(In("a.bin")), "abc");
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

}  // namespace
