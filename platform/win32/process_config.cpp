// The Windows service runs over the machine's registry: nothing to choose.
#include "platform/process_config.h"

namespace platform {

bool ConfigurationIsAFile() { return false; }

std::string DefaultRegistryPath() { return std::string(); }

bool ConfigureProcess(const std::string&, std::vector<std::string>& problems) {
  problems.clear();
  return true;
}

}  // namespace platform
