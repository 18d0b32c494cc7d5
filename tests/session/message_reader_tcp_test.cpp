// The reader over a real loopback connection: blocks that arrive in several
// segments, with line feeds inside, go through the backend's recv and FIONREAD.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/thread.h"
#include "session/message_reader.h"

namespace {

using platform::Sockets;

class ReaderOverTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ISocketApi& sockets = Sockets();
    const platform::SocketHandle listener = sockets.Open(platform::SocketKind::kStream);
    ASSERT_NE(listener, platform::kInvalidSocket);
    ASSERT_EQ(sockets.Bind(listener, platform::Endpoint{platform::kLoopbackAddress, 0}), 0);
    ASSERT_EQ(sockets.Listen(listener, 1), 0);
    platform::Endpoint bound;
    ASSERT_EQ(sockets.GetSockName(listener, bound), 0);
    client_ = sockets.Open(platform::SocketKind::kStream);
    ASSERT_EQ(sockets.Connect(client_, platform::Endpoint{platform::kLoopbackAddress, bound.port}),
              0);
    server_ = sockets.Accept(listener);
    sockets.Close(listener);
    ASSERT_NE(server_.load(), platform::kInvalidSocket);
    sockets.SetReceiveTimeout(server_, 5000);
  }
  void TearDown() override {
    if (writer_.joinable()) writer_.join();
    Sockets().Close(client_);
    Sockets().Close(server_);
  }
  // Sends the pieces from another thread, pausing between them so that they
  // arrive as separate segments.
  void SendInPieces(std::vector<std::string> pieces) {
    writer_ = std::thread([this, pieces = std::move(pieces)] {
      for (const std::string& piece : pieces) {
        std::size_t sent = 0;
        while (sent < piece.size()) {
          const int n =
              Sockets().Send(client_, piece.data() + sent, static_cast<int>(piece.size() - sent));
          if (n <= 0) return;
          sent += static_cast<std::size_t>(n);
        }
        platform::SleepMs(20);
      }
    });
  }

  platform::SocketHandle client_ = platform::kInvalidSocket;
  std::atomic<platform::SocketHandle> server_{platform::kInvalidSocket};
  std::thread writer_;
  CMessageReader reader_{nullptr, Sockets(), &server_};
};

std::string Data(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7) & 0xFF);
  for (std::size_t i = 0; i < size; i += 13) data[i] = '\n';
  return data;
}

TEST_F(ReaderOverTcp, BlockWithLineFeedsArrivingInSegments) {
  const std::string data = Data(100);
  SendInPieces({"DIAG:UPD:TRAN:DATA 0,1,#3100" + data.substr(0, 10), data.substr(10, 50),
                data.substr(60) + "\nNEXT\n"});
  std::string header;
  char terminator = 0;
  std::int32_t number = 0;
  ASSERT_GT(reader_.ReadToken(header, terminator, false), 0);
  ASSERT_GT(reader_.ReadNumber(number, terminator), 0);
  ASSERT_GT(reader_.ReadNumber(number, terminator), 0);
  const std::uint8_t* block = nullptr;
  ASSERT_EQ(reader_.ReadBlock(block, terminator), 100);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block), 100), data);
  EXPECT_EQ(terminator, '\n');
  ASSERT_GT(reader_.ReadToken(header, terminator, false), 0);
  EXPECT_EQ(header, "NEXT");
}

TEST_F(ReaderOverTcp, LargestBlockWholeAndOneByteMoreRejected) {
  const std::string data = Data(CMessageReader::kMaxBlock);
  SendInPieces({"#6102400" + data.substr(0, 5000), data.substr(5000) + ",#6102401" + "xyz\n"});
  const std::uint8_t* block = nullptr;
  char terminator = 0;
  ASSERT_EQ(reader_.ReadBlock(block, terminator), CMessageReader::kMaxBlock);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block), data.size()), data);
  EXPECT_EQ(terminator, ',');
  EXPECT_EQ(reader_.ReadBlock(block, terminator), 0);
}

TEST_F(ReaderOverTcp, PeerCloseEndsAWaitingRead) {
  SendInPieces({"*IDN"});
  writer_.join();
  Sockets().Shutdown(client_);
  std::string header;
  char terminator = 0;
  EXPECT_EQ(reader_.ReadToken(header, terminator, false), 0);
}

}  // namespace
