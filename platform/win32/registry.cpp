// The real registry under HKEY_LOCAL_MACHINE.
//
// On 64-bit Windows the registry has two views of SOFTWARE, and 32-bit
// instrument software writes its device keys into the 32-bit one
// (WOW6432Node). The platform key, "SOFTWARE\Marrow&Keplin\Trellane", and
// everything below it (device keys and the service's own configuration) is
// therefore read from the view that holds the devices: the 64-bit view if
// its platform key has a device key, else the 32-bit view if its platform key
// has one, else whichever view has the platform key at all (64-bit first),
// else the 64-bit view. The service's own values (DeviceGroup) are written
// into the same view. The choice is made again at every scan of the device
// keys, so software installed while the service runs is seen. Everything
// else is in the 64-bit view.

#include "platform/registry.h"

#include <mutex>
#include <utility>

#include "platform/registry_keys.h"
#include "platform/win32/registry_watch.h"
#include "platform/win32/windows_api.h"

namespace platform {
namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool NamesEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

bool IsAtOrBelow(const std::string& path, const std::string& ancestor) {
  if (path.size() < ancestor.size() || !NamesEqual(path.substr(0, ancestor.size()), ancestor)) {
    return false;
  }
  return path.size() == ancestor.size() || path[ancestor.size()] == '\\';
}

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

enum class ViewHolds { kNothing, kPlatformKey, kDevices };

// Whether the view has the platform key, and a device key below it.
ViewHolds Look(REGSAM view) {
  CKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPlatformKey, 0, KEY_ENUMERATE_SUB_KEYS | view,
                    key.Out()) != ERROR_SUCCESS) {
    return ViewHolds::kNothing;
  }
  char name[MAX_PATH + 1];
  for (DWORD index = 0; RegEnumKeyA(key.Get(), index, name, sizeof name) == ERROR_SUCCESS;
       ++index) {
    if (!NamesEqual(name, "AdapterConfiguration") && !NamesEqual(name, "ServiceConfiguration")) {
      return ViewHolds::kDevices;
    }
  }
  return ViewHolds::kPlatformKey;
}

REGSAM ChoosePlatformView() {
  const ViewHolds in64 = Look(KEY_WOW64_64KEY);
  if (in64 == ViewHolds::kDevices) return KEY_WOW64_64KEY;
  const ViewHolds in32 = Look(KEY_WOW64_32KEY);
  if (in32 == ViewHolds::kDevices) return KEY_WOW64_32KEY;
  if (in64 == ViewHolds::kNothing && in32 == ViewHolds::kPlatformKey) return KEY_WOW64_32KEY;
  return KEY_WOW64_64KEY;
}

class CWindowsRegistry : public IRegistry {
 public:
  // root: a path below HKEY_LOCAL_MACHINE (64-bit view) that every path given
  // to this store is relative to; empty for the machine's registry.
  explicit CWindowsRegistry(std::string root) : root_(std::move(root)) {}

  long CreateKey(const std::string& path) override {
    CKey key;
    DWORD disposition = 0;
    long result =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, Full(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE | ViewFor(path), nullptr, key.Out(), &disposition);
    if (result == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY) CountChange();
    return result;
  }

  long OpenKey(const std::string& path) override {
    CKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, Full(path).c_str(), 0, KEY_READ | ViewFor(path),
                         key.Out());
  }

  long QueryValue(const std::string& path, const std::string& name, RegistryValue& value) override {
    CKey key;
    long result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Full(path).c_str(), 0,
                                KEY_QUERY_VALUE | ViewFor(path), key.Out());
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
    long result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Full(path).c_str(), 0,
                                KEY_SET_VALUE | ViewFor(path), key.Out());
    if (result != ERROR_SUCCESS) return result;
    result = RegSetValueExA(key.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                            static_cast<DWORD>(size));
    if (result == ERROR_SUCCESS) CountChange();
    return result;
  }

  long EnumSubKeys(const std::string& path, std::vector<std::string>& names) override {
    names.clear();
    if (root_.empty() && NamesEqual(path, kPlatformKey)) LookForDevices();
    CKey key;
    long result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, Full(path).c_str(), 0,
                                KEY_ENUMERATE_SUB_KEYS | ViewFor(path), key.Out());
    if (result != ERROR_SUCCESS) return result;
    char name[MAX_PATH + 1];
    for (DWORD index = 0;; ++index) {
      result = RegEnumKeyA(key.Get(), index, name, sizeof name);
      if (result == ERROR_NO_MORE_ITEMS) return kRegOk;
      if (result != ERROR_SUCCESS) return result;
      names.emplace_back(name);
    }
  }

  // Without a key to watch (the platform key does not exist yet) every call
  // counts as a change, so nothing is kept that could be stale.
  std::uint64_t ChangeCount() override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (watch_.IsArmed() && !watch_.Signalled()) return changeCount_;
    ++changeCount_;
    if (root_.empty()) {
      watch_.Arm(kPlatformKey, PlatformViewLocked());
    } else {
      watch_.Arm(root_, KEY_WOW64_64KEY);
    }
    return changeCount_;
  }

 private:
  std::string Full(const std::string& path) const {
    if (root_.empty()) return path;
    if (path.empty()) return root_;
    return root_ + "\\" + path;
  }

  REGSAM ViewFor(const std::string& path) {
    if (!root_.empty() || !IsAtOrBelow(path, kPlatformKey)) return KEY_WOW64_64KEY;
    std::lock_guard<std::mutex> guard(mutex_);
    return PlatformViewLocked();
  }

  REGSAM PlatformViewLocked() {
    if (!viewChosen_) {
      view_ = ChoosePlatformView();
      viewChosen_ = true;
    }
    return view_;
  }

  // A scan of the device keys: the devices may have appeared in the other view.
  void LookForDevices() {
    const REGSAM view = ChoosePlatformView();
    std::lock_guard<std::mutex> guard(mutex_);
    if (viewChosen_ && view == view_) return;
    view_ = view;
    viewChosen_ = true;
    watch_.Disarm();  // the next ChangeCount watches the new view
  }

  void CountChange() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++changeCount_;
  }

  const std::string root_;
  std::mutex mutex_;
  bool viewChosen_ = false;
  REGSAM view_ = KEY_WOW64_64KEY;
  win32::CRegistryWatch watch_;
  std::uint64_t changeCount_ = 0;
};

}  // namespace

IRegistry& Registry() {
  static CWindowsRegistry registry{std::string()};
  return registry;
}

// Windows has the real registry, so no registry file is read or written here:
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
