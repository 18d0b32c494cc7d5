#include "device/registry_strings.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/registry.h"
#include "tests/support/fake_registry.h"

namespace {

using namespace std::string_literals;

constexpr const char* kKey = "SOFTWARE\\Test\\Device";

struct StringCase {
  const char* what;
  std::uint32_t type;
  std::string bytes;
  std::optional<std::string> strict;  // nullopt: missing
  LenientRead lenient;
  std::string lenientText;
};

const std::string k260(260, 'x');
const std::string k261(261, 'x');

class RegistryStringRules : public testing::TestWithParam<StringCase> {};

TEST_P(RegistryStringRules, ReadAsTheRuleSays) {
  const StringCase& c = GetParam();
  CFakeRegistry registry;
  registry.Put(kKey, "Value", c.type, c.bytes);

  EXPECT_EQ(ReadStrictString(registry, kKey, "Value"), c.strict) << c.what;
  std::string text = "stale";
  EXPECT_EQ(ReadLenientString(registry, kKey, "Value", text), c.lenient) << c.what;
  EXPECT_EQ(text, c.lenientText) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryStringRules,
    testing::Values(
        StringCase{"terminated REG_SZ", platform::kRegSz, "1234.5678.02\0"s, "1234.5678.02",
                   LenientRead::kText, "1234.5678.02"},
        StringCase{"REG_EXPAND_SZ", platform::kRegExpandSz, "%X%\0"s, std::nullopt,
                   LenientRead::kText, "%X%"},
        StringCase{"REG_BINARY", platform::kRegBinary, "abc\0"s, std::nullopt,
                   LenientRead::kMissing, ""},
        StringCase{"no bytes", platform::kRegSz, "", std::nullopt, LenientRead::kNoBytes, ""},
        StringCase{"only the terminator", platform::kRegSz, "\0"s, "", LenientRead::kText, ""},
        StringCase{"unterminated", platform::kRegSz, "abc", "abc", LenientRead::kMissing, ""},
        StringCase{"embedded zero", platform::kRegSz, "ab\0cd\0"s, "ab", LenientRead::kText, "ab"},
        StringCase{"260 characters and terminator", platform::kRegSz, k260 + "\0"s, k260,
                   LenientRead::kText, k260},
        StringCase{"261 characters and terminator", platform::kRegSz, k261 + "\0"s, std::nullopt,
                   LenientRead::kMissing, ""},
        StringCase{"261 characters unterminated", platform::kRegSz, k261, k261,
                   LenientRead::kMissing, ""}));

TEST(RegistryStringRulesTest, MissingValueIsMissingForBoth) {
  CFakeRegistry registry;
  registry.CreateKey(kKey);
  std::string text;
  EXPECT_EQ(ReadStrictString(registry, kKey, "Value"), std::nullopt);
  EXPECT_EQ(ReadLenientString(registry, kKey, "Value", text), LenientRead::kMissing);
  EXPECT_EQ(ReadLenientStringOrEmpty(registry, kKey, "Value"), "");
}

}  // namespace
