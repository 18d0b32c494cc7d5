#pragma once
// The machine's configuration store, seen as HKEY_LOCAL_MACHINE: keys named by
// backslash-separated paths below it, values of the Windows registry types.
// Results are Win32 error numbers (0 success, 2 not found, ...).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum RegistryType : std::uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
};

enum RegistryResult : long {
  kRegOk = 0,
  kRegNotFound = 2,
  kRegAccessDenied = 5,
  kRegMoreData = 234,
  kRegNoMoreItems = 259,
};

struct RegistryValue {
  std::uint32_t type = kRegNone;
  std::vector<std::uint8_t> data;  // raw bytes as stored, terminators included
};

class IRegistry {
 public:
  virtual ~IRegistry() = default;

  // RegCreateKeyEx: opens the key, creating it and its parents when missing.
  virtual long CreateKey(const std::string& path) = 0;
  // RegOpenKeyEx for reading: kRegOk when the key exists.
  virtual long OpenKey(const std::string& path) = 0;
  // RegQueryValueEx: the whole value, whatever its size; callers apply their
  // own buffer limits. kRegNotFound when the key or the value is missing.
  virtual long QueryValue(const std::string& path, const std::string& name,
                          RegistryValue& value) = 0;
  // RegSetValueEx on a key that must exist (create it first).
  virtual long SetValue(const std::string& path, const std::string& name, std::uint32_t type,
                        const void* data, std::size_t size) = 0;
  // RegEnumKey: the names of the key's direct subkeys in enumeration order.
  virtual long EnumSubKeys(const std::string& path, std::vector<std::string>& names) = 0;
};

// The process's configuration store: the real registry on Windows; elsewhere
// the file chosen by ConfigureProcess (service_host.h).
IRegistry& Registry();

// A store kept in a REGEDIT4 file at the given path (the posix backend's
// format; also used by tests on every platform where it exists).
std::unique_ptr<IRegistry> OpenRegistryFile(const std::string& path);

}  // namespace platform
