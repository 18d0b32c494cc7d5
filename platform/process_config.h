#pragma once
// How the process finds its configuration store before the service starts.
// On Windows it is the machine's registry. Elsewhere it is a registry file
// that the command line names (--registry PATH), else VORN_REGISTRY.

#include <string>
#include <vector>

namespace platform {

// Whether the configuration store is a file that the command line names.
bool ConfigurationIsAFile();

// The file to use when the command line names none (VORN_REGISTRY); empty
// when there is none or the store is not a file.
std::string DefaultRegistryPath();

// Readies the process to run the service over its configuration store (the
// file at `registryPath` where the store is a file): loads the store and
// checks it, before any thread starts. False, with every problem (naming
// file and line), when the service must not start.
bool ConfigureProcess(const std::string& registryPath, std::vector<std::string>& problems);

}  // namespace platform
