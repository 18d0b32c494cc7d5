#pragma once
// Diverts the process's diagnostic lines into memory for the lifetime of the
// object, so a test can look at exactly what was logged. One at a time.

#include <cstdint>
#include <string>
#include <vector>

namespace vorn_test {

class CLogCapture {
 public:
  CLogCapture();
  ~CLogCapture();
  CLogCapture(const CLogCapture&) = delete;
  CLogCapture& operator=(const CLogCapture&) = delete;

  // Every line as written, "VORN: " prefix and line feed included.
  std::vector<std::string> Lines() const;
  void Clear();
  std::size_t Count(const std::string& line) const;
  bool Contains(const std::string& line) const { return Count(line) > 0; }
  // Waits until the exact line has been written (at least `times` times).
  bool WaitFor(const std::string& line, std::uint32_t timeoutMs = 3000,
               std::size_t times = 1) const;
  // Index of the first line equal to `line` at or after `from`, or -1.
  long Find(const std::string& line, std::size_t from = 0) const;
};

}  // namespace vorn_test
