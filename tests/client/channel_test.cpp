#include "client/channel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "client/error.h"

namespace {

using namespace std::string_literals;

// A channel whose peer's bytes arrive in the pieces the test gives, one
// piece (or what fits of it) per Read; an empty script reads as a time-out.
class CPiecewiseChannel : public CChannel {
 public:
  void Arrive(const std::string& piece) { pieces_.push_back(piece); }
  int Reads() const { return reads_; }

  void Open() override {}
  bool IsOpen() const override { return true; }
  void Close() override {}
  const char* GetName() const override { return "PIECES"; }
  std::string GetAddress() const override { return {}; }
  std::uint32_t GetTimeout() const override { return 0; }
  void SetTimeout(std::uint32_t) override {}
  int Send(const void*, int length) override { return length; }
  void Flush() override {}
  int Read(void* buffer, int capacity) override {
    ++reads_;
    if (pieces_.empty()) throw Fernway::CSocketError(10060);
    std::string& piece = pieces_.front();
    const std::size_t n = std::min(piece.size(), static_cast<std::size_t>(capacity));
    std::memcpy(buffer, piece.data(), n);
    piece.erase(0, n);
    if (piece.empty()) pieces_.pop_front();
    return static_cast<int>(n);
  }
  void Clear() override { DiscardReceived(); }
  void SetAttribute(std::uint32_t, std::uint32_t) override {}
  std::uint32_t GetAttribute(std::uint32_t) override { return 0; }
  std::string GetResource() const override { return {}; }

 private:
  std::deque<std::string> pieces_;
  int reads_ = 0;
};

std::string Catalogue(int devices) {
  std::string text;
  for (int i = 0; i < devices; ++i) text += "\"1234.5678." + std::to_string(1000 + i) + "\",";
  return text + "\"__TRL_Tool__\"\n";
}

const std::string kChallenge =
    "#3128" + std::string(60, '\0') + "\n\n" + std::string(66, 'c') + "\n";

struct PieceCase {
  const char* name;
  std::vector<std::string> pieces;
  std::vector<std::string> responses;
};

// However the answers are cut or joined on the way, each call takes exactly
// one of them.
TEST(ChannelResponses, EachCallTakesOneWholeResponseWhateverThePieces) {
  const std::string catalogue = Catalogue(123);
  const std::string noError = "0,\"No error\"\n";
  std::vector<std::string> relayPieces;
  const std::string both = catalogue + noError;
  for (std::size_t at = 0; at < both.size(); at += 1448)
    relayPieces.push_back(both.substr(at, 1448));
  const std::vector<PieceCase> cases = {
      {"one answer per read", {"a\n", "b\n"}, {"a\n", "b\n"}},
      {"a long answer in relay-sized pieces, then the next", relayPieces, {catalogue, noError}},
      {"two answers in one read", {"a\nb\n"}, {"a\n", "b\n"}},
      {"byte by byte", {"a", "b", "\n", "c", "\n"}, {"ab\n", "c\n"}},
      {"the end of one and the start of the next", {"ab", "c\nd", "e\n"}, {"abc\n", "de\n"}},
      {"longer than one read", {std::string(25000, 'x') + "\n"}, {std::string(25000, 'x') + "\n"}},
      {"a block with LF inside, whole", {kChallenge + "x\n"}, {kChallenge, "x\n"}},
      {"a block cut in its header and data",
       {kChallenge.substr(0, 3), kChallenge.substr(3, 64), kChallenge.substr(67)},
       {kChallenge}},
      {"a block whose LF comes late",
       {kChallenge.substr(0, kChallenge.size() - 1), "\n", "y\n"},
       {kChallenge, "y\n"}},
      {"an empty block", {"#10\nz\n"}, {"#10\n", "z\n"}},
      {"a hash that starts no block", {"#3x\n#0abc\n"}, {"#3x\n", "#0abc\n"}},
      {"a header cut before its LF", {"#3", "\n"}, {"#3\n"}},
  };
  for (const PieceCase& c : cases) {
    CPiecewiseChannel channel;
    for (const std::string& piece : c.pieces) channel.Arrive(piece);
    for (const std::string& expected : c.responses) {
      EXPECT_EQ(channel.ReceiveResponse(), expected) << c.name;
    }
    EXPECT_THROW(channel.ReceiveResponse(), Fernway::CSocketError) << c.name << ": left over";
  }
}

// A peer that never ends its answer, as a line or as a block that announces
// more than the bound: the call fails with the bound in its text once that
// much has arrived, and reads no further.
TEST(ChannelResponses, AnswerWithoutEndFailsAtTheBoundInsteadOfGrowing) {
  for (const std::string& start : {"z"s, "#9999999999"s}) {
    CPiecewiseChannel channel;
    channel.Arrive(start);
    const std::string piece(CChannel::kResponseCapacity, 'z');
    const std::size_t pieces = CChannel::kLongestResponse / piece.size() + 3;
    for (std::size_t i = 0; i < pieces; ++i) channel.Arrive(piece);
    channel.Arrive("\n");
    try {
      channel.ReceiveResponse();
      ADD_FAILURE() << start << ": an endless answer was taken";
    } catch (const Fernway::CSocketError& error) {
      ADD_FAILURE() << start << ": read past the bound: " << error.Message();
    } catch (const Fernway::CError& error) {
      EXPECT_NE(error.Message().find(std::to_string(CChannel::kLongestResponse)), std::string::npos)
          << error.Message();
    }
    EXPECT_LT(static_cast<std::size_t>(channel.Reads()), pieces) << start;
  }
}

// A device clear drops an answer that had begun to arrive.
TEST(ChannelResponses, ClearDropsWhatWasReceivedButNotTaken) {
  CPiecewiseChannel channel;
  channel.Arrive("first\nstale");
  EXPECT_EQ(channel.ReceiveResponse(), "first\n");
  channel.Clear();
  channel.Arrive("fresh\n");
  EXPECT_EQ(channel.ReceiveResponse(), "fresh\n");
}

}  // namespace
