#pragma once

#include <string>
#include <string_view>

// The pseudo equipment number under which the service offers itself as a device.
inline constexpr const char* kToolEquipmentNumber = "__TRL_Tool__";

// Equipment numbers, device groups and device ids compare equal when they do
// after stripping bytes of signed value 32 or below at both ends (so also
// bytes 128-255) and folding ASCII letters to lower case.
std::string NormaliseEquipmentNumber(std::string_view text);
bool EquipmentNumbersMatch(std::string_view a, std::string_view b);
