#include "session/error_queue.h"

#include <cstdio>
#include <utility>

namespace {

struct ErrorName {
  std::int32_t code;
  const char* text;
};

// The texts are looked up in three runs with a range row between them, so a
// number that is not listed falls into the generic text of the range in front
// of which it would stand.
constexpr ErrorName kCommandErrors[] = {
    {0, "No error"},
    {-100, "Command error"},
    {-101, "Invalid character"},
    {-102, "Syntax error"},
    {-103, "Invalid separator"},
    {-104, "Data type error"},
    {-105, "GET not allowed"},
    {-108, "Parameter not allowed"},
    {-109, "Missing parameter"},
    {-111, "Header separator error"},
    {-112, "Program mnemonic too long"},
    {-113, "Undefined header"},
    {-114, "Header suffix out of range"},
    {-115, "Unexpected number of parameters"},
};
constexpr std::int32_t kCommandHeaderRangeLow = -119;
constexpr const char* kCommandHeaderError = "Command header error";

constexpr ErrorName kDataAndExecutionErrors[] = {
    {-120, "Numeric data error"},
    {-121, "Invalid character in number"},
    {-123, "Exponent too large"},
    {-124, "Too many digits"},
    {-128, "Numeric data not allowed"},
    {-130, "Suffix error"},
    {-131, "Invalid suffix"},
    {-134, "Suffix too long"},
    {-138, "Suffix not allowed"},
    {-140, "Character data error"},
    {-141, "Invalid character data"},
    {-144, "Character data too long"},
    {-148, "Character data not allowed"},
    {-150, "String data error"},
    {-151, "Invalid string data"},
    {-158, "String data not allowed"},
    {-160, "Block data error"},
    {-161, "Invalid block data"},
    {-168, "Block data not allowed"},
    {-170, "Expression error"},
    {-171, "Invalid expression"},
    {-178, "Expression data not allowed"},
    {-180, "Macro error"},
    {-181, "Invalid outside macro definition"},
    {-183, "Invalid inside macro definition"},
    {-184, "Macro parameter error"},
    {-200, "Execution error"},
    {-201, "Invalid while in local"},
    {-202, "Settings lost due to rtl"},
    {-210, "Trigger error"},
    {-211, "Trigger ignored"},
    {-212, "Arm ignored"},
    {-213, "Init ignored"},
    {-214, "Trigger deadlock"},
    {-215, "Arm deadlock"},
    {-220, "Parameter error"},
    {-221, "Settings conflict"},
    {-222, "Data out of range"},
    {-223, "Too much data"},
    {-224, "Illegal parameter value"},
    {-225, "Out of memory"},
    {-226, "Lists not same length"},
    {-230, "Data corrupt or stale"},
    {-231, "Data questionable"},
    {-232, "PH073 Invalid format"},
    {-233, "PH073 Invalid version"},
    {-241, "Hardware missing"},
};
constexpr std::int32_t kHardwareRangeLow = -249;
constexpr const char* kHardwareError = "Hardware error";

constexpr ErrorName kDeviceAndQueryErrors[] = {
    {-250, "Mass storage error"},
    {-251, "Missing mass storage"},
    {-252, "Missing media"},
    {-253, "Corrupt media"},
    {-254, "Media full"},
    {-255, "Directory full"},
    {-256, "File name not found"},
    {-257, "File name error"},
    {-258, "Media protected"},
    {-260, "Expression error"},
    {-261, "Math error in expression"},
    {-270, "Macro error"},
    {-271, "Macro syntax error"},
    {-272, "Macro execution error"},
    {-273, "Illegal macro label"},
    {-274, "Macro parameter error"},
    {-275, "Macro definition too long"},
    {-276, "Macro recursion error"},
    {-277, "Macro redefinition not allowed"},
    {-278, "Macro header not found"},
    {-280, "Program error"},
    {-281, "Cannot create program"},
    {-282, "Illegal program name"},
    {-283, "Illegal variable name"},
    {-284, "Program currently running"},
    {-285, "Program syntax error"},
    {-286, "Program runtime error"},
    {-290, "Memory use error"},
    {-291, "HP079 Out of memory"},
    {-292, "HP079 Referenced name does not exist"},
    {-293, "HP079 Referenced name already exists"},
    {-294, "PH076 Incompatible type"},
    {-300, "Device-specific error"},
    {-310, "System error"},
    {-312, "PUD memory lost"},
    {-313, "Calibration memory lost"},
    {-314, "Save/recall memory lost"},
    {-315, "Configuration memory lost"},
    {-330, "Self-test failed"},
    {-350, "Queue overflow"},
    {-360, "TK014 Communication error"},
    {-361, "TK014 Parity error in program message"},
    {-362, "TK014 Framing error in program message"},
    {-363, "HP079 Input buffer overrun"},
    {-365, "Time out error"},
    {-400, "Query error"},
    {-410, "Query INTERRUPTED"},
    {-420, "Query UNTERMINATED"},
    {-430, "Query DEADLOCKED"},
    {-440, "Query UNTERMINATED after indefinite response"},
    {-500, "Power on"},
    {-600, "User request"},
    {-700, "Request control"},
    {-800, "Operation complete"},
};

template <std::size_t N>
const char* Find(const ErrorName (&table)[N], std::int32_t code) {
  for (const ErrorName& entry : table) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

}  // namespace

const char* ErrorText(std::int32_t code) {
  if (const char* text = Find(kCommandErrors, code)) return text;
  if (code >= kCommandHeaderRangeLow) return kCommandHeaderError;
  if (const char* text = Find(kDataAndExecutionErrors, code)) return text;
  if (code >= kHardwareRangeLow) return kHardwareError;
  if (const char* text = Find(kDeviceAndQueryErrors, code)) return text;
  return "Unknown Error";
}

std::string FormatError(std::int32_t code, std::string_view detail) {
  char number[16];
  std::snprintf(number, sizeof number, "%d", static_cast<int>(code));
  std::string entry = number;
  entry += ",\"";
  entry += ErrorText(code);
  if (!detail.empty()) {
    entry += ';';
    entry += detail;
  }
  entry += '"';
  return entry;
}

void CErrorQueue::Push(std::int32_t code, std::string_view detail) {
  if (entries_.size() < kCapacity) {
    entries_.push_back(FormatError(code, detail));
  } else {
    entries_.back() = FormatError(kQueueOverflow);
  }
}

std::string CErrorQueue::Pop() {
  if (entries_.empty()) return FormatError(0);
  std::string oldest = std::move(entries_.front());
  entries_.pop_front();
  return oldest;
}

std::string CErrorQueue::Front() const {
  return entries_.empty() ? FormatError(0) : entries_.front();
}
