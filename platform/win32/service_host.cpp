// The real service control manager. Its callbacks have the WINAPI calling
// convention and take DWORDs, so the portable callbacks are reached through
// two small trampolines; a service process hosts one service, so one slot
// each is enough.

#include "platform/service_host.h"

#include "platform/win32/windows_api.h"

namespace platform {
namespace {

ServiceMainFunction serviceMainFunction = nullptr;
ServiceHandlerFunction serviceHandlerFunction = nullptr;

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  serviceMainFunction(static_cast<std::uint32_t>(argc), argv);
}

void WINAPI ServiceHandlerEntry(DWORD control) {
  serviceHandlerFunction(static_cast<std::uint32_t>(control));
}

}  // namespace

bool StartServiceCtrlDispatcher(const char* serviceName, ServiceMainFunction serviceMain) {
  serviceMainFunction = serviceMain;
  SERVICE_TABLE_ENTRYA table[] = {
      {const_cast<LPSTR>(serviceName), &ServiceMainEntry},
      {nullptr, nullptr},
  };
  return StartServiceCtrlDispatcherA(table) != FALSE;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* serviceName,
                                               ServiceHandlerFunction handler) {
  serviceHandlerFunction = handler;
  SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(serviceName, &ServiceHandlerEntry);
  return reinterpret_cast<ServiceStatusHandle>(handle);
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS native{};
  native.dwServiceType = status.serviceType;
  native.dwCurrentState = status.currentState;
  native.dwControlsAccepted = status.controlsAccepted;
  native.dwWin32ExitCode = status.win32ExitCode;
  native.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  native.dwCheckPoint = status.checkPoint;
  native.dwWaitHint = status.waitHint;
  return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &native) != FALSE;
}

std::uint32_t LastSystemError() { return GetLastError(); }

int ExitCodeAfterDispatch() { return 0; }

}  // namespace platform
