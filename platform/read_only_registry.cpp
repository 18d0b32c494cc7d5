// A configuration store that is only looked at (the administrator's check of
// a configuration): reads pass through, writes are refused.
#include "platform/registry.h"

namespace platform {
namespace {

class CReadOnlyRegistry : public IRegistry {
 public:
  explicit CReadOnlyRegistry(IRegistry& store) : store_(store) {}

  long CreateKey(const std::string& path) override {
    return store_.OpenKey(path) == kRegOk ? kRegOk : kRegAccessDenied;
  }
  long OpenKey(const std::string& path) override { return store_.OpenKey(path); }
  long QueryValue(const std::string& path, const std::string& name, RegistryValue& value) override {
    return store_.QueryValue(path, name, value);
  }
  long SetValue(const std::string&, const std::string&, std::uint32_t, const void*,
                std::size_t) override {
    return kRegAccessDenied;
  }
  long EnumSubKeys(const std::string& path, std::vector<std::string>& names) override {
    return store_.EnumSubKeys(path, names);
  }
  std::uint64_t ChangeCount() override { return store_.ChangeCount(); }
  std::vector<std::string> Problems() override { return store_.Problems(); }

 private:
  IRegistry& store_;
};

}  // namespace

std::unique_ptr<IRegistry> ReadOnlyView(IRegistry& store) {
  return std::make_unique<CReadOnlyRegistry>(store);
}

}  // namespace platform
