// The platform key is read from the registry view that holds the device keys:
// 32-bit instrument software writes them into the 32-bit view, and the
// service's own DeviceGroup then goes into the same view. Change counts
// follow edits made outside the process.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device/device_registry.h"
#include "platform/instrument_link.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "platform/socket.h"
#include "platform/system_info.h"
#include "platform/win32/windows_api.h"
#include "service/install_server.h"

namespace {

const std::string kPlatformKey = "SOFTWARE\\Marrow&Keplin\\Trellane";

bool PutNative(REGSAM view, const std::string& key, const std::string& name,
               const std::string& text) {
  HKEY handle;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_WRITE | view, nullptr, &handle, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LONG result =
      RegSetValueExA(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>(text.size() + 1));
  RegCloseKey(handle);
  return result == ERROR_SUCCESS;
}

bool ReadNative(REGSAM view, const std::string& key, const std::string& name, std::string& text) {
  HKEY handle;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &handle) !=
      ERROR_SUCCESS) {
    return false;
  }
  char buffer[256] = {};
  DWORD size = sizeof buffer - 1;
  LONG result = RegQueryValueExA(handle, name.c_str(), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(handle);
  text = buffer;
  return result == ERROR_SUCCESS;
}

void DeletePlatformKey(REGSAM view) {
  HKEY vendor;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Marrow&Keplin", 0, KEY_ALL_ACCESS | view,
                    &vendor) == ERROR_SUCCESS) {
    RegDeleteTreeA(vendor, "Trellane");
    RegCloseKey(vendor);
  }
}

TEST(RegistryViewTest, DevicesOfThirtyTwoBitSoftwareAreServedAndTheGroupIsWrittenBesideThem) {
  DeletePlatformKey(KEY_WOW64_64KEY);
  DeletePlatformKey(KEY_WOW64_32KEY);
  const std::string device = kPlatformKey + "\\Analyzer32";
  ASSERT_TRUE(PutNative(KEY_WOW64_32KEY, device, "MaterialNumber", "1234.5678.32"));
  ASSERT_TRUE(PutNative(KEY_WOW64_32KEY, device, "SerialNumber", "320032"));
  std::string text;
  ASSERT_FALSE(ReadNative(KEY_WOW64_64KEY, device, "MaterialNumber", text))
      << "the 32-bit view is not separate here";

  std::unique_ptr<CInstallServer> server(CInstallServer::Create(
      platform::Registry(), platform::Sockets(), platform::InstrumentLinker()));
  std::vector<std::string> numbers;
  server->GetMaterialNumbers(numbers);
  EXPECT_EQ(numbers, (std::vector<std::string>{"1234.5678.32", "__TRL_Tool__"}));
  std::string serial;
  EXPECT_TRUE(server->GetSerialNumber("1234.5678.32", serial));
  EXPECT_EQ(serial, "320032");

  EXPECT_EQ(server->GetDeviceGroup(), "DEFAULT");
  const std::string configuration = kConfigurationKey;
  ASSERT_TRUE(ReadNative(KEY_WOW64_32KEY, configuration, "DeviceGroup", text));
  EXPECT_EQ(text, "DEFAULT");
  EXPECT_FALSE(ReadNative(KEY_WOW64_64KEY, configuration, "DeviceGroup", text));
  ASSERT_TRUE(server->SetDeviceGroup("Hall 32"));
  ASSERT_TRUE(ReadNative(KEY_WOW64_32KEY, configuration, "DeviceGroup", text));
  EXPECT_EQ(text, "Hall 32");

  // An edit by another program is seen by the next query.
  ASSERT_TRUE(PutNative(KEY_WOW64_32KEY, configuration, "DeviceGroup", "Hall 33"));
  EXPECT_EQ(server->GetDeviceGroup(), "Hall 33");

  // Devices in the 64-bit view take precedence once there are any.
  ASSERT_TRUE(
      PutNative(KEY_WOW64_64KEY, kPlatformKey + "\\Analyzer64", "MaterialNumber", "1234.5678.64"));
  server->GetMaterialNumbers(numbers);
  EXPECT_EQ(numbers, (std::vector<std::string>{"1234.5678.64", "__TRL_Tool__"}));
  server.reset();
  DeletePlatformKey(KEY_WOW64_64KEY);
  DeletePlatformKey(KEY_WOW64_32KEY);
}

TEST(RegistryViewTest, TheChangeCountStaysWhileNothingChangesAndMovesOnAnOutsideEdit) {
  const std::string guid = platform::CreateGuidText();
  auto store = platform::OpenRegistryFile("C:\\vorn-tests\\" + guid + ".reg");
  ASSERT_EQ(store->CreateKey("K"), platform::kRegOk);
  std::uint64_t count = store->ChangeCount();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(store->ChangeCount(), count);

  // Where that store lives, written to by another program.
  const std::string subtree = "SOFTWARE\\Vorn\\RegistryFiles\\C:/vorn-tests/" + guid + ".reg";
  ASSERT_TRUE(PutNative(KEY_WOW64_64KEY, subtree + "\\K", "V", "outside"));
  EXPECT_NE(store->ChangeCount(), count);
  count = store->ChangeCount();
  EXPECT_EQ(store->ChangeCount(), count);
  EXPECT_EQ(store->SetValue("K", "W", platform::kRegSz, "x", 2), platform::kRegOk);
  EXPECT_NE(store->ChangeCount(), count);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, subtree.c_str());
}

}  // namespace
