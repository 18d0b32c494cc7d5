// Files an administrator may really hand the service: each is either read
// correctly or reported with the line that is wrong, and the file on disk
// stays byte for byte what it was, unless the service had a value of its own
// to write ("DeviceGroup" when missing or malformed): then only that changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "platform/instrument_link.h"
#include "platform/posix/utf16.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "service/install_server.h"
#include "tests/platform/posix/registry_file_support.h"

namespace {

using vorn_test::CRegistryFileDirectory;

std::string Utf16(const std::string& text) {
  return "\xFF\xFE" + platform::posix::Utf8ToUtf16Le(text).value();
}

std::size_t LineOf(const std::string& text, std::size_t offset) {
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
}

const std::string kServerSection =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\ServiceConfiguration\\"
    "InstallServer]\r\n";

const std::string kExport =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\Pr\u00fcfstand]\r\n"
    "\"MaterialNumber\"=\"1234.5678.02\"\r\n"
    "\"SerialNumber\"=\"100042\"\r\n"
    "\"DeviceName\"=\"Pr\u00fcfstand \u00d6l\"\r\n"
    "\r\n" +
    kServerSection + "\r\n";

std::string WithGroupLine(const std::string& text, const std::string& line) {
  std::string result = text;
  result.insert(result.find(kServerSection) + kServerSection.size(), line);
  return result;
}

std::string RandomBytes() {
  std::mt19937 random(6);
  std::string bytes(4096, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  bytes[0] = 'x';
  return bytes;
}

std::string Regedit4(const std::string& body) {
  return "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\Analyzer]\n" + body;
}

struct BadFileCase {
  const char* label;
  std::string bytes;
  std::vector<std::size_t> problemLines;  // empty: the file is read
  std::vector<std::string> materialNumbers;
  const char* deviceGroup;
  std::string after;  // the file afterwards; empty: unchanged
};

std::vector<BadFileCase> Cases() {
  const std::string defaultFile =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\SampleAnalyzer]\n"
      "\"MaterialNumber\"=\"1234.5678.02\"\n\"SerialNumber\"=\"100042\"\n";
  const std::string cut = defaultFile.substr(0, defaultFile.find("100042") + 3);
  const std::string hexCut = Regedit4("\"MaterialNumber\"=\"1\"\n\"Blob\"=hex:01,02,\\\n");
  const std::string big = Regedit4("\"MaterialNumber\"=\"5555.0000.01\"\n\"Notes\"=\"" +
                                   std::string(5 * 1024 * 1024, 'n') + "\"\n\n" +
                                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\"
                                   "ServiceConfiguration\\InstallServer]\n"
                                   "\"DeviceGroup\"=dword:00000001\n");
  std::string bigAfter = big;
  bigAfter.replace(bigAfter.find("dword:00000001"), 14, "\"DEFAULT\"");
  const std::string utf8 = Regedit4(
      "\"MaterialNumber\"=\"1234.5678.90\"\n\"DeviceName\"=\"Analysator f\u00fcr \u00d6l\"\n"
      "\"Ansi\"=\"f\xfcr\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\ServiceConfiguration\\"
      "InstallServer]\n\"DeviceGroup\"=\"Labor S\u00fcd\"\n");
  const std::string utf16Cut = Utf16(kExport).substr(0, Utf16(kExport).size() - 1);
  return {
      {"random bytes", RandomBytes(), {1}, {}, "DEFAULT", ""},
      {"wrong header", "REGEDIT5\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n", {1}, {}, "DEFAULT", ""},
      {"UTF-16 without byte order mark", Utf16(kExport).substr(2), {1}, {}, "DEFAULT", ""},
      {"value cut in the middle",
       cut,
       {LineOf(cut, cut.find("\"SerialNumber\""))},
       {"1234.5678.02"},
       "DEFAULT",
       ""},
      {"hex data cut after a continuation",
       hexCut,
       {LineOf(hexCut, hexCut.find("\"Blob\""))},
       {"1"},
       "DEFAULT",
       ""},
      {"UTF-16 export cut at an odd byte",
       utf16Cut,
       {LineOf(kExport, kExport.size() - 1)},
       {},
       "DEFAULT",
       ""},
      {"UTF-16 export",
       Utf16(kExport),
       {},
       {"1234.5678.02"},
       "DEFAULT",
       Utf16(WithGroupLine(kExport, "\"DeviceGroup\"=\"DEFAULT\"\r\n"))},
      {"5 MB value", big, {}, {"5555.0000.01"}, "DEFAULT", bigAfter},
      {"non-ASCII names and texts", utf8, {}, {"1234.5678.90"}, "Labor S\u00fcd", ""},
  };
}

TEST(RegistryBadFilesTest, EachFileIsReadOrReportedAndOnlyTheServiceValueIsWritten) {
  for (const BadFileCase& c : Cases()) {
    SCOPED_TRACE(c.label);
    CRegistryFileDirectory directory;
    directory.Write(c.bytes);
    auto store = platform::OpenRegistryFile(directory.Path());

    std::vector<std::string> problems = store->Problems();
    ASSERT_EQ(problems.size(), c.problemLines.size()) << (problems.empty() ? "" : problems[0]);
    for (std::size_t i = 0; i < problems.size(); ++i) {
      EXPECT_EQ(
          problems[i].rfind(directory.Path() + ":" + std::to_string(c.problemLines[i]) + ": ", 0),
          0u)
          << problems[i];
    }

    // What the service does with it: list the devices, answer discovery.
    CInstallServer* server =
        CInstallServer::Create(*store, platform::Sockets(), platform::InstrumentLinker());
    std::vector<std::string> materialNumbers;
    server->GetMaterialNumbers(materialNumbers);
    materialNumbers.pop_back();  // the service itself
    if (c.problemLines.empty()) {
      EXPECT_EQ(materialNumbers, c.materialNumbers);
    }
    EXPECT_EQ(server->GetDeviceGroup(), c.deviceGroup);
    delete server;

    const std::string expected = c.after.empty() ? c.bytes : c.after;
    const std::string actual = directory.Read();
    EXPECT_TRUE(actual == expected)
        << "the file changed: " << actual.size() << " bytes, expected " << expected.size();
    EXPECT_EQ(directory.Entries(), std::vector<std::string>{"registry.reg"});
  }
}

}  // namespace
