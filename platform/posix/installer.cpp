// There is no Windows Installer here. Every installation of an installer
// package ends with ERROR_INSTALL_PLATFORM_UNSUPPORTED instead of pretending
// to succeed; the engine reports it as "Windows Installer error no. 1633".
#include "platform/installer.h"

namespace platform {
namespace {

class CNoInstaller : public IInstallerApi {
 public:
  bool IsAvailable() override { return false; }
  void SetInternalUI(std::uint32_t) override {}
  void SetExternalUI(InstallerUiHandler, std::uint32_t, void*) override {}
  std::uint32_t OpenDatabase(const std::string&, bool, MsiHandle& database) override {
    database = 0;
    return kMsiPlatformUnsupported;
  }
  std::uint32_t OpenView(MsiHandle, const std::string&, MsiHandle& view) override {
    view = 0;
    return kMsiPlatformUnsupported;
  }
  std::uint32_t ExecuteView(MsiHandle) override { return kMsiPlatformUnsupported; }
  std::uint32_t Fetch(MsiHandle, MsiHandle& record) override {
    record = 0;
    return kMsiPlatformUnsupported;
  }
  int RecordInteger(MsiHandle, std::uint32_t) override { return kMsiNullInteger; }
  std::uint32_t RecordString(MsiHandle, std::uint32_t, char*, std::uint32_t&) override {
    return kMsiPlatformUnsupported;
  }
  std::uint32_t SummaryInformation(MsiHandle, MsiHandle& summary) override {
    summary = 0;
    return kMsiPlatformUnsupported;
  }
  std::uint32_t SummaryString(MsiHandle, std::uint32_t, char*, std::uint32_t&) override {
    return kMsiPlatformUnsupported;
  }
  std::uint32_t PatchInfo(const std::string&, const std::string&, const std::string&, char*,
                          std::uint32_t&) override {
    return kMsiPlatformUnsupported;
  }
  int QueryProductState(const std::string&) override { return -1; }
  std::uint32_t InstallProduct(const std::string&, const std::string&) override {
    return kMsiPlatformUnsupported;
  }
  std::uint32_t ApplyPatch(const std::string&, const std::string&) override {
    return kMsiPlatformUnsupported;
  }
  void CloseHandle(MsiHandle) override {}
};

}  // namespace

IInstallerApi& Installer() {
  static CNoInstaller installer;
  return installer;
}

}  // namespace platform
