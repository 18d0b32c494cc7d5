#pragma once

#include <string>
#include <vector>

class IDevice;

// The devices that this computer's registry lists. Called by the server only,
// under the server lock.
class IDeviceRegistry {
 public:
  virtual ~IDeviceRegistry() = default;
  virtual bool GetSerialNumber(const std::string& equipmentNumber, std::string& serialNumber) = 0;
  // A new device object for the first device key with this material
  // number; the caller pairs it with an update target and hands it back to
  // ReleaseDevice.
  virtual bool OpenDevice(const std::string& equipmentNumber, IDevice*& device) = 0;
  virtual bool ReleaseDevice(IDevice* device) = 0;
  virtual bool ListMaterialNumbers(std::vector<std::string>& materialNumbers) = 0;
};
