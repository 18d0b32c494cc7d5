#pragma once
// The service control manager as the service sees it. On Windows this is the
// real one. Elsewhere the process stands in for it: the service runs in the
// foreground, SIGTERM and SIGINT deliver the stop control, readiness and
// stopping are reported to systemd when NOTIFY_SOCKET is set.

#include <cstdint>

namespace platform {

enum ServiceState : std::uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceRunning = 4,
};

enum ServiceControl : std::uint32_t {
  kServiceControlStop = 1,
  kServiceControlInterrogate = 4,
};

// The SERVICE_STATUS record: seven 32-bit fields in this order.
struct ServiceStatus {
  std::uint32_t serviceType = 0;
  std::uint32_t currentState = 0;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
};

using ServiceMainFunction = void (*)(std::uint32_t argc, char** argv);
using ServiceHandlerFunction = void (*)(std::uint32_t control);
using ServiceStatusHandle = void*;

// StartServiceCtrlDispatcherA with a one-entry table. Returns when every
// service of the process has stopped; false when the dispatcher could not
// start (LastSystemError tells why, 1063 from a console on Windows).
bool StartServiceCtrlDispatcher(const char* serviceName, ServiceMainFunction serviceMain);
// RegisterServiceCtrlHandlerA; nullptr on failure.
ServiceStatusHandle RegisterServiceCtrlHandler(const char* serviceName,
                                               ServiceHandlerFunction handler);
bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// GetLastError of the calling thread.
std::uint32_t LastSystemError();

// The process exit status after the dispatcher returned normally. Windows
// reports a failed start through the service status only, so this is 0
// there; the foreground stand-in has only the exit status to tell systemd,
// so a failed start (a non-zero Win32 exit code reported) gives non-zero.
int ExitCodeAfterDispatch();

}  // namespace platform
