#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/device_registry_interface.h"

namespace platform {
class IRegistry;
class IInstrument;
class IInstrumentLinker;
}  // namespace platform

// The devices listed under the platform key of the registry, and the link to
// the instrument software of each.
class CDeviceRegistry : public IDeviceRegistry {
 public:
  static constexpr const char* kPlatformKey = "SOFTWARE\\Marrow&Keplin\\Trellane";

  CDeviceRegistry(platform::IRegistry& registry, platform::IInstrumentLinker& linker);
  ~CDeviceRegistry() override;

  bool GetSerialNumber(const std::string& equipmentNumber, std::string& serialNumber) override;
  bool OpenDevice(const std::string& equipmentNumber, IUpdateTarget*& updateTarget,
                  IDevice*& device) override;
  bool ReleaseDevice(IUpdateTarget* updateTarget, IDevice* device) override;
  bool ListMaterialNumbers(std::vector<std::string>& materialNumbers) override;

 private:
  platform::IRegistry& registry_;
  platform::IInstrumentLinker& linker_;
  std::vector<std::shared_ptr<platform::IInstrument>> linked_;
};
