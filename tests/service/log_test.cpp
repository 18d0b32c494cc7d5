#include "service/log.h"

#include <gtest/gtest.h>

#include <string>

#include "service/equipment_number.h"
#include "tests/support/log_capture.h"

namespace {

using vorn_test::CLogCapture;

TEST(LogTest, LinesCarryThePrefixAndALineFeed) {
  CLogCapture log;
  Log("Unrecognized opcode %d", 77);
  Log("Quillon Service V 2.35.2\n");
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"VORN: Unrecognized opcode 77\n",
                                                   "VORN: Quillon Service V 2.35.2\n\n"}));
}

TEST(LogTest, OverlongMessagesAreCutNeverOverrun) {
  CLogCapture log;
  const std::string huge(100000, 'x');
  Log("%s", huge.c_str());
  Log("%s%s", huge.c_str(), "tail");
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) EXPECT_EQ(line, "VORN: " + std::string(1999, 'x') + "\n");
}

TEST(EquipmentNumberTest, ComparisonIgnoresCaseAndBlanksAtBothEnds) {
  struct Case {
    std::string a;
    std::string b;
    bool match;
  };
  const Case cases[] = {
      {"__TRL_Tool__", "__trl_tool__", true},
      {"  1234.5678.02\t", "1234.5678.02", true},
      {"\x01Lab\x7f", "lab\x7f", true},  // DEL is above 32: kept
      {"\xe9Lab\xff", "LAB", true},      // 128-255 count as blanks
      {"Lab 7", "Lab  7", false},        // inner blanks count
      {"B\xc4r", "B\xe4r", false},       // no folding beyond ASCII
      {"", "   ", true},
      {"1234.5678.02", "1234.5678.03", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EquipmentNumbersMatch(c.a, c.b), c.match) << "[" << c.a << "] [" << c.b << "]";
  }
}

}  // namespace
