// Writes to the registry file change only what they write, keep the file's
// format and encoding, lose nothing when two processes write at once, and
// unchanged files are not read again.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/posix/process_registry.h"
#include "platform/posix/utf16.h"
#include "platform/registry.h"
#include "tests/platform/posix/registry_file_support.h"

namespace {

using platform::kRegOk;
using platform::OpenRegistryFile;
using platform::RegistryValue;
using vorn_test::CRegistryFileDirectory;

const std::string kServerKey =
    "SOFTWARE\\Marrow&Keplin\\Trellane\\ServiceConfiguration\\InstallServer";

long SetString(platform::IRegistry& store, const std::string& key, const std::string& name,
               const std::string& text) {
  return store.SetValue(key, name, platform::kRegSz, text.c_str(), text.size() + 1);
}

TEST(RegistryFileEditTest, AWriteChangesOnlyTheLinesOfItsValue) {
  CRegistryFileDirectory directory;
  const std::string before =
      "REGEDIT4\r\n"
      "; Configuration of this instrument computer\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
      "\"Keep\"=\"me\"\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\ServiceConfiguration\\"
      "InstallServer]\r\n"
      "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      "; the group of the lab\r\n"
      "\"devicegroup\"=hex(2):4c,61,62,00\r\n"
      "\"Multi\"=hex(7):61,00,00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\Zeta]\r\n"
      "\"MaterialNumber\"=\"1\"\r\n"
      "\r\n"
      "; a last comment without a line end";
  directory.Write(before);
  auto store = OpenRegistryFile(directory.Path());
  ASSERT_TRUE(store->Problems().empty());

  ASSERT_EQ(SetString(*store, kServerKey, "DeviceGroup", "DEFAULT"), kRegOk);
  ASSERT_EQ(SetString(*store, "SOFTWARE\\Marrow&Keplin\\Trellane\\Zeta", "SerialNumber", "7"),
            kRegOk);
  ASSERT_EQ(store->CreateKey("SOFTWARE\\Marrow&Keplin\\Trellane\\New"), kRegOk);
  ASSERT_EQ(SetString(*store, "SOFTWARE\\Marrow&Keplin\\Trellane\\New", "MaterialNumber", "2"),
            kRegOk);

  EXPECT_EQ(directory.Read(),
            "REGEDIT4\r\n"
            "; Configuration of this instrument computer\r\n"
            "\r\n"
            "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
            "\"Keep\"=\"me\"\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\ServiceConfiguration\\"
            "InstallServer]\r\n"
            "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n"
            "; the group of the lab\r\n"
            "\"devicegroup\"=\"DEFAULT\"\r\n"
            "\"Multi\"=hex(7):61,00,00\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\Zeta]\r\n"
            "\"MaterialNumber\"=\"1\"\r\n"
            "\"SerialNumber\"=\"7\"\r\n"
            "\r\n"
            "; a last comment without a line end\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\New]\r\n"
            "\"MaterialNumber\"=\"2\"\r\n");
  EXPECT_EQ(directory.Entries(), std::vector<std::string>{"registry.reg"});
}

TEST(RegistryFileEditTest, AUnicodeExportIsReadAndWrittenBackAsUnicode) {
  CRegistryFileDirectory directory;
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\Pr\u00fcfstand]\r\n"
      "\"DeviceName\"=\"Pr\u00fcfstand \u00d6l \U0001F52C\"\r\n"
      "\"Path\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00\r\n"
      "\r\n";
  const std::string bom = "\xFF\xFE";
  directory.Write(bom + *platform::posix::Utf8ToUtf16Le(text));
  auto store = OpenRegistryFile(directory.Path());
  ASSERT_TRUE(store->Problems().empty());
  const std::string key = "SOFTWARE\\Marrow&Keplin\\Trellane\\Pr\u00fcfstand";
  RegistryValue value;
  ASSERT_EQ(store->QueryValue(key, "DeviceName", value), kRegOk);
  EXPECT_EQ(std::string(value.data.begin(), value.data.end()),
            std::string("Pr\u00fcfstand \u00d6l \U0001F52C") + '\0');
  // String types in hex are UTF-16 in such a file and answered as ANSI (UTF-8).
  ASSERT_EQ(store->QueryValue(key, "Path", value), kRegOk);
  EXPECT_EQ(value.type, platform::kRegExpandSz);
  EXPECT_EQ(std::string(value.data.begin(), value.data.end()), std::string("%TEMP%") + '\0');

  const std::string expanded("C:\\\u00dcbertragung\0", 16);
  ASSERT_EQ(
      store->SetValue(key, "Transfer", platform::kRegExpandSz, expanded.data(), expanded.size()),
      kRegOk);
  ASSERT_EQ(SetString(*store, key, "SerialNumber", "100042"), kRegOk);
  const std::string expected =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane\\Pr\u00fcfstand]\r\n"
      "\"DeviceName\"=\"Pr\u00fcfstand \u00d6l \U0001F52C\"\r\n"
      "\"Path\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00\r\n"
      "\"Transfer\"=hex(2):43,00,3a,00,5c,00,dc,00,62,00,65,00,72,00,74,00,72,00,61,00,\\\r\n"
      "  67,00,75,00,6e,00,67,00,00,00\r\n"
      "\"SerialNumber\"=\"100042\"\r\n"
      "\r\n";
  EXPECT_EQ(directory.Read(), bom + *platform::posix::Utf8ToUtf16Le(expected));
  auto reopened = OpenRegistryFile(directory.Path());
  ASSERT_EQ(reopened->QueryValue(key, "Transfer", value), kRegOk);
  EXPECT_EQ(std::string(value.data.begin(), value.data.end()), expanded);
}

// Each writer reads the file again under the lock file before it changes it,
// so two processes writing at once both keep their values.
TEST(RegistryFileEditTest, TwoProcessesWritingAtOnceLoseNoUpdate) {
  CRegistryFileDirectory directory;
  directory.Write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n");
  constexpr int kWrites = 40;
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto store = OpenRegistryFile(directory.Path());
      int failures = 0;
      for (int i = 0; i < kWrites; ++i) {
        std::string name = "W" + std::to_string(writer) + "_" + std::to_string(i);
        failures += SetString(*store, "K", name, name) == kRegOk ? 0 : 1;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto store = OpenRegistryFile(directory.Path());
  RegistryValue value;
  int found = 0;
  for (int writer = 0; writer < 2; ++writer) {
    for (int i = 0; i < kWrites; ++i) {
      found += store->QueryValue("K", "W" + std::to_string(writer) + "_" + std::to_string(i),
                                 value) == kRegOk;
    }
  }
  EXPECT_EQ(found, 2 * kWrites);
  EXPECT_EQ(directory.Entries(), std::vector<std::string>{"registry.reg"});
}

TEST(RegistryFileEditTest, AnUnchangedFileIsNotReadAgainAndEveryChangeIsCounted) {
  CRegistryFileDirectory directory;
  directory.Write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"one\"\n");
  auto store = OpenRegistryFile(directory.Path());
  RegistryValue value;
  ASSERT_EQ(store->QueryValue("K", "V", value), kRegOk);
  std::uint64_t count = store->ChangeCount();
  const std::uint64_t reads = platform::posix::RegistryFileReads();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(store->QueryValue("K", "V", value), kRegOk);
    ASSERT_EQ(store->ChangeCount(), count);
  }
  EXPECT_EQ(platform::posix::RegistryFileReads(), reads);

  struct Step {
    const char* what;
    std::function<void()> change;
    const char* expected;
  };
  const Step steps[] = {
      {"edit in place",
       [&] { directory.Write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"two\"\n"); }, "two"},
      {"rename over",
       [&] { directory.Replace("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"three\"\n"); }, "three"},
      {"own write", [&] { SetString(*store, "K", "V", "four"); }, "four"},
  };
  for (const Step& step : steps) {
    step.change();
    EXPECT_NE(store->ChangeCount(), count) << step.what;
    count = store->ChangeCount();
    ASSERT_EQ(store->QueryValue("K", "V", value), kRegOk);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(value.data.data())), step.expected)
        << step.what;
  }
}

}  // namespace
