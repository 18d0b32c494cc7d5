#include "client/peer_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PeerText, ConvertsAnsiTextAndKeepsUtf8) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "plain"},
      {"Gr\xC3\xB6\xC3\x9F"
       "en",
       "Gr\xC3\xB6\xC3\x9F"
       "en"},  // already UTF-8
      // A registry file in the ANSI code page: "Spektralanalysator für Größen".
      {"f\xFCr Gr\xF6\xDF"
       "en",
       "f\xC3\xBCr Gr\xC3\xB6\xC3\x9F"
       "en"},
      {"\x80 \x93"
       "a\x94",
       "\xE2\x82\xAC \xE2\x80\x9C"
       "a\xE2\x80\x9D"},         // euro, curly quotes
      {"\x81", "\xEF\xBF\xBD"},  // undefined in 1252
      // One stray byte makes the whole text ANSI, valid-looking pairs included.
      {"\xC3\xB6\xFF", "\xC3\x83\xC2\xB6\xC3\xBF"},
      {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                  // overlong '/'
      {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},  // a surrogate
      {"\xE2\x82", "\xC3\xA2\xE2\x80\x9A"},              // cut sequence
  };
  for (const auto& c : cases) {
    const std::string converted = PeerTextToUtf8(c.in);
    EXPECT_EQ(converted, c.out) << c.in;
    EXPECT_TRUE(IsValidUtf8(converted)) << c.in;
  }
}

TEST(PeerText, EscapesControlCharactersForATerminal) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"a\nb\r\tc", "a\\nb\\r\\tc"},
      {"\x1b[2J\x1b]0;owned\x07", "\\x1B[2J\\x1B]0;owned\\x07"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"del\x7f", "del\\x7F"},
      {"\xC2\x9B"
       "31m",
       "\\u009B31m"},            // C1 CSI in UTF-8
      {"\x9b", "\xE2\x80\xBA"},  // in ANSI text 0x9B is a printable sign
      {"C:\\Temp\\MSI.log \xC3\xA9", "C:\\Temp\\MSI.log \xC3\xA9"},
  };
  for (const auto& c : cases) EXPECT_EQ(PrintablePeerText(c.in), c.out) << c.in;
}

TEST(PeerText, CutsLongTextBetweenCharactersAndSaysHowMuchIsLeft) {
  const struct {
    std::string in;
    std::size_t limit;
    std::string out;
  } cases[] = {
      {std::string(10, 'x'), 10, std::string(10, 'x')},
      {std::string(11, 'x'), 10, std::string(10, 'x') + "... (1 more bytes)"},
      {"abc\xC3\xB6", 4, "abc... (2 more bytes)"},  // never half a character
      {"ab\x1b"
       "c",
       4, "ab... (2 more bytes)"},  // never half an escape
  };
  for (const auto& c : cases) EXPECT_EQ(PrintablePeerText(c.in, c.limit), c.out) << c.in;

  // A 64 KiB answer without a line end is quoted in a few hundred bytes.
  const std::string flood(65536, '\x1b');
  const std::string quoted = PrintablePeerText(flood);
  EXPECT_LE(quoted.size(), kQuotedPeerTextBytes + 32);
  EXPECT_EQ(quoted.find('\x1b'), std::string::npos);
}

}  // namespace
