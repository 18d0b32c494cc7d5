#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "net/critical_section.h"
#include "platform/installer.h"
#include "platform/process.h"
#include "platform/thread.h"

// The state part of the installation status. SUCC, BOOT and ERR are final;
// INST and RUN are shown while a step runs (whether one runs is the busy
// flag's business, not the state's).
enum EngineState : std::int32_t {
  kStateSucc = 0,
  kStateBoot = 1,
  kStateErr = 2,
  kStateInst = 3,
  kStateRun = 4,
};

class CInstallEngine;

// Told about post-processing and finished installations. Optional; the
// service itself installs none.
class IInstallObserver {
 public:
  virtual ~IInstallObserver() = default;
  // Nonzero for success.
  virtual int OnPostProcess(const std::string& path, CInstallEngine& engine) = 0;
  virtual void OnInstallFinished(bool ok, const std::string& text, void* cookie,
                                 const std::string* path) = 0;
};

class IInstallEngine {
 public:
  virtual ~IInstallEngine() = default;
  // Any output may be null.
  virtual void GetStatus(std::uint32_t* percent, std::int32_t* state, std::string* text) = 0;
  virtual void SetStatus(std::uint32_t percent, std::int32_t state, const char* text) = 0;
  virtual bool IsBusy() = 0;
};

// Runs one installation step at a time on a worker thread of its own and
// keeps the status triple that the progress query reports. Never throws:
// every outcome ends up in the status.
class CInstallEngine : public IInstallEngine {
 public:
  static constexpr std::uint32_t kFail = 0x80004005u;  // E_FAIL: the engine is busy

  CInstallEngine(platform::IProcessApi& processes, platform::IInstallerApi& installer);
  // Waits for a running step. A program that an executable step still waits
  // for is left running: the wait is given up, not the program.
  ~CInstallEngine() override;
  CInstallEngine(const CInstallEngine&) = delete;
  CInstallEngine& operator=(const CInstallEngine&) = delete;

  void GetStatus(std::uint32_t* percent, std::int32_t* state, std::string* text) override;
  void SetStatus(std::uint32_t percent, std::int32_t state, const char* text) override;
  bool IsBusy() override;
  virtual void SetObserver(IInstallObserver* observer, void* cookie);
  virtual platform::ThreadHandle GetWorkerThread();

  // Each returns 0 when the step started, kFail when a step still runs
  // (nothing changes then).
  std::uint32_t StartInstall(const char* path, const char* commandLine, bool deleteAfter);
  std::uint32_t StartExecutable(const char* path, const char* arguments,
                                const char* workingDirectory, std::uint32_t noWait,
                                bool deleteAfter);
  std::uint32_t StartPostProcessing(const char* path);
  // The path that the next Start* gets is a private copy of the package at
  // `original`: the copy goes when that step ends (unless the restart may
  // still need it), and where the step deletes its file, the original goes
  // as well. A Start* that returns kFail leaves the copy to the caller.
  void UseVerifiedCopy(const std::string& original);

  // The installer's external UI callback; context is the engine.
  static int UiHandler(void* context, std::uint32_t messageType, const char* message);

 private:
  using StepBody = void (CInstallEngine::*)();
  struct Worker {
    CInstallEngine* engine;
    StepBody body;
  };

  bool TryBecomeBusy();
  void StartWorker(StepBody body);
  static unsigned RunWorker(void* argument);
  void EndStep();
  // Deletes the step's file after it was used (the delete-after flag).
  void RemoveDataFile();
  // Takes over the pending copy for the step about to start; the one kept
  // for a restart has had its use by then.
  void AdoptVerifiedCopy(const std::string& path);

  void RunExecutable();
  void RunPostProcessing();
  void RunInstaller();  // windows_installer_step.cpp

  // Windows Installer step (windows_installer_step.cpp)
  std::uint32_t InstallProduct(const std::string& commandLine, bool& failed);
  std::uint32_t ApplyPatch(const std::string& commandLine, std::string& resultText);
  bool QueryProductInstalled(const std::string& path, bool& installed);
  bool ReadEndDialogs(const std::string& path);
  void FinishInstallerStep(std::uint32_t result, const std::string& resultText);
  int HandleUiMessage(std::uint32_t messageType, const char* message);
  void ApplyProgress(const std::int64_t fields[4]);
  void AdvanceProgress(std::uint64_t ticks);
  std::uint32_t CurrentPercent() const;

  platform::IProcessApi& processes_;
  platform::IInstallerApi& installer_;

  // Step parameters: written by a starter before the worker exists, then
  // used by the worker alone.
  std::string filePath_;
  std::string commandLine_;
  std::string workingDirectory_;
  std::uint32_t noWait_ = 0;
  bool deleteAfter_ = false;
  // A private copy that the step runs in place of originalPath_; both empty
  // when the step runs the package's own file.
  std::string pendingOriginal_;
  std::string copyPath_;
  std::string originalPath_;
  // The copy of a step that ended asking for a restart: kept for that
  // restart, and removed when the next step starts (the service's next
  // start removes one that is still there then).
  std::string restartCopyPath_;

  // Guarded by lock_.
  std::uint32_t percent_ = 0;
  std::int32_t state_ = kStateSucc;
  std::string statusText_;
  bool busy_ = false;
  platform::ThreadHandle worker_ = nullptr;

  // Installer progress and texts; touched only on the worker thread (the
  // installer calls UiHandler there).
  bool progressActive_ = false;
  std::uint64_t totalTicks_ = 0;
  std::uint64_t currentTicks_ = 0;
  std::uint64_t ticksPerActionData_ = 0;
  std::string installerError_;
  std::string successDialog_;
  std::string fatalErrorDialog_;

  IInstallObserver* observer_ = nullptr;
  void* cookie_ = nullptr;
  // Set by the destructor: a worker that waits for a program gives up.
  std::atomic<bool> abandon_{false};
  CCriticalSection lock_;
};
