#include "install/package_description.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "tests/install/install_test_support.h"

namespace {

std::string Serialise(const CPackageDescription& d) {
  std::ostringstream out;
  EXPECT_TRUE(d.WriteTo(out));
  return out.str();
}

std::uint32_t WordAt(const std::string& bytes, std::size_t pos) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[pos + i]);
  return v;
}

using vorn_test::PutWordAt;

CPackageDescription Filled() {
  CPackageDescription d;
  d.FormatVersion = 0;
  d.WriterRevision = 7;
  d.Name = "Firmware";
  d.Text2 = "two";
  d.Text3 = std::string("th\0ree", 6);
  d.Text4 = "four";
  d.Text5 = "five";
  d.FileName = "sub\\setup.msi";
  d.CommandLine = "PROP=\"a b\"";
  d.Text8 = "eight";
  d.Identifiers.push_back({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  d.Text9 = "nine";
  d.Text10 = "ten";
  d.Text11 = "\xff\xfe";
  d.InstallWaitSeconds = 30;
  d.PackageType = 0;
  d.ChunkSize = 4096;
  d.ExecType = 2;
  d.Flags = 0x100;
  d.Reserved1 = 1;
  d.Reserved2 = 2;
  d.Reserved3 = 3;
  d.EntrySize = 999;
  return d;
}

void ExpectSameFields(const CPackageDescription& a, const CPackageDescription& b) {
  EXPECT_EQ(a.FormatVersion, b.FormatVersion);
  EXPECT_EQ(a.WriterRevision, b.WriterRevision);
  for (auto field :
       {&CPackageDescription::Name, &CPackageDescription::Text2, &CPackageDescription::Text3,
        &CPackageDescription::Text4, &CPackageDescription::Text5, &CPackageDescription::FileName,
        &CPackageDescription::CommandLine, &CPackageDescription::Text8, &CPackageDescription::Text9,
        &CPackageDescription::Text10, &CPackageDescription::Text11}) {
    EXPECT_EQ(a.*field, b.*field);
  }
  EXPECT_EQ(a.Identifiers, b.Identifiers);
  for (auto field : {&CPackageDescription::InstallWaitSeconds, &CPackageDescription::PackageType,
                     &CPackageDescription::ChunkSize, &CPackageDescription::ExecType,
                     &CPackageDescription::Flags, &CPackageDescription::Reserved1,
                     &CPackageDescription::Reserved2, &CPackageDescription::Reserved3}) {
    EXPECT_EQ(a.*field, b.*field);
  }
}

TEST(PackageDescriptionTest, NewRecordHasTheDefaultsAndIs120Bytes) {
  CPackageDescription d;
  EXPECT_EQ(d.FormatVersion, 1u);
  EXPECT_EQ(d.WriterRevision, 35u);
  EXPECT_EQ(d.InstallWaitSeconds, 10u);
  EXPECT_EQ(d.PackageType, 1u);
  EXPECT_EQ(d.ChunkSize, 65536u);
  EXPECT_EQ(d.Reserved1, 0xFFFFFFFFu);
  ASSERT_EQ(d.Identifiers.size(), 1u);
  EXPECT_NE(d.Identifiers[0], CPackageDescription().Identifiers[0]);
  EXPECT_EQ(d.SerializedSize(), 120u);

  const std::string bytes = Serialise(d);
  ASSERT_EQ(bytes.size(), 120u);
  EXPECT_EQ(bytes.substr(8, 4), "MKPD");
  EXPECT_EQ(bytes.substr(108, 4), "MKPD");
  EXPECT_EQ(WordAt(bytes, 112), 0xFFFFFFFFu) << "EntrySize as held";
  EXPECT_EQ(WordAt(bytes, 116), 120u) << "RecordSize as written";
}

TEST(PackageDescriptionTest, WriteFileSetsBothSizesAndReadsBackEveryField) {
  const CPackageDescription written = Filled();
  const std::string path =
      (std::filesystem::temp_directory_path() / "vorn_pkg_test_writefile.mki").string();
  ASSERT_TRUE(written.WriteFile(path));
  std::ifstream file(path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(file), {}};
  ASSERT_EQ(bytes.size(), written.SerializedSize());
  EXPECT_EQ(WordAt(bytes, bytes.size() - 8), written.SerializedSize());
  EXPECT_EQ(WordAt(bytes, bytes.size() - 4), written.SerializedSize());

  file.clear();
  file.seekg(0);
  CPackageDescription read;
  ASSERT_EQ(read.ReadFrom(file), nullptr);
  ExpectSameFields(read, written);
  EXPECT_EQ(read.EntrySize, written.SerializedSize());
  EXPECT_EQ(read.RecordSize, written.SerializedSize());
  file.close();
  std::filesystem::remove(path);

  EXPECT_FALSE(written.WriteFile("/nonexistent-dir/x.mki"));
}

TEST(PackageDescriptionTest, FormatVersionZeroAndOneAreReadTwoIsRefused) {
  struct Case {
    std::uint32_t version;
    const char* error;
  };
  for (const Case& c : {Case{0, nullptr}, Case{1, nullptr}, Case{2, kWrongVersion},
                        Case{0xFFFFFFFF, kWrongVersion}}) {
    std::string bytes = Serialise(Filled());
    PutWordAt(bytes, 0, c.version);
    std::istringstream in(bytes);
    CPackageDescription d;
    const char* error = d.ReadFrom(in);
    if (c.error == nullptr) {
      EXPECT_EQ(error, nullptr) << c.version;
      EXPECT_EQ(d.FormatVersion, c.version);
    } else {
      EXPECT_STREQ(error, c.error) << c.version;
    }
  }
}

// Damage at each place the reader checks, and the text it must give.
TEST(PackageDescriptionTest, DamagedRecordsGetTheReadersText) {
  const std::string good = Serialise(Filled());
  const std::size_t size = good.size();
  struct Case {
    const char* what;
    std::string bytes;
    const char* error;
  };
  auto with = [&](std::size_t pos, std::uint32_t word) {
    std::string b = good;
    PutWordAt(b, pos, word);
    return b;
  };
  auto withByte = [&](std::size_t pos, char c) {
    std::string b = good;
    b[pos] = c;
    return b;
  };
  const Case cases[] = {
      {"empty", "", kNotAPackageDescription},
      {"shorter than the header", good.substr(0, 11), kNotAPackageDescription},
      {"wrong magic", withByte(9, 'X'), kNotAPackageDescription},
      {"damaged trailer magic", withByte(size - 12, 'X'), kNotAPackageDescriptionOrCorrupted},
      {"RecordSize one too large", with(size - 4, static_cast<std::uint32_t>(size + 1)),
       kInvalidPackageDescription},
      {"RecordSize one too small", with(size - 4, static_cast<std::uint32_t>(size - 1)),
       kInvalidPackageDescription},
      {"last byte missing", good.substr(0, size - 1), kInvalidPackageDescription},
      {"sizes missing", good.substr(0, size - 8), kInvalidPackageDescription},
      {"name count runs past the end", with(12, 0xFFFFFFF0), kNotAPackageDescriptionOrCorrupted},
      {"name count one too long", with(12, 9), kNotAPackageDescriptionOrCorrupted},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.bytes);
    EXPECT_STREQ(CPackageDescription::Validate(in), c.error) << c.what;
    in.clear();
    in.seekg(0);
    CPackageDescription d = Filled();
    d.Name = "kept";
    EXPECT_STREQ(d.ReadFrom(in), c.error) << c.what;
    EXPECT_EQ(d.Name, "kept") << c.what << ": a refused record must not be read";
  }
}

TEST(PackageDescriptionTest, ValidateLeavesTheCallersStreamStateAlone) {
  std::istringstream in("MKPD but not a record");
  EXPECT_STREQ(CPackageDescription::Validate(in), kNotAPackageDescription);
  EXPECT_TRUE(in.good());

  std::istream none(nullptr);
  EXPECT_STREQ(CPackageDescription::Validate(none), kInvalidStream);
}

TEST(PackageDescriptionTest, EmptyIdentifierListValidatesAndGetsANewIdentifier) {
  CPackageDescription written = Filled();
  written.Identifiers.clear();
  const std::string bytes = Serialise(written);
  EXPECT_EQ(bytes.size(), written.SerializedSize());
  std::istringstream in(bytes);
  EXPECT_EQ(CPackageDescription::Validate(in), nullptr);
  in.seekg(0);
  CPackageDescription read;
  const auto before = read.Identifiers;
  ASSERT_EQ(read.ReadFrom(in), nullptr);
  ASSERT_EQ(read.Identifiers.size(), 1u);
  EXPECT_NE(read.Identifiers, before);
  EXPECT_EQ(read.FileName, written.FileName);
}

// Another tool may write a count that is not a multiple of 16: the fields
// behind the list must still come from where they are.
TEST(PackageDescriptionTest, IdentifierCountNotAMultipleOf16KeepsTheFollowingFieldsInPlace) {
  CPackageDescription written = Filled();
  std::string bytes = Serialise(written);
  const std::size_t countAt = 12 + 4 * 8 + written.Name.size() + written.Text2.size() +
                              written.Text3.size() + written.Text4.size() + written.Text5.size() +
                              written.FileName.size() + written.CommandLine.size() +
                              written.Text8.size();
  ASSERT_EQ(WordAt(bytes, countAt), 32u);
  PutWordAt(bytes, countAt, 36);
  bytes.insert(countAt + 4 + 32, "odd!");
  PutWordAt(bytes, bytes.size() - 4, static_cast<std::uint32_t>(bytes.size()));
  std::istringstream in(bytes);
  CPackageDescription read;
  ASSERT_EQ(read.ReadFrom(in), nullptr);
  ExpectSameFields(read, written);
}

TEST(PackageDescriptionTest, RecordIsReadFromTheStreamPositionAndTheStreamLeftAtItsEnd) {
  const CPackageDescription written = Filled();
  std::istringstream in("lead" + Serialise(written) + "trailing bytes of an older record");
  in.seekg(4);
  CPackageDescription read;
  ASSERT_EQ(read.ReadFrom(in), nullptr);
  ExpectSameFields(read, written);
  EXPECT_EQ(in.tellg(), std::streamoff{4 + written.SerializedSize()});
}

// A buffer whose bytes change once the reader goes back to the record's
// start (a file rewritten between the check and the read): the name count
// then claims nearly 4 GiB.
class CChangingBuffer : public std::stringbuf {
 public:
  CChangingBuffer(std::string first, std::string second)
      : std::stringbuf(std::move(first), std::ios::in), second_(std::move(second)) {}
  bool Changed() const { return second_.empty(); }

 protected:
  pos_type seekpos(pos_type pos, std::ios::openmode which) override {
    if (!second_.empty()) {
      str(second_);
      second_.clear();
    }
    return std::stringbuf::seekpos(pos, which);
  }

 private:
  std::string second_;
};

TEST(PackageDescriptionTest, CountsAreNotTrustedBeyondTheCheckedRecord) {
  const std::string good = Serialise(Filled());
  std::string hostile = good;
  PutWordAt(hostile, 12, 0xFFFFFFF0);
  CChangingBuffer buffer(good, hostile);
  std::istream in(&buffer);
  CPackageDescription d;
  d.Name = "kept";
  EXPECT_STREQ(d.ReadFrom(in), kInvalidPackageDescription);
  EXPECT_TRUE(buffer.Changed());
  EXPECT_EQ(d.Name, "kept");
}

TEST(PackageDescriptionTest, FailingOutputStreamIsReported) {
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  EXPECT_FALSE(CPackageDescription().WriteTo(out));
}

}  // namespace
