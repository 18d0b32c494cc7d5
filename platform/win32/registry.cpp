// The real registry under HKEY_LOCAL_MACHINE. A 64-bit build sees the 64-bit
// view anyway; the view is named explicitly so that a 32-bit build of the
// same code reads the keys that the instrument software writes.

#include "platform/registry.h"

#include <utility>

#include "platform/win32/windows_api.h"

namespace platform {
namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;

// Closes the key on every way out.
class CKey {
 public:
  CKey() = default;
  ~CKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  CKey(const CKey&) = delete;
  CKey& operator=(const CKey&) = delete;
  HKEY* Out() { return &key_; }
  HKEY Get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

class CWindowsRegistry : public IRegistry {
 public:
  // root: a path below HKEY_LOCAL_MACHINE that every path given to this store
  // is relative to; empty for the whole hive.
  explicit CWindowsRegistry(std::string root) : root_(std::move(root)) {}

  long CreateKey(const std::string& path) override {
    CKey key;
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, Full(path).c_str(), 0, nullptr,
                           REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE | kView, nullptr,
                           key.Out(), nullptr);
  }

  long OpenKey(const std::string& path) override {
    CKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, Full(path).c_str(), 0, KEY_READ | kView, key.Out());
  }

  long QueryValue(const std::string& path, const std::string& name, RegistryValue& value) override {
    CKey key;
    long result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Full(path).c_str(), 0, KEY_QUERY_VALUE | kView,
                                key.Out());
    if (result != ERROR_SUCCESS) return result;
    // The value may grow between asking for its size and reading it.
    for (int attempt = 0; attempt < 8; ++attempt) {
      DWORD type = REG_NONE;
      DWORD size = 0;
      result = RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, nullptr, &size);
      if (result != ERROR_SUCCESS) return result;
      std::vector<std::uint8_t> data(size);
      result = RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type,
                                data.empty() ? nullptr : data.data(), &size);
      if (result == ERROR_MORE_DATA) continue;
      if (result != ERROR_SUCCESS) return result;
      data.resize(size);
      value.type = type;
      value.data = std::move(data);
      return kRegOk;
    }
    return kRegMoreData;
  }

  long SetValue(const std::string& path, const std::string& name, std::uint32_t type,
                const void* data, std::size_t size) override {
    CKey key;
    long result =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, Full(path).c_str(), 0, KEY_SET_VALUE | kView, key.Out());
    if (result != ERROR_SUCCESS) return result;
    return RegSetValueExA(key.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                          static_cast<DWORD>(size));
  }

  long EnumSubKeys(const std::string& path, std::vector<std::string>& names) override {
    names.clear();
    CKey key;
    long result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Full(path).c_str(), 0,
                                KEY_ENUMERATE_SUB_KEYS | kView, key.Out());
    if (result != ERROR_SUCCESS) return result;
    char name[MAX_PATH + 1];
    for (DWORD index = 0;; ++index) {
      result = RegEnumKeyA(key.Get(), index, name, sizeof name);
      if (result == ERROR_NO_MORE_ITEMS) return kRegOk;
      if (result != ERROR_SUCCESS) return result;
      names.emplace_back(name);
    }
  }

 private:
  std::string Full(const std::string& path) const {
    if (root_.empty()) return path;
    if (path.empty()) return root_;
    return root_ + "\\" + path;
  }

  std::string root_;
};

}  // namespace

IRegistry& Registry() {
  static CWindowsRegistry registry{std::string()};
  return registry;
}

// Windows has the real registry, so no REGEDIT4 file is read or written here:
// the store named by a path is a subtree of its own below
// HKLM\SOFTWARE\Vorn\RegistryFiles (a key name may hold '/' but not '\'),
// and the same path opens the same subtree again.
std::unique_ptr<IRegistry> OpenRegistryFile(const std::string& path) {
  std::string name = path;
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  if (name.size() > 255) name.erase(0, name.size() - 255);
  return std::make_unique<CWindowsRegistry>("SOFTWARE\\Vorn\\RegistryFiles\\" + name);
}

}  // namespace platform
