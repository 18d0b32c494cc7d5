#pragma once

#include <cstdint>
#include <string>

#include "base/version.h"

// What a session holds after it selected a device: the device's identity and
// the calls that reach the instrument software. Every operation returns true
// on success; none throws.
class IDevice {
 public:
  IDevice() = default;
  virtual ~IDevice() = default;
  IDevice(const IDevice&) = delete;
  IDevice& operator=(const IDevice&) = delete;

  // Copies name and version, asks for material and serial number (their
  // results are ignored) and returns true.
  bool GetIdentity(std::string& name, std::string& materialNumber, std::string& serialNumber,
                   std::string& version);

  virtual bool GetChallenge(std::uint8_t* buffer128) = 0;
  virtual bool SetResponse(const std::uint8_t* response) = 0;
  virtual bool Preset() = 0;
  virtual bool GetOperatingTime(std::string& text) = 0;
  virtual bool GetMaterialNumber(std::string& text) = 0;
  virtual bool GetSerialNumber(std::string& text) = 0;
  virtual bool GetMacAddress(std::string& text) = 0;
  virtual bool BeginInstallation() = 0;
  virtual bool EndInstallation() = 0;

  const std::string& Name() const { return name_; }
  const std::string& Version() const { return version_; }
  void SetName(const std::string& name) { name_ = name; }
  void SetVersion(const std::string& version) { version_ = version; }

 private:
  std::string name_ = "VORN";
  std::string version_ = kVersion;
};
