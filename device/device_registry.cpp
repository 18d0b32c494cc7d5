// Placeholder until the inventory is complete: lists nothing, opens nothing.
#include "device/device_registry.h"

CDeviceRegistry::CDeviceRegistry(platform::IRegistry& registry,
                                 platform::IInstrumentLinker& linker)
    : registry_(registry), linker_(linker) {}

CDeviceRegistry::~CDeviceRegistry() = default;

bool CDeviceRegistry::GetSerialNumber(const std::string&, std::string&) { return false; }

bool CDeviceRegistry::OpenDevice(const std::string&, IUpdateTarget*& updateTarget,
                                 IDevice*& device) {
  updateTarget = nullptr;
  device = nullptr;
  return false;
}

bool CDeviceRegistry::ReleaseDevice(IUpdateTarget*, IDevice*) { return true; }

bool CDeviceRegistry::ListMaterialNumbers(std::vector<std::string>& materialNumbers) {
  materialNumbers.clear();
  return true;
}
