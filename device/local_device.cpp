#include "device/local_device.h"

bool CLocalDevice::GetChallenge(std::uint8_t*) { return false; }
bool CLocalDevice::SetResponse(const std::uint8_t*) { return false; }
bool CLocalDevice::Preset() { return false; }
bool CLocalDevice::GetOperatingTime(std::string&) { return false; }

bool CLocalDevice::GetMaterialNumber(std::string& text) {
  text = materialNumber_;
  return true;
}

bool CLocalDevice::GetSerialNumber(std::string& text) {
  text = serialNumber_;
  return true;
}

bool CLocalDevice::GetMacAddress(std::string& text) {
  text.clear();
  return true;
}

bool CLocalDevice::BeginInstallation() { return false; }
bool CLocalDevice::EndInstallation() { return false; }
