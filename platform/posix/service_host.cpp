// The foreground stand-in for the service control manager. The service runs
// on a thread of its own as under Windows; the main thread is the dispatcher:
// it turns SIGTERM and SIGINT into the stop control and SIGHUP into an
// interrogation, calls the service's handler itself as Windows does, and
// returns once the service has reported itself stopped and its entry point
// has returned.
//
// Like the Windows service manager, the dispatcher hands a control to the
// service only once the service can take it: after it has reported itself
// running, or after its entry point has returned. A stop that arrives while
// the service is still starting waits until then; one that arrives after a
// failed start is moot. The dispatcher sleeps in sigwaitinfo without a time
// limit; the service thread wakes it with kWakeSignal whenever it reports a
// status or its entry point returns.
#include "platform/service_host.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

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

// Sent by the service thread to the dispatcher thread only; blocked in every
// thread of the service like the control signals.
constexpr int kWakeSignal = SIGUSR1;

thread_local std::uint32_t lastServiceError = 0;

struct HostState {
  std::mutex mutex;
  ServiceHandlerFunction handler = nullptr;
  ServiceStatus status;
  bool reportedRunning = false;
  bool reportedStopped = false;
  bool serviceMainReturned = false;
  std::uint32_t lastExitCode = 0;
  bool dispatching = false;
  pthread_t dispatcher{};
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
};

// Called with the state's mutex held, so the dispatcher, which reads the
// state under the same mutex before it waits, cannot miss the change: the
// signal stays pending until it waits.
void WakeDispatcherLocked(HostState& state) {
  if (state.dispatching) pthread_kill(state.dispatcher, kWakeSignal);
}

unsigned RunServiceMain(void* raw) {
  auto* start = static_cast<ServiceThreadStart*>(raw);
  char* argv[] = {start->name, nullptr};
  start->serviceMain(1, argv);
  std::lock_guard<std::mutex> guard(State().mutex);
  State().serviceMainReturned = true;
  WakeDispatcherLocked(State());
  return 0;
}

sigset_t ControlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, kWakeSignal);
  return set;
}

// Threads inherit the mask, so blocking here, before any thread exists,
// keeps the control signals for the dispatcher's sigwaitinfo alone.
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
    lastServiceError = kErrorInvalidParameter;
    return false;
  }
  BlockControlSignals();  // before anyone may wake this thread
  HostState& state = State();
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    if (state.dispatching) {
      lastServiceError = kErrorServiceAlreadyRunning;
      return false;
    }
    state.dispatching = true;
    state.dispatcher = pthread_self();
    state.handler = nullptr;
    state.status = ServiceStatus{};
    state.reportedRunning = false;
    state.reportedStopped = false;
    state.serviceMainReturned = false;
    state.lastExitCode = 0;
  }

  std::string name = serviceName;
  auto* start = new ServiceThreadStart{serviceMain, name.data()};
  ThreadHandle serviceThread = CreateThread(&RunServiceMain, start);
  if (serviceThread == nullptr) {
    delete start;
    std::lock_guard<std::mutex> guard(state.mutex);
    state.dispatching = false;
    lastServiceError = kErrorNotEnoughMemory;
    return false;
  }

  const sigset_t signals = ControlSignals();
  bool stopRequested = false;         // held until the service can take it
  bool interrogateRequested = false;  // the same
  for (;;) {
    bool stopped, running, returned, hasHandler;
    {
      std::lock_guard<std::mutex> guard(state.mutex);
      stopped = state.reportedStopped;
      running = state.reportedRunning;
      returned = state.serviceMainReturned;
      hasHandler = state.handler != nullptr;
    }
    // Without a handler nothing could ever stop the service; with one, a
    // service whose entry point returned keeps running on its own threads.
    if (returned && (stopped || !hasHandler)) break;
    const bool acceptsControls = hasHandler && !stopped && (running || returned);
    if (stopped) stopRequested = interrogateRequested = false;
    if (acceptsControls && stopRequested) {
      stopRequested = interrogateRequested = false;
      DeliverControl(kServiceControlStop);
      continue;
    }
    if (acceptsControls && interrogateRequested) {
      interrogateRequested = false;
      DeliverControl(kServiceControlInterrogate);
      continue;
    }
    siginfo_t info;
    const int signal = sigwaitinfo(&signals, &info);
    if (signal == SIGTERM || signal == SIGINT) {
      stopRequested = true;
    } else if (signal == SIGHUP) {
      interrogateRequested = true;
    }
    // kWakeSignal, or EINTR: look at the state again.
  }
  JoinThread(serviceThread);
  delete start;
  std::lock_guard<std::mutex> guard(state.mutex);
  state.dispatching = false;
  // Leave no wake-up pending for whoever unblocks the signal later.
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, kWakeSignal);
  const timespec now{0, 0};
  while (sigtimedwait(&wake, nullptr, &now) == kWakeSignal) {
  }
  return true;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* serviceName,
                                               ServiceHandlerFunction handler) {
  if (serviceName == nullptr || handler == nullptr) {
    lastServiceError = kErrorInvalidParameter;
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(State().mutex);
  State().handler = handler;
  return &statusHandleToken;
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (handle != &statusHandleToken) {
    lastServiceError = kErrorInvalidHandle;
    return false;
  }
  // systemd hears of the state before the dispatcher can act on it, so READY
  // always precedes STOPPING.
  posix::NotifyServiceStatus(status);
  HostState& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.status = status;
  if (status.currentState == kServiceRunning) state.reportedRunning = true;
  if (status.currentState == kServiceStopped) {
    state.reportedStopped = true;
    state.lastExitCode = status.win32ExitCode;
  }
  WakeDispatcherLocked(state);
  return true;
}

std::uint32_t LastSystemError() { return lastServiceError; }

int ExitCodeAfterDispatch() {
  std::lock_guard<std::mutex> guard(State().mutex);
  return State().lastExitCode == 0 ? 0 : 1;
}

}  // namespace platform
