#include "install/install_engine.h"

#include <string>

#include "platform/file_system.h"

namespace {

// How often a worker that waits for a program looks whether it should give
// up the wait (the engine is going away).
constexpr std::uint32_t kWaitSliceMs = 100;

}  // namespace

CInstallEngine::CInstallEngine(platform::IProcessApi& processes, platform::IInstallerApi& installer)
    : processes_(processes), installer_(installer) {}

CInstallEngine::~CInstallEngine() {
  abandon_ = true;
  platform::ThreadHandle worker;
  {
    CLock guard(lock_);
    worker = worker_;
    worker_ = nullptr;
  }
  if (worker != nullptr) platform::JoinThread(worker);
}

void CInstallEngine::GetStatus(std::uint32_t* percent, std::int32_t* state, std::string* text) {
  CLock guard(lock_);
  if (percent != nullptr) *percent = percent_;
  if (state != nullptr) *state = state_;
  if (text != nullptr) *text = statusText_;
}

void CInstallEngine::SetStatus(std::uint32_t percent, std::int32_t state, const char* text) {
  CLock guard(lock_);
  percent_ = percent;
  state_ = state;
  statusText_ = text != nullptr ? text : "";
  if (observer_ != nullptr && cookie_ != nullptr && (state == kStateSucc || state == kStateErr)) {
    observer_->OnInstallFinished(state == kStateSucc, statusText_, cookie_, &filePath_);
  }
}

bool CInstallEngine::IsBusy() {
  CLock guard(lock_);
  return busy_;
}

void CInstallEngine::SetObserver(IInstallObserver* observer, void* cookie) {
  observer_ = observer;
  cookie_ = cookie;
}

platform::ThreadHandle CInstallEngine::GetWorkerThread() {
  CLock guard(lock_);
  return worker_;
}

bool CInstallEngine::TryBecomeBusy() {
  CLock guard(lock_);
  if (busy_) return false;
  busy_ = true;
  return true;
}

void CInstallEngine::UseVerifiedCopy(const std::string& original) { pendingOriginal_ = original; }

void CInstallEngine::AdoptVerifiedCopy(const std::string& path) {
  if (!restartCopyPath_.empty()) platform::RemoveFile(restartCopyPath_);
  restartCopyPath_.clear();
  originalPath_ = pendingOriginal_;
  copyPath_ = originalPath_.empty() ? std::string() : path;
  pendingOriginal_.clear();
}

void CInstallEngine::RemoveDataFile() {
  platform::RemoveFile(filePath_);
  if (!originalPath_.empty()) platform::RemoveFile(originalPath_);
}

std::uint32_t CInstallEngine::StartInstall(const char* path, const char* commandLine,
                                           bool deleteAfter) {
  if (!TryBecomeBusy()) {
    pendingOriginal_.clear();
    return kFail;
  }
  AdoptVerifiedCopy(path);
  SetStatus(0, kStateInst, "Preparing installation.");
  filePath_ = path;
  commandLine_ = commandLine;
  deleteAfter_ = deleteAfter;
  StartWorker(&CInstallEngine::RunInstaller);
  return 0;
}

std::uint32_t CInstallEngine::StartExecutable(const char* path, const char* arguments,
                                              const char* workingDirectory, std::uint32_t noWait,
                                              bool deleteAfter) {
  if (!TryBecomeBusy()) {
    pendingOriginal_.clear();
    return kFail;
  }
  AdoptVerifiedCopy(path);
  SetStatus(0, kStateRun, "Invoking executable.");
  filePath_ = path;
  if (!filePath_.empty()) {
    commandLine_ = "\"" + filePath_ + "\" " + arguments;
    deleteAfter_ = deleteAfter;
  } else {
    commandLine_ = arguments;
    deleteAfter_ = false;
  }
  workingDirectory_ = workingDirectory;
  noWait_ = noWait;
  StartWorker(&CInstallEngine::RunExecutable);
  return 0;
}

std::uint32_t CInstallEngine::StartPostProcessing(const char* path) {
  if (!TryBecomeBusy()) {
    pendingOriginal_.clear();
    return kFail;
  }
  AdoptVerifiedCopy(path);
  SetStatus(0, kStateRun, "Post processing file.");
  filePath_ = path;
  StartWorker(&CInstallEngine::RunPostProcessing);
  return 0;
}

void CInstallEngine::StartWorker(StepBody body) {
  platform::ThreadHandle earlier;
  {
    CLock guard(lock_);
    earlier = worker_;
    worker_ = nullptr;
  }
  // The earlier step has cleared the busy flag as its last action, so its
  // thread is about to end.
  if (earlier != nullptr) platform::JoinThread(earlier);

  auto* worker = new Worker{this, body};
  // The handle is stored under the lock before the body can look at it.
  CLock guard(lock_);
  worker_ = platform::CreateThread(&CInstallEngine::RunWorker, worker);
  if (worker_ == nullptr) {
    delete worker;
    SetStatus(0, kStateErr, "Starting thread failed.");
    if (!copyPath_.empty()) platform::RemoveFile(copyPath_);
    copyPath_.clear();
    originalPath_.clear();
    busy_ = false;
  }
}

unsigned CInstallEngine::RunWorker(void* argument) {
  Worker worker = *static_cast<Worker*>(argument);
  delete static_cast<Worker*>(argument);
  (worker.engine->*worker.body)();
  worker.engine->EndStep();
  return 0;
}

void CInstallEngine::EndStep() {
  CLock guard(lock_);
  // The copy was the step's alone; a restart that completes the
  // installation may still read it.
  if (!copyPath_.empty() && state_ == kStateBoot) {
    restartCopyPath_ = copyPath_;
  } else if (!copyPath_.empty()) {
    platform::RemoveFile(copyPath_);
  }
  copyPath_.clear();
  originalPath_.clear();
  busy_ = false;
}

void CInstallEngine::RunExecutable() {
  SetStatus(50, kStateRun, "Invoking executable.");
  // A transferred program carries no execute permission of its own.
  if (!filePath_.empty()) processes_.MakeExecutable(filePath_);
  platform::ProcessHandle process = nullptr;
  const std::uint32_t error = processes_.Start(commandLine_, workingDirectory_, process);
  if (error != 0) {
    SetStatus(0, kStateErr, ("Process creation error no. " + std::to_string(error)).c_str());
    return;
  }
  if (noWait_ == 0) {
    bool ended = false;
    while (!(ended = processes_.Wait(process, kWaitSliceMs)) && !abandon_) {
    }
    // A program that was given up may still use its file.
    if (ended && deleteAfter_) RemoveDataFile();
  }
  processes_.Close(process);
  SetStatus(100, kStateSucc, "");
  commandLine_.clear();
  noWait_ = 0;
}

void CInstallEngine::RunPostProcessing() {
  const bool ok = observer_ == nullptr || observer_->OnPostProcess(filePath_, *this) != 0;
  std::uint32_t percent;
  std::int32_t state;
  std::string text;
  GetStatus(&percent, &state, &text);
  if (percent == 100 && (state == kStateSucc || state == kStateErr)) return;
  if (ok) {
    SetStatus(100, kStateSucc, state == kStateSucc ? text.c_str() : "");
  } else {
    SetStatus(percent, kStateErr, state == kStateErr ? text.c_str() : "");
  }
}
