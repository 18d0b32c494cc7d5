#pragma once

#include <cstdint>

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
