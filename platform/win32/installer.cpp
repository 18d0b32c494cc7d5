// msi.dll behind the installer interface. The external UI handler goes
// through a trampoline with the Windows calling convention.
#include "platform/installer.h"

#include <atomic>

#include "platform/win32/windows_api.h"
// clang-format off
#include <msi.h>
#include <msiquery.h>
// clang-format on

namespace platform {
namespace {

std::atomic<InstallerUiHandler> gHandler{nullptr};

int WINAPI UiTrampoline(LPVOID context, UINT messageType, LPCSTR message) {
  InstallerUiHandler handler = gHandler.load();
  if (handler == nullptr) return 0;
  return handler(context, messageType, message);
}

class CWindowsInstaller : public IInstallerApi {
 public:
  bool IsAvailable() override { return true; }

  void SetInternalUI(std::uint32_t level) override {
    MsiSetInternalUI(static_cast<INSTALLUILEVEL>(level), nullptr);
  }

  void SetExternalUI(InstallerUiHandler handler, std::uint32_t filter, void* context) override {
    gHandler = handler;
    MsiSetExternalUIA(handler != nullptr ? &UiTrampoline : nullptr, filter, context);
  }

  std::uint32_t OpenDatabase(const std::string& path, bool patchFile,
                             MsiHandle& database) override {
    MSIHANDLE handle = 0;
    const UINT result = MsiOpenDatabaseA(
        path.c_str(), patchFile ? MSIDBOPEN_READONLY + MSIDBOPEN_PATCHFILE : MSIDBOPEN_READONLY,
        &handle);
    database = handle;
    return result;
  }

  std::uint32_t OpenView(MsiHandle database, const std::string& query, MsiHandle& view) override {
    MSIHANDLE handle = 0;
    const UINT result = MsiDatabaseOpenViewA(database, query.c_str(), &handle);
    view = handle;
    return result;
  }

  std::uint32_t ExecuteView(MsiHandle view) override { return MsiViewExecute(view, 0); }

  std::uint32_t Fetch(MsiHandle view, MsiHandle& record) override {
    MSIHANDLE handle = 0;
    const UINT result = MsiViewFetch(view, &handle);
    record = handle;
    return result;
  }

  int RecordInteger(MsiHandle record, std::uint32_t field) override {
    return MsiRecordGetInteger(record, field);
  }

  std::uint32_t RecordString(MsiHandle record, std::uint32_t field, char* buffer,
                             std::uint32_t& size) override {
    DWORD length = size;
    const UINT result = MsiRecordGetStringA(record, field, buffer, &length);
    size = length;
    return result;
  }

  std::uint32_t SummaryInformation(MsiHandle database, MsiHandle& summary) override {
    MSIHANDLE handle = 0;
    const UINT result = MsiGetSummaryInformationA(database, nullptr, 0, &handle);
    summary = handle;
    return result;
  }

  std::uint32_t SummaryString(MsiHandle summary, std::uint32_t property, char* buffer,
                              std::uint32_t& size) override {
    UINT type = 0;
    INT number = 0;
    FILETIME time{};
    DWORD length = size;
    const UINT result =
        MsiSummaryInfoGetPropertyA(summary, property, &type, &number, &time, buffer, &length);
    size = length;
    return result;
  }

  std::uint32_t PatchInfo(const std::string& patchCode, const std::string& productCode,
                          const std::string& property, char* buffer, std::uint32_t& size) override {
    DWORD length = size;
    const UINT result =
        MsiGetPatchInfoExA(patchCode.c_str(), productCode.c_str(), nullptr,
                           MSIINSTALLCONTEXT_MACHINE, property.c_str(), buffer, &length);
    size = length;
    return result;
  }

  int QueryProductState(const std::string& productCode) override {
    return MsiQueryProductStateA(productCode.c_str());
  }

  std::uint32_t InstallProduct(const std::string& path, const std::string& commandLine) override {
    return MsiInstallProductA(path.c_str(), commandLine.c_str());
  }

  std::uint32_t ApplyPatch(const std::string& path, const std::string& commandLine) override {
    return MsiApplyPatchA(path.c_str(), nullptr, INSTALLTYPE_DEFAULT, commandLine.c_str());
  }

  void CloseHandle(MsiHandle handle) override { MsiCloseHandle(handle); }
};

}  // namespace

IInstallerApi& Installer() {
  static CWindowsInstaller installer;
  return installer;
}

}  // namespace platform
