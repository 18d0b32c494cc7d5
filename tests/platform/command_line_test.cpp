#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/process.h"

namespace {

// The Windows C runtime's own examples and the corners around them.
TEST(CommandLineTest, SplitsLikeTheWindowsRuntime) {
  struct Case {
    std::string line;
    std::vector<std::string> argv;
  };
  const Case cases[] = {
      {"\"C:\\Program Files\\p.exe\" a b", {"C:\\Program Files\\p.exe", "a", "b"}},
      {"p \"a b c\" d e", {"p", "a b c", "d", "e"}},
      {"p \"ab\\\"c\" \"\\\\\" d", {"p", "ab\"c", "\\", "d"}},
      {"p a\\\\\\b d\"e f\"g h", {"p", "a\\\\\\b", "de fg", "h"}},
      {"p a\\\\\\\"b c d", {"p", "a\\\"b", "c", "d"}},
      {"p a\\\\\\\\\"b c\" d e", {"p", "a\\\\b c", "d", "e"}},
      {"p \"a\"\"b\"", {"p", "a\"b"}},
      {"p \"\"", {"p", ""}},
      {"p\ta  \t b ", {"p", "a", "b"}},
      // The program name knows no escapes: its backslash stays, the quote closes.
      {"\"/t/dir with\\\"/p\" x", {"/t/dir with\\/p x"}},
      {"", {""}},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::SplitCommandLine(c.line), c.argv) << c.line;
}

}  // namespace
