#include "service/service_entry.h"

#include <string>
#include <vector>

#include "base/log.h"
#include "base/version.h"
#include "install/install_manager.h"
#include "platform/instrument_link.h"
#include "platform/registry.h"
#include "platform/service_host.h"
#include "platform/socket.h"
#include "service/install_server.h"

namespace {

constexpr std::uint32_t kOwnAndShareProcess = 0x30;
constexpr std::uint32_t kAcceptStop = 1;
constexpr int kStartFailedExitCode = platform::kWsaEaddrinuse;
// ERROR_BAD_CONFIGURATION: what the service control manager shows for a
// start refused over malformed access settings.
constexpr int kBadConfigurationExitCode = 1610;

platform::ServiceStatus serviceStatus;
platform::ServiceStatusHandle statusHandle = nullptr;
CInstallServer* server = nullptr;
ServiceHooks hooks;

// A file name for the log: anyone who may write to the transfer directory
// chooses the names in it.
std::string EscapedName(const std::string& name) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      text += std::string{'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    } else {
      text += c;
    }
  }
  return text;
}

// Copies that a restart or an abandoned program left behind are of no use
// to anything that runs now.
void RemoveStaleVerifiedCopies(platform::IRegistry& registry) {
  const CInstallManager::StaleCopies copies = CInstallManager::RemoveStaleVerifiedCopies(registry);
  for (const std::string& path : copies.removed) {
    Log("Removed a stale verified copy of a package: %s\n", EscapedName(path).c_str());
  }
  for (const std::string& path : copies.kept) {
    Log("Warning: could not remove a stale verified copy of a package: %s\n",
        EscapedName(path).c_str());
  }
}

std::uint32_t LastError() {
  return hooks.lastSystemError != nullptr ? hooks.lastSystemError() : platform::LastSystemError();
}

void ReportStatus() {
  const bool reported = hooks.setServiceStatus != nullptr
                            ? hooks.setServiceStatus(statusHandle, serviceStatus)
                            : platform::SetServiceStatus(statusHandle, serviceStatus);
  if (!reported) Log("SetServiceStatus() failed. Error %d", static_cast<int>(LastError()));
}

}  // namespace

CInstallServer* CurrentServer() { return server; }

void SetServiceHooks(const ServiceHooks& replacement) { hooks = replacement; }

int StartServer() {
  return StartServer(CInstallServer::Create(platform::Registry(), platform::Sockets(),
                                            platform::InstrumentLinker()));
}

int StartServer(CInstallServer* created) {
  server = created;
  Log("Quillon Service V %s\n", kVersion);
  std::vector<std::string> materialNumbers;
  server->GetMaterialNumbers(materialNumbers);
  Log("\nService is listening for %d Material Number(s): ",
      static_cast<int>(materialNumbers.size()));
  for (std::size_t i = 0; i < materialNumbers.size(); ++i) {
    if (i > 0) Log(",");
    Log("%s", materialNumbers[i].c_str());
  }
  Log("on Control Port %d and Data Port %d\n", server->ControlPort(), server->DataPort());
  std::vector<std::string> problems;
  if (!server->LoadAccessSettings(problems)) {
    for (const std::string& problem : problems) Log("Error: %s", problem.c_str());
    Log("Unable to start: the access settings are malformed; the service does not start open\n");
    return kBadConfigurationExitCode;
  }
  const AccessSettings access = server->Access();
  if (access.allowedClients) {
    Log("Serving only clients in AllowedClients: %s\n", access.allowedClients->Describe().c_str());
  }
  if (access.listenAddress) {
    Log("Listening on %s only (ListenAddress)\n",
        platform::FormatAddress(*access.listenAddress).c_str());
  }
  if (access.restrictTransfers) Log("Transfers are kept in the transfer directory\n");
  if (access.trustedKeysPath) {
    Log("Installing only packages signed by one of %d key(s) in %s\n",
        static_cast<int>(access.trustedKeys.size()), access.trustedKeysPath->c_str());
  }
  RemoveStaleVerifiedCopies(server->Registry());
  // Before the channels open, so that no session's temporary file is taken
  // for a stale one.
  std::string transferDirectory;
  const int stale = CInstallManager::RemoveStaleTemporaries(server->Registry(), transferDirectory);
  if (stale > 0) {
    Log("Removed %d stale temporary file(s) from the transfer directory %s\n", stale,
        transferDirectory.c_str());
  }
  if (!server->StartControlChannel() || !server->StartDataChannel()) {
    Log("Unable to start Control or Data channel\n");
    return kStartFailedExitCode;
  }
  Log("Server is listening for DeviceGroup: %s\n", server->GetDeviceGroup().c_str());
  return 0;
}

void StopServer() {
  if (server == nullptr) return;
  server->Stop(true);
  delete server;
  server = nullptr;
}

void ServiceMain(std::uint32_t, char**) {
  serviceStatus = platform::ServiceStatus{};
  serviceStatus.serviceType = kOwnAndShareProcess;
  serviceStatus.currentState = platform::kServiceStartPending;
  serviceStatus.controlsAccepted = kAcceptStop;
  statusHandle = hooks.registerHandler != nullptr
                     ? hooks.registerHandler(kServiceName, &ServiceCtrlHandler)
                     : platform::RegisterServiceCtrlHandler(kServiceName, &ServiceCtrlHandler);
  if (statusHandle == nullptr) {
    Log("RegisterServiceCtrlHandler() failed. Error %d", static_cast<int>(LastError()));
    return;
  }
  const int result = hooks.startServer != nullptr ? hooks.startServer() : StartServer();
  serviceStatus.checkPoint = 0;
  serviceStatus.waitHint = 0;
  if (result != 0) {
    // The server stays, but a channel thread that failed its start may still
    // be closing its socket: join it, so that none outlives the process's
    // static objects once the dispatcher returns and the process ends.
    if (server != nullptr) server->Stop(true);
    serviceStatus.currentState = platform::kServiceStopped;
    serviceStatus.win32ExitCode = static_cast<std::uint32_t>(result);
    serviceStatus.serviceSpecificExitCode = 0;
    ReportStatus();
    return;
  }
  serviceStatus.currentState = platform::kServiceRunning;
  ReportStatus();
}

void ServiceCtrlHandler(std::uint32_t control) {
  serviceStatus.win32ExitCode = 0;
  switch (control) {
    case platform::kServiceControlStop:
      StopServer();
      serviceStatus.currentState = platform::kServiceStopped;
      serviceStatus.win32ExitCode = 0;
      serviceStatus.checkPoint = 0;
      serviceStatus.waitHint = 0;
      break;
    case platform::kServiceControlInterrogate:
      break;
    default:
      Log("Unrecognized opcode %d", static_cast<int>(control));
      break;
  }
  ReportStatus();
}
