#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

#include "client/error.h"
#include "install/package_description.h"
#include "platform/console.h"
#include "tools/vornctl/commands.h"
#include "tools/vornctl/connection.h"
#include "tools/vornctl/exit_codes.h"
#include "tools/vornctl/installer_hints.h"
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

void PrintFailure(const std::string& text) {
  std::printf("failed: %s\n", text.c_str());
  const std::string hint = InstallerHint(text);
  if (!hint.empty()) std::printf("%s\n", hint.c_str());
}

// The installation of a container entry, followed the way Install follows
// its own: a poll a second until the state is final.
int FollowInstallation(CClientSession& session) {
  int state = CClientSession::kErr;
  do {
    for (int i = 0; i < 50 && !session.AbortRequested(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (session.AbortRequested()) return CClientSession::kErr;
    state = session.PollProgress();
  } while (state <= CClientSession::kInst);
  return state;
}

int Install(CSocketSession& session, const InstallOptions& options, Package& package) {
  SelectChecked(session, options.device);
  CProgressDisplay display(platform::StandardOutputIsTerminal(), package.dataBytes);
  session.SetProgressCallback(&CProgressDisplay::Callback,
                              reinterpret_cast<std::uintptr_t>(&display));
  session.SetTimeout(options.timeoutSeconds * 1000);
  int state = CClientSession::kErr;
  try {
    if (interrupted) return kExitAborted;
    if (package.containerRequest.empty()) {
      session.InstallFile(package.description, package.dataFile);
      state = display.LastState();
    } else {
      std::ifstream data(*package.dataFile, std::ios::binary);
      session.TransferOnly(package.description, data,
                           static_cast<std::uint32_t>(package.dataBytes));
      if (!session.AbortRequested()) {
        session.SendText("DIAG:UPD:INST '" + package.containerRequest + "'\n");
        state = FollowInstallation(session);
      }
    }
  } catch (const Fernway::CError& error) {
    display.Finish();
    if (interrupted) {
      std::printf("aborted\n");
      return kExitAborted;
    }
    if (error.IsTimeout()) {
      std::printf("failed: the server stopped answering (nothing for %u s); giving up\n",
                  static_cast<unsigned>(session.GetTimeout() / 1000));
      return kExitTimedOut;
    }
    PrintFailure(OneLine(error.Message()));
    return kExitServerError;
  }
  display.Finish();
  if (interrupted) {
    std::printf("aborted\n");
    return kExitAborted;
  }
  if (state == CClientSession::kSucc) {
    std::printf("installed\n");
    return kExitOk;
  }
  if (state == CClientSession::kBoot) {
    if (options.reboot) {
      session.Reboot();
      std::printf("installed, rebooting\n");
      return kExitOk;
    }
    std::printf("installed, reboot required\n");
    return kExitRebootRequired;
  }
  PrintFailure(display.LastText());
  return kExitInstallFailed;
}

}  // namespace

int RunInstall(const InstallOptions& options) {
  Package package;
  if (const int code = LoadPackage(options, package); code != kExitOk) return code;
  std::signal(SIGINT, OnInterrupt);
  const int code =
      WithSession(options.host, 2000, [&](CSocketSession& session, const HostAndPort&) {
        struct ActiveSession {
          explicit ActiveSession(CClientSession& session) { activeSession = &session; }
          ~ActiveSession() { activeSession = nullptr; }
        } active(session);
        if (interrupted) session.RequestAbort();
        return Install(session, options, package);
      });
  std::signal(SIGINT, SIG_DFL);
  return code;
}

}  // namespace vornctl
