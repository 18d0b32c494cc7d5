#include "install/progress_fields.h"

#include <cmath>
#include <sstream>

bool ParseProgressFields(const std::string& text, std::int64_t fields[4]) {
  std::istringstream input(text);
  int expected = 4;
  for (int i = 1;; ++i) {
    int number = 0;
    char colon = 0;
    double value = 0;
    if (!(input >> number) || number != i) return false;
    if (!(input >> colon) || colon != ':') return false;
    if (!(input >> value)) return false;
    // Converting a value outside the 64-bit range would be undefined.
    if (!std::isfinite(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0) {
      return false;
    }
    fields[i - 1] = static_cast<std::int64_t>(value);
    if (i == 1) {
      const auto type = static_cast<std::uint64_t>(fields[0]);
      if (type > 3) return false;
      expected = type == 0 ? 4 : type == 1 ? 3 : 2;
    }
    if (i >= expected) return true;
  }
}
