#include "service/device_group.h"

#include <cstring>

#include "platform/registry.h"
#include "platform/registry_keys.h"
#include "service/install_server.h"

std::optional<std::string> ReadStoredDeviceGroup(platform::IRegistry& registry) {
  platform::RegistryValue value;
  const long result = registry.QueryValue(kConfigurationKey, kDeviceGroupValue, value);
  if (result != platform::kRegOk || value.type != platform::kRegSz) return std::nullopt;
  const std::size_t size = value.data.size();
  if (size == 0 || size > kDeviceGroupBufferSize) return std::nullopt;
  const void* firstZero = std::memchr(value.data.data(), 0, size);
  if (firstZero != value.data.data() + (size - 1)) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(value.data.data()), size - 1);
}
