#include "net/refusal_log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::chrono_literals;
using Clock = CRefusalLog::Clock;

TEST(RefusalLogTest, EachAddressIsLoggedOnceAMinuteWithTheCountBetween) {
  CRefusalLog log("connection");
  const Clock::time_point start{};
  EXPECT_EQ(log.Refuse(0xC6336403, start),
            "Refused connection from 198.51.100.3: not in AllowedClients");
  for (int i = 1; i <= 500; ++i) {
    EXPECT_FALSE(log.Refuse(0xC6336403, start + i * 100ms).has_value());
  }
  // Another address has a minute of its own.
  EXPECT_TRUE(log.Refuse(0xC6336404, start + 30s).has_value());
  EXPECT_EQ(log.Refuse(0xC6336403, start + 60s),
            "Refused connection from 198.51.100.3: not in AllowedClients (500 more refused since "
            "the last line)");
  EXPECT_FALSE(log.Refuse(0xC6336403, start + 119s).has_value());
}

// A flood from ever new addresses: the table keeps its size and the log
// gets at most one line per slot and one summary a minute.
TEST(RefusalLogTest, FloodFromManyAddressesStaysBounded) {
  CRefusalLog log("datagram");
  const Clock::time_point start{};
  std::size_t lines = 0;
  std::string summary;
  for (std::uint32_t i = 0; i < 100000; ++i) {
    // 100,000 addresses within 50 seconds.
    if (auto line = log.Refuse(0x0A000000 + i, start + i * 500us)) {
      ++lines;
      if (line->find("one by one") != std::string::npos) summary = *line;
    }
    ASSERT_LE(log.Tracked(), CRefusalLog::kCapacity);
  }
  EXPECT_EQ(lines, CRefusalLog::kCapacity + 1);
  EXPECT_EQ(summary,
            "Refused 1 datagram(s) from addresses not in AllowedClients that are not logged one by "
            "one");
  // A minute after the summary: the slots are free again, and the next
  // summary counts every refusal that got no line of its own.
  std::optional<std::string> next = log.Refuse(0x0B000000, start + 51s + 60s);
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(*next, "Refused datagram from 11.0.0.0: not in AllowedClients");
  for (std::uint32_t i = 1; i < CRefusalLog::kCapacity; ++i)
    log.Refuse(0x0B000000 + i, start + 112s);
  EXPECT_EQ(log.Refuse(0x0C000000, start + 112s),
            "Refused " + std::to_string(100000 - CRefusalLog::kCapacity) +
                " datagram(s) from addresses not in AllowedClients that are not logged one by one");
}

}  // namespace
