#pragma once

#include <string>
#include <string_view>

// Where the instrument platform keeps its device keys, and under it the
// service's own settings. The Windows registry backend needs the first to
// pick the registry view, so both names live down here.
inline constexpr const char* kPlatformKey = "SOFTWARE\\Marrow&Keplin\\Trellane";
inline constexpr const char* kConfigurationKey =
    "SOFTWARE\\Marrow&Keplin\\Trellane\\ServiceConfiguration\\InstallServer";

// The path of a device key: "<platform key>\<name>".
inline std::string DeviceKeyPath(std::string_view name) {
  std::string path(kPlatformKey);
  path += '\\';
  path.append(name);
  return path;
}
