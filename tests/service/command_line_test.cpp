#include "service/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/process_config.h"

namespace {

struct CommandLineCase {
  std::vector<std::string> arguments;
  int result;  // -1: the process goes on
  bool version;
  bool check;
  const char* registryPath;  // where the store is a file
};

int Parse(std::vector<std::string> arguments, ServiceCommandLine& options) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int result =
      ParseServiceCommandLine(static_cast<int>(arguments.size()), argv.data(), options);
  ::testing::internal::GetCapturedStdout();
  const std::string errors = ::testing::internal::GetCapturedStderr();
  if (result == 2) {
    EXPECT_NE(errors.find("Usage: vornsvc"), std::string::npos) << errors;
  }
  return result;
}

TEST(ServiceCommandLineTest, VersionCheckAndTheRegistryPathAreRecognisedOthersAreUsageErrors) {
  const bool file = platform::ConfigurationIsAFile();
  std::vector<CommandLineCase> cases = {
      {{"vornsvc"}, -1, false, false, ""},          {{"vornsvc", "--version"}, -1, true, false, ""},
      {{"vornsvc", "--help"}, 0, false, false, ""}, {{"vornsvc", "--bogus"}, 2, false, false, ""},
      {{"vornsvc", "extra"}, 2, false, false, ""},
  };
  if (file) {
    cases.push_back(
        {{"vornsvc", "--check", "--registry", "/tmp/r.reg"}, -1, false, true, "/tmp/r.reg"});
    cases.push_back({{"vornsvc", "--registry=/tmp/r.reg"}, -1, false, false, "/tmp/r.reg"});
    cases.push_back({{"vornsvc", "--registry"}, 2, false, false, ""});
  } else {
    cases.push_back({{"vornsvc", "--check"}, -1, false, true, ""});
    cases.push_back({{"vornsvc", "--registry", "x"}, 2, false, false, ""});
  }
  for (const CommandLineCase& c : cases) {
    ServiceCommandLine options;
    const int result = Parse(c.arguments, options);
    EXPECT_EQ(result, c.result) << c.arguments.back();
    if (result != -1) continue;
    EXPECT_EQ(options.version, c.version) << c.arguments.back();
    EXPECT_EQ(options.check, c.check) << c.arguments.back();
    // Without --registry the default (VORN_REGISTRY where the store is a file).
    const std::string expected =
        *c.registryPath != '\0' ? c.registryPath : platform::DefaultRegistryPath();
    EXPECT_EQ(options.registryPath, expected) << c.arguments.back();
  }
}

}  // namespace
