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
  // ERROR_BADDB: the store cannot be read as a whole, so nothing is written.
  kRegBadDatabase = 1009,
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

  // A number that changes whenever the store may have changed since it was
  // last asked, by this process or from outside; cheap enough to ask on every
  // request, so that a caller can keep what it read until it changes.
  virtual std::uint64_t ChangeCount() = 0;

  // What keeps the store from being used as a whole, one text per problem
  // naming where it is ("FILE:LINE: ..."); empty when the store is sound. A
  // store with problems refuses every write (kRegBadDatabase).
  virtual std::vector<std::string> Problems() { return {}; }
};

// The process's configuration store: the real registry on Windows; elsewhere
// the file chosen by ConfigureProcess (process_config.h).
IRegistry& Registry();

// A store kept in a registry file at the given path (the posix backend's
// format, REGEDIT4 or a version 5 export; on Windows a registry subtree of
// its own). The file must exist: a store over a missing file reports it as
// its problem and is never created by a write.
std::unique_ptr<IRegistry> OpenRegistryFile(const std::string& path);

// The same store seen read-only: every write fails with kRegAccessDenied, so
// whatever runs over it cannot change the configuration.
std::unique_ptr<IRegistry> ReadOnlyView(IRegistry& store);

}  // namespace platform
