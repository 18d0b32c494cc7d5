#include "device/registry_strings.h"

#include <algorithm>

#include "platform/registry.h"

namespace {

std::string TextUpToFirstZero(const std::vector<std::uint8_t>& data) {
  auto end = std::find(data.begin(), data.end(), std::uint8_t{0});
  return std::string(data.begin(), end);
}

}  // namespace

std::optional<std::string> ReadStrictString(platform::IRegistry& registry, const std::string& key,
                                            const std::string& name) {
  platform::RegistryValue value;
  if (registry.QueryValue(key, name, value) != platform::kRegOk) return std::nullopt;
  if (value.type != platform::kRegSz) return std::nullopt;
  if (value.data.empty() || value.data.size() > kMaxDeviceText + 1) return std::nullopt;
  return TextUpToFirstZero(value.data);
}

LenientRead ReadLenientString(platform::IRegistry& registry, const std::string& key,
                              const std::string& name, std::string& text) {
  text.clear();
  platform::RegistryValue value;
  if (registry.QueryValue(key, name, value) != platform::kRegOk) return LenientRead::kMissing;
  if (value.type != platform::kRegSz && value.type != platform::kRegExpandSz) {
    return LenientRead::kMissing;
  }
  if (value.data.size() > kMaxDeviceText + 1) return LenientRead::kMissing;
  if (value.data.empty()) return LenientRead::kNoBytes;
  if (value.data.back() != 0) return LenientRead::kMissing;
  text = TextUpToFirstZero(value.data);
  return LenientRead::kText;
}

std::string ReadLenientStringOrEmpty(platform::IRegistry& registry, const std::string& key,
                                     const std::string& name) {
  std::string text;
  ReadLenientString(registry, key, name, text);
  return text;
}
