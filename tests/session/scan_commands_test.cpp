// The device group and scan commands over the wire, against a running
// server (in a namespace that has only loopback: a scan finds nobody).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/install_server.h"
#include "session/error_queue.h"
#include "tests/support/running_server.h"
#include "tests/support/wire_client.h"

namespace {

using vorn_test::CRunningServer;
using vorn_test::CWireClient;

using vorn_test::kSelectTool;
using vorn_test::kNoError;
const std::string kUnexpected = FormatError(-115) + "\n";

// ",'N0','N1',..." with count distinct equipment numbers.
std::string ManyNumbers(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += ",'N" + std::to_string(i) + "'";
  return text;
}

struct ScanWireCase {
  const char* name;
  std::string input;
  std::string output;
};

TEST(ScanCommands, AnswersOverTheWire) {
  const std::vector<ScanWireCase> cases = {
      {"group read", "DIAG:PROD:GRO?\n", "\"DEFAULT\"\n"},
      {"group set, then read", "DIAG:PROD:GRO 'LAB'\nDIAG:PROD:GRO?\nSYST:ERR?\n",
       "\"LAB\"\n" + kNoError},
      {"group with a double quote is answered doubled", "DIAG:PROD:GRO 'a\"b'\nDIAG:PROD:GRO?\n",
       "\"a\"\"b\"\n"},
      {"scan needs a device", "DIAG:VORN:SCAN? 2000,ALL,0\nSYST:ERR?\n",
       FormatError(-221, "No Device ID selected") + "\n"},
      {"time-out below 1000 scans nothing",
       kSelectTool + "DIAG:VORN:SCAN? 500,ALL,0,'__TRL_Tool__'\nSYST:ERR?\nSYST:ERR?\nSYST:ERR?\n",
       FormatError(-128, "timeout too low") + "\n" + kUnexpected + kNoError},
      {"time-out above a minute scans nothing",
       kSelectTool +
           "DIAG:VORN:SCAN? 60001,ALL,0,'__TRL_Tool__'\nSYST:ERR?\nSYST:ERR?\nSYST:ERR?\n",
       FormatError(-128, "timeout too high") + "\n" + kUnexpected + kNoError},
      {"the numbers past the sixteenth are refused, the others searched for",
       kSelectTool + "DIAG:VORN:SCAN? 1000,ALL,0" + ManyNumbers(16) + "\nSYST:ERR?\n" +
           "DIAG:VORN:SCAN? 1000,ALL,0" + ManyNumbers(17) + "\nSYST:ERR?\nSYST:ERR?\n",
       "\n" + kNoError + "\n" + FormatError(-224, "too many equipment numbers") + "\n" + kNoError},
      {"mode in lower case is refused",
       kSelectTool + "DIAG:VORN:SCAN? 1000,all,0\nSYST:ERR?\nSYST:ERR?\n",
       FormatError(-224) + "\n" + kUnexpected},
      {"unknown mode", kSelectTool + "DIAG:VORN:SCAN? 1000,NONE,0\nSYST:ERR?\n",
       FormatError(-224) + "\n"},
      {"count 0 and no numbers: an empty answer",
       kSelectTool + "DIAG:VORN:SCAN? 1000,ALL,0\nSYST:ERR?\n", "\n" + kNoError},
      {"groups and numbers read to the end",
       kSelectTool + "DIAG:VORN:SCAN? 1000,EXTERN,2,'LAB','OTHER','__TRL_Tool__','x'\nSYST:ERR?\n",
       "\n" + kNoError},
  };
  for (const ScanWireCase& c : cases) {
    CRunningServer server;
    ASSERT_TRUE(server.Started());
    CWireClient client;
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(c.input));
    EXPECT_EQ(client.Read(c.output.size()), c.output) << c.name;
  }
}

TEST(ScanCommands, GroupSetIsStoredForDiscovery) {
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  CWireClient client;
  ASSERT_TRUE(client.Send("DIAG:PROD:GRO 'LAB2'\nDIAG:PROD:GRO?\n"));
  EXPECT_EQ(client.ReadLine(), "\"LAB2\"");
  EXPECT_EQ(server.Server().GetDeviceGroup(), "LAB2");
}

}  // namespace
