// The transfer store of the installation manager: a package description and
// then its data file arrive in chunks, each at the next offset in order and
// with its CRC-16/X-25.
#include "base/log.h"
#include "install/crc16.h"
#include "install/install_manager.h"
#include "install/install_results.h"
#include "install/package_container.h"
#include "install/transfer_restriction.h"

namespace {

using namespace install_result;

constexpr std::uint32_t kDescription = 0;

}  // namespace

void CInstallManager::AbortTransfer(const char* text) {
  // What arrived so far is dropped; the file of that name stays as it was.
  if (transferOpen_ && transferKind_ != kDescription) packageFile_.Discard();
  transferOpen_ = false;
  currentStream_ = nullptr;
  lastError_ = text;
}

std::uint32_t CInstallManager::OpenTransfer(std::uint32_t kind) {
  CLock guard(lock_);
  if (transferOpen_) {
    AbortTransfer("transfer is already open");
    return kOpenFailed;
  }
  transferOpen_ = true;
  if (kind == kDescription) {
    currentStream_ = &descriptionBuffer_;
    descriptionBuffer_.clear();
    descriptionBuffer_.seekp(0);
    transferKind_ = kDescription;
    expectedOffset_ = 0;
    return 0;
  }
  if (transferKind_ != kDescription) {
    AbortTransfer("transfer of data without description is not possible");
    return kOpenFailed;
  }
  if (!description_.FileName.empty()) ReadTransferDirectory();
  const std::optional<std::string> path =
      description_.FileName.empty() ? std::nullopt : PackageFilePath(description_.FileName);
  // Each chunk goes from the session's block buffer to the file in one
  // write, with no copy in between.
  if (path && OpenReplacement(packageFile_, *path)) {
    packageFilePath_ = *path;
    currentStream_ = nullptr;
    transferKind_ = 1;
    expectedOffset_ = 0;
    return 0;
  }
  transferKind_ = 1;
  AbortTransfer(kCannotOpenFile);
  return kOpenFailed;
}

std::uint32_t CInstallManager::WriteChunk(std::uint32_t offset, std::uint32_t checksum,
                                          std::uint32_t length, const std::uint8_t* data) {
  const std::uint32_t accepted = AcceptChunk(offset, checksum, length, data);
  if (accepted != 0 || length == 0) return accepted;
  return WriteAcceptedChunk(data, length);
}

std::uint32_t CInstallManager::AcceptChunk(std::uint32_t offset, std::uint32_t checksum,
                                           std::uint32_t length, const std::uint8_t* data) {
  CLock guard(lock_);
  if (!transferOpen_) {
    AbortTransfer("transfer of data was not opened");
    return kInvalidAccess;
  }
  if (offset != expectedOffset_) {
    AbortTransfer("unexpected offset value");
    return kInvalidBlock;
  }
  if (length == 0) return 0;
  if (Crc16X25(data, length) != checksum) {
    // No abort: the same chunk may come again.
    lastError_ = "invalid checksum";
    return kCrc;
  }
  expectedOffset_ += length;
  return 0;
}

std::uint32_t CInstallManager::WriteAcceptedChunk(const std::uint8_t* data, std::uint32_t length) {
  CLock guard(lock_);
  const bool isData = transferKind_ != kDescription;
  if (!transferOpen_ || (isData ? !packageFile_.IsOpen() : currentStream_ == nullptr)) {
    AbortTransfer("transfer of data was not opened");
    return kInvalidAccess;
  }
  // The write position already is the chunk's offset: every accepted chunk
  // ends where the next one must start.
  if (isData) {
    if (!packageFile_.Write(data, length)) {
      WriteDebugLine(("Could not write the package file '" + packageFilePath_ +
                      "': " + packageFile_.ErrorText() + "; the transfer was dropped")
                         .c_str());
      AbortTransfer("error in writing file");
      return kWriteFault;
    }
    return 0;
  }
  currentStream_->write(reinterpret_cast<const char*>(data), length);
  if (!currentStream_->good()) {
    AbortTransfer("error in writing file");
    return kWriteFault;
  }
  return 0;
}

std::uint32_t CInstallManager::CloseTransfer() {
  CLock guard(lock_);
  if (!transferOpen_) return 0;
  transferOpen_ = false;
  currentStream_ = nullptr;
  if (transferKind_ != kDescription) {
    if (!CommitReplacement(packageFile_, packageFilePath_)) {
      AbortTransfer("error in writing package file");
      return kWriteFault;
    }
    if (HasSidecarFile(description_) && !WriteSidecar()) {
      AbortTransfer(kCannotWriteSidecar);
      return kWriteFault;
    }
    return 0;
  }
  descriptionBuffer_.clear();
  descriptionBuffer_.seekg(0);
  if (const char* error = description_.ReadFrom(descriptionBuffer_)) {
    AbortTransfer(error);
    return kInvalidData;
  }
  descriptionRecord_.assign(
      descriptionBuffer_.view().substr(0, static_cast<std::size_t>(descriptionBuffer_.tellg())));
  return 0;
}
