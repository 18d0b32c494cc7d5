#pragma once
// The administrator's check of a configuration: what the service would serve
// from the store, or why it would not start. It only reads.

#include <cstdio>
#include <string>

namespace platform {
class IRegistry;
}

// Prints the devices with material and serial numbers, the device group and
// the transfer directory on `out`, or every problem of the store on `errors`.
// `where` names the store in the report. Returns the exit status, 0 or 1.
int CheckConfiguration(platform::IRegistry& registry, const std::string& where, std::FILE* out,
                       std::FILE* errors);
