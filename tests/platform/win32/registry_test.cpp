// The registry store against the real registry: what it writes is what the
// Windows API reads back (type and bytes, in HKEY_LOCAL_MACHINE), and what it
// reads is the whole value.
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/system_info.h"
#include "platform/win32/windows_api.h"

namespace {

using platform::Registry;
using platform::RegistryValue;

constexpr char kTestRoot[] = "SOFTWARE\\VornTests";

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = std::string(kTestRoot) + "\\" + platform::CreateGuidText();
    ASSERT_EQ(Registry().CreateKey(key_), platform::kRegOk);
  }

  void TearDown() override {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key_.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTestRoot);  // only succeeds once it is empty
  }

  // The value as the Windows API sees it.
  bool ReadNative(const std::string& name, DWORD& type, std::vector<std::uint8_t>& data) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
      return false;
    }
    DWORD size = 0;
    LONG result = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
    data.resize(size);
    if (result == ERROR_SUCCESS && size > 0) {
      result = RegQueryValueExA(key, name.c_str(), nullptr, &type, data.data(), &size);
    }
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
  }

  std::string key_;
};

TEST_F(RegistryTest, ValuesRoundTripWithTypeAndExactBytes) {
  std::vector<std::uint8_t> large(5000);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7);
  struct Case {
    const char* name;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
  } cases[] = {
      {"MaterialNumber", platform::kRegSz, Bytes(std::string("1234.5678.90", 13))},
      {"SoftwareInstallationPath", platform::kRegExpandSz,
       Bytes(std::string("%ProgramFiles%\\Vorn", 20))},
      {"Counter", platform::kRegDword, {0x78, 0x56, 0x34, 0x12}},
      {"Raw", platform::kRegBinary, {0x00, 0x01, 0xFF, 0x00, 0x7F}},
      {"Large", platform::kRegBinary, large},
      {"Empty", platform::kRegSz, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Registry().SetValue(key_, c.name, c.type, c.data.data(), c.data.size()),
              platform::kRegOk);

    DWORD nativeType = REG_NONE;
    std::vector<std::uint8_t> nativeData;
    ASSERT_TRUE(ReadNative(c.name, nativeType, nativeData));
    EXPECT_EQ(nativeType, c.type);
    EXPECT_EQ(nativeData, c.data);

    RegistryValue value;
    ASSERT_EQ(Registry().QueryValue(key_, c.name, value), platform::kRegOk);
    EXPECT_EQ(value.type, c.type);
    EXPECT_EQ(value.data, c.data);
  }
}

TEST_F(RegistryTest, MissingKeysAndValuesAreNotFound) {
  RegistryValue value;
  EXPECT_EQ(Registry().QueryValue(key_, "Missing", value), platform::kRegNotFound);
  EXPECT_EQ(Registry().QueryValue(key_ + "\\Missing", "Value", value), platform::kRegNotFound);
  EXPECT_EQ(Registry().OpenKey(key_ + "\\Missing"), platform::kRegNotFound);
  std::vector<std::string> names;
  EXPECT_EQ(Registry().EnumSubKeys(key_ + "\\Missing", names), platform::kRegNotFound);
  // A value is only written into an existing key.
  std::uint32_t one = 1;
  EXPECT_EQ(Registry().SetValue(key_ + "\\Missing", "Value", platform::kRegDword, &one, 4),
            platform::kRegNotFound);
  EXPECT_EQ(Registry().OpenKey(key_ + "\\Missing"), platform::kRegNotFound);
}

TEST_F(RegistryTest, CreateKeyMakesEveryMissingParentAndKeepsExistingValues) {
  const std::string nested = key_ + "\\Marrow&Keplin\\Trellane\\Device";
  ASSERT_EQ(Registry().CreateKey(nested), platform::kRegOk);
  EXPECT_EQ(Registry().OpenKey(key_ + "\\Marrow&Keplin"), platform::kRegOk);
  ASSERT_EQ(Registry().SetValue(nested, "SerialNumber", platform::kRegSz, "100042", 7),
            platform::kRegOk);

  ASSERT_EQ(Registry().CreateKey(nested), platform::kRegOk);
  RegistryValue value;
  ASSERT_EQ(Registry().QueryValue(nested, "SerialNumber", value), platform::kRegOk);
  EXPECT_EQ(value.data, Bytes(std::string("100042", 7)));
}

TEST_F(RegistryTest, EnumSubKeysListsDirectChildrenOnly) {
  for (const char* name : {"Alpha", "Beta", "Gamma\\Nested"}) {
    ASSERT_EQ(Registry().CreateKey(key_ + "\\" + name), platform::kRegOk);
  }
  std::vector<std::string> names{"stale entry"};
  ASSERT_EQ(Registry().EnumSubKeys(key_, names), platform::kRegOk);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));

  ASSERT_EQ(Registry().EnumSubKeys(key_ + "\\Alpha", names), platform::kRegOk);
  EXPECT_TRUE(names.empty());
}

TEST(RegistryFileTest, APathNamesOneSubtreeOfItsOwn) {
  const std::string guid = platform::CreateGuidText();
  const std::string path = "C:\\vorn-tests\\" + guid + ".reg";
  auto store = platform::OpenRegistryFile(path);
  ASSERT_EQ(store->CreateKey("SOFTWARE\\Marrow&Keplin"), platform::kRegOk);
  ASSERT_EQ(store->SetValue("SOFTWARE\\Marrow&Keplin", "DeviceGroup", platform::kRegSz, "LAB", 4),
            platform::kRegOk);

  RegistryValue value;
  auto reopened = platform::OpenRegistryFile(path);
  ASSERT_EQ(reopened->QueryValue("SOFTWARE\\Marrow&Keplin", "DeviceGroup", value),
            platform::kRegOk);
  EXPECT_EQ(value.data, Bytes(std::string("LAB", 4)));
  EXPECT_EQ(platform::OpenRegistryFile(path + ".other")->OpenKey("SOFTWARE\\Marrow&Keplin"),
            platform::kRegNotFound);
  EXPECT_EQ(Registry().QueryValue("SOFTWARE\\Marrow&Keplin", "DeviceGroup", value),
            platform::kRegNotFound);

  const std::string subtree = "SOFTWARE\\Vorn\\RegistryFiles\\C:/vorn-tests/" + guid + ".reg";
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, subtree.c_str()), ERROR_SUCCESS);
}

}  // namespace
