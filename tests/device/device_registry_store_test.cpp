// The inventory over the platform's own configuration store (a REGEDIT4 file
// on posix, a registry subtree on Windows), so that value types and byte
// counts reach it as the store really keeps them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device/device.h"
#include "device/device_registry.h"
#include "device/local_device.h"
#include "platform/instrument_link.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "tests/support/instrument_simulator.h"

namespace {

using namespace std::string_literals;
using testing::UnorderedElementsAre;

class DeviceRegistryStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ =
        (std::filesystem::temp_directory_path() / (UniqueInstrumentKey("vorn-devices") + ".reg"))
            .string();
    // The store never creates its file: start from an empty one.
    std::ofstream(path_, std::ios::binary) << "REGEDIT4\n\n";
    store_ = platform::OpenRegistryFile(path_);
    ASSERT_NE(store_, nullptr);
    inventory_ = std::make_unique<CDeviceRegistry>(*store_, platform::InstrumentLinker());
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }

  void Put(const std::string& key, const std::string& name, std::uint32_t type,
           const std::string& bytes) {
    const std::string path = DeviceKeyPath(key);
    ASSERT_EQ(store_->CreateKey(path), platform::kRegOk);
    ASSERT_EQ(store_->SetValue(path, name, type, bytes.data(), bytes.size()), platform::kRegOk);
  }

  std::string path_;
  std::unique_ptr<platform::IRegistry> store_;
  std::unique_ptr<CDeviceRegistry> inventory_;
};

TEST_F(DeviceRegistryStoreTest, ReadsDeviceKeysAsStored) {
  Put("ServiceConfiguration\\InstallServer", "DeviceGroup", platform::kRegSz, "DEFAULT\0"s);
  Put("adapterconfiguration", "MaterialNumber", platform::kRegSz, "adapter\0"s);
  Put("Analyzer", "MaterialNumber", platform::kRegSz, "1234.ABCD.02\0"s);
  Put("Analyzer", "DeviceName", platform::kRegSz, "Analyzer One\0"s);
  Put("Expanded", "MaterialNumber", platform::kRegExpandSz, "5555.0000.02\0"s);
  Put("Expanded", "SerialNumber", platform::kRegSz, "555555\0"s);
  Put("Empty", "MaterialNumber", platform::kRegSz, "");

  std::vector<std::string> list;
  EXPECT_TRUE(inventory_->ListMaterialNumbers(list));
  EXPECT_THAT(list, UnorderedElementsAre("1234.ABCD.02", "5555.0000.02"));

  std::string serial;
  EXPECT_TRUE(inventory_->GetSerialNumber("1234.abcd.02 ", serial));
  EXPECT_EQ(serial, "000000");
  EXPECT_FALSE(inventory_->GetSerialNumber("5555.0000.02", serial));
  EXPECT_FALSE(inventory_->GetSerialNumber("adapter", serial));

  IDevice* device = nullptr;
  EXPECT_FALSE(inventory_->OpenDevice("1234.abcd.02", device));
  ASSERT_TRUE(inventory_->OpenDevice("5555.0000.02", device));
  ASSERT_NE(dynamic_cast<CLocalDevice*>(device), nullptr);
  std::string name, material, version;
  device->GetIdentity(name, material, serial, version);
  EXPECT_EQ(name, "Expanded");
  EXPECT_EQ(serial, "555555");
  EXPECT_EQ(version, "0.00");
  inventory_->ReleaseDevice(device);
}

}  // namespace
