// The foreground stand-in for the service control manager. The service runs
// on a thread of its own as under Windows; the main thread is the dispatcher:
// it turns SIGTERM and SIGINT into the stop control and SIGHUP into an
// interrogation, calls the service's handler itself as Windows does, and
// returns once the service has reported itself stopped and its entry point
// has returned.
#include "platform/service_host.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/systemd_notify.h"
#include "platform/thread.h"

namespace platform {
namespace {

// Win32 error numbers the stand-in reports.
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;

// How often the dispatcher looks whether the service has stopped.
constexpr long kPollNanoseconds = 100L * 1000 * 1000;

thread_local std::uint32_t lastError = 0;

struct HostState {
  std::mutex mutex;
  ServiceHandlerFunction handler = nullptr;
  ServiceStatus status;
  bool reportedStopped = false;
  std::uint32_t lastExitCode = 0;
  bool dispatching = false;
};

HostState& State() {
  static HostState state;
  return state;
}

// The handle only needs to be recognisable.
char statusHandleToken;

struct ServiceThreadStart {
  ServiceMainFunction serviceMain;
  char* name;
  std::atomic<bool> ended{false};
};

unsigned RunServiceMain(void* raw) {
  auto* start = static_cast<ServiceThreadStart*>(raw);
  char* argv[] = {start->name, nullptr};
  start->serviceMain(1, argv);
  start->ended = true;
  return 0;
}

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

// Threads inherit the mask, so blocking here, before any thread exists,
// keeps the control signals for the dispatcher's sigtimedwait alone.
void BlockControlSignals() {
  sigset_t set = ControlSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  // Writes to a closed pipe or socket report EPIPE instead of ending the service.
  signal(SIGPIPE, SIG_IGN);
}

// Delivers one control on the calling (dispatcher) thread, as Windows does.
void DeliverControl(std::uint32_t control) {
  ServiceHandlerFunction handler;
  {
    std::lock_guard<std::mutex> guard(State().mutex);
    handler = State().handler;
  }
  if (control == kServiceControlStop) posix::NotifyStopping();
  handler(control);
}

}  // namespace

bool StartServiceCtrlDispatcher(const char* serviceName, ServiceMainFunction serviceMain) {
  if (serviceName == nullptr || serviceMain == nullptr) {
    lastError = kErrorInvalidParameter;
    return false;
  }
  HostState& state = State();
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    if (state.dispatching) {
      lastError = kErrorServiceAlreadyRunning;
      return false;
    }
    state.dispatching = true;
    state.handler = nullptr;
    state.status = ServiceStatus{};
    state.reportedStopped = false;
    state.lastExitCode = 0;
  }
  BlockControlSignals();

  std::string name = serviceName;
  auto* start = new ServiceThreadStart{serviceMain, name.data()};
  ThreadHandle serviceThread = CreateThread(&RunServiceMain, start);
  if (serviceThread == nullptr) {
    delete start;
    std::lock_guard<std::mutex> guard(state.mutex);
    state.dispatching = false;
    lastError = kErrorNotEnoughMemory;
    return false;
  }

  sigset_t signals = ControlSignals();
  const timespec poll{0, kPollNanoseconds};
  bool stopRequested = false;  // a stop that arrived before the handler did
  for (;;) {
    bool stopped, hasHandler;
    {
      std::lock_guard<std::mutex> guard(state.mutex);
      stopped = state.reportedStopped;
      hasHandler = state.handler != nullptr;
    }
    if (start->ended) {
      // Without a handler nothing could ever stop the service; with one, a
      // service whose entry point returned keeps running on its own threads.
      if (stopped || !hasHandler) break;
    }
    if (stopRequested && hasHandler && !stopped) {
      stopRequested = false;
      DeliverControl(kServiceControlStop);
      continue;
    }
    int signal = sigtimedwait(&signals, nullptr, &poll);
    if (signal < 0) continue;
    {
      // The service thread may have registered or stopped while we waited.
      std::lock_guard<std::mutex> guard(state.mutex);
      stopped = state.reportedStopped;
      hasHandler = state.handler != nullptr;
    }
    if (signal == SIGTERM || signal == SIGINT) {
      if (stopped) continue;
      if (hasHandler) {
        DeliverControl(kServiceControlStop);
      } else {
        stopRequested = true;
      }
    } else if (signal == SIGHUP && hasHandler) {
      DeliverControl(kServiceControlInterrogate);
    }
  }
  JoinThread(serviceThread);
  delete start;
  std::lock_guard<std::mutex> guard(state.mutex);
  state.dispatching = false;
  return true;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* serviceName,
                                               ServiceHandlerFunction handler) {
  if (serviceName == nullptr || handler == nullptr) {
    lastError = kErrorInvalidParameter;
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(State().mutex);
  State().handler = handler;
  return &statusHandleToken;
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (handle != &statusHandleToken) {
    lastError = kErrorInvalidHandle;
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(State().mutex);
    State().status = status;
    if (status.currentState == kServiceStopped) {
      State().reportedStopped = true;
      State().lastExitCode = status.win32ExitCode;
    }
  }
  posix::NotifyServiceStatus(status);
  return true;
}

std::uint32_t LastSystemError() { return lastError; }

int ExitCodeAfterDispatch() {
  std::lock_guard<std::mutex> guard(State().mutex);
  return State().lastExitCode == 0 ? 0 : 1;
}

}  // namespace platform
