// The Windows Installer step of the engine: product, reinstallation or patch,
// the external UI callback that turns installer messages into status and
// progress, and the mapping of installer results to the final status.
#include <string>

#include "install/install_engine.h"
#include "install/patch_info.h"
#include "install/progress_fields.h"
#include "platform/file_system.h"

namespace {

constexpr std::uint32_t kUiLevelReduced = 4;  // INSTALLUILEVEL_REDUCED
// Log-mode bits of FATALEXIT, ERROR, WARNING, USER, FILESINUSE,
// OUTOFDISKSPACE, ACTIONDATA, PROGRESS and SHOWDIALOG.
constexpr std::uint32_t kMessageFilter = 0x46AF;
constexpr int kInstallStateDefault = 5;
constexpr std::uint32_t kProductCodeBuffer = 39;
constexpr std::uint32_t kProductCodeLength = 38;

enum MessageKind : std::uint32_t {
  kFatalExit = 0x00000000,
  kError = 0x01000000,
  kWarning = 0x02000000,
  kUser = 0x03000000,
  kFilesInUse = 0x05000000,
  kOutOfDiskSpace = 0x07000000,
  kActionData = 0x09000000,
  kProgress = 0x0A000000,
  kShowDialog = 0x0E000000,
};

enum DialogAnswer : int { kOk = 1, kCancel = 2, kAbort = 3, kIgnore = 5 };

enum InstallerResult : std::uint32_t {
  kUserExit = 1602,
  kPatchTargetNotFound = 1642,
  kSuccessRebootRequired = 3010,
};

const char* const kInstallerProperties = "ALLUSERS=2 MK_REMOTE_INSTALL=1 REBOOT=Suppress ";
const char* const kReinstallProperties = "REINSTALL=ALL REINSTALLMODE=vdmus ";

// Closes an installer handle on every way out.
class CMsiHandle {
 public:
  explicit CMsiHandle(platform::IInstallerApi& installer) : installer_(installer) {}
  ~CMsiHandle() {
    if (handle_ != 0) installer_.CloseHandle(handle_);
  }
  CMsiHandle(const CMsiHandle&) = delete;
  CMsiHandle& operator=(const CMsiHandle&) = delete;
  platform::MsiHandle& Out() { return handle_; }
  platform::MsiHandle Get() const { return handle_; }

 private:
  platform::IInstallerApi& installer_;
  platform::MsiHandle handle_ = 0;
};

}  // namespace

void CInstallEngine::RunInstaller() {
  installerError_.clear();
  successDialog_.clear();
  fatalErrorDialog_.clear();
  const std::string commandLine = kInstallerProperties + commandLine_;
  std::uint32_t result = platform::kMsiPlatformUnsupported;
  std::string resultText;
  if (installer_.IsAvailable()) {
    installer_.SetInternalUI(kUiLevelReduced);
    installer_.SetExternalUI(&CInstallEngine::UiHandler, kMessageFilter, this);
    if (IsPatchFile(filePath_)) {
      result = ApplyPatch(commandLine, resultText);
    } else {
      bool failed = false;
      result = InstallProduct(commandLine, failed);
      // The package could not be read: its status is set, and it stays.
      if (failed) return;
    }
  }
  FinishInstallerStep(result, resultText);

  progressActive_ = false;
  totalTicks_ = currentTicks_ = ticksPerActionData_ = 0;
  if (deleteAfter_) RemoveDataFile();
  deleteAfter_ = false;
  installerError_.clear();
  successDialog_.clear();
  fatalErrorDialog_.clear();
  filePath_.clear();
  commandLine_.clear();
}

std::uint32_t CInstallEngine::InstallProduct(const std::string& commandLine, bool& failed) {
  bool installed = false;
  failed = !QueryProductInstalled(filePath_, installed) || !ReadEndDialogs(filePath_);
  if (failed) return 0;
  const std::string full = installed ? kReinstallProperties + commandLine : commandLine;
  return installer_.InstallProduct(filePath_, full);
}

std::uint32_t CInstallEngine::ApplyPatch(const std::string& commandLine, std::string& resultText) {
  CPatchInfo patch(installer_, filePath_);
  switch (patch.GetPatchState()) {
    case CPatchInfo::kApplied:
      resultText = "skipped: update is already applied";
      return 0;
    case CPatchInfo::kSuperseded:
      resultText = "skipped: update is already installed and superseded by another update";
      return 0;
    case CPatchInfo::kObsoleted:
      resultText = "skipped: update is obsolete";
      return 0;
    default:
      break;
  }
  // The installer needs the file to itself.
  patch.Close();
  const std::uint32_t result = installer_.ApplyPatch(filePath_, commandLine);
  if (result == 0) {
    switch (patch.GetPatchState()) {
      case CPatchInfo::kApplied:
        resultText = "ok: update is applied";
        break;
      case CPatchInfo::kSuperseded:
        resultText = "ok: update is applied, but superseded by a newer update";
        break;
      case CPatchInfo::kObsoleted:
        resultText = "ok: update is obsolete";
        break;
      default:
        resultText = "warning: update state is unknown";
        break;
    }
  }
  return result;
}

bool CInstallEngine::QueryProductInstalled(const std::string& path, bool& installed) {
  CMsiHandle database(installer_);
  if (installer_.OpenDatabase(path, false, database.Out()) != platform::kMsiSuccess) {
    SetStatus(0, kStateErr, "Opening MSI file failed.");
    return false;
  }
  CMsiHandle view(installer_);
  CMsiHandle record(installer_);
  char code[kProductCodeBuffer] = {};
  std::uint32_t size = kProductCodeBuffer;
  const bool read =
      installer_.OpenView(database.Get(), "SELECT Value FROM Property WHERE Property='ProductCode'",
                          view.Out()) == platform::kMsiSuccess &&
      installer_.ExecuteView(view.Get()) == platform::kMsiSuccess &&
      installer_.Fetch(view.Get(), record.Out()) == platform::kMsiSuccess &&
      installer_.RecordString(record.Get(), 1, code, size) == platform::kMsiSuccess &&
      size == kProductCodeLength;
  if (!read) {
    SetStatus(0, kStateErr, "Reading MSI file failed.");
    return false;
  }
  installed =
      installer_.QueryProductState(std::string(code, kProductCodeLength)) == kInstallStateDefault;
  return true;
}

bool CInstallEngine::ReadEndDialogs(const std::string& path) {
  CMsiHandle database(installer_);
  if (installer_.OpenDatabase(path, false, database.Out()) != platform::kMsiSuccess) {
    SetStatus(0, kStateErr, "Opening MSI file failed.");
    return false;
  }
  CMsiHandle view(installer_);
  if (installer_.OpenView(database.Get(), "SELECT Sequence,Action FROM InstallUISequence",
                          view.Out()) != platform::kMsiSuccess ||
      installer_.ExecuteView(view.Get()) != platform::kMsiSuccess) {
    SetStatus(0, kStateErr, "Reading MSI file failed.");
    return false;
  }
  for (;;) {
    CMsiHandle record(installer_);
    if (installer_.Fetch(view.Get(), record.Out()) != platform::kMsiSuccess) break;
    const int sequence = installer_.RecordInteger(record.Get(), 1);
    std::string* target = sequence == -1   ? &successDialog_
                          : sequence == -3 ? &fatalErrorDialog_
                                           : nullptr;
    if (target == nullptr) continue;
    char empty[1] = {};
    std::uint32_t length = 0;
    if (installer_.RecordString(record.Get(), 2, empty, length) != platform::kMsiMoreData) continue;
    std::string action(length + 1, '\0');
    std::uint32_t size = length + 1;
    if (installer_.RecordString(record.Get(), 2, action.data(), size) != platform::kMsiSuccess) {
      continue;
    }
    action.resize(std::min<std::size_t>(size, length));
    *target = action;
  }
  return true;
}

void CInstallEngine::FinishInstallerStep(std::uint32_t result, const std::string& resultText) {
  std::uint32_t percent = 0;
  GetStatus(&percent, nullptr, nullptr);
  switch (result) {
    case 0:
      SetStatus(100, kStateSucc, resultText.c_str());
      break;
    case kSuccessRebootRequired:
      // The restart completes the installation and may still need the file.
      deleteAfter_ = false;
      SetStatus(100, kStateBoot, resultText.c_str());
      break;
    case kPatchTargetNotFound:
      SetStatus(100, kStateErr, "skipped: Target is not available");
      break;
    case kUserExit:
      SetStatus(percent, kStateErr, "Cancelled by local user.");
      break;
    default:
      SetStatus(percent, kStateErr,
                installerError_.empty()
                    ? ("Windows Installer error no. " + std::to_string(result)).c_str()
                    : installerError_.c_str());
      break;
  }
}

int CInstallEngine::UiHandler(void* context, std::uint32_t messageType, const char* message) {
  if (context == nullptr) return -1;
  return static_cast<CInstallEngine*>(context)->HandleUiMessage(messageType,
                                                                message != nullptr ? message : "");
}

int CInstallEngine::HandleUiMessage(std::uint32_t messageType, const char* message) {
  const std::uint32_t kind = messageType & 0xFF000000u;
  const std::uint32_t buttons = messageType & 0x0Fu;
  switch (kind) {
    case kFatalExit:
    case kError:
      installerError_ = message;
      return buttons == 2 ? kAbort : kCancel;
    case kWarning:
    case kUser:
      return buttons <= 1 ? kOk : buttons == 2 ? kIgnore : kCancel;
    case kFilesInUse:
      return kIgnore;
    case kOutOfDiskSpace:
      installerError_ = message;
      return -1;
    case kActionData:
      if (progressActive_) AdvanceProgress(ticksPerActionData_);
      return 0;
    case kProgress: {
      std::int64_t fields[4] = {};
      if (ParseProgressFields(message, fields)) ApplyProgress(fields);
      return 0;
    }
    case kShowDialog:
      return (message == successDialog_ || message == fatalErrorDialog_) ? 1 : 0;
    default:
      return 0;
  }
}

void CInstallEngine::ApplyProgress(const std::int64_t fields[4]) {
  switch (fields[0]) {
    case 0:  // reset
      if (fields[2] != 0) {
        std::uint32_t percent = 0;
        GetStatus(&percent, nullptr, nullptr);
        SetStatus(percent, kStateInst, "Rollback.");
        progressActive_ = false;
      } else if (fields[3] == 0) {
        // Only the first reset sets the scale; later phases would move the
        // percentage backwards.
        if (totalTicks_ == 0) {
          totalTicks_ = static_cast<std::uint64_t>(fields[1]);
          currentTicks_ = 0;
          ticksPerActionData_ = 0;
          SetStatus(0, kStateInst, "");
          progressActive_ = totalTicks_ > 0;
        } else {
          progressActive_ = false;
        }
      }
      break;
    case 1:  // action info
      ticksPerActionData_ =
          progressActive_ && fields[2] != 0 ? static_cast<std::uint64_t>(fields[1]) : 0;
      break;
    case 2:  // progress report
      if (progressActive_) AdvanceProgress(static_cast<std::uint64_t>(fields[1]));
      break;
    default:
      break;
  }
}

void CInstallEngine::AdvanceProgress(std::uint64_t ticks) {
  currentTicks_ += ticks;
  if (currentTicks_ > totalTicks_ || currentTicks_ < ticks) {
    currentTicks_ = totalTicks_;
    progressActive_ = false;
  }
  SetStatus(CurrentPercent(), kStateInst, "");
}

std::uint32_t CInstallEngine::CurrentPercent() const {
  if (totalTicks_ == 0) return 0;
  const unsigned __int128 scaled = static_cast<unsigned __int128>(currentTicks_) * 100u;
  return static_cast<std::uint32_t>(scaled / totalTicks_);
}
