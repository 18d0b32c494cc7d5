#pragma once
// A device inventory given by the test: material number -> serial number, in
// listing order. Opened devices are plain local devices with those numbers.

#include <string>
#include <utility>
#include <vector>

#include "device/device_registry_interface.h"

namespace platform {
class IRegistry;
}

namespace vorn_test {

class CFakeDeviceRegistry : public IDeviceRegistry {
 public:
  // With a registry, opened devices come with an update target that reads
  // its configuration there.
  explicit CFakeDeviceRegistry(std::vector<std::pair<std::string, std::string>> devices = {},
                               platform::IRegistry* registry = nullptr)
      : devices_(std::move(devices)), registry_(registry) {}

  bool GetSerialNumber(const std::string& equipmentNumber, std::string& serialNumber) override;
  bool OpenDevice(const std::string& equipmentNumber, IUpdateTarget*& updateTarget,
                  IDevice*& device) override;
  bool ReleaseDevice(IUpdateTarget* updateTarget, IDevice* device) override;
  bool ListMaterialNumbers(std::vector<std::string>& materialNumbers) override;

 private:
  std::vector<std::pair<std::string, std::string>> devices_;
  platform::IRegistry* registry_;
};

}  // namespace vorn_test
