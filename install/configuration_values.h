#pragma once
// The service's own configuration values (under its configuration key) as
// the access settings, the transfer restriction and the signature check read
// them: a value that is absent gives the default, one that is malformed sets
// `error` and gives nullopt, so that the caller can name it and refuse.

#include <optional>
#include <string>

namespace platform {
class IRegistry;
}

// A REG_SZ text: nullopt when the value is missing; `error` set when it is
// not a plain string (another type, or a zero byte before its terminator).
std::optional<std::string> ReadConfigurationText(platform::IRegistry& registry, const char* name,
                                                 std::string& error);

// A REG_DWORD that must be 0 or 1: `fallback` when the value is missing.
std::optional<bool> ReadConfigurationSwitch(platform::IRegistry& registry, const char* name,
                                            bool fallback, std::string& error);
