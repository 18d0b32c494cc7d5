// The update commands over a real connection: upload, installation, progress,
// reboot and the handshake, as a tool sends them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "install/crc16.h"
#include "install/install_manager.h"
#include "install/install_platform.h"
#include "install/package_description.h"
#include "platform/file_system.h"
#include "platform/installer.h"
#include "platform/process.h"
#include "platform/registry_keys.h"
#include "service/install_server.h"
#include "tests/install/install_fakes.h"
#include "tests/install/install_test_support.h"
#include "tests/support/running_server.h"
#include "tests/support/wire_client.h"

namespace {

namespace fs = std::filesystem;
using vorn_test::CRunningServer;
using vorn_test::CWireClient;

using vorn_test::kSelectTool;
using vorn_test::Block;
// The error queue's answer without its line feed.
const std::string kNoErrorText = "0,\"No error\"";

std::string ChunkMessage(std::size_t offset, const std::string& bytes) {
  return "DIAG:UPD:TRAN:DATA " + std::to_string(offset) + "," +
         std::to_string(Crc16X25(bytes.data(), bytes.size())) + "," + Block(bytes) + "\n";
}

std::string TransferMessages(const std::string& kind, const std::string& bytes,
                             std::size_t chunk = 65536) {
  std::string out = "DIAG:UPD:TRAN:OPEN " + kind + "\n";
  for (std::size_t at = 0; at < bytes.size(); at += chunk) {
    out += ChunkMessage(at, bytes.substr(at, chunk));
  }
  return out + "DIAG:UPD:TRAN:CLOSE\n";
}

class UpdateCommandsTest : public testing::Test {
 protected:
  UpdateCommandsTest() : directory_(vorn_test::ScratchDirectory("vorn-wire")) {
    server_.Registry().PutString(kPlatformKey, CInstallManager::kTransferDirectoryValue,
                                 directory_.string());
    // Real programs and installer; the restart is never real here (the
    // posix backend's command is tested on its own).
    server_.Server().UseInstallPlatform(InstallPlatform{server_.Registry(), platform::Processes(),
                                                        platform::Installer(), shutdown_});
  }
  // The programs of these tests are shell scripts, which only the posix
  // backend starts (Wine would see /bin/sh, and refuse it with 193).
  static bool HasShell() { return platform::DefaultTransferDirectory().front() == '/'; }
  ~UpdateCommandsTest() override {
    server_.StopAndDelete();
    fs::remove_all(directory_);
  }

  // Sends the lines and reads one answer line per query among them.
  std::string Ask(CWireClient& client, const std::string& lines) {
    EXPECT_TRUE(client.Send(lines));
    return client.ReadLine();
  }
  std::string Progress(CWireClient& client) { return Ask(client, "DIAG:UPD:PROG?\n"); }
  std::string WaitForFinalProgress(CWireClient& client) {
    std::string line;
    for (int i = 0; i < 300; ++i) {
      line = Progress(client);
      if (line.find(",RUN,") == std::string::npos && line.find(",INST,") == std::string::npos) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return line;
  }

  fs::path directory_;
  vorn_test::CFakeShutdown shutdown_;
  CRunningServer server_;
};

TEST_F(UpdateCommandsTest, ProgressBeforeAnyInstallationIsSuccessAtZero) {
  CWireClient client;
  ASSERT_TRUE(client.Send(kSelectTool));
  EXPECT_EQ(Progress(client), "0,SUCC,\"\"");
}

TEST_F(UpdateCommandsTest, UploadAndInstallAnExecutable) {
  if (!HasShell()) GTEST_SKIP() << "no /bin/sh";
  CPackageDescription description;
  description.PackageType = CPackageDescription::kTypeExecutable;
  description.FileName = "setup.sh";
  description.CommandLine = "one \"two words\"";
  const std::string program =
      "#!/bin/sh\npwd > ran.txt\nfor a in \"$@\"; do echo \"[$a]\" >> ran.txt; done\n";
  CWireClient client;
  ASSERT_TRUE(client.Send(kSelectTool +
                          TransferMessages("DESCR", vorn_test::RecordBytes(description)) +
                          TransferMessages("DATA", program, 16) + "DIAG:UPD:INST\n"));
  EXPECT_EQ(WaitForFinalProgress(client), "100,SUCC,\"\"");
  EXPECT_EQ(Ask(client, "SYST:ERR?\n"), kNoErrorText);
  EXPECT_EQ(vorn_test::ReadWholeFile(directory_ / "setup.sh"), program);
  EXPECT_TRUE(fs::exists(directory_ / "setup.sh.mki"));
  EXPECT_EQ(vorn_test::ReadWholeFile(directory_ / "ran.txt"),
            directory_.string() + "\n[one]\n[two words]\n");
}

TEST_F(UpdateCommandsTest, TransferFailuresAreQueued) {
  struct Case {
    const char* name;
    std::string lines;
    std::string error;
  };
  const std::string record = vorn_test::RecordBytes(CPackageDescription());
  const Case cases[] = {
      {"lower-case kind", "DIAG:UPD:TRAN:OPEN data\n", "-200,\"Execution error\""},
      {"data before a description", "DIAG:UPD:TRAN:OPEN DATA\n",
       "-200,\"Execution error;transfer of data without description is not possible\""},
      {"wrong checksum", "DIAG:UPD:TRAN:OPEN DESCR\nDIAG:UPD:TRAN:DATA 0,1,#13abc\n",
       "-200,\"Execution error;invalid checksum\""},
      {"repeated offset",
       "DIAG:UPD:TRAN:OPEN DESCR\n" + ChunkMessage(0, "abc") + ChunkMessage(0, "abc"),
       "-200,\"Execution error;unexpected offset value\""},
      {"install request without a double colon", "DIAG:UPD:INST 'setup.bin'\n",
       "-200,\"Execution error;No '...::<Productname>' specified\""},
      {"handshake on the service's own device", "DIAG:UPD:CHAP:PRES\n",
       "-200,\"Execution error;Preset not possible\""},
      {"short response", "DIAG:UPD:CHAP:RESP " + Block(std::string(127, 'r')) + "\n",
       "-161,\"Invalid block data;size of response too small\""},
      {"begin on the service's own device", "DIAG:UPD:INST:BEG\n", "-200,\"Execution error\""},
  };
  for (const Case& c : cases) {
    CWireClient client;
    EXPECT_EQ(Ask(client, kSelectTool + c.lines + "SYST:ERR?\n"), c.error) << c.name;
    EXPECT_EQ(Ask(client, "SYST:ERR?\n"), kNoErrorText) << c.name;
  }
}

TEST_F(UpdateCommandsTest, ChecksumRetryAtTheSameOffsetCompletesTheTransfer) {
  CPackageDescription description;
  description.FileName = "data.bin";
  description.PackageType = CPackageDescription::kTypeNothing;
  CWireClient client;
  ASSERT_TRUE(client.Send(kSelectTool +
                          TransferMessages("DESCR", vorn_test::RecordBytes(description)) +
                          "DIAG:UPD:TRAN:OPEN DATA\nDIAG:UPD:TRAN:DATA 0,7,#15hello\n" +
                          ChunkMessage(0, "hello") + "DIAG:UPD:TRAN:CLOSE\n"));
  EXPECT_EQ(Ask(client, "SYST:ERR?\n"), "-200,\"Execution error;invalid checksum\"");
  EXPECT_EQ(Ask(client, "SYST:ERR?\n"), kNoErrorText);
  EXPECT_EQ(vorn_test::ReadWholeFile(directory_ / "data.bin"), "hello");
}

TEST_F(UpdateCommandsTest, ChallengeOnTheServicesOwnDeviceIsABlockOfZeros) {
  CWireClient client;
  ASSERT_TRUE(client.Send(kSelectTool + "DIAG:UPD:CHAP:CHAL?\n"));
  EXPECT_EQ(client.Read(134), "#3128" + std::string(128, '\0') + "\n");
  EXPECT_EQ(Ask(client, "SYST:ERR?\n"),
            "-200,\"Execution error;Command not allowed in this state\"");
}

TEST_F(UpdateCommandsTest, RebootWithoutACommandFailsVisibly) {
  CWireClient client;
  ASSERT_TRUE(client.Send(kSelectTool + "DIAG:UPD:BOOT\n"));
  EXPECT_EQ(Progress(client), "100,ERR,\"System Reboot Failed.\"");
  EXPECT_EQ(Ask(client, "SYST:ERR?\n"), kNoErrorText);
}

TEST_F(UpdateCommandsTest, RebootHandsTheConfiguredCommandOn) {
  server_.Registry().PutString(kPlatformKey, CInstallManager::kRebootCommandValue, "touch /tmp/x");
  CWireClient client;
  ASSERT_TRUE(client.Send(kSelectTool + "DIAG:UPD:BOOT\n"));
  EXPECT_EQ(Progress(client), "0,SUCC,\"\"");
  EXPECT_EQ(Ask(client, "SYST:ERR?\n"), kNoErrorText);
  EXPECT_EQ(shutdown_.Commands(), std::vector<std::string>{"touch /tmp/x"});
}

// A chunk is written after its verdict went out. A write that fails then is
// not lost: the next error query reports it, and the transfer is over.
TEST_F(UpdateCommandsTest, WriteFailureAfterTheVerdictReachesTheNextErrorQuery) {
  if (!HasShell()) GTEST_SKIP() << "no /dev/full";
  server_.Registry().PutString(kPlatformKey, CInstallManager::kTransferDirectoryValue, "/dev");
  CPackageDescription description;
  description.FileName = "full";
  description.PackageType = CPackageDescription::kTypeNothing;
  CWireClient client;
  ASSERT_TRUE(
      client.Send(kSelectTool + TransferMessages("DESCR", vorn_test::RecordBytes(description))));
  const std::string first =
      Ask(client, "DIAG:UPD:TRAN:OPEN DATA\n" + ChunkMessage(0, "hello") + "SYST:ERR?\n");
  const std::string second =
      Ask(client, ChunkMessage(5, "world") + "DIAG:UPD:TRAN:CLOSE\nSYST:ERR?\n");
  const std::string failed = "-200,\"Execution error;error in writing file\"";
  // The query right behind the chunk may come before or after the write.
  EXPECT_TRUE((first == kNoErrorText && second == failed) || first == failed)
      << first << " / " << second;
  EXPECT_NE(Ask(client, "SYST:ERR?\n"), kNoErrorText);  // the chunk after it was refused
}

// A program that never ends must not keep the session's end, and with it the
// server's stop, waiting for ever.
TEST_F(UpdateCommandsTest, HungProgramDoesNotBlockTheSessionEnd) {
  if (!HasShell()) GTEST_SKIP() << "no /bin/sleep";
  CPackageDescription description;
  description.PackageType = CPackageDescription::kTypeExecutable;
  description.FileName = "";
  description.CommandLine = "/bin/sleep 30";
  {
    CWireClient client;
    ASSERT_TRUE(client.Send(kSelectTool +
                            TransferMessages("DESCR", vorn_test::RecordBytes(description)) +
                            "DIAG:UPD:INST\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Progress(client), "50,RUN,\"Invoking executable.\"");
  }
  vorn_test::RunWithin("a new selection and the server's stop", 5000, [&] {
    CWireClient client;
    EXPECT_EQ(Ask(client, kSelectTool + "DIAG:UPD:PROG?\n"), "0,SUCC,\"\"");
    server_.StopAndDelete();
  });
}

}  // namespace
