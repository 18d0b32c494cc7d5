#include <gtest/gtest.h>

#include "platform/error_text.h"

namespace {

// Winsock numbers read as the C library's texts of the errno behind them.
TEST(PosixErrorText, WinsockNumbersGetTheLibrarysTexts) {
  EXPECT_EQ(platform::SystemErrorText(10060), "Connection timed out");
  EXPECT_EQ(platform::SystemErrorText(10061), "Connection refused");
  EXPECT_EQ(platform::SystemErrorText(10054), "Connection reset by peer");
  EXPECT_FALSE(platform::SystemErrorText(11001).empty());
  EXPECT_EQ(platform::SystemErrorText(4242), "");
}

}  // namespace
