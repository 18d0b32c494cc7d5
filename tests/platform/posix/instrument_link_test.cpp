// The posix stand-in of the instrument link against damaged or stale blocks.
#include "platform/instrument_link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix/instrument_protocol.h"

namespace {

using platform::LinkResult;
using platform::posix::SharedMemoryObjectName;

TEST(SharedMemoryObjectNameTest, EscapesWhatANameCannotHoldWithoutCollisions) {
  EXPECT_EQ(SharedMemoryObjectName("SharedMemory_Dev A/1_x%_\xE4"),
            "/SharedMemory_Dev%20A%2F1_x%25_%E4");
  EXPECT_NE(SharedMemoryObjectName("a/b"), SharedMemoryObjectName("a_b"));

  std::string longName(400, 'k');
  std::string name1 = SharedMemoryObjectName(longName + "1");
  std::string name2 = SharedMemoryObjectName(longName + "2");
  EXPECT_LE(name1.size(), static_cast<std::size_t>(NAME_MAX) + 1);
  EXPECT_NE(name1, name2);
  EXPECT_EQ(name1.find('/', 1), std::string::npos);
}

class DamagedBlockTest : public testing::Test {
 protected:
  void TearDown() override { shm_unlink(SharedMemoryObjectName(block_).c_str()); }

  void Write(const std::vector<std::uint8_t>& bytes) {
    int fd = shm_open(SharedMemoryObjectName(block_).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }

  static std::vector<std::uint8_t> Block(std::uint32_t count, const std::string& data) {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(count >> (8 * i)));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
  }

  LinkResult Link() {
    std::shared_ptr<platform::IInstrument> instrument;
    LinkResult result = platform::InstrumentLinker().Link(block_, instrument);
    EXPECT_EQ(instrument != nullptr, result == LinkResult::kLinked);
    return result;
  }

  const std::string block_ = "SharedMemory_DamagedTest_" + std::to_string(getpid()) + "_1_000000";
};

TEST_F(DamagedBlockTest, MissingBlockIsNoBlock) { EXPECT_EQ(Link(), LinkResult::kNoBlock); }

TEST_F(DamagedBlockTest, CountBeyondTheBlockFails) {
  auto marshal = platform::posix::MarshalEndpoint("/tmp/nowhere");
  Write(Block(static_cast<std::uint32_t>(marshal.size()) + 100,
              std::string(marshal.begin(), marshal.end())));
  EXPECT_EQ(Link(), LinkResult::kFailed);
}

TEST_F(DamagedBlockTest, ShortBlockFails) {
  Write({1, 0});
  EXPECT_EQ(Link(), LinkResult::kFailed);
}

TEST_F(DamagedBlockTest, ForeignDataFails) {
  Write(Block(8, "COMDATA!"));
  EXPECT_EQ(Link(), LinkResult::kFailed);
}

TEST_F(DamagedBlockTest, BlockOfADeadPublisherFails) {
  auto marshal = platform::posix::MarshalEndpoint("/tmp/vorn-no-such-dir/instrument");
  Write(Block(static_cast<std::uint32_t>(marshal.size()),
              std::string(marshal.begin(), marshal.end())));
  EXPECT_EQ(Link(), LinkResult::kFailed);
}

}  // namespace
