#include "tests/support/fake_registry.h"

std::string CFakeRegistry::Fold(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool CFakeRegistry::Denied(const std::string& path) const { return denied_.count(Fold(path)) != 0; }

long CFakeRegistry::CreateKey(const std::string& path) {
  if (Denied(path)) return platform::kRegAccessDenied;
  std::string parent;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(start, end - start);
    std::string full = parent.empty() ? name : parent + "\\" + name;
    if (keys_.find(Fold(full)) == keys_.end()) {
      keys_[Fold(full)];
      ++changes_;
      if (!parent.empty()) keys_[Fold(parent)].subKeys.push_back(name);
    }
    parent = full;
    start = end + 1;
  }
  return platform::kRegOk;
}

long CFakeRegistry::OpenKey(const std::string& path) {
  if (Denied(path)) return platform::kRegAccessDenied;
  return keys_.count(Fold(path)) ? platform::kRegOk : platform::kRegNotFound;
}

long CFakeRegistry::QueryValue(const std::string& path, const std::string& name,
                               platform::RegistryValue& value) {
  ++queries_;
  if (Denied(path)) return platform::kRegAccessDenied;
  auto key = keys_.find(Fold(path));
  if (key == keys_.end()) return platform::kRegNotFound;
  auto found = key->second.values.find(Fold(name));
  if (found == key->second.values.end()) return platform::kRegNotFound;
  value = found->second;
  return platform::kRegOk;
}

long CFakeRegistry::SetValue(const std::string& path, const std::string& name, std::uint32_t type,
                             const void* data, std::size_t size) {
  if (Denied(path)) return platform::kRegAccessDenied;
  auto key = keys_.find(Fold(path));
  if (key == keys_.end()) return platform::kRegNotFound;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  platform::RegistryValue& value = key->second.values[Fold(name)];
  value.type = type;
  value.data.assign(bytes, bytes + size);
  ++changes_;
  return platform::kRegOk;
}

long CFakeRegistry::EnumSubKeys(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  if (Denied(path)) return platform::kRegAccessDenied;
  auto key = keys_.find(Fold(path));
  if (key == keys_.end()) return platform::kRegNotFound;
  names = key->second.subKeys;
  return platform::kRegOk;
}

void CFakeRegistry::Put(const std::string& path, const std::string& name, std::uint32_t type,
                        const std::string& bytes) {
  CreateKey(path);
  SetValue(path, name, type, bytes.data(), bytes.size());
}

void CFakeRegistry::PutString(const std::string& path, const std::string& name,
                              const std::string& text) {
  Put(path, name, platform::kRegSz, std::string(text.c_str(), text.size() + 1));
}

void CFakeRegistry::DenyAccess(const std::string& path) { denied_.insert(Fold(path)); }
