#include "device/instrument_device.h"

#include "platform/instrument_link.h"

namespace {
bool Succeeded(std::int32_t result) { return result == platform::kHresultOk; }
}  // namespace

CInstrumentDevice::CInstrumentDevice(std::shared_ptr<platform::IInstrument> instrument)
    : instrument_(std::move(instrument)) {}

CInstrumentDevice::~CInstrumentDevice() = default;

bool CInstrumentDevice::GetChallenge(std::uint8_t* buffer128) {
  return Succeeded(instrument_->GetChallenge(buffer128));
}

bool CInstrumentDevice::SetResponse(const std::uint8_t* response) {
  return Succeeded(instrument_->SetResponse(response));
}

bool CInstrumentDevice::Preset() { return Succeeded(instrument_->Preset()); }

bool CInstrumentDevice::GetOperatingTime(std::string& text) {
  return Succeeded(instrument_->GetOperatingTime(text));
}

bool CInstrumentDevice::GetMaterialNumber(std::string& text) {
  return Succeeded(instrument_->GetMaterialNumber(text));
}

bool CInstrumentDevice::GetSerialNumber(std::string& text) {
  return Succeeded(instrument_->GetSerialNumber(text));
}

bool CInstrumentDevice::GetMacAddress(std::string& text) {
  return Succeeded(instrument_->GetMacAddress(text));
}

bool CInstrumentDevice::BeginInstallation() { return Succeeded(instrument_->BeginInstallation()); }

bool CInstrumentDevice::EndInstallation() { return Succeeded(instrument_->EndInstallation()); }
