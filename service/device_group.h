#pragma once
// The server's "DeviceGroup" value as it is stored, for the server and for
// the administrator's check, which must not write the default.

#include <cstddef>
#include <optional>
#include <string>

namespace platform {
class IRegistry;
}

inline constexpr const char* kDeviceGroupValue = "DeviceGroup";
inline constexpr const char* kDefaultDeviceGroup = "DEFAULT";
// The buffer the value is read into: 255 characters and the terminating zero.
inline constexpr std::size_t kDeviceGroupBufferSize = 256;

// The stored device group when it is well formed (REG_SZ, 1 to 256 bytes,
// its only zero byte the last); nullopt when it is missing or malformed and
// the server would therefore write the default.
std::optional<std::string> ReadStoredDeviceGroup(platform::IRegistry& registry);
