#include "install/update_target.h"

#include "install/install_manager.h"

CUpdateTarget::CUpdateTarget(const InstallPlatform& platform)
    : manager_(std::make_unique<CInstallManager>(platform)) {}

CUpdateTarget::~CUpdateTarget() = default;

std::uint32_t CUpdateTarget::OpenTransfer(std::uint32_t kind) {
  if (kind > 1) return 1;
  return manager_->OpenTransfer(kind);
}

std::uint32_t CUpdateTarget::WriteChunk(std::uint32_t offset, std::uint32_t checksum,
                                        std::uint32_t length, const std::uint8_t* data) {
  return manager_->WriteChunk(offset, checksum, length, data);
}

std::uint32_t CUpdateTarget::AcceptChunk(std::uint32_t offset, std::uint32_t checksum,
                                         std::uint32_t length, const std::uint8_t* data) {
  return manager_->AcceptChunk(offset, checksum, length, data);
}

std::uint32_t CUpdateTarget::WriteAcceptedChunk(const std::uint8_t* data, std::uint32_t length) {
  return manager_->WriteAcceptedChunk(data, length);
}

std::uint32_t CUpdateTarget::CloseTransfer() { return manager_->CloseTransfer(); }

std::uint32_t CUpdateTarget::Install(const char* request) {
  return manager_->Install(request != nullptr ? request : "");
}

std::string& CUpdateTarget::GetLastError(std::string& text) { return manager_->GetLastError(text); }

std::uint32_t CUpdateTarget::Reboot() { return manager_->Reboot(); }

bool CUpdateTarget::GetProgress(std::uint32_t* percent, std::int32_t* state, std::string* text) {
  return manager_->GetProgress(percent, state, text) == 0;
}
