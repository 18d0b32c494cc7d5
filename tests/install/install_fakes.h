#pragma once
// Scripted stand-ins for the platform services of an installation.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/installer.h"
#include "platform/process.h"
#include "platform/shutdown.h"

namespace vorn_test {

// Programs that never run: each start is recorded, and the "program" ends
// when the test says so.
class CFakeProcesses : public platform::IProcessApi {
 public:
  std::uint32_t Start(const std::string& commandLine, const std::string& workingDirectory,
                      platform::ProcessHandle& process) override {
    if (onStart) onStart(commandLine);
    std::lock_guard<std::mutex> guard(mutex);
    started.push_back({commandLine, workingDirectory});
    if (startError != 0) return startError;
    process = reinterpret_cast<platform::ProcessHandle>(started.size());
    return 0;
  }
  bool Wait(platform::ProcessHandle, std::uint32_t) override {
    waited = true;
    return ends.load();
  }
  bool ExitCode(platform::ProcessHandle, std::uint32_t& code) override {
    code = 0;
    return true;
  }
  void Close(platform::ProcessHandle) override { ++closed; }
  void MakeExecutable(const std::string& path) override {
    std::lock_guard<std::mutex> guard(mutex);
    madeExecutable.push_back(path);
  }

  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> started;  // command line, directory
  std::vector<std::string> madeExecutable;
  std::uint32_t startError = 0;
  // Called on the worker as the program would start.
  std::function<void(const std::string& commandLine)> onStart;
  std::atomic<bool> ends{true};
  std::atomic<bool> waited{false};
  std::atomic<int> closed{0};
};

class CFakeShutdown : public platform::ISystemShutdown {
 public:
  bool Reboot(const std::string& command) override {
    std::lock_guard<std::mutex> guard(mutex_);
    commands_.push_back(command);
    return !command.empty();
  }
  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> guard(mutex_);
    return commands_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> commands_;
};

// Windows Installer as a script: one product database, one patch, the
// messages that an installation sends to the UI handler and its result.
class CFakeInstaller : public platform::IInstallerApi {
 public:
  struct Message {
    std::uint32_t type;
    std::string text;
  };

  bool IsAvailable() override { return available; }
  void SetInternalUI(std::uint32_t level) override { uiLevel = level; }
  void SetExternalUI(platform::InstallerUiHandler h, std::uint32_t f, void* c) override {
    handler = h;
    filter = f;
    context = c;
  }
  std::uint32_t OpenDatabase(const std::string& path, bool patchFile,
                             platform::MsiHandle& database) override {
    opened.push_back(path + (patchFile ? " (patch)" : ""));
    if (openResult != 0) return openResult;
    database = NewHandle({});
    return 0;
  }
  std::uint32_t OpenView(platform::MsiHandle, const std::string& query,
                         platform::MsiHandle& view) override {
    std::vector<std::vector<std::string>> rows;
    if (query.find("ProductCode") != std::string::npos) {
      if (!productCodeReadable) return 1627;
      rows.push_back({productCode});
    } else if (query.find("InstallUISequence") != std::string::npos) {
      if (!uiSequenceReadable) return 1627;
      for (const auto& [sequence, action] : uiSequence) rows.push_back({sequence, action});
    }
    view = NewHandle(rows);
    return 0;
  }
  std::uint32_t ExecuteView(platform::MsiHandle) override { return 0; }
  std::uint32_t Fetch(platform::MsiHandle view, platform::MsiHandle& record) override {
    auto& rows = handles_[view];
    if (rows.empty()) return platform::kMsiNoMoreItems;
    record = NewHandle({rows.front()});
    rows.erase(rows.begin());
    return 0;
  }
  int RecordInteger(platform::MsiHandle record, std::uint32_t field) override {
    const std::string& value = handles_[record].at(0).at(field - 1);
    return value.empty() ? platform::kMsiNullInteger : std::stoi(value);
  }
  std::uint32_t RecordString(platform::MsiHandle record, std::uint32_t field, char* buffer,
                             std::uint32_t& size) override {
    return Deliver(handles_[record].at(0).at(field - 1), buffer, size);
  }
  std::uint32_t SummaryInformation(platform::MsiHandle, platform::MsiHandle& summary) override {
    summary = NewHandle({});
    return 0;
  }
  std::uint32_t SummaryString(platform::MsiHandle, std::uint32_t property, char* buffer,
                              std::uint32_t& size) override {
    return Deliver(property == 9 ? patchRevision : patchTargets, buffer, size);
  }
  std::uint32_t PatchInfo(const std::string& patchCode, const std::string& productCode,
                          const std::string& property, char* buffer, std::uint32_t& size) override {
    patchQueries.push_back(patchCode + "|" + productCode + "|" + property);
    std::string state;
    if (!patchStates.empty()) {
      state = patchStates.front();
      patchStates.pop_front();
    }
    if (state.empty()) return 1608;  // ERROR_UNKNOWN_PROPERTY
    return Deliver(state, buffer, size);
  }
  int QueryProductState(const std::string& code) override {
    queriedProduct = code;
    return productState;
  }
  std::uint32_t InstallProduct(const std::string& path, const std::string& commandLine) override {
    if (onInstall) onInstall(path);
    calls.push_back("install " + path + " " + commandLine);
    return Run();
  }
  std::uint32_t ApplyPatch(const std::string& path, const std::string& commandLine) override {
    calls.push_back("patch " + path + " " + commandLine);
    return Run();
  }
  void CloseHandle(platform::MsiHandle handle) override { handles_.erase(handle); }

  std::size_t OpenHandles() const { return handles_.size(); }

  // Script
  bool available = true;
  std::uint32_t openResult = 0;
  bool productCodeReadable = true;
  bool uiSequenceReadable = true;
  std::string productCode = "{11111111-2222-3333-4444-555555555555}";
  int productState = -1;
  std::vector<std::pair<std::string, std::string>> uiSequence;
  std::string patchRevision = "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}{older}";
  std::string patchTargets = "{P1};{P2}";
  std::deque<std::string> patchStates;  // answers to "State" in turn; "" fails
  std::vector<Message> messages;        // sent to the UI handler during the call
  std::vector<int> answers;             // what the handler returned to them
  std::uint32_t result = 0;
  // Called on the worker as the installer is handed the package.
  std::function<void(const std::string& path)> onInstall;

  // Record
  std::vector<std::string> opened;
  std::vector<std::string> calls;
  std::vector<std::string> patchQueries;
  std::string queriedProduct;
  std::uint32_t uiLevel = 0;
  std::uint32_t filter = 0;
  platform::InstallerUiHandler handler = nullptr;
  void* context = nullptr;

 private:
  std::uint32_t Run() {
    for (const Message& message : messages) {
      answers.push_back(handler(context, message.type, message.text.c_str()));
    }
    return result;
  }
  platform::MsiHandle NewHandle(std::vector<std::vector<std::string>> rows) {
    handles_[++next_] = std::move(rows);
    return next_;
  }
  static std::uint32_t Deliver(const std::string& value, char* buffer, std::uint32_t& size) {
    if (size <= value.size()) {
      size = static_cast<std::uint32_t>(value.size());
      return platform::kMsiMoreData;
    }
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    size = static_cast<std::uint32_t>(value.size());
    return 0;
  }

  std::map<platform::MsiHandle, std::vector<std::vector<std::string>>> handles_;
  platform::MsiHandle next_ = 0;
};

}  // namespace vorn_test
