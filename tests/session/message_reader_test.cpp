#include "session/message_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "tests/support/scripted_socket_api.h"
#include "tests/support/wire_text.h"

namespace {

using vorn_test::CScriptedSocketApi;
using namespace std::string_literals;

// A reader over a scripted peer; the script may be cut into pieces of any size.
class ReaderOver {
 public:
  explicit ReaderOver(const std::string& data, const std::vector<std::size_t>& sizes = {}) {
    sockets.Feed(data, sizes);
  }
  // Everything that is left for the next reader call, consumed.
  std::string Rest() {
    std::string rest;
    char chunk[CMessageReader::kPeekLimit];
    for (int n; (n = reader.Read(chunk, sizeof chunk)) > 0;) rest.append(chunk, n);
    return rest;
  }

  CScriptedSocketApi sockets;
  std::atomic<platform::SocketHandle> socket{CScriptedSocketApi::kHandle};
  CMessageReader reader{nullptr, sockets, &socket};
};

// One byte per recv, three, and the whole script at once: a reader must not
// care where the network cut the stream.
const std::vector<std::vector<std::size_t>> kSplits = {{}, {1}, {3}, {7, 1, 250}};

struct TokenCase {
  std::string input;
  int ok;  // 1: result > 0, 0: result 0
  std::string header;
  char terminator;
  std::string rest;
};

TEST(MessageReaderToken, SplitsHeaderAndReportsTerminator) {
  const std::string spaces(256, ' ');
  const std::string longHeader(300, 'A');
  const std::vector<TokenCase> cases = {
      {"*IDN?\n", 1, "*IDN?", '\n', ""},
      {"   *idn?   \n", 1, "*idn?", '\n', ""},
      {"*IDN? x\nNEXT\n", 1, "*IDN?", 'x', "x\nNEXT\n"},
      {"DIAG:PROD:SEL 'a b'\n", 1, "DIAG:PROD:SEL", '\'', "'a b'\n"},
      {"DIAG:PROD:SEL,'x'\n", 1, "DIAG:PROD:SEL", ',', "'x'\n"},
      {"X  ,  5\n", 1, "X", ',', "  5\n"},
      {"\n", 1, "", '\n', ""},
      {",\n", 1, "", ',', "\n"},
      {"*IDN?\r\n", 1, "*IDN?\r", '\n', ""},
      {"*CLS;*IDN?\n", 1, "*CLS;*IDN?", '\n', ""},
      {"\tA\n", 1, "\tA", '\n', ""},
      // Ends the session: a NUL where a header starts, a window of spaces,
      // a header that does not fit the window, a NUL inside the header.
      {"\0*IDN?\n"s, 0, "", 0, ""},
      {spaces + "\n", 0, "", 0, "\n"},
      {longHeader + "\n", 0, "", 0, std::string(44, 'A') + "\n"},
      {"AB\0C D\n"s, 0, "", 0, ""},
      {"", 0, "", 0, ""},
  };
  for (const auto& split : kSplits) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::PrintToString(c.input) + " split " + std::to_string(split.size()));
      ReaderOver r(c.input, split);
      std::string header = "stale";
      char terminator = 'z';
      const int result = r.reader.ReadToken(header, terminator, true);
      EXPECT_EQ(result > 0, c.ok == 1) << result;
      if (c.ok) {
        EXPECT_EQ(header, c.header);
      } else {
        EXPECT_EQ(result, 0);
      }
      EXPECT_EQ(terminator, c.terminator);
      EXPECT_EQ(r.Rest(), c.rest);
    }
  }
}

struct StringCase {
  std::string input;
  int ok;
  std::string text;
  char terminator;
  std::string rest;
};

TEST(MessageReaderString, UnquotesDoubledQuoteOfTheSameKindOnly) {
  const std::vector<StringCase> cases = {
      {"'a''b'\n", 1, "a'b", '\n', ""},
      {"\"a''b\"\n", 1, "a''b", '\n', ""},
      {"\"say \"\"hi\"\"\"\n", 1, "say \"hi\"", '\n', ""},
      {"  'it''s'  , 'x'\n", 1, "it's", ',', " 'x'\n"},
      {"''\n", 1, "", '\n', ""},
      {"'material/serial'\n", 1, "material/serial", '\n', ""},
      // Whatever follows the closing quote is taken as the terminator.
      {"'abc'x\n", 1, "abc", 'x', "\n"},
      {"'abc\n", 0, "", 0, ""},
      {"abc\n", 0, "", 0, ""},
      {"   \n", 0, "", 0, ""},
      {"'ab\0c'\n"s, 0, "", 0, ""},
  };
  for (const auto& split : kSplits) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::PrintToString(c.input));
      ReaderOver r(c.input, split);
      std::string text;
      char terminator = 'z';
      const int result = r.reader.ReadString(text, terminator);
      EXPECT_EQ(result > 0, c.ok == 1) << result;
      if (c.ok) {
        EXPECT_EQ(text, c.text);
      } else {
        EXPECT_EQ(result, 0);
      }
      EXPECT_EQ(terminator, c.terminator);
      EXPECT_EQ(r.Rest(), c.rest);
    }
  }
}

TEST(MessageReaderString, StringMustFitTheWindow) {
  const std::string inside = "'" + std::string(250, 's') + "'\n";
  const std::string outside = "'" + std::string(260, 's') + "'\n";
  ReaderOver fits(inside);
  std::string text;
  char terminator = 0;
  EXPECT_GT(fits.reader.ReadString(text, terminator), 0);
  EXPECT_EQ(text.size(), 250u);
  ReaderOver tooLong(outside);
  EXPECT_EQ(tooLong.reader.ReadString(text, terminator), 0);
}

struct NumberCase {
  std::string input;
  int ok;
  std::int32_t value;
  char terminator;
};

TEST(MessageReaderNumber, AcceptsUnsignedDecimalDigitsOnly) {
  const std::vector<NumberCase> cases = {
      {"007\n", 1, 7, '\n'},
      {"  12 , 34\n", 1, 12, ','},
      {"2147483647\n", 1, 2147483647, '\n'},
      {"99999999999999\n", 1, 2147483647, '\n'},
      {",\n", 1, 0, ','},  // an empty token converts to 0
      {"+5\n", 0, 0, '\n'},
      {"1.5\n", 0, 0, '\n'},
      {"-1\n", 0, 0, '\n'},
      {"0x10\n", 0, 0, '\n'},
      {"1e3\n", 0, 0, '\n'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    ReaderOver r(c.input);
    std::int32_t value = -7;
    char terminator = 0;
    const int result = r.reader.ReadNumber(value, terminator);
    EXPECT_EQ(result > 0, c.ok == 1);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
    } else {
      EXPECT_EQ(result, 0);
    }
    EXPECT_EQ(terminator, c.terminator);
  }
}

using vorn_test::Block;

std::string BinaryData(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 37 + 11) & 0xFF);
  return data;
}

TEST(MessageReaderBlock, ReadsBinaryDataWithLineFeedsWhole) {
  std::string data(100, 'x');
  data[0] = '\n';
  data[40] = '\n';
  data[41] = ',';
  data[42] = '\0';
  data[99] = '\n';
  for (const auto& split : kSplits) {
    ReaderOver r(" " + Block(data) + " , 5\n", split);
    const std::uint8_t* out = nullptr;
    char terminator = 0;
    ASSERT_EQ(r.reader.ReadBlock(out, terminator), 100);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), 100), data);
    EXPECT_EQ(terminator, ',');
    EXPECT_EQ(r.Rest(), " 5\n");
  }
}

TEST(MessageReaderBlock, LargestBlockArrivingOneByteAtATime) {
  const std::string data = BinaryData(CMessageReader::kMaxBlock);
  ReaderOver r(Block(data) + "\n", {1});
  const std::uint8_t* out = nullptr;
  char terminator = 0;
  ASSERT_EQ(r.reader.ReadBlock(out, terminator), CMessageReader::kMaxBlock);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), data.size()), data);
  EXPECT_EQ(terminator, '\n');
}

TEST(MessageReaderBlock, RejectsMalformedEmptyAndOversizedBlocks) {
  const std::vector<std::string> bad = {
      "#6102401" + std::string(10, 'x') + "\n",  // above the limit
      "#0\n",                                    // empty
      "#10\n",                                   // empty
      "#3abc\n",                                 // count is no number
      "#\n",                                     // no digit
      "#9\n",                                    // fewer digits than announced
      "3100\n",                                  // no '#'
      "   \n",                                   // nothing
  };
  for (const auto& input : bad) {
    SCOPED_TRACE(testing::PrintToString(input));
    ReaderOver r(input);
    const std::uint8_t* out = nullptr;
    char terminator = 0;
    EXPECT_EQ(r.reader.ReadBlock(out, terminator), 0);
  }
}

TEST(MessageReaderBlock, MalformedHeaderConsumesNothing) {
  ReaderOver r("#3abc\n");
  const std::uint8_t* out = nullptr;
  char terminator = 0;
  EXPECT_EQ(r.reader.ReadBlock(out, terminator), 0);
  EXPECT_EQ(r.Rest(), "#3abc\n");
}

TEST(MessageReaderBlock, JunkRightBehindTheDataBecomesTheTerminator) {
  ReaderOver r(Block("abc") + "x\n");
  const std::uint8_t* out = nullptr;
  char terminator = 0;
  EXPECT_EQ(r.reader.ReadBlock(out, terminator), 3);
  EXPECT_EQ(terminator, 'x');
  EXPECT_EQ(r.Rest(), "x\n");
}

// Blocks are handed out in place in the receive buffer: each must be whole
// when it is read, whatever came before it and however the stream was cut,
// also when the buffer had to be moved to make room for it.
TEST(MessageReaderBlock, BlocksAreWholeWhereverTheBufferStands) {
  const std::string largest = BinaryData(CMessageReader::kMaxBlock);
  std::string pipeline;
  while (pipeline.size() < 60000) pipeline += "*IDN?\n";
  const std::string input = pipeline + Block(BinaryData(500)) + "," + Block(BinaryData(100)) + "," +
                            Block(largest) + "\n" + Block(largest) + "\n";
  const std::vector<std::vector<std::size_t>> splits = {{}, {4096}, {65536, 1}, {70000, 99999}};
  for (const auto& split : splits) {
    SCOPED_TRACE(testing::PrintToString(split));
    ReaderOver r(input, split);
    for (std::size_t skipped = 0; skipped < pipeline.size(); skipped += 6) {
      ASSERT_EQ(r.reader.SkipTo('\n'), 6);
    }
    const std::uint8_t* out = nullptr;
    char terminator = 0;
    const struct {
      std::size_t size;
      char terminator;
    } blocks[] = {{500, ','}, {100, ','}, {largest.size(), '\n'}, {largest.size(), '\n'}};
    for (const auto& block : blocks) {
      ASSERT_EQ(r.reader.ReadBlock(out, terminator), static_cast<std::int32_t>(block.size));
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), block.size),
                BinaryData(block.size));
      EXPECT_EQ(terminator, block.terminator);
    }
    EXPECT_EQ(r.Rest(), "");
  }
}

// The hook runs before the buffer is moved or written again, so a block
// handed out in place is still whole when it runs (the session writes it to
// its file there).
TEST(MessageReaderBlock, BeforeReceiveSeesTheLastBlockIntact) {
  const std::string data = BinaryData(CMessageReader::kMaxBlock);
  std::string pipeline;
  while (pipeline.size() < 30000) pipeline += "*IDN?\n";
  ReaderOver r(pipeline + Block(data) + "\n" + pipeline, {65536, 65536, 4096});
  const std::uint8_t* out = nullptr;
  // As the session does: the block is taken at the first call after it.
  std::vector<std::string> seen;
  r.reader.SetBeforeReceive([&] {
    if (out != nullptr) seen.emplace_back(reinterpret_cast<const char*>(out), data.size());
    out = nullptr;
  });
  for (std::size_t skipped = 0; skipped < pipeline.size(); skipped += 6) {
    ASSERT_EQ(r.reader.SkipTo('\n'), 6);
  }
  char terminator = 0;
  ASSERT_EQ(r.reader.ReadBlock(out, terminator), CMessageReader::kMaxBlock);
  for (std::size_t skipped = 0; skipped < pipeline.size(); skipped += 6) {
    ASSERT_EQ(r.reader.SkipTo('\n'), 6);
  }
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0] == data);
}

TEST(MessageReaderSkip, SkipsAtMostTheBufferSize) {
  const std::string garbage(300, 'g');
  ReaderOver r(garbage + "\n*IDN?\n");
  EXPECT_EQ(r.reader.SkipTo('\n'), CMessageReader::kPeekLimit);
  EXPECT_EQ(r.Rest(), std::string(300 - 258, 'g') + "\n*IDN?\n");

  ReaderOver shortLine("abc\n*IDN?\n");
  EXPECT_EQ(shortLine.reader.SkipTo('\n'), 4);
  EXPECT_EQ(shortLine.Rest(), "*IDN?\n");
}

TEST(MessageReaderPeek, LooksWithoutConsuming) {
  ReaderOver r("*IDN?\nSYST:ERR?\n", {2});
  char copy[CMessageReader::kPeekLimit];
  EXPECT_EQ(r.reader.Peek(copy, 300), platform::kSocketError);
  ASSERT_EQ(r.reader.Peek(copy, 256), 6);
  EXPECT_EQ(std::string(copy, 6), "*IDN?\n");
  ASSERT_EQ(r.reader.Peek(copy, 3), 3);
  EXPECT_EQ(std::string(copy, 3), "*ID");
  EXPECT_EQ(r.Rest(), "*IDN?\nSYST:ERR?\n");
}

TEST(MessageReaderRead, NeverBlocksAfterDeliveringBufferedBytes) {
  CScriptedSocketApi sockets;
  std::atomic<platform::SocketHandle> socket{CScriptedSocketApi::kHandle};
  CMessageReader reader(nullptr, sockets, &socket);
  sockets.FeedChunk("ab\n");
  sockets.FeedChunk("cdef");
  char copy[8];
  ASSERT_EQ(reader.Peek(copy, 8), 3);
  const int callsBefore = sockets.RecvCalls();
  char out[10];
  // "ab\n" is buffered; FIONREAD sees "cdef" ready, so one recv follows.
  EXPECT_EQ(reader.Read(out, 10), 7);
  EXPECT_EQ(std::string(out, 7), "ab\ncdef");
  EXPECT_EQ(sockets.RecvCalls(), callsBefore + 1);
}

TEST(MessageReaderRead, ShortReadWhenNothingIsReady) {
  CScriptedSocketApi sockets;
  std::atomic<platform::SocketHandle> socket{CScriptedSocketApi::kHandle};
  CMessageReader reader(nullptr, sockets, &socket);
  sockets.FeedChunk("ab\n");
  char copy[8];
  ASSERT_EQ(reader.Peek(copy, 8), 3);
  const int callsBefore = sockets.RecvCalls();
  char out[10];
  EXPECT_EQ(reader.Read(out, 10), 3);
  EXPECT_EQ(sockets.RecvCalls(), callsBefore);
}

TEST(MessageReaderErrors, SocketFailuresAreReportedAsSocketError) {
  {
    ReaderOver r("*IDN?\n");
    r.sockets.FailRecv(1);
    std::string header;
    char terminator = 0;
    EXPECT_EQ(r.reader.ReadToken(header, terminator, false), platform::kSocketError);
  }
  {
    // The data goes on behind the LF that ended the look at the header, so
    // the rest must come from the socket, whose next recv fails.
    ReaderOver r("#15a\nb");
    r.sockets.FeedChunk("cde\n");
    r.sockets.FailRecv(2);
    const std::uint8_t* out = nullptr;
    char terminator = 0;
    EXPECT_EQ(r.reader.ReadBlock(out, terminator), platform::kSocketError);
  }
  {
    // A read longer than what is buffered asks whether more is ready.
    ReaderOver r("ab\n");
    r.sockets.FailBytesReadable(true);
    char copy[8];
    ASSERT_EQ(r.reader.Peek(copy, 8), 3);
    char out[10];
    EXPECT_EQ(r.reader.Read(out, 10), platform::kSocketError);
  }
  {
    ReaderOver r("*IDN?");  // the peer closes before the LF
    std::string header;
    char terminator = 0;
    EXPECT_EQ(r.reader.ReadToken(header, terminator, false), 0);
  }
}

// The same stream of messages, cut at random points, parses to the same items.
TEST(MessageReaderSplits, RandomCutsGiveTheSameItems) {
  const std::string stream = "*IDN?\n DIAG:PROD:SEL  'a''b' \nDIAG:UPD:TRAN:DATA 0,12," +
                             Block(BinaryData(700)) + "\n,\n*CLS x\n";
  auto parse = [&](const std::vector<std::size_t>& split) {
    ReaderOver r(stream, split);
    std::vector<std::string> items;
    std::string s;
    char t = 0;
    std::int32_t v = 0;
    const std::uint8_t* b = nullptr;
    auto push = [&](int result, const std::string& item) {
      items.push_back(std::to_string(result > 0) + "|" + item + "|" + t);
    };
    int n = r.reader.ReadToken(s, t, false);
    push(n, s);
    n = r.reader.ReadToken(s, t, false);
    push(n, s);
    n = r.reader.ReadString(s, t);
    push(n, s);
    n = r.reader.ReadToken(s, t, false);
    push(n, s);
    for (int i = 0; i < 2; ++i) {
      n = r.reader.ReadNumber(v, t);
      push(n, std::to_string(v));
    }
    n = r.reader.ReadBlock(b, t);
    push(n, n > 0 ? std::string(reinterpret_cast<const char*>(b), n) : "");
    n = r.reader.ReadToken(s, t, false);
    push(n, s);
    n = r.reader.ReadToken(s, t, false);
    push(n, s);
    n = r.reader.SkipTo('\n');
    push(n, "");
    n = r.reader.ReadToken(s, t, false);
    push(n, s);
    return items;
  };
  const auto expected = parse({});
  EXPECT_EQ(expected[2], "1|a'b|\n");
  EXPECT_EQ(expected[10], "0||" + std::string(1, '\0'));
  std::mt19937 random(20240611);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::size_t> split;
    for (int i = 0; i < 40; ++i) split.push_back(1 + random() % 300);
    EXPECT_EQ(parse(split), expected) << "round " << round;
  }
}

}  // namespace
