// The device inventory linked to a real vorn-instrument-sim process through
// the platform's instrument link.
#include "platform/instrument_link.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "device/device_registry.h"
#include "device/instrument_device.h"
#include "device/local_device.h"
#include "platform/registry_keys.h"
#include "platform/thread.h"
#include "tests/support/fake_registry.h"
#include "tests/support/instrument_simulator.h"

namespace {

constexpr std::uint32_t kLineTimeoutMs = 10000;
const std::string kMaterial = "1234.ABCD.02";
const std::string kSerial = "104711";

class InstrumentLinkTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::ComInitialize();
    registry_.PutString(DevicePath(), "MaterialNumber", kMaterial);
    registry_.PutString(DevicePath(), "SerialNumber", kSerial);
    registry_.PutString(DevicePath(), "DeviceName", "Simulated Analyzer");
  }
  void TearDown() override {
    if (device_) ReleaseFixtureDevice();
    simulator_.Stop();
    platform::ComUninitialize();
  }

  std::string DevicePath() const { return DeviceKeyPath(key_); }

  void StartSimulator(std::vector<std::string> extra) {
    std::vector<std::string> arguments = {"--key",   key_,       "--material",
                                          kMaterial, "--serial", kSerial};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::string error;
    ASSERT_TRUE(simulator_.Start(arguments, error)) << error;
  }

  IDevice* Open() {
    if (device_) ReleaseFixtureDevice();
    EXPECT_TRUE(inventory_.OpenDevice(kMaterial, device_));
    return device_;
  }

  void ReleaseFixtureDevice() {
    inventory_.ReleaseDevice(device_);
    device_ = nullptr;
  }

  std::string ExpectLine() {
    std::string line;
    EXPECT_TRUE(simulator_.ReadLine(line, kLineTimeoutMs));
    return line;
  }

  const std::string key_ = UniqueInstrumentKey("SimAnalyzer");
  CFakeRegistry registry_;
  CDeviceRegistry inventory_{registry_, platform::InstrumentLinker()};
  CInstrumentSimulator simulator_;
  IDevice* device_ = nullptr;
};

TEST_F(InstrumentLinkTest, SelectedDeviceTalksToTheInstrumentSoftware) {
  StartSimulator({"--operating-time", "4321 h", "--mac", "00:0A:0B:0C:0D:0E"});
  IDevice* device = Open();
  ASSERT_NE(dynamic_cast<CInstrumentDevice*>(device), nullptr);

  std::string name, material, serial, version, text;
  EXPECT_TRUE(device->GetIdentity(name, material, serial, version));
  EXPECT_EQ(name, "Simulated Analyzer");
  EXPECT_EQ(material, kMaterial);
  EXPECT_EQ(serial, kSerial);
  EXPECT_EQ(version, "0.00");
  EXPECT_TRUE(device->GetOperatingTime(text));
  EXPECT_EQ(text, "4321 h");
  EXPECT_TRUE(device->GetMacAddress(text));
  EXPECT_EQ(text, "00:0A:0B:0C:0D:0E");

  std::uint8_t challenge[128] = {};
  ASSERT_TRUE(device->GetChallenge(challenge));
  for (int i = 0; i < 128; ++i) ASSERT_EQ(challenge[i], (i * 37 + 11) & 0xFF) << i;

  std::uint8_t response[128];
  std::string hex;
  for (int i = 0; i < 128; ++i) {
    response[i] = static_cast<std::uint8_t>(200 - i);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", response[i]);
    hex += digits;
  }
  EXPECT_TRUE(device->SetResponse(response));
  EXPECT_EQ(ExpectLine(), "response " + hex);
  EXPECT_TRUE(device->Preset());
  EXPECT_EQ(ExpectLine(), "preset");
  EXPECT_TRUE(device->BeginInstallation());
  EXPECT_EQ(ExpectLine(), "begin installation");
  EXPECT_TRUE(device->EndInstallation());
  EXPECT_EQ(ExpectLine(), "end installation");

  // Discovery asks the linked instrument, in any letter case.
  EXPECT_TRUE(inventory_.GetSerialNumber(" 1234.abcd.02", serial));
  EXPECT_EQ(serial, kSerial);
}

TEST_F(InstrumentLinkTest, FailingInstrumentMethodsFailTheOperations) {
  StartSimulator({"--fail", "challenge", "--fail", "response", "--fail", "preset", "--fail", "time",
                  "--fail", "mac", "--fail", "begin", "--fail", "end"});
  IDevice* device = Open();
  ASSERT_NE(dynamic_cast<CInstrumentDevice*>(device), nullptr);
  std::uint8_t buffer[128] = {};
  std::string text;
  EXPECT_FALSE(device->GetChallenge(buffer));
  EXPECT_FALSE(device->SetResponse(buffer));
  EXPECT_FALSE(device->Preset());
  EXPECT_FALSE(device->GetOperatingTime(text));
  EXPECT_EQ(text, "1234 h");  // the text comes back all the same
  EXPECT_FALSE(device->GetMacAddress(text));
  EXPECT_FALSE(device->BeginInstallation());
  EXPECT_FALSE(device->EndInstallation());
  EXPECT_TRUE(device->GetSerialNumber(text));
}

TEST_F(InstrumentLinkTest, FailingSerialNumberLetsDiscoveryFallBackToTheRegistry) {
  StartSimulator({"--serial", "FROM-INSTRUMENT", "--use-fallback-name", "--fail", "serial"});
  ASSERT_NE(dynamic_cast<CInstrumentDevice*>(Open()), nullptr);
  std::string serial;
  EXPECT_TRUE(inventory_.GetSerialNumber(kMaterial, serial));
  EXPECT_EQ(serial, kSerial);
}

TEST_F(InstrumentLinkTest, LinksThroughTheFallbackName) {
  StartSimulator({"--serial", "FROM-INSTRUMENT", "--use-fallback-name"});
  IDevice* device = Open();
  ASSERT_NE(dynamic_cast<CInstrumentDevice*>(device), nullptr);
  std::string serial;
  EXPECT_TRUE(device->GetSerialNumber(serial));
  EXPECT_EQ(serial, "FROM-INSTRUMENT");
}

TEST_F(InstrumentLinkTest, ReferenceWorksOnOtherThreads) {
  StartSimulator({});
  IDevice* device = Open();
  ASSERT_NE(dynamic_cast<CInstrumentDevice*>(device), nullptr);
  std::string time, serial;
  bool timeOk = false, serialOk = false;
  std::thread other([&] {
    platform::ComInitialize();
    timeOk = device->GetOperatingTime(time);
    serialOk = inventory_.GetSerialNumber(kMaterial, serial);
    platform::ComUninitialize();
  });
  other.join();
  EXPECT_TRUE(timeOk);
  EXPECT_EQ(time, "1234 h");
  EXPECT_TRUE(serialOk);
  EXPECT_EQ(serial, kSerial);
}

// The instrument reports each change in the number of references held on
// it. A link that took and dropped a reference around every call would show
// up as "connections 0" before the preset's own line.
TEST_F(InstrumentLinkTest, OneReferenceIsHeldFromSelectionUntilDeviceAndListLetGo) {
  struct Case {
    const char* name;
    bool deviceFirst;  // delete the device before the inventory relinks
  };
  for (const Case& c : {Case{"device deleted, then relinked", true},
                        Case{"relinked, then device deleted", false}}) {
    SCOPED_TRACE(c.name);
    StartSimulator({"--report-connections"});
    IDevice* device = Open();
    ASSERT_NE(dynamic_cast<CInstrumentDevice*>(device), nullptr);
    EXPECT_EQ(ExpectLine(), "connections 1");

    std::string text;
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(device->GetOperatingTime(text));
    EXPECT_TRUE(inventory_.GetSerialNumber(kMaterial, text));
    EXPECT_TRUE(device->Preset());
    EXPECT_EQ(ExpectLine(), "preset");

    // The device and the inventory's list share the reference; it goes with
    // the last of them. Selecting an unknown device relinks the list to
    // nothing.
    IDevice* none = nullptr;
    if (c.deviceFirst) {
      ReleaseFixtureDevice();
      EXPECT_TRUE(inventory_.GetSerialNumber(kMaterial, text));
      EXPECT_EQ(text, kSerial);
      EXPECT_FALSE(inventory_.OpenDevice("0000.0000.00", none));
    } else {
      EXPECT_FALSE(inventory_.OpenDevice("0000.0000.00", none));
      EXPECT_TRUE(device->Preset());
      EXPECT_EQ(ExpectLine(), "preset");
      ReleaseFixtureDevice();
    }
    if (InstrumentSeesTheLastReferenceGo()) {
      EXPECT_EQ(ExpectLine(), "connections 0");
    }
  }
}

// Session threads are apartments of their own; each gets its proxy of the one
// reference, and their calls do not make the instrument see new ones.
TEST_F(InstrumentLinkTest, CallsFromOtherApartmentsShareTheReference) {
  StartSimulator({"--report-connections"});
  IDevice* device = Open();
  ASSERT_NE(dynamic_cast<CInstrumentDevice*>(device), nullptr);
  EXPECT_EQ(ExpectLine(), "connections 1");

  constexpr int kThreads = 2;
  constexpr int kCalls = 5;
  int succeeded[kThreads] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      platform::ComInitialize();
      for (int i = 0; i < kCalls; ++i) {
        std::string time, serial;
        if (device->GetOperatingTime(time) && time == "1234 h" &&
            inventory_.GetSerialNumber(kMaterial, serial) && serial == kSerial) {
          ++succeeded[t];
        }
      }
      platform::ComUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(succeeded[t], kCalls) << "thread " << t;

  EXPECT_TRUE(device->Preset());
  EXPECT_EQ(ExpectLine(), "preset");
  ReleaseFixtureDevice();
  IDevice* none = nullptr;
  EXPECT_FALSE(inventory_.OpenDevice("0000.0000.00", none));
  if (InstrumentSeesTheLastReferenceGo()) {
    EXPECT_EQ(ExpectLine(), "connections 0");
  }
}

// Discovery asks the linked instrument from the control channel's thread
// after the session that selected the device has ended.
TEST_F(InstrumentLinkTest, LinkOutlivesTheApartmentThatMadeIt) {
  StartSimulator({"--serial", "FROM-INSTRUMENT", "--use-fallback-name"});
  bool selected = false;
  std::thread session([&] {
    platform::ComInitialize();
    IDevice* device = nullptr;
    selected = inventory_.OpenDevice(kMaterial, device) &&
               dynamic_cast<CInstrumentDevice*>(device) != nullptr;
    inventory_.ReleaseDevice(device);
    platform::ComUninitialize();
  });
  session.join();
  ASSERT_TRUE(selected);

  std::string serial;
  EXPECT_TRUE(inventory_.GetSerialNumber(kMaterial, serial));
  EXPECT_EQ(serial, "FROM-INSTRUMENT");
  std::thread discovery([&] {
    platform::ComInitialize();
    std::string other;
    EXPECT_TRUE(inventory_.GetSerialNumber(kMaterial, other));
    EXPECT_EQ(other, "FROM-INSTRUMENT");
    platform::ComUninitialize();
  });
  discovery.join();
}

TEST_F(InstrumentLinkTest, InstrumentSoftwareGoneLeavesLocalDeviceAndFailingCalls) {
  StartSimulator({});
  IDevice* linked = Open();
  ASSERT_NE(dynamic_cast<CInstrumentDevice*>(linked), nullptr);
  IDevice* kept = nullptr;
  ASSERT_TRUE(inventory_.OpenDevice(kMaterial, kept));
  simulator_.Stop();

  std::string text;
  EXPECT_FALSE(kept->GetOperatingTime(text));
  EXPECT_FALSE(kept->Preset());
  inventory_.ReleaseDevice(kept);

  IDevice* local = Open();
  ASSERT_NE(dynamic_cast<CLocalDevice*>(local), nullptr);
  EXPECT_TRUE(local->GetSerialNumber(text));
  EXPECT_EQ(text, kSerial);
}

}  // namespace
