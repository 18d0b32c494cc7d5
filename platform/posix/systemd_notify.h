#pragma once
// Readiness and status reports to systemd for a Type=notify unit; nothing
// happens when the process was not started by systemd (no NOTIFY_SOCKET).

#include <cstdint>

#include "platform/service_host.h"

namespace platform::posix {

// Reports what a newly recorded service status means to systemd.
void NotifyServiceStatus(const ServiceStatus& status);
// The stop control has arrived; the stop itself follows.
void NotifyStopping();

}  // namespace platform::posix
