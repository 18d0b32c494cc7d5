#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <thread>

#include "client/error.h"
#include "client/socket_session.h"
#include "install/crc16.h"
#include "install/package_description.h"
#include "tests/support/running_server.h"
#include "tests/support/scripted_server.h"

namespace {

using vorn_test::CScriptedServer;

std::string ErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Fernway::CError& error) {
    return error.Message();
  }
  return "";
}

// A server that knows the update commands: every check answers "no error",
// and each progress query takes the next scripted answer.
struct UpdateServer {
  explicit UpdateServer(std::vector<std::string> progress = {"100,SUCC,\"\"\n"})
      : progress_(std::move(progress)),
        server([this](const std::string& message) -> std::optional<std::string> {
          if (message == "DIAG:UPD:PROG?") {
            const std::string answer =
                progress_[next_ < progress_.size() ? next_ : progress_.size() - 1];
            ++next_;
            return answer;
          }
          return CScriptedServer::IdentityAnswer(message);
        }) {}

  std::vector<std::string> progress_;
  std::size_t next_ = 0;
  CScriptedServer server;
};

std::vector<std::string> DataBlocks(const std::vector<std::string>& messages) {
  std::vector<std::string> blocks;
  bool data = false;
  for (const std::string& message : messages) {
    if (message == "DIAG:UPD:TRAN:OPEN DATA") data = true;
    if (message == "DIAG:UPD:TRAN:CLOSE") data = false;
    if (data && message.rfind("DIAG:UPD:TRAN:DATA ", 0) == 0) blocks.push_back(message);
  }
  return blocks;
}

std::string BlockHeader(std::uint32_t offset, const std::string& bytes) {
  const std::string length = std::to_string(bytes.size());
  return "DIAG:UPD:TRAN:DATA " + std::to_string(offset) + "," +
         std::to_string(Crc16X25(bytes.data(), bytes.size())) + ",#" +
         std::to_string(length.size()) + length;
}

class ClientSessionWire : public ::testing::Test {
 protected:
  void Connect(CScriptedServer& server) {
    session.SetTimeout(2000);
    session.Connect("127.0.0.1", server.Port());
  }
  bool Install(const std::string& data, std::uint32_t chunkSize = 65536) {
    description.ChunkSize = chunkSize;
    std::istringstream in(data);
    return session.Install(description, in, static_cast<std::uint32_t>(data.size()));
  }

  CPackageDescription description;
  CSocketSession session;
};

TEST_F(ClientSessionWire, FiveByteBlockIsAnnouncedWithItsCountAndEndsInLf) {
  UpdateServer update;
  Connect(update.server);
  ASSERT_TRUE(Install("abcde"));
  const std::string expected =
      "DIAG:UPD:TRAN:DATA 0," + std::to_string(Crc16X25("abcde", 5)) + ",#15abcde\n";
  EXPECT_NE(update.server.Received().find(expected), std::string::npos);
  EXPECT_EQ(DataBlocks(update.server.Messages()),
            std::vector<std::string>{BlockHeader(0, "abcde") + "abcde"});
}

TEST_F(ClientSessionWire, FullBlockCarriesFiveDigitCountAndNoEmptyLastBlock) {
  UpdateServer update;
  Connect(update.server);
  std::string data(131072, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + (i >> 9));
  ASSERT_TRUE(Install(data));
  const std::vector<std::string> blocks = DataBlocks(update.server.Messages());
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0], BlockHeader(0, data.substr(0, 65536)) + data.substr(0, 65536));
  EXPECT_EQ(blocks[1], BlockHeader(65536, data.substr(65536)) + data.substr(65536));
  EXPECT_NE(blocks[0].find(",#565536"), std::string::npos);
}

TEST_F(ClientSessionWire, EmptyDataFileSendsNoDataTransferButTheDescription) {
  UpdateServer update;
  Connect(update.server);
  ASSERT_TRUE(Install(""));
  const std::vector<std::string> messages = update.server.Messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "DIAG:UPD:TRAN:OPEN DATA"), 0);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "DIAG:UPD:TRAN:OPEN DESCR"), 1);
}

// The road of one installation, message by message.
TEST_F(ClientSessionWire, InstallSendsTheSpecifiedSequence) {
  UpdateServer update({"10,INST,\"Copying\"\n", "100,SUCC,\"\"\n"});
  Connect(update.server);
  std::ostringstream serialised;
  description.WriteTo(serialised);
  ASSERT_TRUE(Install("xyz"));
  const std::vector<std::string> expected = {"*CLS",
                                             "*CLS",
                                             "DIAG:UPD:TRAN:CLOSE",
                                             "SYST:ERR?",
                                             "*IDN?",
                                             "DIAG:PROD:ID?",
                                             "DIAG:UPD:TRAN:VERS?",
                                             "DIAG:PROD:MAC?",
                                             "DIAG:VORN:ID?",
                                             "DIAG:VORN:HOST?",
                                             "DIAG:UPD:TRAN:OPEN DESCR",
                                             "SYST:ERR?",
                                             BlockHeader(0, serialised.str()) + serialised.str(),
                                             "SYST:ERR?",
                                             "DIAG:UPD:TRAN:CLOSE",
                                             "SYST:ERR?",
                                             "DIAG:UPD:TRAN:OPEN DATA",
                                             "SYST:ERR?",
                                             BlockHeader(0, "xyz") + "xyz",
                                             "SYST:ERR?",
                                             "DIAG:UPD:TRAN:CLOSE",
                                             "SYST:ERR?",
                                             "DIAG:UPD:INST ''",
                                             "DIAG:UPD:PROG?",
                                             "DIAG:UPD:PROG?"};
  EXPECT_EQ(update.server.Messages(), expected);
}

TEST_F(ClientSessionWire, FinalStateDecidesTheResult) {
  {
    UpdateServer update({"100,BOOT,\"\"\n"});
    CSocketSession boot;
    boot.Connect("127.0.0.1", update.server.Port());
    std::istringstream none;
    EXPECT_TRUE(boot.Install(description, none, 0));
  }
  {
    UpdateServer update({"100,ERR,\"Windows Installer error no. 1603\"\n"});
    CSocketSession failing;
    failing.Connect("127.0.0.1", update.server.Port());
    std::istringstream none;
    EXPECT_FALSE(failing.Install(description, none, 0));
  }
}

TEST_F(ClientSessionWire, ServerErrorDuringTransferIsThrownVerbatim) {
  int checks = 0;
  CScriptedServer server([&](const std::string& message) -> std::optional<std::string> {
    if (message == "SYST:ERR?" && ++checks == 3)
      return std::string("-200,\"Execution error;invalid checksum\"\n");
    return CScriptedServer::IdentityAnswer(message);
  });
  Connect(server);
  EXPECT_EQ(ErrorOf([&] { Install("data"); }), "-200,\"Execution error;invalid checksum\"\n");
  EXPECT_EQ(session.GetTimeout(), 2000u);  // restored
}

// A description whose chunk size is 0 used to send empty blocks for ever;
// one far beyond the server's limit overflowed the block buffer.
TEST_F(ClientSessionWire, ChunkSizeIsKeptWithinWhatTheServerTakes) {
  const struct {
    std::uint32_t chunkSize;
    std::size_t firstBlock;
  } cases[] = {{0, 65536}, {0xFFFFFFFFu, 102400}, {102401, 102400}, {1000, 1000}};
  for (const auto& c : cases) {
    UpdateServer update;
    CSocketSession each;
    each.Connect("127.0.0.1", update.server.Port());
    description.ChunkSize = c.chunkSize;
    std::istringstream in(std::string(150000, 'q'));
    ASSERT_TRUE(each.Install(description, in, 150000)) << c.chunkSize;
    const std::vector<std::string> blocks = DataBlocks(update.server.Messages());
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks[0],
              BlockHeader(0, std::string(c.firstBlock, 'q')) + std::string(c.firstBlock, 'q'))
        << c.chunkSize;
  }
}

TEST_F(ClientSessionWire, ShortDataStreamFailsWithTheReadError) {
  UpdateServer update;
  Connect(update.server);
  std::istringstream in("abc");
  EXPECT_EQ(ErrorOf([&] { session.Install(description, in, 10); }),
            "Could not read from input file");
}

// The next block is read while the server checks the one before it; a read
// that fails is still reported only after that verdict, so a server's error
// comes first.
TEST_F(ClientSessionWire, ReadFailureOfTheNextBlockComesAfterTheVerdictBeforeIt) {
  const std::string serverError = "-200,\"Execution error;invalid checksum\"\n";
  const struct {
    bool serverFails;
    std::string error;
  } cases[] = {{false, "Could not read from input file"}, {true, serverError}};
  for (const auto& c : cases) {
    int checks = 0;
    // The sixth error query is the verdict on the first data block.
    CScriptedServer server([&](const std::string& message) -> std::optional<std::string> {
      if (message == "SYST:ERR?" && ++checks == 6 && c.serverFails) return serverError;
      return CScriptedServer::IdentityAnswer(message);
    });
    CSocketSession each;
    each.SetTimeout(2000);
    each.Connect("127.0.0.1", server.Port());
    description.ChunkSize = 1000;
    std::istringstream in(std::string(1500, 'd'));
    EXPECT_EQ(ErrorOf([&] { each.Install(description, in, 2000); }), c.error) << c.serverFails;
    EXPECT_EQ(DataBlocks(server.Messages()).size(), 1u) << c.serverFails;
  }
}

void AbortAfterFirstBlock(std::uintptr_t context, int percent, int state, const char* text) {
  auto* session = reinterpret_cast<CClientSession*>(context);
  if (state == CClientSession::kTran && std::string(text) == "Binary" && percent > 0) {
    session->RequestAbort();
  }
}

TEST_F(ClientSessionWire, AbortStopsBetweenBlocksWithoutClosingOrInstalling) {
  UpdateServer update;
  Connect(update.server);
  session.SetProgressCallback(&AbortAfterFirstBlock, reinterpret_cast<std::uintptr_t>(
                                                         static_cast<CClientSession*>(&session)));
  EXPECT_FALSE(Install(std::string(3000, 'a'), 1000));
  // The block under way when the request came still goes out, unchecked.
  ASSERT_TRUE(
      vorn_test::WaitUntil([&] { return DataBlocks(update.server.Messages()).size() == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::vector<std::string> messages = update.server.Messages();
  EXPECT_EQ(DataBlocks(messages).size(), 2u);
  EXPECT_EQ(messages.back(), DataBlocks(messages).back());
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "DIAG:UPD:INST ''"), 0);
}

struct Report {
  int percent;
  int state;
  std::string text;
};

void Record(std::uintptr_t context, int percent, int state, const char* text) {
  reinterpret_cast<std::vector<Report>*>(context)->push_back(Report{percent, state, text});
}

TEST_F(ClientSessionWire, CallbackSeesInitializeBinaryPercentsAndTheInstallation) {
  UpdateServer update({"50,inst,\"Copying \"\"a\"\" file\"\n", "100,SUCC,\"done\"\n"});
  Connect(update.server);
  std::vector<Report> reports;
  session.SetProgressCallback(&Record, reinterpret_cast<std::uintptr_t>(&reports));
  ASSERT_TRUE(Install(std::string(4000, 'b'), 1000));
  std::vector<std::pair<int, std::string>> seen;
  for (const Report& r : reports)
    seen.emplace_back(r.percent, std::to_string(r.state) + " " + r.text);
  const std::vector<std::pair<int, std::string>> expected = {{0, "0 Initialize"},
                                                             {0, "0 Binary"},
                                                             {25, "0 Binary"},
                                                             {50, "0 Binary"},
                                                             {75, "0 Binary"},
                                                             {100, "0 Binary"},
                                                             {50, "2 Copying \"a\" file"},
                                                             {100, "4 done"}};
  EXPECT_EQ(seen, expected);
}

TEST_F(ClientSessionWire, TransferOnlySendsNoInstallAndPollsNothing) {
  UpdateServer update;
  Connect(update.server);
  std::istringstream in("payload");
  EXPECT_TRUE(session.TransferOnly(description, in, 7));
  const std::vector<std::string> messages = update.server.Messages();
  EXPECT_EQ(messages.back(), "SYST:ERR?");
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "DIAG:UPD:INST ''"), 0);
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "DIAG:UPD:PROG?"), 0);
}

// A connection lost during the transfer reaches the caller as a socket
// error, so that it can tell it from a package the server refused.
TEST_F(ClientSessionWire, LostConnectionDuringTheTransferStaysASocketError) {
  const struct {
    const char* name;
    bool install;
  } cases[] = {{"Install", true}, {"TransferOnly", false}};
  for (const auto& c : cases) {
    std::unique_ptr<CScriptedServer> server;
    server = std::make_unique<CScriptedServer>(
        [&](const std::string& message) -> std::optional<std::string> {
          if (message == "DIAG:UPD:TRAN:OPEN DATA") {
            server->Disconnect();
            return std::nullopt;
          }
          return CScriptedServer::IdentityAnswer(message);
        });
    CSocketSession each;
    each.SetTimeout(2000);
    each.Connect("127.0.0.1", server->Port());
    std::istringstream in("payload");
    try {
      if (c.install) {
        each.Install(description, in, 7);
      } else {
        each.TransferOnly(description, in, 7);
      }
      ADD_FAILURE() << c.name << " did not fail";
    } catch (const Fernway::CSocketError&) {
    } catch (const Fernway::CError& error) {
      ADD_FAILURE() << c.name << ": not a socket error: " << error.Message();
    }
    EXPECT_EQ(each.GetTimeout(), 2000u) << c.name;
  }
}

// A server that reports progress for ever is given up on at the deadline,
// although it answers every poll at once.
TEST_F(ClientSessionWire, InstallationThatNeverEndsIsGivenUpOnAtTheDeadline) {
  UpdateServer update({"50,RUN,\"\"\n"});
  Connect(update.server);
  session.SetInstallDeadline(2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(Install("data"), Fernway::CDeadlineError);
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 2.0);
  EXPECT_LT(seconds, 30.0);
  const std::vector<std::string> messages = update.server.Messages();
  EXPECT_GE(std::count(messages.begin(), messages.end(), "DIAG:UPD:PROG?"), 1);
  // A deadline that leaves time for the result changes nothing.
  UpdateServer finishing({"50,RUN,\"\"\n", "100,SUCC,\"\"\n"});
  CSocketSession patient;
  patient.Connect("127.0.0.1", finishing.server.Port());
  patient.SetInstallDeadline(60);
  std::istringstream none;
  EXPECT_TRUE(patient.Install(description, none, 0));
}

TEST_F(ClientSessionWire, InstallFileNamesAFileItCannotOpen) {
  UpdateServer update;
  Connect(update.server);
  EXPECT_EQ(ErrorOf([&] { session.InstallFile(description, std::string("/nonexistent/x.bin")); }),
            "Could not open file '/nonexistent/x.bin'");
}

TEST_F(ClientSessionWire, ClosedChannelIsRefusedBeforeAnythingIsSent) {
  EXPECT_EQ(ErrorOf([&] { session.Identify(); }), "Installation Error: Channel not open!");
  std::istringstream none;
  EXPECT_EQ(ErrorOf([&] { session.Install(description, none, 0); }),
            "Transfer Error: Channel not open!");
}

TEST_F(ClientSessionWire, IdentifyAgainstASilentPeerReturnsAfterOneTimeOut) {
  CScriptedServer silent([](const std::string&) { return std::nullopt; });
  session.SetTimeout(200);  // raised to the 1000 ms floor for Identify
  session.Connect("127.0.0.1", silent.Port());
  const auto start = std::chrono::steady_clock::now();
  session.Identify();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  EXPECT_GE(elapsed, 950);
  EXPECT_LT(elapsed, 3000);
  EXPECT_FALSE(session.IsIdentified());
  EXPECT_EQ(session.GetTimeout(), 200u);
  EXPECT_EQ(silent.Messages(), std::vector<std::string>{"*IDN?"});
  for (const auto& accessor : std::vector<std::function<void()>>{
           [&] { session.ProtocolVersion(); }, [&] { session.DescriptionVersion(); },
           [&] { session.DeviceVersion(); }, [&] { session.MaterialNumber(); },
           [&] { session.SerialText(); }, [&] { session.IdnSerialText(); },
           [&] { session.SerialNumber(); }, [&] { session.Model(); }, [&] { session.VornId(); },
           [&] { session.Host(); }, [&] { session.MacAddress(); }}) {
    EXPECT_EQ(ErrorOf(accessor), "This is not a M&K device");
  }
}

TEST_F(ClientSessionWire, Protocol150AsksForTheMacButNotTheVornIdOrHost) {
  CScriptedServer server([](const std::string& message) -> std::optional<std::string> {
    if (message == "DIAG:UPD:TRAN:VERS?") return std::string("150,120\n");
    return CScriptedServer::IdentityAnswer(message);
  });
  Connect(server);
  session.Identify();
  ASSERT_TRUE(session.IsIdentified());
  EXPECT_EQ(server.Messages(), (std::vector<std::string>{"*IDN?", "DIAG:PROD:ID?",
                                                         "DIAG:UPD:TRAN:VERS?", "DIAG:PROD:MAC?"}));
  EXPECT_EQ(session.MacAddress(), "00-11-22-33-44-55");
  EXPECT_EQ(session.VornId(), "");
  EXPECT_FALSE(session.IsVornCapable());
}

TEST_F(ClientSessionWire, IdentifiedServerAnswersEveryAccessor) {
  CScriptedServer server(&CScriptedServer::IdentityAnswer);
  Connect(server);
  session.Identify();
  ASSERT_TRUE(session.IsIdentified());
  EXPECT_EQ(session.Model(), "VORN");
  EXPECT_EQ(session.MaterialNumber(), "1234.5678.02");
  EXPECT_EQ(session.SerialText(), "100042");
  EXPECT_EQ(session.SerialNumber(), "100042");
  EXPECT_EQ(session.DeviceVersion(), "1.20");
  EXPECT_EQ(session.ProtocolVersion(), 210);
  EXPECT_EQ(session.DescriptionVersion(), 135);
  EXPECT_EQ(session.VornId(), "\"{0C1B3F0E-5D1A-4C33-9A51-7E1F2A3B4C5D}\"");
  EXPECT_EQ(session.Host(), "lab-pc");
  EXPECT_EQ(session.PeerAddress().port, server.Port());
}

TEST_F(ClientSessionWire, SerialNumberRules) {
  const struct {
    const char* idn;
    const char* productId;
    const char* expected;
  } cases[] = {
      {"Marrow&Keplin,VORN,x/100042,1\n", "M&K,x/12345,1\n", "012345"},  // product id wins
      {"Marrow&Keplin,VORN,x/12345,1\n", "M&K,x/0,1\n", "000000"},       // idn needs 6 digits
      {"Marrow&Keplin,VORN,x/654321,1\n", "M&K,x/0,1\n", "654321"},
      {"Marrow&Keplin,VORN,x/654321,1\n", "M&K,no serial\n", "654321"},  // "undefined" is 0
      {"Marrow&Keplin,VORN,none,1\n", "M&K,x/abc,1\n", "000000"},        // nothing usable
      {"Marrow&Keplin,VORN,x/1,1\n", "M&K,x/1000000,1\n", "000000"},     // too large
      {"Marrow&Keplin,VORN,x/1,1\n", "M&K,x/-5,1\n", "000000"},          // negative
  };
  for (const auto& c : cases) {
    CScriptedServer server([&](const std::string& message) -> std::optional<std::string> {
      if (message == "*IDN?") return std::string(c.idn);
      if (message == "DIAG:PROD:ID?") return std::string(c.productId);
      return CScriptedServer::IdentityAnswer(message);
    });
    CSocketSession each;
    each.Connect("127.0.0.1", server.Port());
    each.Identify();
    EXPECT_EQ(each.SerialNumber(), c.expected) << c.idn << " | " << c.productId;
  }
}

TEST_F(ClientSessionWire, SelectQuotesUnlessTheTextIsQuotedAlready) {
  CScriptedServer server(&CScriptedServer::IdentityAnswer);
  Connect(server);
  session.Select("MyDevice");
  session.Select("\"1234.5678.02\"");
  session.Select("'tool'");
  session.CheckError();
  EXPECT_EQ(server.Messages(), (std::vector<std::string>{"DIAG:PROD:SEL \"MyDevice\"",
                                                         "DIAG:PROD:SEL \"1234.5678.02\"",
                                                         "DIAG:PROD:SEL 'tool'", "SYST:ERR?"}));
}

TEST_F(ClientSessionWire, CatalogAndSelectedDeviceAreStripped) {
  CScriptedServer server([](const std::string& message) -> std::optional<std::string> {
    if (message == "DIAG:PROD:CAT?") return std::string("\"1234.5678.02\",\"__TRL_Tool__\"\n");
    if (message == "DIAG:PROD:SEL?") return std::string("\"__TRL_Tool__\"\n");
    return std::nullopt;
  });
  Connect(server);
  EXPECT_EQ(session.Catalog(), "\"1234.5678.02\",\"__TRL_Tool__\"");
  EXPECT_EQ(session.SelectedDevice(), "\"__TRL_Tool__\"");
}

}  // namespace
