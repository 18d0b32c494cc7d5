#pragma once

#include <string>
#include <vector>

class IDevice;
class IUpdateTarget;

// The devices that this computer's registry lists. Called by the server only,
// under the server lock.
class IDeviceRegistry {
 public:
  virtual ~IDeviceRegistry() = default;
  virtual bool GetSerialNumber(const std::string& equipmentNumber, std::string& serialNumber) = 0;
  // A new update target and device object, released together.
  virtual bool OpenDevice(const std::string& equipmentNumber, IUpdateTarget*& updateTarget,
                          IDevice*& device) = 0;
  virtual bool ReleaseDevice(IUpdateTarget* updateTarget, IDevice* device) = 0;
  virtual bool ListMaterialNumbers(std::vector<std::string>& materialNumbers) = 0;
};
