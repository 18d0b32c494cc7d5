#include "install/transfer_restriction.h"

#include <vector>

#include "install/configuration_values.h"
#include "platform/file_system.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"

namespace {

constexpr std::size_t kMaxPart = 255;
constexpr std::size_t kMaxPath = 260;

}  // namespace

std::optional<bool> ReadRestrictTransfers(platform::IRegistry& registry, std::string& error) {
  return ReadConfigurationSwitch(registry, kRestrictTransfersValue, false, error);
}

bool TransfersRestricted(platform::IRegistry& registry) {
  std::string error;
  return ReadRestrictTransfers(registry, error).value_or(true);
}

std::optional<std::string> ContainedPath(const std::string& directory, const std::string& name) {
  if (name.empty() || platform::IsPathSeparator(name[0])) return std::nullopt;
  if (name.find(':') != std::string::npos || name.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = start;
    while (end < name.size() && !platform::IsPathSeparator(name[end])) ++end;
    const std::string part = name.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return std::nullopt;
      parts.pop_back();
      continue;
    }
    if (part.size() > kMaxPart || part.back() == '.' || part.back() == ' ') return std::nullopt;
    parts.push_back(part);
  }
  // A name that ends in the directory itself names no file in it.
  if (parts.empty() || platform::IsPathSeparator(name.back())) return std::nullopt;
  std::string relative;
  for (const std::string& part : parts) {
    if (!relative.empty()) relative += '/';
    relative += part;
  }
  const std::string base = platform::ResolveFullPath(directory, ".");
  const std::string full = platform::ResolveFullPath(directory, relative);
  // The same walk once more on the resolved form, so that whatever the
  // platform's resolution does, the result must start with the directory.
  if (full.size() >= kMaxPath || full.size() <= base.size() ||
      full.compare(0, base.size(), base) != 0) {
    return std::nullopt;
  }
  if (!platform::IsPathSeparator(base.back()) && !platform::IsPathSeparator(full[base.size()])) {
    return std::nullopt;
  }
  return full;
}
