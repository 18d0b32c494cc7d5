// Process entry. Without arguments it hands the process to the service
// control manager; an administrator may ask for the version (--version) or
// for a check of the configuration (--check). On Linux the configuration
// store is read and checked before the dispatcher starts: a service that
// cannot read it exits with 1 and says why on standard error.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "platform/process_config.h"
#include "platform/registry.h"
#include "platform/service_host.h"
#include "platform/thread.h"
#include "service/access_settings.h"
#include "service/command_line.h"
#include "service/configuration_check.h"
#include "service/service_entry.h"

namespace {

int Check(const ServiceCommandLine& options) {
  if (!platform::ConfigurationIsAFile()) {
    return CheckConfiguration(*platform::ReadOnlyView(platform::Registry()), "HKEY_LOCAL_MACHINE",
                              stdout, stderr);
  }
  if (options.registryPath.empty()) {
    std::fprintf(stderr,
                 "vornsvc: no configuration store given: pass --registry PATH or set "
                 "VORN_REGISTRY\n");
    return 1;
  }
  std::unique_ptr<platform::IRegistry> store = platform::OpenRegistryFile(options.registryPath);
  return CheckConfiguration(*platform::ReadOnlyView(*store), options.registryPath, stdout, stderr);
}

}  // namespace

int main(int argc, char** argv) {
  ServiceCommandLine options;
  const int parsed = ParseServiceCommandLine(argc, argv, options);
  if (parsed >= 0) return parsed;
  if (options.version) {
    std::printf("vornsvc %s\n", VORN_VERSION);
    return 0;
  }
  if (options.check) return Check(options);

  std::vector<std::string> problems;
  if (!platform::ConfigureProcess(options.registryPath, problems)) {
    for (const std::string& problem : problems)
      std::fprintf(stderr, "vornsvc: %s\n", problem.c_str());
    return 1;
  }
  // Where standard error reaches the administrator (a daemon under systemd),
  // say there why the service will not start; under the service control
  // manager the start itself reports it (StartServer).
  if (platform::ConfigurationIsAFile()) {
    AccessSettings access;
    if (!ReadAccessSettings(platform::Registry(), access, problems)) {
      for (const std::string& problem : problems)
        std::fprintf(stderr, "vornsvc: %s\n", problem.c_str());
      return 1;
    }
  }
  platform::ComInitialize();
  if (!platform::StartServiceCtrlDispatcher(kServiceName, &ServiceMain)) {
    Log("StartServiceCtrlDispatcher() failed. Error = %d",
        static_cast<int>(platform::LastSystemError()));
    return 1;
  }
  platform::ComUninitialize();
  return platform::ExitCodeAfterDispatch();
}
