#include <gtest/gtest.h>

#include "client/error.h"
#include "platform/error_text.h"

namespace {

TEST(SocketError, TimeOutMessageCarriesCodeAndSystemText) {
  const Fernway::CSocketError error(10060);
  EXPECT_EQ(error.Message(), "SOCKET: Error code 0x0000274C: " + platform::SystemErrorText(10060));
  EXPECT_TRUE(error.IsTimeout());
  EXPECT_EQ(error.Code(), 10060);
}

TEST(SocketError, OnlyTheTimeOutCodeSetsTheTimeoutFlag) {
  for (int code : {0, 10054, 10061, 10059, 10040}) {
    EXPECT_FALSE(Fernway::CSocketError(code).IsTimeout()) << code;
  }
}

TEST(SocketError, CodeWithoutSystemTextEndsAfterTheNumber) {
  EXPECT_EQ(Fernway::CSocketError(0x7FFF1234).Message(), "SOCKET: Error code 0x7FFF1234: ");
}

TEST(SocketError, CopyAsBaseKeepsMessageAndFlag) {
  const Fernway::CSocketError error(10060);
  const Fernway::CError copy(error);
  EXPECT_EQ(copy.Message(), error.Message());
  EXPECT_TRUE(copy.IsTimeout());
}

}  // namespace
