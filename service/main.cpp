// Process entry: hands the process to the service control manager. The
// command line means nothing to the service itself; the platform layer may
// read its own settings from it.
#include "platform/service_host.h"
#include "platform/thread.h"
#include "service/log.h"
#include "service/service_entry.h"

int main(int argc, char** argv) {
  if (!platform::ConfigureProcess(argc, argv)) return 1;
  platform::ComInitialize();
  if (!platform::StartServiceCtrlDispatcher(kServiceName, &ServiceMain)) {
    Log("StartServiceCtrlDispatcher() failed. Error = %d",
        static_cast<int>(platform::LastSystemError()));
    return 1;
  }
  platform::ComUninitialize();
  return platform::ExitCodeAfterDispatch();
}
