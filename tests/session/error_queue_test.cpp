#include "session/error_queue.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ErrorText, RangeRowsCatchUnlistedCodesAtTheirPlaceInTheChain) {
  const struct {
    std::int32_t code;
    const char* text;
  } cases[] = {
      {0, "No error"},
      {-113, "Undefined header"},
      {-115, "Unexpected number of parameters"},
      {-116, "Command header error"},
      {-119, "Command header error"},
      {5, "Command header error"},
      {-1, "Command header error"},
      {-99, "Command header error"},
      {-120, "Numeric data error"},
      {-122, "Hardware error"},
      {-203, "Hardware error"},
      {-240, "Hardware error"},
      {-241, "Hardware missing"},
      {-249, "Hardware error"},
      {-232, "PH073 Invalid format"},
      {-250, "Mass storage error"},
      {-251, "Missing mass storage"},
      {-294, "PH076 Incompatible type"},
      {-350, "Queue overflow"},
      {-363, "HP079 Input buffer overrun"},
      {-800, "Operation complete"},
      {-259, "Unknown Error"},
      {-999, "Unknown Error"},
      {INT32_MIN, "Unknown Error"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(ErrorText(c.code), c.text) << c.code;
  }
}

TEST(FormatError, CodeTextAndDetailAsOneEntry) {
  EXPECT_EQ(FormatError(0), "0,\"No error\"");
  EXPECT_EQ(FormatError(-113, "DIAG:FOO?"), "-113,\"Undefined header;DIAG:FOO?\"");
  EXPECT_EQ(FormatError(-200, ""), "-200,\"Execution error\"");
  // The detail goes in as it is, quotes not doubled.
  EXPECT_EQ(FormatError(-200, "a\"b"), "-200,\"Execution error;a\"b\"");
}

TEST(ErrorQueue, OldestFirstThenNoError) {
  CErrorQueue queue;
  queue.Push(-113, "X");
  queue.Push(-221, "No Device ID selected");
  EXPECT_EQ(queue.Pop(), "-113,\"Undefined header;X\"");
  EXPECT_EQ(queue.Pop(), "-221,\"Settings conflict;No Device ID selected\"");
  EXPECT_EQ(queue.Pop(), "0,\"No error\"");
}

TEST(ErrorQueue, FullQueueReplacesNewestByOverflowAndDropsLaterErrors) {
  CErrorQueue queue;
  for (std::size_t i = 0; i < CErrorQueue::kCapacity - 1; ++i) queue.Push(-113, "OLD");
  queue.Push(-200, "last that fits");
  EXPECT_EQ(queue.Size(), CErrorQueue::kCapacity);
  queue.Push(-113, "lost");
  queue.Push(-120);
  EXPECT_EQ(queue.Size(), CErrorQueue::kCapacity);
  for (std::size_t i = 0; i < CErrorQueue::kCapacity - 1; ++i) {
    ASSERT_EQ(queue.Pop(), "-113,\"Undefined header;OLD\"") << i;
  }
  EXPECT_EQ(queue.Pop(), "-350,\"Queue overflow\"");
  EXPECT_TRUE(queue.Empty());
  // Once read, the queue takes errors again.
  queue.Push(-120);
  EXPECT_EQ(queue.Pop(), "-120,\"Numeric data error\"");
}

}  // namespace
