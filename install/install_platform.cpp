#include "install/install_platform.h"

#include "platform/installer.h"
#include "platform/process.h"
#include "platform/shutdown.h"

InstallPlatform DefaultInstallPlatform(platform::IRegistry& registry) {
  return InstallPlatform{registry, platform::Processes(), platform::Installer(),
                         platform::SystemShutdown()};
}
