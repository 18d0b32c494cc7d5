// A service process started from a console, as the service control manager
// would never start it: the dispatcher refuses with 1063 and the service
// entry is never called.
#include "platform/service_host.h"

#include <gtest/gtest.h>

namespace {

bool serviceMainCalled = false;

void ServiceMain(std::uint32_t, char**) { serviceMainCalled = true; }

TEST(ServiceHostTest, DispatcherStartedFromAConsoleFailsWith1063) {
  EXPECT_FALSE(platform::StartServiceCtrlDispatcher("MkVornService", &ServiceMain));
  EXPECT_EQ(platform::LastSystemError(), 1063u);
  EXPECT_FALSE(serviceMainCalled);
}

}  // namespace
