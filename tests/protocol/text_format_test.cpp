#include "protocol/text_format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(QuoteString, DoublesDoubleQuotesOnly) {
  EXPECT_EQ(QuoteString(""), "\"\"");
  EXPECT_EQ(QuoteString("it's"), "\"it's\"");
  EXPECT_EQ(QuoteString("say \"hi\""), "\"say \"\"hi\"\"\"");
}

TEST(EscapeForLog, KeepsPrintableAndHighBytesAndEscapesControls) {
  const struct {
    std::string bytes;
    std::string logged;
  } cases[] = {
      {"*IDN?\n", "*IDN?\\n"},
      {"a\\b", "a\\\\b"},
      {"\0\r\t\x1f\x7f"s, "\\0\\r\\x09\\x1F\\x7F"},
      {"\x80\xff~ ", "\x80\xff~ "},
      // UTF-8 C1 controls (CSI), but not the rest of Latin-1 nor a lone C2.
      {"\xc2\x9b"
       "31m\xc2\x85\xc2\xa0\xc3\xa4\xc2",
       "\\xC2\\x9B"
       "31m\\xC2\\x85\xc2\xa0\xc3\xa4\xc2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EscapeForLog(c.bytes.data(), c.bytes.size()), c.logged);
  }
}

}  // namespace
