#include "session/command_session.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/data_channel.h"
#include "platform/thread.h"
#include "service/install_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/running_server.h"
#include "tests/support/scripted_socket_api.h"
#include "tests/support/wire_client.h"

namespace {

using namespace std::string_literals;
using vorn_test::CLogCapture;
using vorn_test::CRunningServer;
using vorn_test::CScriptedSocketApi;
using vorn_test::CWireClient;

using vorn_test::kSelectTool;
const std::string kToolIdn = "Marrow&Keplin,VORN,__TRL_Tool__/000000,2.35.2\n";
using vorn_test::kNoError;

std::string Error(const std::string& entry) { return entry + "\n"; }
std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

CRunningServer::Options Devices() {
  CRunningServer::Options options;
  options.devices = {{"1234.5678.02", "100042"}, {"a'b", "1"}, {"a''b", "2"}};
  return options;
}

struct WireCase {
  const char* name;
  std::string input;
  std::string output;
  bool closes = false;
};

// What a tool sends, and every byte it gets back. A connection that stays
// open must still answer afterwards, with nothing left over.
const std::vector<WireCase>& WireCases() {
  static const std::vector<WireCase> cases = {
      {"query before selection is refused and answered by the queue",
       "*IDN?\nDIAG:PROD:MAC?\nSYST:ERR?\nSYST:ERR?\nSYST:ERR?\n",
       Error("-221,\"Settings conflict;No Device ID selected\"") +
           Error("-221,\"Settings conflict;No Device ID selected\"") + kNoError},
      {"lower-case header", kSelectTool + "*idn?\n", kToolIdn},
      {"space before the LF", kSelectTool + "*IDN? \nSYST:ERR?\n", kToolIdn + kNoError},
      {"CR before LF belongs to the header", kSelectTool + "*IDN?\r\nSYST:ERR?\n",
       "-113,\"Undefined header;*IDN?\r\"\n"},
      {"semicolon is a header byte", "*CLS;*IDN?\nSYST:ERR?\n",
       Error("-113,\"Undefined header;*CLS;*IDN?\"")},
      {"long form is undefined and the detail upper-cased", "diagnostic:product:id?\nSYST:ERR?\n",
       Error("-113,\"Undefined header;DIAGNOSTIC:PRODUCT:ID?\"")},
      {"empty line and lone comma: -113 without detail", "\n,\nSYST:ERR?\nSYST:ERR?\nSYST:ERR?\n",
       Error("-113,\"Undefined header\"") + Error("-113,\"Undefined header\"") + kNoError},
      {"query followed by junk is answered, then -115", kSelectTool + "*IDN? x y\nSYST:ERR?\n",
       kToolIdn + Error("-115,\"Unexpected number of parameters\"")},
      {"*CLS runs before its junk is refused", "FOO\n*CLS junk\nSYST:ERR?\nSYST:ERR?\n",
       Error("-115,\"Unexpected number of parameters\"") + kNoError},
      {"material/serial selects by material number",
       "DIAG:PROD:SEL '1234.5678.02/100042'\nDIAG:PROD:SEL?\n*IDN?\nDIAG:PROD:ID?\n",
       "\"1234.5678.02\"\nMarrow&Keplin,VORN,1234.5678.02/100042,2.35.2\n"
       "M&K,1234.5678.02/100042,2.35.2\n"},
      {"a 20-byte id is cut to 12 bytes",
       "DIAG:PROD:SEL '1234.5678.02ABCDEFGH'\nDIAG:PROD:SEL?\nSYST:ERR?\n",
       "\"1234.5678.02\"\n" + kNoError},
      {"doubled quote of the enclosing kind is one quote", "DIAG:PROD:SEL 'a''b'\nDIAG:PROD:SEL?\n",
       "\"a'b\"\n"},
      {"doubled quote of the other kind stays doubled", "DIAG:PROD:SEL \"a''b\"\nDIAG:PROD:SEL?\n",
       "\"a''b\"\n"},
      {"empty id", "DIAG:PROD:SEL ''\nSYST:ERR?\n",
       Error("-224,\"Illegal parameter value;Device not available\"")},
      {"unknown id drops the previous selection",
       kSelectTool + "DIAG:PROD:SEL 'nope'\nSYST:ERR?\n*IDN?\nSYST:ERR?\n",
       Error("-224,\"Illegal parameter value;Device not available\"") +
           Error("-221,\"Settings conflict;No Device ID selected\"")},
      {"the selected id again, other case and a blank, changes nothing",
       kSelectTool + "DIAG:PROD:SEL '__trl_tool__ '\nSYST:ERR?\nDIAG:PROD:SEL?\n",
       kNoError + "\"__TRL_Tool__\"\n"},
      {"the same device by material/serial with blanks changes nothing",
       "DIAG:PROD:SEL '1234.5678.02'\nDIAG:PROD:SEL ' 1234.5678.02 /1'\nDIAG:PROD:SEL?\n",
       "\"1234.5678.02\"\n"},
      {"catalogue lists the devices and the tool", "DIAG:PROD:CAT?\n",
       "\"1234.5678.02\",\"a'b\",\"a''b\",\"__TRL_Tool__\"\n"},
      {"transfer version, operating time and MAC address of the tool",
       kSelectTool + "DIAG:UPD:TRAN:VERS?\nDIAG:PROD:TIME:OPER?\nDIAG:PROD:MAC?\nSYST:ERR?\n"
                     "SYST:ERR?\n",
       "210,135\n\n\n" + Error("-200,\"Execution error;Operating Time not available\"") + kNoError},
      {"only 258 bytes are skipped after an unknown header",
       "FOO " + std::string(300, 'g') + "\nSYST:ERR?\nSYST:ERR?\nSYST:ERR?\n",
       Error("-113,\"Undefined header;FOO\"") +
           Error("-113,\"Undefined header;" + std::string(42, 'G') + "\"") + kNoError},
      {"queue overflow keeps the oldest and ends in -350",
       Repeat("FOO\n", 105) + Repeat("SYST:ERR?\n", 101),
       Repeat(Error("-113,\"Undefined header;FOO\""), 99) + Error("-350,\"Queue overflow\"") +
           kNoError},
      {"select without parameter closes the connection", "DIAG:PROD:SEL\nSYST:ERR?\n", "", true},
      {"malformed string closes the connection", "DIAG:PROD:SEL 'abc\nSYST:ERR?\n", "", true},
      {"unquoted id closes the connection", "DIAG:PROD:SEL abc\nSYST:ERR?\n", "", true},
      {"NUL where a header starts closes the connection", "\0*IDN?\nSYST:ERR?\n"s, "", true},
      {"header longer than the window closes the connection",
       std::string(300, 'A') + "\nSYST:ERR?\n", "", true},
      {"a window of spaces closes the connection", std::string(256, ' ') + "\nSYST:ERR?\n", "",
       true},
  };
  return cases;
}

class SessionOverTcp : public ::testing::Test {
 protected:
  CRunningServer server_{Devices()};
};

TEST_F(SessionOverTcp, WireInputGivesExactlyTheseBytes) {
  ASSERT_TRUE(server_.Started());
  for (const WireCase& c : WireCases()) {
    SCOPED_TRACE(c.name);
    CWireClient client;
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(c.input));
    EXPECT_EQ(client.Read(c.output.size()), c.output);
    if (c.closes) {
      EXPECT_TRUE(client.WaitClosed());
      continue;
    }
    ASSERT_TRUE(client.Send("*CLS\nSYST:ERR?\n"));
    bool ok = false;
    EXPECT_EQ(client.ReadLine(&ok), "0,\"No error\"");
    EXPECT_TRUE(ok) << "connection closed";
  }
}

TEST_F(SessionOverTcp, MessagesSentOneByteAtATimeAreAnsweredAlike) {
  CWireClient client;
  ASSERT_TRUE(client.Connected());
  const std::string input = kSelectTool + "*IDN?\nFOO bar\nSYST:ERR?\n";
  for (char c : input) ASSERT_TRUE(client.Send(std::string(1, c)));
  EXPECT_EQ(client.Read(kToolIdn.size()), kToolIdn);
  EXPECT_EQ(client.ReadLine(), "-113,\"Undefined header;FOO\"");
}

TEST_F(SessionOverTcp, NextConnectionStartsUnselectedWithAnEmptyQueue) {
  {
    CWireClient first;
    ASSERT_TRUE(first.Send(kSelectTool + "FOO\nBAR\n*IDN?\n"));
    EXPECT_EQ(first.Read(kToolIdn.size()), kToolIdn);
  }
  // The data channel hands finished session objects to later connections.
  for (int i = 0; i < 3; ++i) {
    CWireClient next;
    ASSERT_TRUE(next.Send("SYST:ERR?\n*IDN?\nSYST:ERR?\nDIAG:PROD:SEL FOO\n"));
    EXPECT_EQ(next.ReadLine(), "0,\"No error\"");
    EXPECT_EQ(next.ReadLine(), "-221,\"Settings conflict;No Device ID selected\"");
    EXPECT_TRUE(next.WaitClosed());
  }
}

TEST_F(SessionOverTcp, StopFromAnotherThreadEndsAnIdleSession) {
  CLogCapture log;
  CWireClient client;
  ASSERT_TRUE(client.Send(kSelectTool + "*IDN?\n"));
  EXPECT_EQ(client.Read(kToolIdn.size()), kToolIdn);
  vorn_test::RunWithin("closing the sessions", 10000,
                       [&] { EXPECT_TRUE(server_.Server().CloseSessions()); });
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_FALSE(server_.Server().HasRunningSessions());
}

// A tool's messages: queries, errors of every kind, junk behind a command
// that reads like a block, a line longer than the skip, selections, and at
// the end a missing parameter, which closes the connection.
std::vector<std::string> MixedMessages() {
  return {"*IDN?\n",
          "FOO bar\n",
          kSelectTool,
          "*IDN?\n",
          "*idn? x\n",
          "SYST:ERR?\n",
          "*CLS #15ab\ncd\n",
          "SYST:ERR?\n",
          "SYST:ERR?\n",
          "DIAG:PROD:CAT?\n",
          "FOO " + std::string(300, 'g') + "\n",
          "SYST:ERR?\n",
          "SYST:ERR?\n",
          "SYST:ERR?\n",
          "DIAG:PROD:SEL 'a''b'\n",
          "DIAG:PROD:SEL?\n",
          "*IDN?\n",
          "DIAG:PROD:SEL\n",
          "*IDN?\n"};
}

// Everything the connection gets until the session closes it, the input
// going out in the given writes with a pause after each.
std::string AnswersTo(const std::vector<std::string>& writes) {
  CWireClient client;
  EXPECT_TRUE(client.Connected());
  for (const std::string& w : writes) {
    EXPECT_TRUE(client.Send(w));
    if (writes.size() > 1) platform::SleepMs(3);
  }
  std::string answers = client.Read(1 << 20);
  EXPECT_TRUE(client.WaitClosed());
  return answers;
}

TEST_F(SessionOverTcp, PipelinedRequestsGetTheSameBytesAsOneAtATime) {
  const std::vector<std::string> messages = MixedMessages();
  std::string all;
  for (const std::string& m : messages) all += m;

  const std::string oneAtATime = AnswersTo(messages);
  EXPECT_EQ(oneAtATime.rfind(kToolIdn + kToolIdn +
                                 Error("-221,\"Settings conflict;No Device ID selected\"") +
                                 Error("-115,\"Unexpected number of parameters\"") +
                                 Error("-113,\"Undefined header;CD\"") +
                                 "\"1234.5678.02\",\"a'b\",\"a''b\",\"__TRL_Tool__\"\n" +
                                 Error("-113,\"Undefined header;FOO\"") +
                                 Error("-113,\"Undefined header;" + std::string(42, 'G') + "\"") +
                                 kNoError + "\"a'b\"\nMarrow&Keplin,",
                             0),
            0u)
      << oneAtATime;
  EXPECT_EQ(AnswersTo({all}), oneAtATime);
  // Cut anywhere: inside headers, inside the long line, between the bytes
  // of one message.
  std::mt19937 random(7);
  for (int round = 0; round < 3; ++round) {
    std::vector<std::string> writes;
    for (std::size_t at = 0; at < all.size();) {
      const std::size_t size = 1 + random() % 40;
      writes.push_back(all.substr(at, size));
      at += size;
    }
    EXPECT_EQ(AnswersTo(writes), oneAtATime) << "round " << round;
  }
}

// The server's handle of the connection, as its traffic lines show it.
std::string HandleInLog(const CLogCapture& log, const std::string& traffic) {
  for (const std::string& line : log.Lines()) {
    const auto at = line.find("] >> " + traffic);
    if (line.rfind("VORN: Socket[", 0) == 0 && at != std::string::npos) {
      return line.substr(13, at - 13);
    }
  }
  return {};
}

TEST_F(SessionOverTcp, LogShowsTrafficErrorsAndTheEnd) {
  CLogCapture log;
  CWireClient client;
  ASSERT_TRUE(client.Send("*IDN?\nFOO\n" + kSelectTool + "*CLS junk\n*CLS \xff\nSYST:ERR?\n"));
  EXPECT_EQ(client.ReadLine(), "-115,\"Unexpected number of parameters\"");
  const std::string h = HandleInLog(log, "*IDN?\\n");
  ASSERT_FALSE(h.empty());
  const std::string prefix = "VORN: Socket[" + h + "]";
  for (const std::string& line : {
           prefix + " >> *IDN?\\n\n",
           prefix + ": Error: No Device ID selected. Command '*IDN?' not allowed yet!\n",
           prefix + ": Error: invalid command 'FOO'!\n",
           prefix + " >> DIAG:PROD:SEL '__TRL_Tool__'\\n\n",
           prefix + ": Error: unexpected parameter or invalid program terminator '0x6A'!\n",
           prefix + ": Error: unexpected parameter or invalid program terminator '0xFFFFFFFF'!\n",
           prefix + " << -115,\"Unexpected number of parameters\"\\n\n",
       }) {
    EXPECT_TRUE(log.Contains(line)) << line;
  }
  client.Send(",\n" + std::string(300, 'A') + "\n");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(log.WaitFor(prefix + ": socket normally closed.\n"));
  EXPECT_TRUE(
      log.Contains(prefix + ": Data channel normally closed (or due to unexpected data).\n"));
}

// Every line a session writes, in order, when 50 sessions run at once.
TEST(SessionLog, EveryLineInOrderUnderFiftyConcurrentSessions) {
  CRunningServer server;
  ASSERT_TRUE(server.Started());
  CLogCapture log;
  constexpr int kSessions = 50;
  const std::string pipelined = "*IDN?\nFOO\n" + kSelectTool + "*IDN?\n";
  std::vector<std::unique_ptr<CWireClient>> clients;
  for (int i = 0; i < kSessions; ++i) {
    clients.push_back(std::make_unique<CWireClient>());
    ASSERT_TRUE(clients.back()->Connected());
  }
  // Every connection holds its own handle before any ends, so the log tells
  // the sessions apart.
  ASSERT_TRUE(vorn_test::WaitUntil(
      [&] { return server.Server().DataChannel().SessionCount() == kSessions; }));
  std::vector<std::thread> threads;
  for (auto& client : clients) {
    threads.emplace_back([&, c = client.get()] {
      for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(c->Send(pipelined));
        // Once the tool is selected, the first *IDN? of a round is answered too.
        for (int answer = round == 0 ? 1 : 2; answer > 0; --answer) {
          EXPECT_EQ(c->ReadLine(), kToolIdn.substr(0, kToolIdn.size() - 1));
        }
        EXPECT_TRUE(c->Send("*CLS x\n"));
      }
      EXPECT_TRUE(c->Send("SYST:ERR?\n"));
      EXPECT_EQ(c->ReadLine(), "-115,\"Unexpected number of parameters\"");
      EXPECT_TRUE(c->Send(std::string(300, 'A') + "\n"));
      EXPECT_TRUE(c->WaitClosed());
    });
  }
  for (auto& t : threads) t.join();

  // Each connection's lines, by the handle they name.
  std::map<std::string, std::vector<std::string>> bySocket;
  const std::string socketPrefix = "VORN: Socket[";
  ASSERT_TRUE(vorn_test::WaitUntil([&] {
    std::size_t closed = 0;
    for (const auto& line : log.Lines())
      closed += line.find("socket normally closed.") != line.npos;
    return closed == kSessions;
  }));
  for (const std::string& line : log.Lines()) {
    if (line.rfind(socketPrefix, 0) != 0) continue;
    const std::size_t end = line.find(']');
    bySocket[line.substr(socketPrefix.size(), end - socketPrefix.size())].push_back(
        line.substr(end + 1));
  }
  std::vector<std::string> expected;
  for (int round = 0; round < 3; ++round) {
    const std::string idn = " << " + kToolIdn.substr(0, kToolIdn.size() - 1) + "\\n\n";
    for (const std::string& line : std::vector<std::string>{
             " >> *IDN?\\n\n",
             round == 0 ? ": Error: No Device ID selected. Command '*IDN?' not allowed yet!\n"
                        : idn,
             " >> FOO\\n\n",
             ": Error: invalid command 'FOO'!\n",
             " >> DIAG:PROD:SEL '__TRL_Tool__'\\n\n",
             " >> *IDN?\\n\n",
             idn,
             " >> *CLS x\\n\n",
             ": Error: unexpected parameter or invalid program terminator '0x78'!\n",
         }) {
      expected.push_back(line);
    }
  }
  expected.push_back(" >> SYST:ERR?\\n\n");
  expected.push_back(" << -115,\"Unexpected number of parameters\"\\n\n");
  expected.push_back(" >> " + std::string(256, 'A') + "\n");
  expected.push_back(": Data channel normally closed (or due to unexpected data).\n");
  expected.push_back(": socket normally closed.\n");
  ASSERT_EQ(bySocket.size(), static_cast<std::size_t>(kSessions));
  for (const auto& [handle, lines] : bySocket) EXPECT_EQ(lines, expected) << "Socket[" << handle;
}

TEST(SessionLog, LongResponseIsSentWholeButLoggedCut) {
  CRunningServer::Options options;
  for (int i = 0; i < 30; ++i)
    options.devices.push_back({"1234.5678." + std::to_string(10 + i), "1"});
  CRunningServer server(options);
  ASSERT_TRUE(server.Started());
  std::string expected;
  for (const auto& device : options.devices) expected += "\"" + device.first + "\",";
  expected += "\"__TRL_Tool__\"";
  ASSERT_GT(expected.size(), 250u);

  CLogCapture log;
  CWireClient client;
  ASSERT_TRUE(client.Send("DIAG:PROD:CAT?\n"));
  EXPECT_EQ(client.ReadLine(), expected);
  const std::string h = HandleInLog(log, "DIAG:PROD:CAT?\\n");
  ASSERT_FALSE(h.empty());
  EXPECT_TRUE(log.Contains("VORN: Socket[" + h + "] << " + expected.substr(0, 250) + "\n"));
}

// A session over a scripted peer, run to its end on the test's thread.
class SessionOverScript : public ::testing::Test {
 protected:
  std::string RunSession(const std::string& input, const std::vector<std::size_t>& pieces = {}) {
    sockets_.Reset();
    sockets_.Feed(input, pieces);
    session_.SetSocket(CScriptedSocketApi::kHandle);
    session_.Run();
    return sockets_.Sent();
  }

  CScriptedSocketApi sockets_;
  CRunningServer server_{[this] {
    CRunningServer::Options o;
    o.sockets = &sockets_;
    o.start = false;
    return o;
  }()};
  CCommandSession session_{&server_.Server()};
};

TEST_F(SessionOverScript, AnswersDoNotDependOnHowTheInputWasCut) {
  const std::string input = kSelectTool + "*idn? \nFOO " + std::string(300, 'x') +
                            "\nDIAG:PROD:SEL 'a''b'\nSYST:ERR?\nSYST:ERR?\nSYST:ERR?\n*CLS x\n"
                            "SYST:ERR?\n";
  const std::string whole = RunSession(input);
  EXPECT_EQ(whole.substr(0, kToolIdn.size()), kToolIdn);
  for (std::size_t piece : {1, 2, 5, 100, 257}) {
    EXPECT_EQ(RunSession(input, {piece}), whole) << piece;
  }
  EXPECT_TRUE(sockets_.Closed());
}

TEST_F(SessionOverScript, ReceiveFailureIsLoggedWithItsErrorNumber) {
  CLogCapture log;
  sockets_.Reset();
  sockets_.Feed("SYST:ERR?\n*IDN?\n");
  sockets_.FailRecv(2, platform::kWsaEconnreset);
  session_.SetSocket(CScriptedSocketApi::kHandle);
  session_.Run();
  EXPECT_EQ(sockets_.Sent(), kNoError);
  EXPECT_TRUE(log.Contains("VORN: Socket[1F4]: Error: Data channel closed with error 10054\n"));
  EXPECT_TRUE(log.Contains("VORN: Socket[1F4]: socket normally closed.\n"));
  EXPECT_TRUE(sockets_.Closed());
}

TEST_F(SessionOverScript, PipelinedAnswersGoOutInOneSendBeforeTheSessionWaits) {
  const std::string batch = Repeat("*IDN?\n", 50);
  // One receive brings everything: one send, when the input has run dry.
  EXPECT_EQ(RunSession(kSelectTool + batch + batch + "SYST:ERR?\n"),
            Repeat(kToolIdn, 100) + kNoError);
  EXPECT_EQ(sockets_.SendCalls(), 1);
  // Two receives: the first batch goes out before the session waits for the
  // second.
  sockets_.Reset();
  sockets_.FeedChunk(kSelectTool + batch);
  sockets_.FeedChunk(batch + "SYST:ERR?\n");
  session_.SetSocket(CScriptedSocketApi::kHandle);
  session_.Run();
  EXPECT_EQ(sockets_.Sent(), Repeat(kToolIdn, 100) + kNoError);
  EXPECT_EQ(sockets_.SendCalls(), 2);
  // Answers waiting when the session ends on bad input still go out.
  EXPECT_EQ(RunSession(kSelectTool + "*IDN?\nDIAG:PROD:SEL\n*IDN?\n"), kToolIdn);
}

// Every query that answers without reaching another computer, once after
// the other in one receive: the answers come in the order of the queries,
// byte for byte as when each query arrives on its own.
TEST_F(SessionOverScript, EveryAnswerOfAPipelineKeepsItsPlace) {
  const std::vector<std::string> queries = {
      "*IDN?\n",
      "DIAG:UPD:CHAP:CHAL?\n",
      "*IDN?\n",
      "DIAG:PROD:ID?\n",
      "DIAG:VORN:ID?\n",
      "DIAG:VORN:HOST?\n",
      "DIAG:VORN:CONN:MULT? 'a','b'\n",
      "DIAG:PROD:CAT?\n",
      "DIAG:PROD:GRO?\n",
      "DIAG:PROD:SEL?\n",
      "DIAG:PROD:TIME:OPER?\n",
      "DIAG:PROD:MAC?\n",
      "DIAG:UPD:TRAN:VERS?\n",
      "DIAG:UPD:PROG?\n",
      "DIAG:UPD:CHAP:CHAL?\n",
      "SYST:ERR?\n",
      "SYST:ERR?\n",
      "SYST:ERR?\n",
  };
  sockets_.Reset();
  sockets_.FeedChunk(kSelectTool);
  for (const std::string& q : queries) sockets_.FeedChunk(q);
  session_.SetSocket(CScriptedSocketApi::kHandle);
  session_.Run();
  const std::string oneAtATime = sockets_.Sent();
  const std::string challenge = "#3128" + std::string(128, '\0') + "\n";
  ASSERT_EQ(oneAtATime.rfind(kToolIdn + challenge + kToolIdn, 0), 0u) << oneAtATime;

  std::string all = kSelectTool;
  for (const std::string& q : queries) all += q;
  CLogCapture log;
  EXPECT_EQ(RunSession(all), oneAtATime);
  EXPECT_EQ(sockets_.SendCalls(), 1);
  // The block answer shows in the traffic log like every other answer.
  std::string shown = "#3128";
  for (int i = 0; i < 128; ++i) shown += "\\0";
  EXPECT_TRUE(log.Contains("VORN: Socket[1F4] << " + shown + "\\n\n"));
}

TEST_F(SessionOverScript, FailedSendOfWaitingAnswersEndsTheSessionWithItsError) {
  CLogCapture log;
  sockets_.Reset();
  sockets_.Feed("SYST:ERR?\n*CLS\n");
  sockets_.FeedChunk("SYST:ERR?\n");
  sockets_.FailSend(1, platform::kWsaEconnreset);
  session_.SetSocket(CScriptedSocketApi::kHandle);
  session_.Run();
  EXPECT_EQ(sockets_.Sent(), "");
  // The session ended at the failed send, before the next receive.
  EXPECT_EQ(sockets_.PendingBytes(), 10u);
  EXPECT_TRUE(log.Contains("VORN: Socket[1F4]: Error: Data channel closed with error 10054\n"));
  EXPECT_TRUE(log.Contains("VORN: Socket[1F4]: socket normally closed.\n"));
}

TEST_F(SessionOverScript, MissingParameterEndsTheSessionAndDiscardsItsError) {
  EXPECT_EQ(RunSession("FOO\nDIAG:PROD:SEL\nSYST:ERR?\n"), "");
  // The next connection on the same object starts with an empty queue.
  EXPECT_EQ(RunSession("SYST:ERR?\n"), kNoError);
}

}  // namespace
