#include "platform/posix/systemd_notify.h"

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/socket.h"

namespace platform::posix {
namespace {

bool Enabled() { return std::getenv("NOTIFY_SOCKET") != nullptr; }

// systemd shows ERRNO= as the reason of a failed start; the service reports
// Winsock or Win32 numbers, so name the nearest errno where there is one.
int ErrnoOf(std::uint32_t win32ExitCode) {
  switch (win32ExitCode) {
    case kWsaEaddrinuse:
      return EADDRINUSE;
    case kWsaEaddrnotavail:
      return EADDRNOTAVAIL;
    case kWsaEacces:
      return EACCES;
    case kWsaEmfile:
      return EMFILE;
    case kWsaEnobufs:
      return ENOBUFS;
    case 5:
      return EACCES;  // ERROR_ACCESS_DENIED
    case 8:
      return ENOMEM;  // ERROR_NOT_ENOUGH_MEMORY
    default:
      return EIO;
  }
}

}  // namespace

void NotifyServiceStatus(const ServiceStatus& status) {
  if (!Enabled()) return;
  char message[160];
  switch (status.currentState) {
    case kServiceStartPending:
      sd_notify(0, "STATUS=Starting");
      return;
    case kServiceRunning:
      sd_notify(0, "READY=1\nSTATUS=Running");
      return;
    case kServiceStopped:
      if (status.win32ExitCode == 0) {
        sd_notify(0, "STOPPING=1\nSTATUS=Stopped");
      } else {
        std::snprintf(message, sizeof message,
                      "STOPPING=1\nSTATUS=Stopped with exit code %u\nERRNO=%d",
                      static_cast<unsigned>(status.win32ExitCode), ErrnoOf(status.win32ExitCode));
        sd_notify(0, message);
      }
      return;
    default:
      std::snprintf(message, sizeof message, "STATUS=State %u",
                    static_cast<unsigned>(status.currentState));
      sd_notify(0, message);
      return;
  }
}

void NotifyStopping() {
  if (Enabled()) sd_notify(0, "STOPPING=1\nSTATUS=Stopping");
}

}  // namespace platform::posix
