#include "device/device_registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/device.h"
#include "device/instrument_device.h"
#include "device/local_device.h"
#include "platform/instrument_link.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "tests/support/fake_registry.h"

namespace {

using namespace std::string_literals;
using testing::ElementsAre;

const std::string kPlatform = kPlatformKey;

std::string DeviceKey(const std::string& name) { return kPlatform + "\\" + name; }

class CFakeInstrument : public platform::IInstrument {
 public:
  CFakeInstrument(std::string material, std::string serial)
      : material(std::move(material)), serial(std::move(serial)) {}

  std::int32_t GetChallenge(std::uint8_t* buffer128) override {
    for (int i = 0; i < 128; ++i) buffer128[i] = static_cast<std::uint8_t>(255 - i);
    return Result("challenge");
  }
  std::int32_t SetResponse(const std::uint8_t* response) override {
    this->response.assign(response, response + 128);
    return Result("response");
  }
  std::int32_t Preset() override { return Result("preset"); }
  std::int32_t GetMaterialNumber(std::string& text) override {
    ++materialQueries;
    text = material;
    return Result("material");
  }
  std::int32_t GetSerialNumber(std::string& text) override {
    text = serial;
    return Result("serial");
  }
  std::int32_t GetOperatingTime(std::string& text) override {
    text = "17 h";
    return Result("time");
  }
  std::int32_t GetMacAddress(std::string& text) override {
    text = "02:00:00:00:00:01";
    return Result("mac");
  }
  std::int32_t BeginInstallation() override { return Result("begin"); }
  std::int32_t EndInstallation() override { return Result("end"); }

  std::string material;
  std::string serial;
  std::set<std::string> failing;
  std::vector<std::uint8_t> response;
  int materialQueries = 0;

 private:
  std::int32_t Result(const char* method) {
    return failing.count(method) ? platform::kHresultFail : platform::kHresultOk;
  }
};

// Publishes fake instruments under block names and records every name asked for.
class CFakeLinker : public platform::IInstrumentLinker {
 public:
  platform::LinkResult Link(const std::string& blockName,
                            std::shared_ptr<platform::IInstrument>& out) override {
    asked.push_back(blockName);
    if (broken.count(blockName)) return platform::LinkResult::kFailed;
    auto found = published.find(blockName);
    if (found == published.end()) return platform::LinkResult::kNoBlock;
    out = found->second;
    return platform::LinkResult::kLinked;
  }

  std::shared_ptr<CFakeInstrument> Publish(const std::string& blockName,
                                           const std::string& material, const std::string& serial) {
    auto instrument = std::make_shared<CFakeInstrument>(material, serial);
    published[blockName] = instrument;
    return instrument;
  }

  std::map<std::string, std::shared_ptr<platform::IInstrument>> published;
  std::set<std::string> broken;
  std::vector<std::string> asked;
};

class DeviceRegistryTest : public testing::Test {
 protected:
  void AddDevice(const std::string& key, const std::string& material, const std::string& serial) {
    registry_.PutString(DeviceKey(key), "MaterialNumber", material);
    if (!serial.empty()) registry_.PutString(DeviceKey(key), "SerialNumber", serial);
  }

  // Opens and hands the device to a holder that releases it through the inventory.
  std::unique_ptr<IDevice, std::function<void(IDevice*)>> Open(const std::string& number) {
    IDevice* device = reinterpret_cast<IDevice*>(1);
    bool opened = inventory_.OpenDevice(number, device);
    EXPECT_EQ(opened, device != nullptr);
    return {device, [this](IDevice* d) {
              if (d) inventory_.ReleaseDevice(d);
            }};
  }

  std::string Serial(const std::string& number, bool expectFound = true) {
    std::string serial = "unset";
    EXPECT_EQ(inventory_.GetSerialNumber(number, serial), expectFound) << number;
    return serial;
  }

  CFakeRegistry registry_;
  CFakeLinker linker_;
  CDeviceRegistry inventory_{registry_, linker_};
};

TEST_F(DeviceRegistryTest, ListsMaterialNumbersOfDeviceKeysInEnumerationOrder) {
  registry_.PutString(DeviceKey("serviceCONFIGURATION"), "MaterialNumber", "svc");
  AddDevice("Second", "2222.0000.02", "");
  registry_.PutString(DeviceKey("ADAPTERConfiguration"), "MaterialNumber", "adapter");
  registry_.Put(DeviceKey("Expand"), "MaterialNumber", platform::kRegExpandSz, "3333\0"s);
  registry_.PutString(DeviceKey("NoMaterial"), "DeviceName", "nothing");
  registry_.Put(DeviceKey("NoBytes"), "MaterialNumber", platform::kRegSz, "");
  registry_.Put(DeviceKey("OnlyTerminator"), "MaterialNumber", platform::kRegSz, "\0"s);
  AddDevice("Denied", "denied", "");
  registry_.DenyAccess(DeviceKey("Denied"));
  AddDevice(std::string(261, 'k'), "long-key", "");
  AddDevice(std::string(260, 'k'), "260-key", "");

  std::vector<std::string> list = {"stale"};
  EXPECT_TRUE(inventory_.ListMaterialNumbers(list));
  EXPECT_THAT(list, ElementsAre("2222.0000.02", "3333", "", "260-key"));
}

TEST_F(DeviceRegistryTest, MissingPlatformKeyListsNothingAndOpensNothing) {
  std::vector<std::string> list = {"stale"};
  EXPECT_TRUE(inventory_.ListMaterialNumbers(list));
  EXPECT_TRUE(list.empty());
  Serial("1234", false);
  EXPECT_EQ(Open("1234"), nullptr);
}

TEST_F(DeviceRegistryTest, OnlyConfigurationKeysGiveAnEmptyList) {
  registry_.PutString(DeviceKey("AdapterConfiguration"), "MaterialNumber", "a");
  registry_.PutString(DeviceKey("ServiceConfiguration"), "MaterialNumber", "b");
  std::vector<std::string> list;
  EXPECT_TRUE(inventory_.ListMaterialNumbers(list));
  EXPECT_TRUE(list.empty());
  Serial("a", false);
}

TEST_F(DeviceRegistryTest, SerialNumberFromRegistryWithNormalisedComparison) {
  AddDevice("Analyzer", "1234.5678.02", "100042");
  AddDevice("NoSerial", "9999.0000.02", "");
  registry_.Put(DeviceKey("Expand"), "MaterialNumber", platform::kRegExpandSz, "7777\0"s);
  registry_.PutString(DeviceKey("Expand"), "SerialNumber", "777777");

  EXPECT_EQ(Serial(" 1234.5678.02\t"), "100042");
  EXPECT_EQ(Serial("9999.0000.02"), "000000");
  // Discovery insists on REG_SZ material numbers.
  Serial("7777", false);
  Serial("1234.5678.03", false);
}

TEST_F(DeviceRegistryTest, WithoutInstrumentOpensLocalDeviceFromRegistry) {
  AddDevice("Analyzer", "1234.5678.02", "100042");
  registry_.PutString(DeviceKey("Analyzer"), "DeviceName", "Spectrum Analyzer");
  AddDevice("Bare", "5555", "");

  auto device = Open("1234.5678.02");
  ASSERT_NE(dynamic_cast<CLocalDevice*>(device.get()), nullptr);
  std::string name, material, serial, version, time;
  EXPECT_TRUE(device->GetIdentity(name, material, serial, version));
  EXPECT_EQ(name, "Spectrum Analyzer");
  EXPECT_EQ(material, "1234.5678.02");
  EXPECT_EQ(serial, "100042");
  EXPECT_EQ(version, "0.00");
  EXPECT_FALSE(device->GetOperatingTime(time));

  auto bare = Open("5555");
  ASSERT_NE(bare, nullptr);
  EXPECT_TRUE(bare->GetIdentity(name, material, serial, version));
  EXPECT_EQ(name, "Bare");
  EXPECT_EQ(serial, "000000");
  // Both block names were tried: the one with the serial number and the fallback.
  EXPECT_THAT(linker_.asked,
              ElementsAre("SharedMemory_Analyzer_1234.5678.02_100042",
                          "SharedMemory_Analyzer_1234.5678.02_000000",
                          "SharedMemory_Bare_5555_000000", "SharedMemory_Bare_5555_000000"));
}

TEST_F(DeviceRegistryTest, ExpandStringMaterialNumberOpensWithoutLinking) {
  registry_.Put(DeviceKey("Expand"), "MaterialNumber", platform::kRegExpandSz, "7777\0"s);
  registry_.Put(DeviceKey("Expand"), "SoftwareVersion", platform::kRegExpandSz, "1.5\0"s);
  linker_.Publish("SharedMemory_Expand_7777_000000", "7777", "1");

  auto device = Open("7777");
  ASSERT_NE(dynamic_cast<CLocalDevice*>(device.get()), nullptr);
  EXPECT_EQ(device->Version(), "1.5");
  EXPECT_TRUE(linker_.asked.empty());
}

TEST_F(DeviceRegistryTest, OtherLetterCaseLinksButFindsNoDeviceKey) {
  AddDevice("Analyzer", "1234.ABCD.02", "100042");
  auto instrument = linker_.Publish("SharedMemory_Analyzer_1234.abcd.02_100042", "1234.ABCD.02",
                                    "from-instrument");

  EXPECT_EQ(Open("1234.abcd.02"), nullptr);
  EXPECT_EQ(linker_.asked.size(), 1u);
  // The instrument stays linked and now answers discovery, in any letter case.
  EXPECT_EQ(Serial("1234.abcd.02"), "from-instrument");
  EXPECT_EQ(instrument->materialQueries, 1);
}

TEST_F(DeviceRegistryTest, LinksThroughFallbackBlockName) {
  AddDevice("Analyzer", "1234.5678.02", "100042");
  linker_.Publish("SharedMemory_Analyzer_1234.5678.02_000000", "1234.5678.02", "100042");

  auto device = Open("1234.5678.02");
  EXPECT_NE(dynamic_cast<CInstrumentDevice*>(device.get()), nullptr);
}

TEST_F(DeviceRegistryTest, BrokenBlockFailsLinkingWithoutTryingFallback) {
  AddDevice("Analyzer", "1234.5678.02", "100042");
  linker_.broken.insert("SharedMemory_Analyzer_1234.5678.02_100042");
  linker_.Publish("SharedMemory_Analyzer_1234.5678.02_000000", "1234.5678.02", "100042");

  auto device = Open("1234.5678.02");
  EXPECT_NE(dynamic_cast<CLocalDevice*>(device.get()), nullptr);
  EXPECT_EQ(linker_.asked.size(), 1u);
}

TEST_F(DeviceRegistryTest, LinkedInstrumentAnswersForTheDevice) {
  AddDevice("Analyzer", "1234.5678.02", "100042");
  registry_.PutString(DeviceKey("Analyzer"), "SoftwareVersion", "3.10");
  auto instrument =
      linker_.Publish("SharedMemory_Analyzer_1234.5678.02_100042", "1234.5678.02", "INSTR-1");

  auto device = Open("1234.5678.02");
  ASSERT_NE(dynamic_cast<CInstrumentDevice*>(device.get()), nullptr);
  std::string name, material, serial, version, text;
  device->GetIdentity(name, material, serial, version);
  EXPECT_EQ(name, "Analyzer");
  EXPECT_EQ(version, "3.10");
  EXPECT_EQ(serial, "INSTR-1");

  std::uint8_t challenge[128] = {};
  EXPECT_TRUE(device->GetChallenge(challenge));
  EXPECT_EQ(challenge[0], 255);
  std::uint8_t response[128];
  for (int i = 0; i < 128; ++i) response[i] = static_cast<std::uint8_t>(i);
  EXPECT_TRUE(device->SetResponse(response));
  EXPECT_EQ(instrument->response[127], 127);
  EXPECT_TRUE(device->GetOperatingTime(text));
  EXPECT_EQ(text, "17 h");
  EXPECT_TRUE(device->GetMacAddress(text));
  EXPECT_EQ(text, "02:00:00:00:00:01");
  EXPECT_TRUE(device->Preset());
  EXPECT_TRUE(device->BeginInstallation());
  EXPECT_TRUE(device->EndInstallation());

  instrument->failing = {"challenge", "response", "preset", "time", "mac", "begin", "end"};
  EXPECT_FALSE(device->GetChallenge(challenge));
  EXPECT_FALSE(device->SetResponse(response));
  EXPECT_FALSE(device->Preset());
  EXPECT_FALSE(device->GetOperatingTime(text));
  EXPECT_EQ(text, "17 h");  // handed back even when the method fails
  EXPECT_FALSE(device->GetMacAddress(text));
  EXPECT_FALSE(device->BeginInstallation());
  EXPECT_FALSE(device->EndInstallation());
}

TEST_F(DeviceRegistryTest, DeviceOutlivesRelinkingAndUsesLastLinkedInstrument) {
  AddDevice("First", "1234", "1");
  AddDevice("Second", "1234", "2");
  linker_.Publish("SharedMemory_First_1234_1", "1234", "first");
  auto second = linker_.Publish("SharedMemory_Second_1234_2", "1234", "second");

  auto device = Open("1234");
  linker_.published.clear();
  EXPECT_EQ(Open("9999"), nullptr);  // relinks: the list is now empty
  std::string serial;
  EXPECT_TRUE(device->GetSerialNumber(serial));
  EXPECT_EQ(serial, "second");
  EXPECT_EQ(Serial("1234"), "1");  // from the registry again
}

TEST_F(DeviceRegistryTest, SerialNumberAsksLinkedInstrumentsFirst) {
  AddDevice("Analyzer", "1234.5678.02", "100042");
  auto instrument =
      linker_.Publish("SharedMemory_Analyzer_1234.5678.02_100042", "1234.5678.02", "INSTR-7");

  EXPECT_EQ(Serial("1234.5678.02"), "100042");  // nothing linked before a selection
  auto device = Open("1234.5678.02");
  EXPECT_EQ(Serial("1234.5678.02"), "INSTR-7");

  instrument->failing = {"serial"};
  EXPECT_EQ(Serial("1234.5678.02"), "100042");
  instrument->failing = {"material"};
  EXPECT_EQ(Serial("1234.5678.02"), "100042");
}

// The listing of all devices reads the inventory once, and must still answer
// each number exactly as a discovery query for it would.
TEST_F(DeviceRegistryTest, SerialNumbersOfAllAnswerAsOneQueryEach) {
  AddDevice("Analyzer", "1234.5678.02", "100042");
  AddDevice("Twin", "1234.5678.02", "200042");  // the first key wins
  AddDevice("NoSerial", "9999.0000.02", "");
  registry_.Put(DeviceKey("Expand"), "MaterialNumber", platform::kRegExpandSz, "7777\0"s);
  linker_.Publish("SharedMemory_Analyzer_1234.5678.02_100042", "1234.5678.02", "INSTR-7");
  const std::vector<std::string> numbers = {" 1234.5678.02", "9999.0000.02", "7777", "unknown",
                                            "1234.5678.02"};

  auto expected = [&] {
    std::vector<std::optional<std::string>> serials;
    for (const std::string& number : numbers) {
      std::string serial;
      serials.push_back(inventory_.GetSerialNumber(number, serial) ? std::optional(serial)
                                                                   : std::nullopt);
    }
    return serials;
  };
  EXPECT_THAT(inventory_.SerialNumbersOf(numbers),
              ElementsAre("100042", "000000", std::nullopt, std::nullopt, "100042"));
  EXPECT_EQ(inventory_.SerialNumbersOf(numbers), expected());
  auto device = Open("1234.5678.02");  // links the instrument, which then answers
  EXPECT_EQ(inventory_.SerialNumbersOf(numbers), expected());
  EXPECT_EQ(inventory_.SerialNumbersOf(numbers)[0], "INSTR-7");
}

}  // namespace
