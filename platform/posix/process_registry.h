#pragma once
// Where the process's configuration store lives: set by ConfigureProcess
// before any thread starts, read by Registry().

#include <string>

namespace platform::posix {

void SetProcessRegistryPath(const std::string& path);

}  // namespace platform::posix
