#pragma once

#include <memory>
#include <string>

#include "device/device.h"

namespace platform {
class IInstrument;
}

// A device whose instrument software is running: every operation is passed to
// the instrument interface. Keeps its own reference for its whole life,
// independent of the inventory's list of linked instruments.
class CInstrumentDevice : public IDevice {
 public:
  explicit CInstrumentDevice(std::shared_ptr<platform::IInstrument> instrument);
  ~CInstrumentDevice() override;

  bool GetChallenge(std::uint8_t* buffer128) override;
  bool SetResponse(const std::uint8_t* response) override;
  bool Preset() override;
  bool GetOperatingTime(std::string& text) override;
  bool GetMaterialNumber(std::string& text) override;
  bool GetSerialNumber(std::string& text) override;
  bool GetMacAddress(std::string& text) override;
  bool BeginInstallation() override;
  bool EndInstallation() override;

 private:
  std::shared_ptr<platform::IInstrument> instrument_;
};
