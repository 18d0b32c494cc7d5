// Arbitrary bytes as the configuration store's registry file, in either
// encoding: the reader reports problems instead of failing, a file it takes
// comes back byte for byte, and a one-value edit (as a device group change
// makes) leaves a file that reads back with that value and nothing broken.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/posix/reg_file_format.h"

namespace {

using namespace platform::posix;

const char* const kKey = "SOFTWARE\\Marrow&Keplin\\Trellane";

platform::RegistryValue StringValue(const std::string& text) {
  platform::RegistryValue value;
  value.type = platform::kRegSz;
  value.data.assign(text.begin(), text.end());
  value.data.push_back(0);
  return value;
}

void EditOne(RegFile file, const platform::RegistryValue& value) {
  if (!SetRegFileValue(file, kKey, "DeviceGroup", value)) return;
  const RegFile again = ParseRegFile(EncodeRegFile(file));
  if (!again.problems.empty()) std::abort();
  const RegFileValue* found = FindRegFileValue(again, kKey, "DeviceGroup");
  if (found == nullptr || found->value.type != value.type || found->value.data != value.data) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  RegFile file = ParseRegFile(bytes);
  FindRegFileValue(file, kKey, "DeviceGroup");
  RegFileSubKeys(file, "SOFTWARE");
  if (!file.problems.empty()) return 0;
  if (EncodeRegFile(file) != bytes) std::abort();
  EditOne(file, StringValue("LAB"));
  // The value's text from the input itself: quotes, backslashes, line ends
  // and bytes that are not UTF-8 must survive or be refused.
  EditOne(file, StringValue(bytes.substr(0, 64)));
  platform::RegistryValue dword;
  dword.type = platform::kRegDword;
  dword.data = {1, 0, 0, 0};
  EditOne(file, dword);
  return 0;
}
