#include "tests/support/fake_device_registry.h"

#include "device/equipment_number.h"
#include "device/local_device.h"

namespace vorn_test {

bool CFakeDeviceRegistry::GetSerialNumber(const std::string& equipmentNumber,
                                          std::string& serialNumber) {
  for (const auto& [material, serial] : devices_) {
    if (EquipmentNumbersMatch(material, equipmentNumber)) {
      serialNumber = serial;
      return true;
    }
  }
  return false;
}

bool CFakeDeviceRegistry::OpenDevice(const std::string& equipmentNumber, IDevice*& device) {
  device = nullptr;
  for (const auto& [material, serial] : devices_) {
    if (EquipmentNumbersMatch(material, equipmentNumber)) {
      auto* local = new CLocalDevice();
      local->SetMaterialNumber(material);
      local->SetSerialNumber(serial);
      device = local;
      return true;
    }
  }
  return false;
}

bool CFakeDeviceRegistry::ReleaseDevice(IDevice* device) {
  delete device;
  return true;
}

bool CFakeDeviceRegistry::ListMaterialNumbers(std::vector<std::string>& materialNumbers) {
  for (const auto& device : devices_) materialNumbers.push_back(device.first);
  return true;
}

}  // namespace vorn_test
