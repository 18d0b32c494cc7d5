// The posix service runs over a registry file. It is read and checked before
// the dispatcher starts: a service that ran over a file it cannot read would
// serve an empty or partial inventory, so it refuses to start instead and
// systemd shows why.
#include "platform/process_config.h"

#include <signal.h>

#include <cstdlib>

#include "platform/posix/process_registry.h"
#include "platform/registry.h"

namespace platform {

bool ConfigurationIsAFile() { return true; }

std::string DefaultRegistryPath() {
  const char* fromEnvironment = std::getenv("VORN_REGISTRY");
  return fromEnvironment != nullptr ? fromEnvironment : "";
}

bool ConfigureProcess(const std::string& registryPath, std::vector<std::string>& problems) {
  problems.clear();
  if (registryPath.empty()) {
    problems.push_back("no configuration store given: pass --registry PATH or set VORN_REGISTRY");
    return false;
  }
  // Reading a large file takes a moment: a stop asked for meanwhile waits,
  // blocked, for the dispatcher, which takes these signals (service_host.cpp).
  sigset_t controls;
  sigemptyset(&controls);
  sigaddset(&controls, SIGTERM);
  sigaddset(&controls, SIGINT);
  sigaddset(&controls, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &controls, nullptr);

  posix::SetProcessRegistryPath(registryPath);
  problems = Registry().Problems();
  return problems.empty();
}

}  // namespace platform
