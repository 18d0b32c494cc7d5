// The service is not started over a configuration store it cannot read: the
// process is configured only with a readable, sound registry file.
#include "platform/process_config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/command_line.h"
#include "tests/platform/posix/registry_file_support.h"

namespace {

// Runs ConfigureProcess in a child (the process's store is chosen once per
// process), which prints the problems on standard error and exits 0 or 1.
void ConfigureAndExit(const std::string& path) {
  std::vector<std::string> problems;
  const bool configured = platform::ConfigureProcess(path, problems);
  for (const std::string& problem : problems) std::fprintf(stderr, "%s\n", problem.c_str());
  std::exit(configured && problems.empty() ? 0 : 1);
}

TEST(ConfigureProcessDeathTest, OnlyASoundRegistryFileLetsTheServiceStart) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  vorn_test::CRegistryFileDirectory directory;
  const std::string path = directory.Path();
  struct Case {
    const char* what;
    const char* contents;  // nullptr: no file
    int status;
    std::string stderrPattern;
  } cases[] = {
      {"sound file", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n", 0, ""},
      {"no path", nullptr, 1, "--registry PATH or set VORN_REGISTRY"},
      {"missing file", nullptr, 1, "registry.reg: cannot read the configuration store"},
      {"bad lines", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"A\"=\"x\n\"B\"=hex:zz\n", 1,
       "registry.reg:3: .*registry.reg:4: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    unlink(path.c_str());
    if (c.contents != nullptr) directory.Write(c.contents);
    const std::string given = std::string(c.what) == "no path" ? "" : path;
    EXPECT_EXIT(ConfigureAndExit(given), ::testing::ExitedWithCode(c.status), c.stderrPattern);
    if (c.contents != nullptr) {
      EXPECT_EQ(directory.Read(), c.contents);
    }
  }
  EXPECT_EQ(directory.Entries().size(), 1u);
}

int Parse(std::vector<std::string> arguments, ServiceCommandLine& options) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return ParseServiceCommandLine(static_cast<int>(arguments.size()), argv.data(), options);
}

TEST(ProcessCommandLineTest, TheEnvironmentNamesTheStoreWhenTheCommandLineDoesNot) {
  setenv("VORN_REGISTRY", "/tmp/from-environment.reg", 1);
  ServiceCommandLine options;
  EXPECT_EQ(Parse({"vornsvc"}, options), -1);
  EXPECT_EQ(options.registryPath, "/tmp/from-environment.reg");
  ServiceCommandLine given;
  EXPECT_EQ(Parse({"vornsvc", "--registry", "/tmp/given.reg"}, given), -1);
  EXPECT_EQ(given.registryPath, "/tmp/given.reg");
  unsetenv("VORN_REGISTRY");
}

}  // namespace
