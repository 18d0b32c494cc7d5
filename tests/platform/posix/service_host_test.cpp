// The foreground service host: signals become service controls on the
// dispatcher's thread, systemd hears about readiness and stops, and the exit
// status tells a failed start from a clean stop.
#include "platform/service_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/thread.h"

namespace {

using platform::ServiceStatus;

// What the fake service does once its entry point runs.
enum class Script {
  kRunThenTerm,
  kFailStart,
  kHangUpThenTerm,
  kTermBeforeHandler,
  // Signals that arrive while the service is still starting.
  kTermAndHangUpWhileStarting,
  kTermWhileStartingThenFail,
  kTermWhileStartingThenReturnWithoutReport,
};

struct FakeService {
  Script script = Script::kRunThenTerm;
  platform::ServiceStatusHandle handle = nullptr;
  std::mutex mutex;
  std::vector<std::uint32_t> controls;
  std::vector<pthread_t> handlerThreads;
  std::string argv0;
  bool startReported = false;                // running reported, or ServiceMain about to return
  std::vector<bool> startReportedAtControl;  // per control: had the start been reported?
};

FakeService* fake = nullptr;

void Report(std::uint32_t state, std::uint32_t exitCode) {
  ServiceStatus status;
  status.serviceType = 0x30;
  status.currentState = state;
  status.controlsAccepted = 1;
  status.win32ExitCode = exitCode;
  EXPECT_TRUE(platform::SetServiceStatus(fake->handle, status));
}

void Handler(std::uint32_t control) {
  {
    std::lock_guard<std::mutex> guard(fake->mutex);
    fake->controls.push_back(control);
    fake->handlerThreads.push_back(pthread_self());
    fake->startReportedAtControl.push_back(fake->startReported);
  }
  Report(control == platform::kServiceControlStop ? platform::kServiceStopped
                                                  : platform::kServiceRunning,
         0);
}

void Started() {
  std::lock_guard<std::mutex> guard(fake->mutex);
  fake->startReported = true;
}

void ServiceMain(std::uint32_t argc, char** argv) {
  if (argc > 0) fake->argv0 = argv[0];
  if (fake->script == Script::kTermBeforeHandler) {
    kill(getpid(), SIGTERM);
    platform::SleepMs(300);
  }
  fake->handle = platform::RegisterServiceCtrlHandler("TestService", &Handler);
  ASSERT_NE(fake->handle, nullptr);
  Report(platform::kServiceStartPending, 0);
  switch (fake->script) {
    case Script::kFailStart:
      Report(platform::kServiceStopped, 10048);
      return;
    case Script::kHangUpThenTerm:
      Report(platform::kServiceRunning, 0);
      kill(getpid(), SIGHUP);
      kill(getpid(), SIGTERM);
      return;
    case Script::kRunThenTerm:
      Report(platform::kServiceRunning, 0);
      kill(getpid(), SIGTERM);
      return;
    case Script::kTermBeforeHandler:
      Report(platform::kServiceRunning, 0);
      return;
    case Script::kTermAndHangUpWhileStarting:
      kill(getpid(), SIGHUP);
      kill(getpid(), SIGTERM);
      platform::SleepMs(200);  // a stop delivered now would tear down a half-built service
      Started();
      Report(platform::kServiceRunning, 0);
      return;
    case Script::kTermWhileStartingThenFail:
      kill(getpid(), SIGTERM);
      platform::SleepMs(100);
      Report(platform::kServiceStopped, 10048);
      return;
    case Script::kTermWhileStartingThenReturnWithoutReport:
      kill(getpid(), SIGTERM);
      platform::SleepMs(100);
      Started();
      return;
  }
}

class ServiceHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &service_;
    char pattern[] = "/tmp/vorn-notify-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    socketPath_ = directory_ + "/notify";
    notify_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(notify_, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath_.c_str());
    ASSERT_EQ(bind(notify_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", socketPath_.c_str(), 1);
  }

  void TearDown() override {
    unsetenv("NOTIFY_SOCKET");
    close(notify_);
    unlink(socketPath_.c_str());
    rmdir(directory_.c_str());
    fake = nullptr;
  }

  bool Dispatch(Script script) {
    service_.script = script;
    return platform::StartServiceCtrlDispatcher("TestService", &ServiceMain);
  }

  // Everything sent to systemd, one message per entry.
  std::vector<std::string> Notifications() {
    std::vector<std::string> messages;
    char buffer[512];
    for (;;) {
      ssize_t n = recv(notify_, buffer, sizeof buffer, 0);
      if (n < 0) break;
      messages.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return messages;
  }

  static std::size_t IndexOf(const std::vector<std::string>& messages, const std::string& part) {
    for (std::size_t i = 0; i < messages.size(); ++i) {
      if (messages[i].find(part) != std::string::npos) return i;
    }
    return messages.size();
  }

  FakeService service_;
  std::string directory_;
  std::string socketPath_;
  int notify_ = -1;
};

TEST_F(ServiceHostTest, SigtermStopsTheServiceOnTheDispatcherThreadAndExitsWithZero) {
  pthread_t dispatcher = pthread_self();
  ASSERT_TRUE(Dispatch(Script::kRunThenTerm));
  EXPECT_EQ(service_.controls, std::vector<std::uint32_t>{platform::kServiceControlStop});
  ASSERT_EQ(service_.handlerThreads.size(), 1u);
  EXPECT_TRUE(pthread_equal(service_.handlerThreads[0], dispatcher));
  EXPECT_EQ(service_.argv0, "TestService");
  EXPECT_EQ(platform::ExitCodeAfterDispatch(), 0);

  std::vector<std::string> messages = Notifications();
  std::size_t ready = IndexOf(messages, "READY=1");
  std::size_t stopping = IndexOf(messages, "STOPPING=1");
  EXPECT_LT(ready, messages.size());
  EXPECT_LT(stopping, messages.size());
  EXPECT_LT(ready, stopping);
}

TEST_F(ServiceHostTest, FailedStartEndsTheDispatcherWithANonZeroExitStatus) {
  ASSERT_TRUE(Dispatch(Script::kFailStart));
  EXPECT_TRUE(service_.controls.empty());
  EXPECT_EQ(platform::ExitCodeAfterDispatch(), 1);
  std::vector<std::string> messages = Notifications();
  EXPECT_EQ(IndexOf(messages, "READY=1"), messages.size()) << "a failed start is never ready";
  std::size_t failure = IndexOf(messages, "ERRNO=98");  // EADDRINUSE for 10048
  ASSERT_LT(failure, messages.size());
  EXPECT_NE(messages[failure].find("10048"), std::string::npos) << messages[failure];

  // The next clean run is judged on its own.
  ASSERT_TRUE(Dispatch(Script::kRunThenTerm));
  EXPECT_EQ(platform::ExitCodeAfterDispatch(), 0);
}

TEST_F(ServiceHostTest, HangUpInterrogatesWithoutStopping) {
  ASSERT_TRUE(Dispatch(Script::kHangUpThenTerm));
  EXPECT_EQ(service_.controls, (std::vector<std::uint32_t>{platform::kServiceControlInterrogate,
                                                           platform::kServiceControlStop}));
}

TEST_F(ServiceHostTest, StopArrivingBeforeTheHandlerIsDeliveredOnceItIsRegistered) {
  ASSERT_TRUE(Dispatch(Script::kTermBeforeHandler));
  EXPECT_EQ(service_.controls, std::vector<std::uint32_t>{platform::kServiceControlStop});
  EXPECT_EQ(platform::ExitCodeAfterDispatch(), 0);
}

TEST_F(ServiceHostTest, ControlsDuringStartUpWaitUntilTheServiceRunsOrReturns) {
  ASSERT_TRUE(Dispatch(Script::kTermAndHangUpWhileStarting));
  // The stop supersedes the interrogation that waited with it.
  EXPECT_EQ(service_.controls, std::vector<std::uint32_t>{platform::kServiceControlStop});
  EXPECT_EQ(service_.startReportedAtControl, std::vector<bool>{true});
  EXPECT_EQ(platform::ExitCodeAfterDispatch(), 0);

  service_.startReported = false;
  service_.controls.clear();
  service_.startReportedAtControl.clear();
  ASSERT_TRUE(Dispatch(Script::kTermWhileStartingThenReturnWithoutReport));
  EXPECT_EQ(service_.controls, std::vector<std::uint32_t>{platform::kServiceControlStop});
  EXPECT_EQ(service_.startReportedAtControl, std::vector<bool>{true});
  EXPECT_EQ(platform::ExitCodeAfterDispatch(), 0);
}

TEST_F(ServiceHostTest, StopDuringAFailedStartIsNeverDelivered) {
  ASSERT_TRUE(Dispatch(Script::kTermWhileStartingThenFail));
  EXPECT_TRUE(service_.controls.empty());
  EXPECT_EQ(platform::ExitCodeAfterDispatch(), 1);
}

TEST(ServiceStatusTest, UnknownHandleIsRefused) {
  int other = 0;
  EXPECT_FALSE(platform::SetServiceStatus(&other, ServiceStatus{}));
  EXPECT_EQ(platform::LastSystemError(), 6u);  // ERROR_INVALID_HANDLE
}

}  // namespace
