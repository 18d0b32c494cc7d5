#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "install/install_engine.h"
#include "install/install_platform.h"
#include "install/package_description.h"
#include "install/package_signature.h"
#include "net/critical_section.h"
#include "platform/file_system.h"

// Everything a session can do with the installation side of its device:
// transfer a package description and its data file in checked chunks,
// install, read the progress and the last error, restart the computer. One
// per selected device; owns the engine. Results are HRESULTs, 0 for success;
// every public operation runs under the manager's lock.
class CInstallManager {
 public:
  static constexpr const char* kTransferDirectoryValue = "SoftwareInstallationPath";
  // Elsewhere than on Windows, the command that restarts the computer.
  static constexpr const char* kRebootCommandValue = "RebootCommand";

  explicit CInstallManager(const InstallPlatform& platform);
  // For the service's start, before any session: a process that ended in
  // the middle of a transfer (a kill, a power cut) left the temporary files
  // of its uploads behind in the transfer directory and below it. Removes
  // those and nothing else; returns how many and sets `directory` to where
  // it looked.
  static int RemoveStaleTemporaries(platform::IRegistry& registry, std::string& directory);
  // Whether a file name is one such temporary name.
  static bool IsTemporaryName(const std::string& name);
  ~CInstallManager();
  CInstallManager(const CInstallManager&) = delete;
  CInstallManager& operator=(const CInstallManager&) = delete;

  // Transfer store (transfer_store.cpp). kind 0: description, 1: data file.
  std::uint32_t OpenTransfer(std::uint32_t kind);
  // data is written straight from the caller's buffer.
  std::uint32_t WriteChunk(std::uint32_t offset, std::uint32_t checksum, std::uint32_t length,
                           const std::uint8_t* data);
  // WriteChunk in two steps, for a caller that answers the tool before the
  // write: AcceptChunk checks the chunk and counts it in; WriteAcceptedChunk
  // writes it, and a failed write ends the transfer as in WriteChunk. The
  // caller makes no other transfer call in between.
  std::uint32_t AcceptChunk(std::uint32_t offset, std::uint32_t checksum, std::uint32_t length,
                            const std::uint8_t* data);
  std::uint32_t WriteAcceptedChunk(const std::uint8_t* data, std::uint32_t length);
  std::uint32_t CloseTransfer();

  // Empty request: the package of the last transfers; "file::name": the
  // entry of that name in the installer container file.
  std::uint32_t Install(const std::string& request);
  // Hands out the last failure text once.
  std::string& GetLastError(std::string& text);
  std::uint32_t Reboot();
  std::uint32_t GetProgress(std::uint32_t* percent, std::int32_t* state, std::string* text);

  // At the service's start: removes the private copies of checked packages
  // that an earlier run left in the transfer directory (one kept for a
  // restart that has happened since, or one a program still held when its
  // step ended). The paths of those removed and of those that stayed.
  struct StaleCopies {
    std::vector<std::string> removed;
    std::vector<std::string> kept;
  };
  static StaleCopies RemoveStaleVerifiedCopies(platform::IRegistry& registry);

  // For tests and the container selection: the current description and the
  // directory that relative names resolve against.
  const CPackageDescription& Description() const { return description_; }
  const std::string& TransferDirectory() const { return transferDirectory_; }
  CInstallEngine& Engine() { return engine_; }

 private:
  void AbortTransfer(const char* text);
  void SetError(const std::string& text);
  void ReadTransferDirectory();
  std::string MakeFullPath(const std::string& name);
  // The full path of a file a package names (data file, payload, sidecar,
  // container): MakeFullPath's, or, while transfers are restricted, one
  // inside the transfer directory that no link leads out of; nothing when
  // the name is refused.
  std::optional<std::string> PackageFilePath(const std::string& name);
  // After a file was opened at path: false when transfers are restricted
  // and a link swapped in meanwhile leads out of the transfer directory.
  bool StillInside(const std::string& path);
  // Starts the file that will replace the one at path (from PackageFilePath):
  // while transfers are restricted, opened without following links from the
  // transfer directory down. A failure is logged.
  bool OpenReplacement(platform::CReplacementFile& file, const std::string& path);
  // Puts a replacement in place; a failure is logged and leaves the earlier file.
  bool CommitReplacement(platform::CReplacementFile& file, const std::string& path);
  // Creates every missing directory of path; with isFile the last component
  // is a file name. True when the (parent) directory exists afterwards.
  static bool CreatePath(const std::string& path, bool isFile);
  // The description beside the data file ("<file>.mki"); false (logged) when
  // it could not be put in place.
  bool WriteSidecar();
  // Extracts the entry (from verifiedContainer instead of the container's
  // name when that is given); with payloadCopy, also into a private file,
  // whose path it gets.
  std::uint32_t SelectContainerEntry(const std::string& containerName,
                                     const std::string& productName,
                                     const std::string& verifiedContainer,
                                     std::string* payloadCopy);
  // While "TrustedPackageKeys" is set: refuses (with the error set) unless
  // "<name>.sig" holds a trusted key's signature over record followed by the
  // file at dataPath (the one that name resolved to). The file is copied as
  // it is checked into a private file beside it, whose path verifiedCopy
  // gets (empty when nothing is checked): run that, never the name.
  std::uint32_t CheckSignature(const std::string& record, const std::string& name,
                               const std::optional<std::string>& dataPath,
                               std::string& verifiedCopy);
  // Hands file (a private copy of original when isCopy) to the engine
  // according to the package type.
  std::uint32_t StartStep(const std::string& file, const std::string& original, bool isCopy);
  static void RemoveVerifiedCopy(std::string& path);
  // The trusted keys, read again when the configuration changed; nullptr
  // when packages are not checked.
  const std::vector<TrustedKey>* TrustedKeys();

  InstallPlatform platform_;
  bool transferOpen_ = false;
  std::uint32_t transferKind_ = 1;
  std::uint32_t expectedOffset_ = 0;
  CPackageDescription description_;
  std::ostream* currentStream_ = nullptr;
  // The data file being transferred, under a name of its own until it is
  // complete; packageFilePath_ is the name it then takes.
  platform::CReplacementFile packageFile_;
  std::string packageFilePath_;
  std::stringstream descriptionBuffer_;
  // The last description record exactly as it arrived: what a signature
  // covers in front of the data file.
  std::string descriptionRecord_;
  std::vector<TrustedKey> trustedKeys_;
  std::optional<std::string> keysPath_;
  bool keysChecked_ = false;
  std::uint64_t keysChangeCount_ = 0;
  std::string lastError_;
  CInstallEngine engine_;
  std::string transferDirectory_;
  CCriticalSection lock_;
};
