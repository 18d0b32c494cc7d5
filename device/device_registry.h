#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
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
  CDeviceRegistry(platform::IRegistry& registry, platform::IInstrumentLinker& linker);
  ~CDeviceRegistry() override;

  bool GetSerialNumber(const std::string& equipmentNumber, std::string& serialNumber) override;
  bool OpenDevice(const std::string& equipmentNumber, IDevice*& device) override;
  bool ReleaseDevice(IDevice* device) override;
  bool ListMaterialNumbers(std::vector<std::string>& materialNumbers) override;
  // What GetSerialNumber answers for each of `equipmentNumbers` (nullopt for
  // false), reading each device key once: a listing of thousands of devices
  // must not read the whole inventory once per device.
  std::vector<std::optional<std::string>> SerialNumbersOf(
      const std::vector<std::string>& equipmentNumbers);

 private:
  // Paths of the device keys in enumeration order: every subkey of the
  // platform key that opens, but the two configuration keys and names too
  // long for a device key.
  std::vector<std::pair<std::string, std::string>> DeviceKeys();
  // Releases every linked instrument, then links the instrument software of
  // each device key whose material number matches.
  void Relink(const std::string& equipmentNumber);
  std::shared_ptr<platform::IInstrument> Link(const std::string& keyName,
                                              const std::string& materialNumber,
                                              const std::string& serialNumber);

  platform::IRegistry& registry_;
  platform::IInstrumentLinker& linker_;
  std::vector<std::shared_ptr<platform::IInstrument>> linked_;
};
