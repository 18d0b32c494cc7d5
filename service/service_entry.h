#pragma once

#include <cstdint>

#include "platform/service_host.h"

class CInstallServer;

inline constexpr const char* kServiceName = "MkVornService";

// The service entry point handed to the dispatcher.
void ServiceMain(std::uint32_t argc, char** argv);
// The control handler: stop (1), interrogate (4); anything else is logged.
void ServiceCtrlHandler(std::uint32_t control);

// Creates the process's server over the platform's services, logs what it
// serves and starts both channels. 0, or 10048 when a channel cannot start.
int StartServer();
// The same with a server that the caller built (tests give one over fakes);
// it becomes the process's server.
int StartServer(CInstallServer* server);
// What the stop control does: stops sessions and channels, deletes the server.
void StopServer();
CInstallServer* CurrentServer();

// What ServiceMain and the control handler reach outside themselves: the
// service control manager and the server factory. Tests substitute fakes;
// members left null mean the platform's functions and StartServer().
struct ServiceHooks {
  platform::ServiceStatusHandle (*registerHandler)(
      const char* serviceName, platform::ServiceHandlerFunction handler) = nullptr;
  bool (*setServiceStatus)(platform::ServiceStatusHandle handle,
                           const platform::ServiceStatus& status) = nullptr;
  std::uint32_t (*lastSystemError)() = nullptr;
  int (*startServer)() = nullptr;
};
void SetServiceHooks(const ServiceHooks& hooks);
