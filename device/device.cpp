#include "device/device.h"

bool IDevice::GetIdentity(std::string& name, std::string& materialNumber, std::string& serialNumber,
                          std::string& version) {
  name = name_;
  version = version_;
  GetMaterialNumber(materialNumber);
  GetSerialNumber(serialNumber);
  return true;
}
