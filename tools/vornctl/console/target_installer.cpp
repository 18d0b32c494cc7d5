#include "tools/vornctl/console/target_installer.h"

#include <chrono>
#include <fstream>
#include <thread>

#include "client/error.h"
#include "client/progress_answer.h"
#include "tools/vornctl/connection.h"

namespace vornctl::console {
namespace {

// Give up on a server that does not answer for this long (vornctl install's default).
constexpr std::uint32_t kAnswerTimeoutMs = 30000;

struct Follower {
  const ProgressReport* report;
  int state = -1;
  std::string text;
};

void OnProgress(std::uintptr_t context, int percent, int state, const char* text) {
  auto& follower = *reinterpret_cast<Follower*>(context);
  follower.state = state;
  follower.text = Bounded(text != nullptr ? text : "", 1024);
  (*follower.report)(percent, state, follower.text);
}

// A container entry's installation, followed as the session follows its own.
int FollowInstallation(CClientSession& session) {
  int state = CClientSession::kErr;
  do {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    state = session.PollProgress();
  } while (state <= CClientSession::kInst);
  return state;
}

}  // namespace

const char* StateWord(int state) {
  static const char* const kWords[] = {"transfer", "run", "installing", "ERR", "SUCC", "BOOT"};
  return state >= 0 && state <= 5 ? kWords[state] : "?";
}

InstallResult InstallOnServer(const ServerLink& link, const std::string& device,
                              const Package& package, const ProgressReport& progress) {
  Follower follower{&progress, -1, std::string()};
  InstallResult result;
  try {
    CSocketSession session;
    Connect(session, link, kAnswerTimeoutMs);
    SelectChecked(session, device);
    session.SetProgressCallback(&OnProgress, reinterpret_cast<std::uintptr_t>(&follower));
    SendSignature(session, package);
    if (package.containerRequest.empty()) {
      session.InstallFile(package.description, package.dataFile);
    } else {
      std::ifstream data(*package.dataFile, std::ios::binary);
      session.TransferOnly(package.description, data,
                           static_cast<std::uint32_t>(package.dataBytes));
      session.SendText("DIAG:UPD:INST '" + package.containerRequest + "'\n");
      FollowInstallation(session);
    }
    session.Close();
  } catch (const Fernway::CError& error) {
    result.text = error.IsTimeout() ? "the server closed the connection or did not answer for " +
                                          std::to_string(kAnswerTimeoutMs / 1000) + " s; giving up"
                                    : Bounded(OneLine(error.Message()), 1024);
    return result;
  }
  result.text = follower.text;
  if (follower.state == CClientSession::kSucc) {
    result.kind = InstallResult::kSucceeded;
  } else if (follower.state == CClientSession::kBoot) {
    result.kind = InstallResult::kRebootRequired;
  }
  return result;
}

std::string RebootServer(const ServerLink& link, const std::string& device) {
  try {
    CSocketSession session;
    Connect(session, link, 5000);
    SelectChecked(session, device);
    session.Reboot();
    // A reboot that fails shows only in the progress; one that works may
    // take the server away before it answers.
    try {
      session.CheckError();
      const CProgressAnswer progress = ParseProgressAnswer(session.Query("DIAG:UPD:PROG?\n"));
      if (progress.state == CClientSession::kErr) return Bounded(progress.text, 1024);
    } catch (const Fernway::CError& error) {
      if (!error.IsTimeout()) throw;
    }
  } catch (const Fernway::CError& error) {
    return Bounded(OneLine(error.Message()), 1024);
  }
  return std::string();
}

}  // namespace vornctl::console
