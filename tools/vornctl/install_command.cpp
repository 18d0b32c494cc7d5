#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "client/error.h"
#include "client/peer_text.h"
#include "install/package_description.h"
#include "platform/console.h"
#include "tools/vornctl/commands.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/exit_codes.h"
#include "tools/vornctl/installer_hints.h"
#include "tools/vornctl/json_output.h"
#include "tools/vornctl/package_input.h"
#include "tools/vornctl/progress_display.h"

namespace vornctl {
namespace {

std::atomic<bool> interrupted{false};
std::atomic<CClientSession*> activeSession{nullptr};

// Ctrl-C asks the session to stop between two blocks or polls; a second
// Ctrl-C ends the program at once.
extern "C" void OnInterrupt(int) {
  interrupted = true;
  if (CClientSession* session = activeSession.load()) session->RequestAbort();
  std::signal(SIGINT, SIG_DFL);
}

// How an installation ended: the exit code, the final line a person reads
// ("installed", "failed: <server text>", ...) and what --json reports.
struct Outcome {
  int code = kExitInstallFailed;
  std::string result;  // installed, installed, rebooting, ... , failed, aborted
  std::string text;    // the server's (or the library's) text behind "failed: "
  int state = -1;      // final progress state, -1 when none was read
  int percent = 0;
  bool hinted = true;  // an installer result in the text gets a hint
};

Outcome Ended(int code, std::string result, std::string text = std::string()) {
  Outcome outcome;
  outcome.code = code;
  outcome.result = std::move(result);
  outcome.text = std::move(text);
  return outcome;
}

const char* StateName(int state) {
  switch (state) {
    case CClientSession::kSucc:
      return "SUCC";
    case CClientSession::kBoot:
      return "BOOT";
    case CClientSession::kErr:
      return "ERR";
    default:
      return nullptr;
  }
}

void PrintOutcome(const Outcome& outcome) {
  if (outcome.result != "failed") {
    std::printf("%s\n", outcome.result.c_str());
    return;
  }
  std::printf("failed: %s\n", PrintablePeerText(outcome.text).c_str());
  const std::string hint = outcome.hinted ? InstallerHint(outcome.text) : std::string();
  if (!hint.empty()) std::printf("%s\n", hint.c_str());
}

void PrintOutcomeJson(const Outcome& outcome, const InstallOptions& options) {
  const char* state = StateName(outcome.state);
  const nlohmann::json report = {
      {"address", options.host},
      {"device", options.device},
      {"result", outcome.result},
      {"exitCode", outcome.code},
      {"state", state != nullptr ? nlohmann::json(state) : nlohmann::json()},
      {"percent", outcome.percent},
      {"text", outcome.text},
      {"rebootRequired", outcome.state == CClientSession::kBoot},
      {"rebooted", outcome.result == "installed, rebooting"},
  };
  std::cout << ScriptJson(report) << "\n";
}

Outcome Install(CSocketSession& session, const InstallOptions& options, Package& package) {
  SelectChecked(session, options.device);
  CProgressDisplay display(platform::StandardOutputIsTerminal(), package.dataBytes);
  if (options.json) display.Silence();
  session.SetProgressCallback(&CProgressDisplay::Callback,
                              reinterpret_cast<std::uintptr_t>(&display));
  session.SetTimeout(options.timeoutSeconds * 1000);
  session.SetInstallDeadline(options.installTimeoutSeconds);
  int state = CClientSession::kErr;
  try {
    if (interrupted) return Ended(kExitAborted, "aborted");
    SendSignature(session, package);
    if (package.containerRequest.empty()) {
      session.InstallFile(package.description, package.dataFile);
      state = display.LastState();
    } else {
      std::ifstream data(*package.dataFile, std::ios::binary);
      session.TransferOnly(package.description, data,
                           static_cast<std::uint32_t>(package.dataBytes));
      if (!session.AbortRequested()) {
        session.SendText("DIAG:UPD:INST '" + package.containerRequest + "'\n");
        state = session.FollowProgress();
      }
    }
  } catch (const Fernway::CDeadlineError&) {
    display.Finish();
    if (interrupted) return Ended(kExitAborted, "aborted");
    Outcome outcome = Ended(kExitTimedOut, "failed",
                            "the installation did not finish within " +
                                std::to_string(options.installTimeoutSeconds) +
                                " s (--install-timeout); giving up");
    outcome.hinted = false;
    outcome.percent = display.LastPercent();
    return outcome;
  } catch (const Fernway::CError& error) {
    display.Finish();
    if (interrupted) return Ended(kExitAborted, "aborted");
    // The channel reports a connection the server closed (a stopping
    // service) as a time-out too, so the text names both.
    if (error.IsTimeout()) {
      Outcome outcome = Ended(kExitTimedOut, "failed",
                              "the server closed the connection or did not answer for " +
                                  std::to_string(session.GetTimeout() / 1000) + " s; giving up");
      outcome.hinted = false;
      return outcome;
    }
    return Ended(kExitServerError, "failed", OneLine(error.Message()));
  }
  display.Finish();
  if (interrupted) return Ended(kExitAborted, "aborted");
  Outcome outcome;
  if (state == CClientSession::kSucc) {
    outcome = Ended(kExitOk, "installed", display.LastText());
  } else if (state == CClientSession::kBoot && options.reboot) {
    session.Reboot();
    outcome = Ended(kExitOk, "installed, rebooting", display.LastText());
  } else if (state == CClientSession::kBoot) {
    outcome = Ended(kExitRebootRequired, "installed, reboot required", display.LastText());
  } else {
    outcome = Ended(kExitInstallFailed, "failed", display.LastText());
  }
  outcome.state = state;
  outcome.percent = display.LastPercent();
  return outcome;
}

}  // namespace

int RunInstall(const InstallOptions& options) {
  Package package;
  if (const int code = LoadPackage(options, package); code != kExitOk) return code;
  std::signal(SIGINT, OnInterrupt);
  const int code = WithSession(options.host, Relay{options.via, options.to}, 2000,
                               [&](CSocketSession& session, const HostAndPort&) {
                                 struct ActiveSession {
                                   explicit ActiveSession(CClientSession& session) {
                                     activeSession = &session;
                                   }
                                   ~ActiveSession() { activeSession = nullptr; }
                                 } active(session);
                                 if (interrupted) session.RequestAbort();
                                 const Outcome outcome = Install(session, options, package);
                                 if (options.json) {
                                   PrintOutcomeJson(outcome, options);
                                 } else {
                                   PrintOutcome(outcome);
                                 }
                                 return outcome.code;
                               });
  std::signal(SIGINT, SIG_DFL);
  return code;
}

}  // namespace vornctl
