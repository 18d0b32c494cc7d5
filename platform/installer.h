#pragma once
// The Windows Installer functions that the installation engine calls, one
// method each, with the msi.dll buffer conventions kept (a size in characters
// going in, the length of the value coming out, 234 when the buffer was too
// small), so that the engine's handling of them can be tested with a
// scripted stand-in. Results are Windows error numbers.

#include <cstdint>
#include <string>

namespace platform {

using MsiHandle = std::uint32_t;
using InstallerUiHandler = int (*)(void* context, std::uint32_t messageType, const char* message);

inline constexpr std::uint32_t kMsiSuccess = 0;
inline constexpr std::uint32_t kMsiMoreData = 234;
inline constexpr std::uint32_t kMsiNoMoreItems = 259;
// ERROR_INSTALL_PLATFORM_UNSUPPORTED: what a platform without Windows
// Installer answers to every installation.
inline constexpr std::uint32_t kMsiPlatformUnsupported = 1633;
inline constexpr int kMsiNullInteger = static_cast<int>(0x80000000u);

class IInstallerApi {
 public:
  virtual ~IInstallerApi() = default;

  // False where there is no Windows Installer at all.
  virtual bool IsAvailable() = 0;
  virtual void SetInternalUI(std::uint32_t level) = 0;  // MsiSetInternalUI
  virtual void SetExternalUI(InstallerUiHandler handler, std::uint32_t filter, void* context) = 0;
  // MsiOpenDatabaseA read-only, or as a patch file.
  virtual std::uint32_t OpenDatabase(const std::string& path, bool patchFile,
                                     MsiHandle& database) = 0;
  virtual std::uint32_t OpenView(MsiHandle database, const std::string& query,
                                 MsiHandle& view) = 0;    // MsiDatabaseOpenViewA
  virtual std::uint32_t ExecuteView(MsiHandle view) = 0;  // MsiViewExecute (no parameters)
  virtual std::uint32_t Fetch(MsiHandle view, MsiHandle& record) = 0;    // MsiViewFetch
  virtual int RecordInteger(MsiHandle record, std::uint32_t field) = 0;  // MsiRecordGetInteger
  virtual std::uint32_t RecordString(MsiHandle record, std::uint32_t field, char* buffer,
                                     std::uint32_t& size) = 0;  // MsiRecordGetStringA
  virtual std::uint32_t SummaryInformation(MsiHandle database, MsiHandle& summary) = 0;
  // MsiSummaryInfoGetPropertyA for a text property.
  virtual std::uint32_t SummaryString(MsiHandle summary, std::uint32_t property, char* buffer,
                                      std::uint32_t& size) = 0;
  // MsiGetPatchInfoExA for the machine context and no user.
  virtual std::uint32_t PatchInfo(const std::string& patchCode, const std::string& productCode,
                                  const std::string& property, char* buffer,
                                  std::uint32_t& size) = 0;
  virtual int QueryProductState(const std::string& productCode) = 0;  // MsiQueryProductStateA
  virtual std::uint32_t InstallProduct(const std::string& path,
                                       const std::string& commandLine) = 0;  // MsiInstallProductA
  // MsiApplyPatchA with no install package and INSTALLTYPE_DEFAULT.
  virtual std::uint32_t ApplyPatch(const std::string& path, const std::string& commandLine) = 0;
  virtual void CloseHandle(MsiHandle handle) = 0;  // MsiCloseHandle
};

IInstallerApi& Installer();

}  // namespace platform
