#include "client/progress_answer.h"

#include <gtest/gtest.h>

#include "client/client_session.h"
#include "client/error.h"

namespace {

TEST(ProgressAnswer, ParsesPercentStateAndUnquotedText) {
  const struct {
    const char* answer;
    int percent;
    int state;
    const char* text;
  } cases[] = {
      {"50,inst,\"Copying \"\"a\"\" file\"\n", 50, CClientSession::kInst, "Copying \"a\" file"},
      {"45,INST,\"\"\n", 45, CClientSession::kInst, ""},
      {"100,ERR,\"System Reboot Failed.\"\n", 100, CClientSession::kErr, "System Reboot Failed."},
      {"0,SUCC,\"\"\n", 0, CClientSession::kSucc, ""},
      {"100,BOOT,'a''b'\n", 100, CClientSession::kBoot, "a'b"},
      {"7,RUN,no quotes\n", 7, CClientSession::kRun, "no quotes\n"},  // line end kept
      {"x,TRAN,\"t\"\n", 0, CClientSession::kTran, "t"},              // no percent: 0
      {"1,Run,\"a, b\"\n", 1, CClientSession::kRun, "a, b"},          // commas in the text
      {"1,RUN,\"a\"b\"\"c\"\n", 1, CClientSession::kRun, "ab\"\"c"},  // walk stops at a lone quote
  };
  for (const auto& c : cases) {
    const CProgressAnswer parsed = ParseProgressAnswer(c.answer);
    EXPECT_EQ(parsed.percent, c.percent) << c.answer;
    EXPECT_EQ(parsed.state, c.state) << c.answer;
    EXPECT_EQ(parsed.text, c.text) << c.answer;
  }
}

TEST(ProgressAnswer, RefusesMissingCommasAndUnknownWords) {
  const struct {
    const char* answer;
    const char* error;
  } cases[] = {
      {"50,INST\n", "Protocol Error: progress syntax"},
      {"50\n", "Protocol Error: progress syntax"},
      {"", "Protocol Error: progress syntax"},
      {"50,UNDEF,\"\"\n", "Protocol Error: undefined progress"},
      {"50,INSTALL,\"\"\n", "Protocol Error: undefined progress"},
      {"50,,\"\"\n", "Protocol Error: undefined progress"},
      {"50, INST,\"\"\n", "Protocol Error: undefined progress"},
  };
  for (const auto& c : cases) {
    try {
      ParseProgressAnswer(c.answer);
      ADD_FAILURE() << "accepted: " << c.answer;
    } catch (const Fernway::CError& error) {
      EXPECT_EQ(error.Message(), c.error) << c.answer;
    }
  }
}

}  // namespace
