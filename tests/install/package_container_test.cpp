#include "install/package_container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/install/install_test_support.h"

namespace {

struct EntrySpec {
  std::string name;
  std::string payload;
  bool payloadAsCommandLine = true;  // lets a test tell the entry by its record
};

// Entries back to back, each payload followed by its record.
std::string BuildContainer(const std::vector<EntrySpec>& entries) {
  std::ostringstream out;
  for (const EntrySpec& e : entries) {
    CPackageDescription d;
    d.Name = e.name;
    d.FileName = e.name + ".bin";
    if (e.payloadAsCommandLine) d.CommandLine = e.payload;
    d.EntrySize = static_cast<std::uint32_t>(e.payload.size()) + d.SerializedSize();
    out << e.payload;
    EXPECT_TRUE(d.WriteTo(out));
  }
  return out.str();
}

std::string Payload(std::istream& container, const CPackageEntry& entry) {
  std::ostringstream out;
  EXPECT_EQ(CopyEntryPayload(container, entry, out), nullptr);
  return out.str();
}

using vorn_test::PutWordAt;

TEST(PackageContainerTest, LaterEntryOfTheSameNameWins) {
  std::istringstream container(BuildContainer({{"A", "first"}, {"B", "second"}, {"A", "third"}}));
  struct Case {
    const char* name;
    const char* payload;
  };
  for (const Case& c : {Case{"A", "third"}, Case{"B", "second"}}) {
    CPackageDescription d;
    const auto entry = SelectContainerEntry(container, c.name, d);
    ASSERT_TRUE(entry.has_value()) << c.name;
    EXPECT_EQ(d.Name, c.name);
    EXPECT_EQ(d.CommandLine, c.payload);
    EXPECT_EQ(Payload(container, *entry), c.payload);
  }
  CPackageDescription d;
  EXPECT_FALSE(SelectContainerEntry(container, "a", d).has_value()) << "names compare exactly";
  EXPECT_FALSE(SelectContainerEntry(container, "C", d).has_value());
}

// What a listing marks as selected agrees with what SelectContainerEntry
// installs: of equal names the last in the file, names compared exactly.
TEST(PackageContainerTest, ListingSelectsTheLastEntryOfEachName) {
  std::istringstream container(BuildContainer(
      {{"A", "1"}, {"B", "2"}, {"A", "3"}, {"a", "4"}, {"B", "5"}, {"A", "6"}, {"C", "7"}}));
  std::vector<CContainerItem> items = ListContainerEntries(container);
  std::reverse(items.begin(), items.end());
  EXPECT_EQ(SelectedEntries(items), (std::vector<std::size_t>{5, 4, 5, 3, 4, 5, 6}));
  EXPECT_TRUE(SelectedEntries(std::vector<CContainerItem>{}).empty());
}

// A container of many entries is listed in one pass over the names: each is
// asked for once, where comparing every entry with those after it asks for
// them n * (n - 1) times.
TEST(PackageContainerTest, SelectionAsksForEachNameOnce) {
  constexpr std::size_t kEntries = 2000;
  std::vector<std::string> names(kEntries);
  for (std::size_t i = 0; i < kEntries; ++i) names[i] = "entry" + std::to_string(i % 700);
  std::size_t asked = 0;
  const std::vector<std::size_t> selected =
      SelectedEntries(kEntries, [&](std::size_t i) -> const std::string& {
        ++asked;
        return names[i];
      });
  EXPECT_EQ(asked, kEntries);
  ASSERT_EQ(selected.size(), kEntries);
  EXPECT_EQ(selected[0], 1400u);
  EXPECT_EQ(selected[699], 1399u);
  EXPECT_EQ(selected[1999], 1999u);
}

// A container buffer that counts what the walk asks of it.
class CCountingBuffer : public std::stringbuf {
 public:
  explicit CCountingBuffer(const std::string& bytes) : std::stringbuf(bytes, std::ios::in) {}
  std::size_t calls = 0;  // positionings and refills

 protected:
  pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode which) override {
    ++calls;
    return std::stringbuf::seekoff(off, dir, which);
  }
  pos_type seekpos(pos_type pos, std::ios::openmode which) override {
    ++calls;
    return std::stringbuf::seekpos(pos, which);
  }
  int_type underflow() override {
    ++calls;
    return std::stringbuf::underflow();
  }
  std::streamsize xsgetn(char* s, std::streamsize n) override {
    ++calls;
    return std::stringbuf::xsgetn(s, n);
  }
};

// The walk reads a trailer, a dozen record fields and the previous trailer
// for every entry. Asking the container for each of those (on a file, a
// system call and a refill each) made listing 200000 entries take minutes;
// it asks for a window of bytes at a time, so small entries share one and a
// big payload costs one more.
TEST(PackageContainerTest, WalkAsksTheContainerForWindowsNotForEachField) {
  struct Case {
    const char* what;
    std::size_t entries;
    std::size_t payloadBytes;
    std::size_t maxCalls;
  };
  // Loading a window costs this buffer a positioning, a read and up to two
  // refills; the walk used to ask about fifty times per entry.
  const Case cases[] = {
      {"small entries", 2000, 3, 40},
      {"big payloads", 30, 100000, 4 * 30 + 10},
  };
  for (const Case& c : cases) {
    std::vector<EntrySpec> specs;
    for (std::size_t i = 0; i < c.entries; ++i) {
      specs.push_back({"e" + std::to_string(i), std::string(c.payloadBytes, 'p'), false});
    }
    const std::string bytes = BuildContainer(specs);

    CCountingBuffer listed(bytes);
    std::istream listStream(&listed);
    EXPECT_EQ(ListContainerEntries(listStream).size(), c.entries) << c.what;
    EXPECT_LE(listed.calls, c.maxCalls) << c.what;

    CCountingBuffer searched(bytes);
    std::istream searchStream(&searched);
    CPackageDescription d;
    const auto first = SelectContainerEntry(searchStream, "e0", d);
    ASSERT_TRUE(first.has_value()) << c.what;
    EXPECT_EQ(d.Name, "e0");
    EXPECT_LE(searched.calls, c.maxCalls) << c.what;
    EXPECT_EQ(searchStream.tellg(), first->PayloadStart) << c.what << ": left at the payload";
    EXPECT_EQ(Payload(searchStream, *first), specs[0].payload) << c.what;
  }
}

TEST(PackageContainerTest, WalkGoesFromTheLastEntryToTheFirstAcrossEmptyPayloads) {
  const std::string big(40000, 'x');
  std::istringstream container(BuildContainer({{"one", big}, {"two", ""}, {"three", "3"}}));
  const auto items = ListContainerEntries(container);
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].Description.Name, "three");
  EXPECT_EQ(items[1].Description.Name, "two");
  EXPECT_EQ(items[1].Entry.PayloadLength, 0u);
  EXPECT_EQ(items[2].Description.Name, "one");
  EXPECT_EQ(items[2].Entry.PayloadStart, 0);
  EXPECT_EQ(items[2].Entry.RecordStart, 40000);
  EXPECT_EQ(Payload(container, items[2].Entry), big);
}

// Damage in the last eight bytes of the container, which the walk reads
// before it has validated anything.
TEST(PackageContainerTest, DamagedEndHasNoEntries) {
  const std::string good = BuildContainer({{"A", "payload"}});
  const std::size_t size = good.size();
  const std::uint32_t record = static_cast<std::uint32_t>(size - 7);
  struct Case {
    const char* what;
    std::string bytes;
  };
  auto withSizes = [&](std::uint32_t entrySize, std::uint32_t recordSize) {
    std::string b = good;
    PutWordAt(b, size - 8, entrySize);
    PutWordAt(b, size - 4, recordSize);
    return b;
  };
  const Case cases[] = {
      {"empty", ""},
      {"seven bytes", "1234567"},
      {"EntrySize 0", withSizes(0, record)},
      {"EntrySize smaller than RecordSize", withSizes(record - 1, record)},
      {"EntrySize beyond the start of the file",
       withSizes(static_cast<std::uint32_t>(size + 1), record)},
      {"RecordSize off by one", withSizes(static_cast<std::uint32_t>(size), record + 1)},
      {"both sizes huge", withSizes(0xFFFFFFFF, 0xFFFFFFFF)},
  };
  for (const Case& c : cases) {
    std::istringstream container(c.bytes);
    container.seekg(0, std::ios::end);
    EXPECT_FALSE(CPackageDescription::FindEntry(container).has_value()) << c.what;
    EXPECT_TRUE(ListContainerEntries(container).empty()) << c.what;
    CPackageDescription d;
    EXPECT_FALSE(SelectContainerEntry(container, "A", d).has_value()) << c.what;
  }
}

TEST(PackageContainerTest, FindEntryReportsPositionsAndLeavesTheStreamAtThePayload) {
  std::istringstream container("junk" + BuildContainer({{"A", "12345"}}));
  container.seekg(0, std::ios::end);
  const auto entry = CPackageDescription::FindEntry(container);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->PayloadStart, 4);
  EXPECT_EQ(entry->PayloadLength, 5u);
  EXPECT_EQ(entry->RecordStart, 9);
  EXPECT_EQ(entry->RecordSize, CPackageDescription().SerializedSize() + 1 + 5 + 5);
  EXPECT_EQ(container.tellg(), 4);
  EXPECT_FALSE(CPackageDescription::FindEntry(container).has_value()) << "junk is no entry";
}

TEST(PackageContainerTest, PayloadCopyFailuresGetTheirTexts) {
  std::istringstream container(BuildContainer({{"A", "12345"}}));
  CPackageEntry beyond{0, 100000, 5, 0};
  std::ostringstream out;
  EXPECT_STREQ(CopyEntryPayload(container, beyond, out), kCannotReadPayload);

  CPackageEntry fine{0, 5, 5, 0};
  std::ostringstream broken;
  broken.setstate(std::ios::badbit);
  EXPECT_STREQ(CopyEntryPayload(container, fine, broken), kCannotWritePayload);
  EXPECT_STREQ(ExtractEntryPayload(container, fine, "/nonexistent-dir/payload"),
               kCannotWritePayload);
}

TEST(PackageContainerTest, SidecarNameIsTheLastPathPartWithMki) {
  struct Case {
    const char* fileName;
    const char* sidecar;
  };
  for (const Case& c :
       {Case{"setup.msi", "setup.msi.mki"}, Case{"sub\\setup.msi", "setup.msi.mki"},
        Case{"C:/a\\b/setup.exe", "setup.exe.mki"}, Case{"dir/", ".mki"}, Case{"", ".mki"}}) {
    EXPECT_EQ(SidecarFileName(c.fileName), c.sidecar) << c.fileName;
  }
  CPackageDescription d;
  for (std::uint32_t type : {0u, 1u, 2u}) {
    d.PackageType = type;
    EXPECT_TRUE(HasSidecarFile(d)) << type;
  }
  for (std::uint32_t type : {3u, 4u, 5u, 99u}) {
    d.PackageType = type;
    EXPECT_FALSE(HasSidecarFile(d)) << type;
  }
}

}  // namespace
