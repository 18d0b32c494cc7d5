#pragma once

namespace platform {
class IRegistry;
class IProcessApi;
class IInstallerApi;
class ISystemShutdown;
}  // namespace platform

// The platform services that an installation uses: the configuration store
// (transfer directory, reboot command), programs, Windows Installer and the
// restart. Tests hand in stand-ins.
struct InstallPlatform {
  platform::IRegistry& registry;
  platform::IProcessApi& processes;
  platform::IInstallerApi& installer;
  platform::ISystemShutdown& shutdown;
};

// The platform's own services over the given configuration store.
InstallPlatform DefaultInstallPlatform(platform::IRegistry& registry);
