#pragma once
// Where the process's configuration store lives: set by ConfigureProcess
// before any thread starts, read by Registry().

#include <cstdint>
#include <string>

namespace platform::posix {

void SetProcessRegistryPath(const std::string& path);

// How often any registry file of this process was read from disk; tests use
// it to show that unchanged files are not read again.
std::uint64_t RegistryFileReads();

}  // namespace platform::posix
