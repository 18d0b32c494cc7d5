#include <gtest/gtest.h>

#include <fstream>

#include "tools/vornctl/console/history.h"
#include "tools/vornctl/console/package_store.h"
#include "tools/vornctl/console/security.h"

namespace {

using namespace vornctl::console;

const std::string kToken = "0123456789abcdef0123456789abcdef";

AccessPolicy Remote() {
  AccessPolicy policy;
  policy.requireToken = true;
  policy.token = kToken;
  policy.hostNames = {"198.51.100.100:8080"};
  return policy;
}

struct AccessCase {
  const char* what;
  RequestFacts request;
  int status;
};

TEST(ConsoleAccess, TokenOriginAndHostDecideEveryRequest) {
  const std::string host = "198.51.100.100:8080";
  const std::string origin = "http://" + host;
  const AccessCase cases[] = {
      {"no token", {"GET", host, "", "", "", "", ""}, 401},
      {"bearer token", {"GET", host, "", "", "Bearer " + kToken, "", ""}, 0},
      {"bearer in other case", {"GET", host, "", "", "bearer " + kToken, "", ""}, 0},
      {"cookie", {"GET", host, "", "", "", "a=b; vorn_console_token=" + kToken, ""}, 0},
      {"query token on the page", {"GET", host, "", "", "", "", kToken}, 0},
      {"wrong token", {"GET", host, "", "", "Bearer " + kToken + "0", "", ""}, 401},
      {"token prefix", {"GET", host, "", "", "Bearer 0123", "", ""}, 401},
      {"empty cookie value", {"GET", host, "", "", "", "vorn_console_token=", ""}, 401},
      {"foreign host name", {"GET", "evil.example:8080", "", "", "Bearer " + kToken, "", ""}, 421},
      {"change, own origin", {"POST", host, origin, "same-origin", "Bearer " + kToken, "", ""}, 0},
      {"change, foreign origin",
       {"POST", host, "http://evil.example", "cross-site", "Bearer " + kToken, "", ""},
       403},
      {"change, script without origin", {"DELETE", host, "", "", "Bearer " + kToken, "", ""}, 0},
      {"change, browser cross-site without origin",
       {"PUT", host, "", "cross-site", "Bearer " + kToken, "", ""},
       403},
      {"read from a foreign origin still needs the token",
       {"GET", host, "http://evil.example", "cross-site", "", "", ""},
       401},
  };
  for (const AccessCase& c : cases) {
    EXPECT_EQ(CheckAccess(Remote(), c.request).status, c.status) << c.what;
  }
}

TEST(ConsoleAccess, LoopbackNeedsNoTokenButItsOwnName) {
  AccessPolicy policy;
  policy.hostNames = {"127.0.0.1:8080", "localhost:8080"};
  EXPECT_EQ(CheckAccess(policy, {"GET", "localhost:8080", "", "", "", "", ""}).status, 0);
  // A name of another site that resolves to 127.0.0.1 (DNS rebinding).
  EXPECT_EQ(CheckAccess(policy, {"GET", "evil.example:8080", "", "", "", "", ""}).status, 421);
  EXPECT_EQ(
      CheckAccess(policy, {"POST", "127.0.0.1:8080", "http://evil.example", "", "", "", ""}).status,
      403);
}

TEST(ConsoleAccess, NewTokensDifferAndAreLong) {
  const std::string a = NewToken(), b = NewToken();
  EXPECT_EQ(a.size(), 64u);
  EXPECT_NE(a, b);
}

TEST(ConsolePackages, OnlyPlainFileNamesTravel) {
  for (const char* bad : {"", ".", "..", "../x.exe", "a/b.exe", "a\\b.exe", "c:x.exe", "x.exe.",
                          "a\nb.exe", "a<b>.msi", "setup.exe "}) {
    EXPECT_FALSE(IsPlainFileName(bad)) << bad;
  }
  for (const char* good : {"setup.exe", "Product 1.2.msi", "tool_v2.sh"}) {
    EXPECT_TRUE(IsPlainFileName(good)) << good;
  }
}

TEST(ConsoleHistory, ACutOffLineIsSkippedAndTheNextRunStartsItsOwn) {
  const std::string path = testing::TempDir() + "/console_history.jsonl";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "{\"id\":\"j1\"}\n{\"id\":\"j2\",\"targ";  // the second cut off by a crash
  }
  {
    History history(path);
    EXPECT_EQ(history.All().size(), 1u);
    EXPECT_EQ(history.Skipped(), 1u);
    EXPECT_TRUE(history.Append({{"id", "j3"}}));
  }
  History again(path);
  ASSERT_EQ(again.All().size(), 2u);
  EXPECT_EQ(again.All()[1]["id"], "j3");
}

}  // namespace
