#include "install/configuration_values.h"

#include <cstdint>

#include "platform/registry.h"
#include "platform/registry_keys.h"

std::optional<std::string> ReadConfigurationText(platform::IRegistry& registry, const char* name,
                                                 std::string& error) {
  platform::RegistryValue value;
  const long result = registry.QueryValue(kConfigurationKey, name, value);
  if (result == platform::kRegNotFound) return std::nullopt;
  if (result != platform::kRegOk) {
    error = "cannot be read (error " + std::to_string(result) + ")";
    return std::nullopt;
  }
  if (value.type != platform::kRegSz) {
    error = "is not a REG_SZ string";
    return std::nullopt;
  }
  std::string text(value.data.begin(), value.data.end());
  if (!text.empty() && text.back() == '\0') text.pop_back();
  if (text.find('\0') != std::string::npos) {
    error = "holds a zero byte inside the text";
    return std::nullopt;
  }
  return text;
}

std::optional<bool> ReadConfigurationSwitch(platform::IRegistry& registry, const char* name,
                                            bool fallback, std::string& error) {
  platform::RegistryValue value;
  const long result = registry.QueryValue(kConfigurationKey, name, value);
  if (result == platform::kRegNotFound) return fallback;
  if (result != platform::kRegOk) {
    error = "cannot be read (error " + std::to_string(result) + ")";
    return std::nullopt;
  }
  if (value.type != platform::kRegDword || value.data.size() != 4) {
    error = "is not a REG_DWORD";
    return std::nullopt;
  }
  std::uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = (number << 8) | value.data[static_cast<std::size_t>(i)];
  if (number > 1) {
    error = "is " + std::to_string(number) + ", not 0 or 1";
    return std::nullopt;
  }
  return number == 1;
}
