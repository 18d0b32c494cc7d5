#include "device/device_registry.h"

#include <unordered_map>

#include "device/equipment_number.h"
#include "device/instrument_block_name.h"
#include "device/instrument_device.h"
#include "device/local_device.h"
#include "device/registry_strings.h"
#include "platform/instrument_link.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"

namespace {

constexpr const char* kMaterialNumberValue = "MaterialNumber";
constexpr const char* kSerialNumberValue = "SerialNumber";
constexpr const char* kDeviceNameValue = "DeviceName";
constexpr const char* kSoftwareVersionValue = "SoftwareVersion";
constexpr const char* kDefaultSoftwareVersion = "0.00";

bool EqualsIgnoringAsciiCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

bool IsConfigurationKey(const std::string& name) {
  return EqualsIgnoringAsciiCase(name, "AdapterConfiguration") ||
         EqualsIgnoringAsciiCase(name, "ServiceConfiguration");
}

}  // namespace

CDeviceRegistry::CDeviceRegistry(platform::IRegistry& registry, platform::IInstrumentLinker& linker)
    : registry_(registry), linker_(linker) {}

CDeviceRegistry::~CDeviceRegistry() = default;

std::vector<std::pair<std::string, std::string>> CDeviceRegistry::DeviceKeys() {
  std::vector<std::pair<std::string, std::string>> keys;
  std::vector<std::string> names;
  if (registry_.OpenKey(kPlatformKey) != platform::kRegOk) return keys;
  if (registry_.EnumSubKeys(kPlatformKey, names) != platform::kRegOk) return keys;
  for (const std::string& name : names) {
    if (name.empty() || name.size() > kMaxDeviceText || IsConfigurationKey(name)) continue;
    std::string path = DeviceKeyPath(name);
    if (registry_.OpenKey(path) != platform::kRegOk) continue;
    keys.emplace_back(name, std::move(path));
  }
  return keys;
}

bool CDeviceRegistry::ListMaterialNumbers(std::vector<std::string>& materialNumbers) {
  materialNumbers.clear();
  for (const auto& [name, path] : DeviceKeys()) {
    std::string material;
    if (ReadLenientString(registry_, path, kMaterialNumberValue, material) == LenientRead::kText) {
      materialNumbers.push_back(material);
    }
  }
  return true;
}

bool CDeviceRegistry::GetSerialNumber(const std::string& equipmentNumber,
                                      std::string& serialNumber) {
  for (const auto& instrument : linked_) {
    std::string material;
    if (instrument->GetMaterialNumber(material) != platform::kHresultOk) continue;
    if (!EquipmentNumbersMatch(material, equipmentNumber)) continue;
    std::string serial;
    if (instrument->GetSerialNumber(serial) == platform::kHresultOk) {
      serialNumber = serial;
      return true;
    }
  }
  for (const auto& [name, path] : DeviceKeys()) {
    auto material = ReadStrictString(registry_, path, kMaterialNumberValue);
    if (!material || !EquipmentNumbersMatch(*material, equipmentNumber)) continue;
    serialNumber =
        ReadStrictString(registry_, path, kSerialNumberValue).value_or(kUnknownSerialNumber);
    return true;
  }
  return false;
}

std::vector<std::optional<std::string>> CDeviceRegistry::SerialNumbersOf(
    const std::vector<std::string>& equipmentNumbers) {
  std::vector<std::optional<std::string>> serials(equipmentNumbers.size());
  // Normalised material number -> the first device key that has it.
  std::unordered_map<std::string, std::string> firstKeys;
  bool keysRead = false;
  for (std::size_t i = 0; i < equipmentNumbers.size(); ++i) {
    if (!linked_.empty()) {
      std::string serial;
      if (GetSerialNumber(equipmentNumbers[i], serial)) serials[i] = serial;
      continue;
    }
    if (!keysRead) {
      for (const auto& [name, path] : DeviceKeys()) {
        if (auto material = ReadStrictString(registry_, path, kMaterialNumberValue)) {
          firstKeys.try_emplace(NormaliseEquipmentNumber(*material), path);
        }
      }
      keysRead = true;
    }
    auto found = firstKeys.find(NormaliseEquipmentNumber(equipmentNumbers[i]));
    if (found == firstKeys.end()) continue;
    serials[i] = ReadStrictString(registry_, found->second, kSerialNumberValue)
                     .value_or(kUnknownSerialNumber);
  }
  return serials;
}

std::shared_ptr<platform::IInstrument> CDeviceRegistry::Link(const std::string& keyName,
                                                             const std::string& materialNumber,
                                                             const std::string& serialNumber) {
  // Instrument software that does not know its serial number yet publishes
  // under the fallback name.
  std::shared_ptr<platform::IInstrument> instrument;
  platform::LinkResult result =
      linker_.Link(InstrumentBlockName(keyName, materialNumber, serialNumber), instrument);
  if (result == platform::LinkResult::kNoBlock) {
    result = linker_.Link(InstrumentBlockName(keyName, materialNumber, kUnknownSerialNumber),
                          instrument);
  }
  if (result != platform::LinkResult::kLinked) return nullptr;
  return instrument;
}

void CDeviceRegistry::Relink(const std::string& equipmentNumber) {
  linked_.clear();
  for (const auto& [name, path] : DeviceKeys()) {
    auto material = ReadStrictString(registry_, path, kMaterialNumberValue);
    if (!material || !EquipmentNumbersMatch(*material, equipmentNumber)) continue;
    std::string serial =
        ReadStrictString(registry_, path, kSerialNumberValue).value_or(kUnknownSerialNumber);
    if (auto instrument = Link(name, *material, serial)) linked_.push_back(std::move(instrument));
  }
}

bool CDeviceRegistry::OpenDevice(const std::string& equipmentNumber, IDevice*& device) {
  device = nullptr;
  Relink(equipmentNumber);

  for (const auto& [name, path] : DeviceKeys()) {
    std::string material;
    if (ReadLenientString(registry_, path, kMaterialNumberValue, material) != LenientRead::kText ||
        material != equipmentNumber) {
      continue;
    }
    std::string deviceName = ReadLenientStringOrEmpty(registry_, path, kDeviceNameValue);
    std::string version = ReadLenientStringOrEmpty(registry_, path, kSoftwareVersionValue);
    std::string serial = ReadLenientStringOrEmpty(registry_, path, kSerialNumberValue);

    IDevice* opened = nullptr;
    if (!linked_.empty()) {
      opened = new CInstrumentDevice(linked_.back());
    } else {
      auto* local = new CLocalDevice();
      local->SetMaterialNumber(equipmentNumber);
      if (!serial.empty()) local->SetSerialNumber(serial);
      opened = local;
    }
    opened->SetName(deviceName.empty() ? name : deviceName);
    opened->SetVersion(version.empty() ? kDefaultSoftwareVersion : version);
    device = opened;
    return true;
  }
  return false;
}

bool CDeviceRegistry::ReleaseDevice(IDevice* device) {
  delete device;
  return true;
}
