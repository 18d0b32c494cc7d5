#include "device/equipment_number.h"

namespace {

// Bytes are taken as signed, so 128-255 count as blanks as well.
bool IsBlank(char c) { return static_cast<signed char>(c) <= 32; }

}  // namespace

std::string NormaliseEquipmentNumber(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  std::string result(text.substr(begin, end - begin));
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

bool EquipmentNumbersMatch(std::string_view a, std::string_view b) {
  return NormaliseEquipmentNumber(a) == NormaliseEquipmentNumber(b);
}
