#include "federation/known_servers.h"

#include <gtest/gtest.h>

namespace {

TEST(KnownServers, BeforeAnyScanNoIdentifierIsKnown) {
  CKnownServers known;
  platform::Endpoint address{1, 2};
  EXPECT_FALSE(known.Find("\"{0A000000-0000-4000-8000-00000000000A}\"", address));
  EXPECT_EQ(address.address, 1u);
  EXPECT_EQ(known.Answer(), "");
  // The process's own table starts empty as well.
  EXPECT_EQ(CKnownServers::Instance().Answer(), "");
}

TEST(KnownServers, OneScanAtATimeAndTheTableReplacedWhole) {
  CKnownServers known;
  ASSERT_TRUE(known.BeginScan());
  EXPECT_FALSE(known.BeginScan());
  known.EndScan({{"\"b\"", {2, 13217}}, {"\"a\"", {1, 13217}}});
  EXPECT_EQ(known.Answer(), "\"a\",\"b\"");
  ASSERT_TRUE(known.BeginScan());
  known.EndScan({{"\"c\"", {3, 13217}}});
  EXPECT_EQ(known.Answer(), "\"c\"");
  platform::Endpoint address;
  EXPECT_FALSE(known.Find("\"a\"", address));
  EXPECT_TRUE(known.Find("\"c\"", address));
  EXPECT_EQ(address.address, 3u);
}

}  // namespace
