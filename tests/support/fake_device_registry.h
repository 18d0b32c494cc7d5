#pragma once
// A device inventory given by the test: material number -> serial number, in
// listing order. Opened devices are plain local devices with those numbers.

#include <string>
#include <utility>
#include <vector>

#include "device/device_registry_interface.h"

namespace vorn_test {

class CFakeDeviceRegistry : public IDeviceRegistry {
 public:
  explicit CFakeDeviceRegistry(std::vector<std::pair<std::string, std::string>> devices = {})
      : devices_(std::move(devices)) {}

  bool GetSerialNumber(const std::string& equipmentNumber, std::string& serialNumber) override;
  bool OpenDevice(const std::string& equipmentNumber, IDevice*& device) override;
  bool ReleaseDevice(IDevice* device) override;
  bool ListMaterialNumbers(std::vector<std::string>& materialNumbers) override;

 private:
  std::vector<std::pair<std::string, std::string>> devices_;
};

}  // namespace vorn_test
