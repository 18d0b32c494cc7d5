#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/registry.h"
#include "tests/platform/posix/registry_file_support.h"

namespace {

using platform::IRegistry;
using platform::kRegOk;
using platform::OpenRegistryFile;
using platform::RegistryValue;
using Bytes = std::vector<std::uint8_t>;

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

class RegistryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(directory_.empty());
    // The store never creates its file; most tests start from an empty one.
    WriteFile("REGEDIT4\n\n");
  }

  std::vector<std::string> Entries() const { return files_.Entries(); }
  std::string FileText() const { return files_.Read(); }
  void WriteFile(const std::string& text) const { files_.Write(text); }

  vorn_test::CRegistryFileDirectory files_;
  const std::string& directory_ = files_.Directory();
  const std::string& path_ = files_.Path();
};

struct RoundTripCase {
  const char* label;
  std::uint32_t type;
  Bytes data;
  const char* line;  // how the value must appear in the file
};

TEST_F(RegistryFileTest, EveryValueReadsBackAsTheBytesWritten) {
  const std::vector<RoundTripCase> cases = {
      {"text", platform::kRegSz, BytesOf(std::string("Sample Analyzer\0", 16)),
       "\"v0\"=\"Sample Analyzer\"\n"},
      {"escapes", platform::kRegSz, BytesOf(std::string("C:\\dir \"q\"\0", 11)),
       "\"v1\"=\"C:\\\\dir \\\"q\\\"\"\n"},
      {"empty text", platform::kRegSz, Bytes{0}, "\"v2\"=\"\"\n"},
      {"expandable", platform::kRegExpandSz, BytesOf(std::string("%TEMP%\0", 7)),
       "\"v3\"=hex(2):25,54,45,4d,50,25,00\n"},
      {"dword", platform::kRegDword, Bytes{0x0a, 0, 0, 0}, "\"v4\"=dword:0000000a\n"},
      {"embedded zero", platform::kRegSz, BytesOf(std::string("ab\0cd\0", 6)),
       "\"v5\"=hex(1):61,62,00,63,64,00\n"},
      {"no terminator", platform::kRegSz, BytesOf("abc"), "\"v6\"=hex(1):61,62,63\n"},
      {"two terminators", platform::kRegSz, Bytes{'a', 0, 0}, "\"v7\"=hex(1):61,00,00\n"},
      {"line break", platform::kRegSz, Bytes{'a', '\n', 'b', 0}, "\"v8\"=hex(1):61,0a,62,00\n"},
      {"no bytes", platform::kRegSz, Bytes{}, "\"v9\"=hex(1):\n"},
      {"binary", platform::kRegBinary, Bytes{0x00, 0xff, 0x10}, "\"v10\"=hex:00,ff,10\n"},
      {"short dword", platform::kRegDword, Bytes{1, 2}, "\"v11\"=hex(4):01,02\n"},
      {"long binary", platform::kRegBinary, Bytes(100, 0xab), "\"v12\"=hex:ab,ab,"},
      {"default value", platform::kRegSz, BytesOf(std::string("d\0", 2)), "@=\"d\"\n"},
  };
  {
    auto store = OpenRegistryFile(path_);
    ASSERT_EQ(store->CreateKey("SOFTWARE\\Test"), kRegOk);
    for (std::size_t i = 0; i < cases.size(); ++i) {
      std::string name = i + 1 == cases.size() ? "" : "v" + std::to_string(i);
      ASSERT_EQ(store->SetValue("SOFTWARE\\Test", name, cases[i].type, cases[i].data.data(),
                                cases[i].data.size()),
                kRegOk)
          << cases[i].label;
    }
  }
  std::string text = FileText();
  EXPECT_EQ(text.rfind("REGEDIT4\n", 0), 0u) << text;
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"), std::string::npos) << text;

  auto reopened = OpenRegistryFile(path_);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::string name = i + 1 == cases.size() ? "" : "v" + std::to_string(i);
    RegistryValue value;
    ASSERT_EQ(reopened->QueryValue("SOFTWARE\\Test", name, value), kRegOk) << cases[i].label;
    EXPECT_EQ(value.type, cases[i].type) << cases[i].label;
    EXPECT_EQ(value.data, cases[i].data) << cases[i].label;
    EXPECT_NE(text.find(cases[i].line), std::string::npos) << cases[i].label << "\n" << text;
  }
  // regedit's line width: long data continues on indented lines.
  EXPECT_NE(text.find(",\\\n  ab,"), std::string::npos) << text;
}

TEST_F(RegistryFileTest, ReadsWhatAnAdministratorWrites) {
  WriteFile(
      "REGEDIT4\r\n"
      "\r\n"
      "; devices of this computer\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\SampleAnalyzer]\r\n"
      "\"MaterialNumber\"=\"1234.5678.02\"\r\n"
      "@=\"default\"\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "  03,04\r\n"
      "\"Count\" = dword:0000002A\r\n");
  auto store = OpenRegistryFile(path_);
  RegistryValue value;
  const std::string key = "SOFTWARE\\Marrow&Keplin\\Trellane\\SampleAnalyzer";
  ASSERT_EQ(store->QueryValue(key, "MaterialNumber", value), kRegOk);
  EXPECT_EQ(value.data, BytesOf(std::string("1234.5678.02\0", 13)));
  ASSERT_EQ(store->QueryValue(key, "", value), kRegOk);
  EXPECT_EQ(value.data, BytesOf(std::string("default\0", 8)));
  ASSERT_EQ(store->QueryValue(key, "Blob", value), kRegOk);
  EXPECT_EQ(value.data, (Bytes{1, 2, 3, 4}));
  ASSERT_EQ(store->QueryValue(key, "Count", value), kRegOk);
  EXPECT_EQ(value.type, platform::kRegDword);
  EXPECT_EQ(value.data, (Bytes{42, 0, 0, 0}));
}

TEST_F(RegistryFileTest, EveryLineThatCannotBeReadIsReportedWithItsNumberAndNothingIsWritten) {
  const std::string text =
      "REGEDIT4\n"
      "\"Orphan\"=\"before any key\"\n"
      "[HKEY_CURRENT_USER\\Other]\n"
      "\"Foreign\"=\"other hive\"\n"
      "[HKEY_LOCAL_MACHINE\\Broken\n"
      "\"AfterBrokenHeader\"=\"x\"\n"
      "[HKEY_LOCAL_MACHINE\\Good]\n"
      "\"Unterminated\"=\"abc\n"
      "\"BadHex\"=hex:0g,01\n"
      "\"OddHex\"=hex:012\n"
      "\"LongDword\"=dword:123456789\n"
      "\"NoEquals\" \"x\"\n"
      "\"UnknownForm\"=qword:1\n"
      "\"Trailing\"=\"a\" junk\n"
      "garbage without quotes\n"
      "=\n"
      "\"\n"
      "\"Kept\"=\"yes\"\n"
      "\"Dangling\"=hex:01,\\\n"
      "[\n"
      "\"AfterBadHeader\"=\"x\"\n"
      "\"Deleted\"=-\n"
      "[-HKEY_LOCAL_MACHINE\\Good]\n";
  WriteFile(text);
  auto store = OpenRegistryFile(path_);
  const std::vector<int> expectedLines = {2,  5,  8,  9,  10, 11, 12, 13,
                                          14, 15, 16, 17, 19, 20, 22, 23};
  std::vector<std::string> problems = store->Problems();
  ASSERT_EQ(problems.size(), expectedLines.size());
  for (std::size_t i = 0; i < problems.size(); ++i) {
    EXPECT_EQ(problems[i].rfind(path_ + ":" + std::to_string(expectedLines[i]) + ": ", 0), 0u)
        << problems[i];
  }
  EXPECT_NE(problems[2].find("not closed"), std::string::npos) << problems[2];

  // What can be read is served (nothing better was ever read) ...
  RegistryValue value;
  EXPECT_NE(store->QueryValue("Other", "Foreign", value), kRegOk);
  EXPECT_NE(store->OpenKey("Broken"), kRegOk);
  for (const char* name : {"Unterminated", "BadHex", "OddHex", "LongDword", "NoEquals",
                           "UnknownForm", "Trailing", "Orphan", "AfterBrokenHeader", "Dangling"}) {
    EXPECT_NE(store->QueryValue("Good", name, value), kRegOk) << name;
  }
  EXPECT_EQ(store->QueryValue("Good", "Kept", value), kRegOk);
  EXPECT_EQ(store->QueryValue("Good", "AfterBadHeader", value), platform::kRegNotFound);

  // ... but nothing is written over a file that could not be read whole.
  EXPECT_EQ(store->SetValue("Good", "Kept", platform::kRegSz, "no", 3), platform::kRegBadDatabase);
  EXPECT_EQ(store->CreateKey("New"), platform::kRegBadDatabase);
  EXPECT_EQ(FileText(), text);
  EXPECT_EQ(Entries(), std::vector<std::string>{"registry.reg"});
}

TEST_F(RegistryFileTest, KeyAndValueNamesIgnoreCase) {
  auto store = OpenRegistryFile(path_);
  ASSERT_EQ(store->CreateKey("SOFTWARE\\Vendor\\Device"), kRegOk);
  EXPECT_EQ(store->OpenKey("software\\VENDOR\\device"), kRegOk);
  std::uint32_t one = 1, two = 2;
  ASSERT_EQ(store->SetValue("Software\\Vendor\\Device", "Level", platform::kRegDword, &one, 4),
            kRegOk);
  ASSERT_EQ(store->SetValue("SOFTWARE\\vendor\\DEVICE", "LEVEL", platform::kRegDword, &two, 4),
            kRegOk);
  ASSERT_EQ(store->CreateKey("SOFTWARE\\VENDOR"), kRegOk);
  std::vector<std::string> names;
  ASSERT_EQ(store->EnumSubKeys("software\\vendor", names), kRegOk);
  EXPECT_EQ(names, std::vector<std::string>{"Device"});
  RegistryValue value;
  ASSERT_EQ(store->QueryValue("SOFTWARE\\Vendor\\Device", "level", value), kRegOk);
  EXPECT_EQ(value.data, (Bytes{2, 0, 0, 0}));
  // One section and one value line, not two spellings of each.
  std::string text = FileText();
  EXPECT_EQ(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Device]"),
            text.rfind("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Device]"));
  EXPECT_EQ(text.find("=dword:"), text.rfind("=dword:"));
  EXPECT_NE(text.find("\"Level\"=dword:00000002"), std::string::npos) << text;
}

TEST_F(RegistryFileTest, SubKeysEnumerateInFileOrder) {
  WriteFile(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Zeta]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\alpha\\Deep]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Mid]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\ALPHA]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tx]\n");
  auto store = OpenRegistryFile(path_);
  std::vector<std::string> names;
  ASSERT_EQ(store->EnumSubKeys("SOFTWARE\\T", names), kRegOk);
  EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "alpha", "Mid"}));
  ASSERT_EQ(store->CreateKey("SOFTWARE\\T\\New"), kRegOk);
  ASSERT_EQ(store->EnumSubKeys("SOFTWARE\\T", names), kRegOk);
  EXPECT_EQ(names, (std::vector<std::string>{"Zeta", "alpha", "Mid", "New"}));
  // "alpha" exists only as the parent of "Deep" and still counts as a key.
  EXPECT_EQ(store->OpenKey("SOFTWARE\\T\\alpha"), kRegOk);
  EXPECT_EQ(store->EnumSubKeys("SOFTWARE\\T\\Missing", names), platform::kRegNotFound);
}

TEST_F(RegistryFileTest, AMissingFileIsAProblemAndIsNeverCreated) {
  unlink(path_.c_str());
  auto store = OpenRegistryFile(path_);
  RegistryValue value;
  EXPECT_EQ(store->OpenKey("SOFTWARE"), platform::kRegNotFound);
  EXPECT_EQ(store->QueryValue("SOFTWARE", "x", value), platform::kRegNotFound);
  EXPECT_EQ(store->CreateKey("SOFTWARE\\A\\B"), platform::kRegNotFound);
  EXPECT_EQ(store->Problems(), std::vector<std::string>{
                                   path_ + ": cannot read the configuration store: No such file or "
                                           "directory"});
  EXPECT_TRUE(Entries().empty());

  // Once the administrator has put a file there, it is used.
  WriteFile("REGEDIT4\n");
  EXPECT_TRUE(store->Problems().empty());
  ASSERT_EQ(store->CreateKey("SOFTWARE\\A\\B"), kRegOk);
  EXPECT_EQ(store->OpenKey("SOFTWARE\\A"), kRegOk);
  EXPECT_EQ(FileText(),
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B]\n");
  EXPECT_NE(store->CreateKey("SOFTWARE\\\\Empty"), kRegOk);
  EXPECT_NE(store->CreateKey("\\Leading"), kRegOk);
}

TEST_F(RegistryFileTest, WritesReplaceTheFileWholeAndLeaveNoTemporaryFile) {
  auto store = OpenRegistryFile(path_);
  ASSERT_EQ(store->CreateKey("K"), kRegOk);
  // A reader that opened the file before a write still reads the whole old file.
  std::ifstream reader(path_, std::ios::binary);
  std::string before = FileText();
  for (int i = 0; i < 20; ++i) {
    std::string text = "value " + std::to_string(i);
    ASSERT_EQ(store->SetValue("K", "V" + std::to_string(i), platform::kRegSz, text.c_str(),
                              text.size() + 1),
              kRegOk);
  }
  EXPECT_EQ(Entries(), std::vector<std::string>{"registry.reg"});
  std::stringstream seen;
  seen << reader.rdbuf();
  EXPECT_EQ(seen.str(), before) << "the file was rewritten in place";
  EXPECT_NE(FileText().find("\"V19\"=\"value 19\""), std::string::npos);
}

TEST_F(RegistryFileTest, AnEditOnDiskIsSeenByTheNextAccess) {
  WriteFile("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"Group\"=\"AAAA\"\n");
  auto store = OpenRegistryFile(path_);
  RegistryValue value;
  ASSERT_EQ(store->QueryValue("K", "Group", value), kRegOk);
  EXPECT_EQ(value.data, BytesOf(std::string("AAAA\0", 5)));

  // An editor that saves in place, same size, a moment later.
  WriteFile("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"Group\"=\"BBBB\"\n");
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  timespec times[2] = {info.st_atim, info.st_mtim};
  times[1].tv_sec += 1;
  ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  ASSERT_EQ(store->QueryValue("K", "Group", value), kRegOk);
  EXPECT_EQ(value.data, BytesOf(std::string("BBBB\0", 5)));

  // An editor that saves a new file and renames it over the old one.
  std::string temp = directory_ + "/edit";
  {
    std::ofstream out(temp);
    out << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"Group\"=\"CCCC\"\n\"Other\"=dword:1\n";
  }
  ASSERT_EQ(rename(temp.c_str(), path_.c_str()), 0);
  std::uint32_t seven = 7;
  ASSERT_EQ(store->SetValue("K", "Added", platform::kRegDword, &seven, 4), kRegOk);
  // The write started from the edited file, not from the stale copy.
  auto fresh = OpenRegistryFile(path_);
  ASSERT_EQ(fresh->QueryValue("K", "Group", value), kRegOk);
  EXPECT_EQ(value.data, BytesOf(std::string("CCCC\0", 5)));
  EXPECT_EQ(fresh->QueryValue("K", "Other", value), kRegOk);
  EXPECT_EQ(fresh->QueryValue("K", "Added", value), kRegOk);

  // A file that goes away (or turns unreadable) is reported; the service
  // keeps what it read before rather than lose its inventory.
  unlink(path_.c_str());
  EXPECT_EQ(store->OpenKey("K"), kRegOk);
  EXPECT_EQ(store->Problems().size(), 1u);
  EXPECT_EQ(store->SetValue("K", "Added", platform::kRegDword, &seven, 4), platform::kRegNotFound);
  EXPECT_TRUE(Entries().empty());
}

TEST_F(RegistryFileTest, ConcurrentWritersLoseNothing) {
  auto store = OpenRegistryFile(path_);
  ASSERT_EQ(store->CreateKey("K"), kRegOk);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&store, t] {
      for (int i = 0; i < 10; ++i) {
        std::uint32_t number = static_cast<std::uint32_t>(t * 100 + i);
        store->SetValue("K", "V" + std::to_string(number), platform::kRegDword, &number, 4);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  auto reopened = OpenRegistryFile(path_);
  RegistryValue value;
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(reopened->QueryValue("K", "V" + std::to_string(t * 100 + i), value), kRegOk);
    }
  }
}

TEST_F(RegistryFileTest, AWriteThatCannotBeStoredIsReportedAndChangesNothing) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  auto store = OpenRegistryFile(path_);
  ASSERT_EQ(store->CreateKey("K"), kRegOk);
  chmod(directory_.c_str(), 0555);
  EXPECT_EQ(store->SetValue("K", "V", platform::kRegSz, "x", 2), platform::kRegAccessDenied);
  chmod(directory_.c_str(), 0755);
  RegistryValue value;
  EXPECT_EQ(store->QueryValue("K", "V", value), platform::kRegNotFound);
}

}  // namespace

namespace {

TEST(DefaultRegistryTest, ShippedFileListsTheSampleDeviceAndTheConfigurationKeys) {
  auto store = OpenRegistryFile(std::string(VORN_SOURCE_DIR) + "/config/default-registry.reg");
  const std::string platformKey = "SOFTWARE\\Marrow&Keplin\\Trellane";
  std::vector<std::string> names;
  ASSERT_EQ(store->EnumSubKeys(platformKey, names), kRegOk);
  EXPECT_EQ(names, (std::vector<std::string>{"SampleAnalyzer", "ServiceConfiguration",
                                             "AdapterConfiguration"}));
  struct Expected {
    const char* key;
    const char* name;
    const char* text;
  };
  for (const Expected& e : {
           Expected{"\\SampleAnalyzer", "MaterialNumber", "1234.5678.02"},
           Expected{"\\SampleAnalyzer", "SerialNumber", "100042"},
           Expected{"\\SampleAnalyzer", "DeviceName", "Sample Analyzer"},
           Expected{"\\SampleAnalyzer", "SoftwareVersion", "1.20"},
           Expected{"\\ServiceConfiguration\\InstallServer", "DeviceGroup", "DEFAULT"},
       }) {
    RegistryValue value;
    ASSERT_EQ(store->QueryValue(platformKey + e.key, e.name, value), kRegOk) << e.name;
    EXPECT_EQ(value.type, platform::kRegSz);
    Bytes expected = BytesOf(e.text);
    expected.push_back(0);
    EXPECT_EQ(value.data, expected) << e.name;
  }
  EXPECT_EQ(store->OpenKey(platformKey + "\\AdapterConfiguration"), kRegOk);
}

}  // namespace
