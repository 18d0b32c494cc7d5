#include "base/log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "device/equipment_number.h"
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

void LogAs(const char* name, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLogLine(name, format, args);
  va_end(args);
}

// A long server name leaves less room: the whole line is cut to 2047 bytes
// and loses its line feed, the message alone never passes 1999.
TEST(LogTest, LongNamesCutTheWholeLine) {
  CLogCapture log;
  const std::string name(100, 'n');
  const std::string huge(5000, 'x');
  LogAs(name.c_str(), "%s", huge.c_str());
  LogAs(name.c_str(), "%s", std::string(1945, 'x').c_str());
  LogAs(name.c_str(), "%s", std::string(1944, 'x').c_str());
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], name + ": " + std::string(1945, 'x'));
  EXPECT_EQ(lines[1], name + ": " + std::string(1945, 'x'));
  EXPECT_EQ(lines[2], name + ": " + std::string(1944, 'x') + "\n");
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

// The messages the service logs, by their fixed text: failures are errors,
// traffic, notices and warnings are not, whatever a client put into them.
TEST(LogPriorityTest, MessagesThatReportAFailureAreErrors) {
  using platform::DebugPriority;
  struct Case {
    const char* format;
    DebugPriority priority;
  };
  const Case cases[] = {
      {"StartServiceCtrlDispatcher() failed. Error = %d", DebugPriority::kError},
      {"RegisterServiceCtrlHandler() failed. Error %d", DebugPriority::kError},
      {"SetServiceStatus() failed. Error %d", DebugPriority::kError},
      {"Unable to start Control or Data channel\n", DebugPriority::kError},
      {"Error: Cannot create socket. Failed with %d", DebugPriority::kError},
      {"Error: bind of control channel failed with %d", DebugPriority::kError},
      {"Error: Cannot bind data channel to port %d", DebugPriority::kError},
      {"Error: getsockname failed with %d", DebugPriority::kError},
      {"Error: accept() failed with error %d", DebugPriority::kError},
      {"%s:%u recvfrom(s,...) returned %d", DebugPriority::kError},
      {"%s:%u sendto(...) returned %d", DebugPriority::kError},
      {"Out of memory!", DebugPriority::kError},
      {"Socket[%X]: Error: invalid command '%s'!", DebugPriority::kError},
      {"Socket[%X]: Error: Data channel closed with error %d", DebugPriority::kError},
      {"Socket[%X]: closing socket failed with error %d", DebugPriority::kError},
      {"Socket[%X]: Error! No VORNID for Server '%s' found!", DebugPriority::kError},
      {"Socket[%X]: Connection to VORN server '%s' failed with %s", DebugPriority::kError},
      {"!!!! Quillon: Thread has terminated with exception !!!!\n", DebugPriority::kError},
      {"Quillon Service V 2.35.2\n", DebugPriority::kInformation},
      {"\nService is listening for %d Material Number(s): ", DebugPriority::kInformation},
      {"%s", DebugPriority::kInformation},  // a material number, whatever it reads
      {",", DebugPriority::kInformation},
      {"on Control Port %d and Data Port %d\n", DebugPriority::kInformation},
      {"Server is listening for DeviceGroup: %s\n", DebugPriority::kInformation},
      {"Unrecognized opcode %d", DebugPriority::kInformation},
      {"Terminating control channel thread", DebugPriority::kInformation},
      {"Terminating data channel server thread.", DebugPriority::kInformation},
      {"%s:%u >> [%s]", DebugPriority::kInformation},
      {"%s:%u << [%s]", DebugPriority::kInformation},
      {"Socket[%X] >> %s", DebugPriority::kInformation},  // "SYST:ERR?" or not
      {"Socket[%X] << %s", DebugPriority::kInformation},  // "0,\"No error\"" or not
      {"Socket[%X]: Data channel normally closed (or due to unexpected data).",
       DebugPriority::kInformation},
      {"Socket[%X]: socket normally closed.", DebugPriority::kInformation},
      {"Socket[%X]: VORN connection established!", DebugPriority::kInformation},
      {"Socket[%X]: Server '%s' has VORNID=%s", DebugPriority::kInformation},
      {"Info: listen() returned %d", DebugPriority::kInformation},
      {"Warning: Cannot set keep alive options. Failed with %d", DebugPriority::kInformation},
      {"Warning: Cannot set TCP_NODELAY", DebugPriority::kInformation},
      {"Socket[%X]: Warning: unknown exception at line %d", DebugPriority::kInformation},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PriorityOfMessage(c.format), c.priority) << c.format;
  }
}

}  // namespace
