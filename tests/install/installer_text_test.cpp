// The installer texts the service reads and rewrites.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/patch_property.h"
#include "install/progress_fields.h"

namespace {

TEST(ProgressFieldsTest, FieldsByMessageType) {
  struct Case {
    std::string text;
    bool ok;
    std::vector<std::int64_t> fields;
  };
  const Case cases[] = {
      {"1: 0 2: 24006 3: 0 4: 0", true, {0, 24006, 0, 0}},
      {"1: 1 2: 20 3: 1", true, {1, 20, 1}},
      {"1: 2 2: 10", true, {2, 10}},
      {"1: 3 2: 7", true, {3, 7}},
      {"1: 2 2: 10.9", true, {2, 10}},
      {"1: 5 2: 10", false, {}},
      {"1: -1 2: 10", false, {}},
      {"2: 2 1: 10", false, {}},
      {"1; 2 2: 10", false, {}},
      {"1: 0 2: 10 3: 0", false, {}},
      {"1: 2 2: 1e300", false, {}},
      {"", false, {}},
  };
  for (const Case& c : cases) {
    std::int64_t fields[4] = {-9, -9, -9, -9};
    EXPECT_EQ(ParseProgressFields(c.text, fields), c.ok) << c.text;
    for (std::size_t i = 0; c.ok && i < c.fields.size(); ++i) {
      EXPECT_EQ(fields[i], c.fields[i]) << c.text << " field " << i + 1;
    }
  }
}

TEST(PatchPropertyTest, ValueBecomesQuotedFullPaths) {
  const auto full = [](const std::string& name) { return "D:\\T\\" + name; };
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"A=1 B=2", "A=1 B=2"},
      {"PATCH=a.msp;b.msp", "PATCH=\"D:\\T\\a.msp;D:\\T\\b.msp\""},
      {"X=1 PATCH=a.msp Y=2", "X=1 PATCH=\"D:\\T\\a.msp\" Y=2"},
      {"PATCH=\"my file.msp\" Y=2", "PATCH=\"D:\\T\\my file.msp\" Y=2"},
      {"PATCH=\"a \"\"q\"\".msp\"", "PATCH=\"D:\\T\\a \"q\".msp\""},
      {"patch=a.msp", "patch=a.msp"},
      {"PATCH=a.msp PATCH=b.msp", "PATCH=\"D:\\T\\a.msp\" PATCH=b.msp"},
  };
  for (const Case& c : cases) {
    std::string commandLine = c.in;
    RewritePatchProperty(commandLine, full);
    EXPECT_EQ(commandLine, c.out) << c.in;
  }
}

}  // namespace
