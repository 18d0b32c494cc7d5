#pragma once

#include <string>

#include "device/device.h"

// A device known from the registry only: answers its identity, refuses
// everything that needs the instrument software.
class CLocalDevice : public IDevice {
 public:
  CLocalDevice() = default;

  bool GetChallenge(std::uint8_t* buffer128) override;
  bool SetResponse(const std::uint8_t* response) override;
  bool Preset() override;
  bool GetOperatingTime(std::string& text) override;
  bool GetMaterialNumber(std::string& text) override;
  bool GetSerialNumber(std::string& text) override;
  bool GetMacAddress(std::string& text) override;
  bool BeginInstallation() override;
  bool EndInstallation() override;

  void SetMaterialNumber(const std::string& materialNumber) { materialNumber_ = materialNumber; }
  void SetSerialNumber(const std::string& serialNumber) { serialNumber_ = serialNumber; }

 private:
  std::string materialNumber_ = "__TRL_Tool__";
  std::string serialNumber_ = "000000";
};
