#pragma once
// An in-memory configuration store for tests on every platform: keys keep
// their subkeys in creation order (the enumeration order), names compare
// without regard to ASCII case as in the Windows registry, and single keys
// can be made to refuse opening.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/registry.h"

class CFakeRegistry : public platform::IRegistry {
 public:
  long CreateKey(const std::string& path) override;
  long OpenKey(const std::string& path) override;
  long QueryValue(const std::string& path, const std::string& name,
                  platform::RegistryValue& value) override;
  long SetValue(const std::string& path, const std::string& name, std::uint32_t type,
                const void* data, std::size_t size) override;
  long EnumSubKeys(const std::string& path, std::vector<std::string>& names) override;
  // Changes with every key created and every value written.
  std::uint64_t ChangeCount() override { return changes_; }

  // How many values were queried so far.
  std::uint64_t Queries() const { return queries_; }

  // Test helpers: create the key if needed and store the value as given.
  void Put(const std::string& path, const std::string& name, std::uint32_t type,
           const std::string& bytes);
  // A REG_SZ value with its terminating zero.
  void PutString(const std::string& path, const std::string& name, const std::string& text);
  // OpenKey and QueryValue fail with access denied for this key.
  void DenyAccess(const std::string& path);

 private:
  struct Key {
    std::vector<std::string> subKeys;                       // display names, creation order
    std::map<std::string, platform::RegistryValue> values;  // by folded name
  };
  static std::string Fold(const std::string& text);
  bool Denied(const std::string& path) const;

  std::map<std::string, Key> keys_;  // by folded full path
  std::set<std::string> denied_;
  std::uint64_t changes_ = 0;
  std::uint64_t queries_ = 0;
};
