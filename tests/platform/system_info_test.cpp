#include "platform/system_info.h"

#include <gtest/gtest.h>

#include <cctype>

namespace {

bool IsRegistryGuid(const std::string& text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  for (std::size_t i = 1; i < 37; ++i) {
    bool hyphen = i == 9 || i == 14 || i == 19 || i == 24;
    char c = text[i];
    if (hyphen ? c != '-'
               : !(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

TEST(SystemInfoTest, GuidTextHasTheRegistryFormAndIsNewEachTime) {
  std::string first = platform::CreateGuidText();
  std::string second = platform::CreateGuidText();
  EXPECT_TRUE(IsRegistryGuid(first)) << first;
  EXPECT_TRUE(IsRegistryGuid(second)) << second;
  EXPECT_NE(first, second);
}

TEST(SystemInfoTest, HostNameIsKnown) { EXPECT_FALSE(platform::HostName().empty()); }

}  // namespace
