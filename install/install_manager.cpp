#include "install/install_manager.h"

#include <fstream>
#include <optional>
#include <sstream>

#include "base/log.h"
#include "install/install_results.h"
#include "install/package_container.h"
#include "install/patch_property.h"
#include "install/transfer_restriction.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "platform/shutdown.h"

namespace {

using namespace install_result;

// The longest value that RegQueryValueExA delivers into the manager's buffer.
constexpr std::size_t kMaxRegistryText = 260;

// A string value of the platform key, cut at its first zero byte; nothing
// when it is missing, empty or too long.
std::optional<std::string> ReadPlatformString(platform::IRegistry& registry, const char* name) {
  platform::RegistryValue value;
  if (registry.QueryValue(kPlatformKey, name, value) != platform::kRegOk) {
    return std::nullopt;
  }
  if (value.data.size() > kMaxRegistryText) return std::nullopt;
  std::string text(value.data.begin(), value.data.end());
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  if (text.empty()) return std::nullopt;
  return text;
}

// Private copies of checked packages start with this; the rest of the name
// is unpredictable and the package's extension follows, so that the
// installer still knows the file's kind.
constexpr const char* kVerifiedCopyPrefix = "~vorn-verified-";

std::string DirectoryOf(const std::string& path) {
  std::size_t end = path.size();
  while (end > 0 && !platform::IsPathSeparator(path[end - 1])) --end;
  return end == 0 ? std::string(".") : path.substr(0, end);
}

std::string ExtensionOf(const std::string& path) {
  std::size_t start = path.size();
  while (start > 0 && !platform::IsPathSeparator(path[start - 1])) --start;
  const std::string name = path.substr(start);
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
}

}  // namespace

CInstallManager::CInstallManager(const InstallPlatform& platform)
    : platform_(platform),
      descriptionBuffer_(std::ios::in | std::ios::out | std::ios::binary),
      engine_(platform.processes, platform.installer),
      transferDirectory_(platform::DefaultTransferDirectory()) {
  descriptionBuffer_.write("Dummy", 5);
}

CInstallManager::~CInstallManager() = default;

namespace {

bool AllOf(const std::string& text, std::size_t from, std::size_t to, bool (*accepts)(char)) {
  if (from >= to || to > text.size()) return false;
  for (std::size_t i = from; i < to; ++i) {
    if (!accepts(text[i])) return false;
  }
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool CInstallManager::IsTemporaryName(const std::string& name) {
  // Verified copies are not among them: one may stay on purpose, for an
  // installer that completes after a restart or repairs from it later.
  // A replacement file: the prefix, process number, "-", a count, ".tmp".
  const std::string prefix = platform::CReplacementFile::kReplacementPrefix;
  const std::string suffix = ".tmp";
  if (name.size() < prefix.size() + 3 + suffix.size() ||
      name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  const std::size_t dash = name.find('-', prefix.size());
  return dash != std::string::npos && AllOf(name, prefix.size(), dash, IsDigit) &&
         AllOf(name, dash + 1, name.size() - suffix.size(), IsDigit);
}

int CInstallManager::RemoveStaleTemporaries(platform::IRegistry& registry, std::string& directory) {
  directory = ReadPlatformString(registry, kTransferDirectoryValue)
                  .value_or(platform::DefaultTransferDirectory());
  return platform::RemoveFilesBelow(directory, IsTemporaryName);
}

void CInstallManager::SetError(const std::string& text) {
  WriteDebugLine(text.c_str());
  engine_.SetStatus(100, kStateErr, text.c_str());
  lastError_ = text;
}

std::string& CInstallManager::GetLastError(std::string& text) {
  CLock guard(lock_);
  text = lastError_;
  lastError_.clear();
  return text;
}

std::uint32_t CInstallManager::GetProgress(std::uint32_t* percent, std::int32_t* state,
                                           std::string* text) {
  engine_.GetStatus(percent, state, text);
  return 0;
}

void CInstallManager::ReadTransferDirectory() {
  if (auto directory = ReadPlatformString(platform_.registry, kTransferDirectoryValue)) {
    transferDirectory_ = *directory;
  }
}

bool CInstallManager::CreatePath(const std::string& path, bool isFile) {
  std::size_t last = std::string::npos;
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (!platform::IsPathSeparator(path[i])) continue;
    platform::MakeDirectory(path.substr(0, i));
    last = i;
  }
  if (!isFile) {
    platform::MakeDirectory(path);
    return platform::DirectoryExists(path);
  }
  return last == std::string::npos || platform::DirectoryExists(path.substr(0, last));
}

std::string CInstallManager::MakeFullPath(const std::string& name) {
  // Resolved against the transfer directory by name: the process's current
  // directory belongs to every session at once.
  CreatePath(transferDirectory_, false);
  return platform::ResolveFullPath(transferDirectory_, name);
}

std::optional<std::string> CInstallManager::PackageFilePath(const std::string& name) {
  if (!TransfersRestricted(platform_.registry)) return MakeFullPath(name);
  CreatePath(transferDirectory_, false);
  std::optional<std::string> path = ContainedPath(transferDirectory_, name);
  if (!path || !platform::StaysInside(transferDirectory_, *path)) {
    WriteDebugLine(("Refused a file outside the transfer directory: " + name).c_str());
    return std::nullopt;
  }
  return path;
}

bool CInstallManager::StillInside(const std::string& path) {
  return !TransfersRestricted(platform_.registry) ||
         platform::StaysInside(transferDirectory_, path);
}

bool CInstallManager::OpenReplacement(platform::CReplacementFile& file, const std::string& path) {
  const bool restricted = TransfersRestricted(platform_.registry);
  if (!restricted) CreatePath(path, true);
  if (file.Open(path, restricted ? transferDirectory_ : std::string())) return true;
  WriteDebugLine(("Could not create a file for '" + path + "': " + file.ErrorText()).c_str());
  return false;
}

bool CInstallManager::CommitReplacement(platform::CReplacementFile& file, const std::string& path) {
  if (file.Commit()) return true;
  WriteDebugLine(
      ("Could not write '" + path + "': " + file.ErrorText() + "; the earlier file was kept")
          .c_str());
  return false;
}

bool CInstallManager::WriteSidecar() {
  const std::optional<std::string> path = PackageFilePath(SidecarFileName(description_.FileName));
  if (!path) return false;
  std::ostringstream bytes(std::ios::binary);
  if (!description_.WriteStandaloneTo(bytes)) return false;
  const std::string text = bytes.str();
  platform::CReplacementFile file;
  if (!OpenReplacement(file, *path)) return false;
  if (!file.Write(text.data(), text.size())) {
    WriteDebugLine(("Could not write '" + *path + "': " + file.ErrorText()).c_str());
    return false;
  }
  return CommitReplacement(file, *path);
}

std::uint32_t CInstallManager::SelectContainerEntry(const std::string& containerName,
                                                    const std::string& productName,
                                                    const std::string& verifiedContainer,
                                                    std::string* payloadCopy) {
  const std::optional<std::string> containerPath =
      verifiedContainer.empty() ? PackageFilePath(containerName) : verifiedContainer;
  std::ifstream container;
  if (containerPath) container.open(*containerPath, std::ios::binary);
  if (!container.is_open()) {
    SetError(kContainerNotFound);
    return kFileNotFound;
  }
  const auto entry = ::SelectContainerEntry(container, productName, description_);
  if (!entry) {
    SetError(kContainerPackageNotFound);
    return kEFail;
  }
  if (entry->PayloadLength != 0) {
    const std::optional<std::string> target = PackageFilePath(description_.FileName);
    platform::CReplacementFile out;
    if (!target || !OpenReplacement(out, *target)) {
      SetError(kCannotWritePayload);
      return kOpenFailed;
    }
    // A checked container's entry also goes into a private file, which is
    // what runs: the entry's name is one any session can write to.
    platform::CPrivateFile copy;
    if (payloadCopy != nullptr &&
        !copy.Create(DirectoryOf(*target), kVerifiedCopyPrefix, ExtensionOf(*target))) {
      WriteDebugLine(("Could not create a copy of '" + *target + "': " + copy.ErrorText()).c_str());
      SetError(kCannotWritePayload);
      return kOpenFailed;
    }
    std::string failedPath;
    const char* failure =
        CopyEntryPayload(container, *entry, [&](const char* piece, std::size_t n) {
          if (!out.Write(piece, n)) {
            failedPath = *target;
            return false;
          }
          if (payloadCopy != nullptr && !copy.Write(piece, n)) {
            failedPath = copy.Path();
            return false;
          }
          return true;
        });
    if (failure == nullptr && payloadCopy != nullptr && !copy.Close()) {
      failedPath = copy.Path();
      failure = kCannotWritePayload;
    }
    if (failure == kCannotWritePayload && !failedPath.empty()) {
      WriteDebugLine(("Could not write '" + failedPath +
                      "': " + (failedPath == *target ? out.ErrorText() : copy.ErrorText()))
                         .c_str());
    }
    if (failure == nullptr && !CommitReplacement(out, *target)) failure = kCannotWritePayload;
    if (failure != nullptr) {
      copy.Close();
      if (payloadCopy != nullptr) platform::RemoveFile(copy.Path());
      SetError(failure);
      return failure == kCannotReadPayload ? kReadFault : kWriteFault;
    }
    if (payloadCopy != nullptr) *payloadCopy = copy.Path();
  }
  if (HasSidecarFile(description_) && !WriteSidecar()) {
    if (payloadCopy != nullptr && !payloadCopy->empty()) platform::RemoveFile(*payloadCopy);
    if (payloadCopy != nullptr) payloadCopy->clear();
    SetError(kCannotWriteSidecar);
    return kWriteFault;
  }
  return 0;
}

const std::vector<TrustedKey>* CInstallManager::TrustedKeys() {
  const std::uint64_t changeCount = platform_.registry.ChangeCount();
  if (keysChecked_ && changeCount == keysChangeCount_) return keysPath_ ? &trustedKeys_ : nullptr;
  keysChecked_ = true;
  keysChangeCount_ = changeCount;
  trustedKeys_.clear();
  std::string error;
  keysPath_ = ReadTrustedKeysPath(platform_.registry, error);
  if (!error.empty()) {
    // A value the service would not start over refuses every package.
    keysPath_ = std::string();
    WriteDebugLine(("\"" + std::string(kTrustedPackageKeysValue) + "\" " + error).c_str());
  } else if (keysPath_ && !LoadTrustedKeys(*keysPath_, trustedKeys_, error)) {
    trustedKeys_.clear();
    WriteDebugLine(("The trusted package keys in " + *keysPath_ + " " + error).c_str());
  }
  return keysPath_ ? &trustedKeys_ : nullptr;
}

std::uint32_t CInstallManager::CheckSignature(const std::string& record, const std::string& name,
                                              const std::optional<std::string>& dataPath,
                                              std::string& verifiedCopy) {
  verifiedCopy.clear();
  const std::vector<TrustedKey>* keys = TrustedKeys();
  if (keys == nullptr) return 0;
  const std::optional<std::string> signaturePath =
      name.empty() ? std::nullopt : PackageFilePath(name + kSignatureSuffix);
  const std::optional<std::string> signature =
      signaturePath ? ReadSignatureFile(*signaturePath) : std::nullopt;
  if (!signature || !dataPath) {
    SetError(signature ? kNotSignedByTrustedKey : kSignatureMissing);
    return kAccessDenied;
  }
  // The bytes are checked as they are copied into a file that no name a
  // peer sends can reach, and that copy is what runs: a file renamed over
  // the package's name meanwhile is never used.
  platform::CPrivateFile copy;
  if (!copy.Create(DirectoryOf(*dataPath), kVerifiedCopyPrefix, ExtensionOf(*dataPath))) {
    WriteDebugLine(("Could not create a copy of '" + *dataPath + "': " + copy.ErrorText()).c_str());
    SetError(kCannotWritePayload);
    return kWriteFault;
  }
  bool written = true;
  platform::Sha256Digest digest;
  const bool read = DigestPackage(record, *dataPath, digest, [&](const char* bytes, std::size_t n) {
    return written = copy.Write(bytes, n);
  });
  written = copy.Close() && written;
  if (!written) {
    WriteDebugLine(("Could not write '" + copy.Path() + "': " + copy.ErrorText()).c_str());
    platform::RemoveFile(copy.Path());
    SetError(kCannotWritePayload);
    return kWriteFault;
  }
  if (!read || FindSigner(*keys, digest, *signature) == nullptr) {
    platform::RemoveFile(copy.Path());
    SetError(kNotSignedByTrustedKey);
    return kAccessDenied;
  }
  verifiedCopy = copy.Path();
  return 0;
}

std::uint32_t CInstallManager::Install(const std::string& request) {
  CLock guard(lock_);
  if (engine_.IsBusy()) {
    SetError("Another installation is still in progress");
    return kBusy;
  }
  // A private copy of the checked package, when packages are checked.
  std::string verifiedCopy;
  if (!request.empty()) {
    ReadTransferDirectory();
    const std::size_t separator = request.find("::");
    if (separator == std::string::npos) {
      SetError("No '...::<Productname>' specified");
      return kEInvalidArg;
    }
    if (separator == 0) {
      SetError("No '<filename>::...' specified");
      return kEInvalidArg;
    }
    // The container's signature covers the container file alone and so
    // vouches for every entry; it is checked before anything is extracted,
    // and the entry comes from the checked copy.
    const std::string containerName = request.substr(0, separator);
    std::string verifiedContainer;
    const std::uint32_t checked = CheckSignature(std::string(), containerName,
                                                 PackageFilePath(containerName), verifiedContainer);
    if (checked != 0) return checked;
    const std::uint32_t selected =
        SelectContainerEntry(containerName, request.substr(separator + 2), verifiedContainer,
                             verifiedContainer.empty() ? nullptr : &verifiedCopy);
    if (!verifiedContainer.empty()) platform::RemoveFile(verifiedContainer);
    if (selected != 0) return selected;
  }

  ReadTransferDirectory();
  // While transfers are restricted, the package file that runs (and may be
  // deleted afterwards) must be one in the transfer directory too.
  const bool needsFile = description_.PackageType == CPackageDescription::kTypeExecutable ||
                         description_.PackageType == CPackageDescription::kTypeInstaller ||
                         description_.PackageType == CPackageDescription::kTypePostProcess;
  const std::optional<std::string> packageFile =
      needsFile ? PackageFilePath(description_.FileName) : MakeFullPath(description_.FileName);
  if (needsFile && !packageFile) {
    RemoveVerifiedCopy(verifiedCopy);
    SetError(kCannotOpenFile);
    return kOpenFailed;
  }
  // The file checked is the one handed on; a container entry was checked
  // with its container.
  if (needsFile && request.empty()) {
    const std::uint32_t checked =
        CheckSignature(descriptionRecord_, description_.FileName, packageFile, verifiedCopy);
    if (checked != 0) return checked;
  }
  if (!needsFile) RemoveVerifiedCopy(verifiedCopy);
  const std::uint32_t started =
      StartStep(verifiedCopy.empty() ? packageFile.value_or("") : verifiedCopy,
                packageFile.value_or(""), !verifiedCopy.empty());
  if (started != 0) RemoveVerifiedCopy(verifiedCopy);
  return started;
}

CInstallManager::StaleCopies CInstallManager::RemoveStaleVerifiedCopies(
    platform::IRegistry& registry) {
  const std::string directory = ReadPlatformString(registry, kTransferDirectoryValue)
                                    .value_or(platform::DefaultTransferDirectory());
  StaleCopies copies;
  for (const std::string& path : platform::FilesStartingWith(directory, kVerifiedCopyPrefix)) {
    (platform::RemoveFile(path) ? copies.removed : copies.kept).push_back(path);
  }
  return copies;
}

void CInstallManager::RemoveVerifiedCopy(std::string& path) {
  if (!path.empty()) platform::RemoveFile(path);
  path.clear();
}

std::uint32_t CInstallManager::StartStep(const std::string& file, const std::string& original,
                                         bool isCopy) {
  // Told to the engine right before a start: one that never comes must not
  // leave it set for the next.
  const auto useCopy = [&] {
    if (isCopy) engine_.UseVerifiedCopy(original);
  };
  std::string arguments = description_.CommandLine;
  const bool deleteAfter = (description_.Flags & CPackageDescription::kFlagDeleteDataFile) != 0;
  switch (description_.PackageType) {
    case CPackageDescription::kTypeExecutable:
      if (description_.ExecType > 2) {
        SetError("Install failed: invalid version (Unsupported exec type)");
        return kEFail;
      }
      useCopy();
      if (engine_.StartExecutable(file.c_str(), arguments.c_str(), transferDirectory_.c_str(),
                                  description_.ExecType, deleteAfter) == CInstallEngine::kFail) {
        SetError("Another executable is still running.");
        return kEFail;
      }
      return 0;
    case CPackageDescription::kTypeInstaller:
      RewritePatchProperty(arguments,
                           [this](const std::string& name) { return MakeFullPath(name); });
      useCopy();
      if (engine_.StartInstall(file.c_str(), arguments.c_str(), deleteAfter) ==
          CInstallEngine::kFail) {
        SetError("Another installation is still in progress.");
        return kEFail;
      }
      return 0;
    case CPackageDescription::kTypePostProcess:
      useCopy();
      if (engine_.StartPostProcessing(file.c_str()) == CInstallEngine::kFail) {
        SetError("Another installation is still in progress.");
        return kEFail;
      }
      return 0;
    case CPackageDescription::kTypeNothing:
      engine_.SetStatus(100, kStateSucc, "");
      return 0;
    default:
      SetError("Install failed: invalid version (Unsupported package type)");
      return kEFail;
  }
}

std::uint32_t CInstallManager::Reboot() {
  CLock guard(lock_);
  const std::string command =
      ReadPlatformString(platform_.registry, kRebootCommandValue).value_or("");
  if (platform_.shutdown.Reboot(command)) return 0;
  SetError("System Reboot Failed.");
  return kEFail;
}
