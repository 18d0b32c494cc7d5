#include "install/crc16.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

// One bit at a time, straight from the definition.
std::uint16_t BitwiseCrc(const unsigned char* data, std::size_t length) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
  }
  return static_cast<std::uint16_t>(~crc);
}

TEST(Crc16Test, KnownCheckValues) {
  struct Case {
    const char* text;
    std::uint16_t crc;
  };
  for (const Case& c : {Case{"123456789", 0x906E}, Case{"abc", 40485}, Case{"", 0}}) {
    const std::size_t n = std::char_traits<char>::length(c.text);
    EXPECT_EQ(Crc16X25(c.text, n), c.crc) << c.text;
    EXPECT_EQ(Crc16X25Nibble(c.text, n), c.crc) << c.text;
  }
}

// Lengths around every multiple of the sixteen-byte step and every start
// alignment, so both the wide loop and the tail are covered.
TEST(Crc16Test, TableAndNibbleFormsMatchTheBitwiseDefinition) {
  std::mt19937 random(8);
  std::vector<unsigned char> buffer(4096 + 16);
  for (auto& b : buffer) b = static_cast<unsigned char>(random());
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t length = 0; length <= 300; ++length) {
      const unsigned char* p = buffer.data() + offset;
      const std::uint16_t expected = BitwiseCrc(p, length);
      ASSERT_EQ(Crc16X25(p, length), expected) << offset << "+" << length;
      ASSERT_EQ(Crc16X25Table(p, length), expected) << offset << "+" << length;
      ASSERT_EQ(Crc16X25Nibble(p, length), expected) << offset << "+" << length;
    }
  }
  EXPECT_EQ(Crc16X25(buffer.data() + 3, 4096), BitwiseCrc(buffer.data() + 3, 4096));
}

// Long inputs take the folding path where the processor has it: every
// length around its 64-byte lanes and 16-byte tail, every alignment, a
// transfer block and a chained running value must give the table's result.
TEST(Crc16Test, FoldedLongInputsMatchTheTable) {
  std::mt19937 random(32);
  std::vector<unsigned char> buffer(256 * 1024 + 64);
  for (auto& b : buffer) b = static_cast<unsigned char>(random());
  for (std::size_t offset : {0u, 1u, 7u, 15u}) {
    for (std::size_t length = 200; length <= 700; ++length) {
      const unsigned char* p = buffer.data() + offset;
      ASSERT_EQ(Crc16X25(p, length), Crc16X25Table(p, length)) << offset << "+" << length;
      ASSERT_EQ(Crc16X25(p, length, 0x1234), Crc16X25Table(p, length, 0x1234));
    }
  }
  for (std::size_t length : {65536u, 65536u + 15u, 256u * 1024u}) {
    EXPECT_EQ(Crc16X25(buffer.data() + 3, length), BitwiseCrc(buffer.data() + 3, length));
  }
  // All zeros and all ones: the register must enter the folding exactly once.
  for (unsigned char fill : {0x00, 0xFF}) {
    std::vector<unsigned char> same(4096, fill);
    EXPECT_EQ(Crc16X25(same.data(), same.size()), BitwiseCrc(same.data(), same.size()));
  }
}

TEST(Crc16Test, PiecesChainToTheWholeChecksum) {
  std::mt19937 random(16);
  std::vector<unsigned char> data(1000);
  for (auto& b : data) b = static_cast<unsigned char>(random());
  const std::uint16_t whole = Crc16X25(data.data(), data.size());
  for (std::size_t split : {0u, 1u, 7u, 8u, 9u, 500u, 999u, 1000u}) {
    const std::uint16_t first = Crc16X25(data.data(), split);
    EXPECT_EQ(Crc16X25(data.data() + split, data.size() - split, first), whole) << split;
    const std::uint16_t nibbleFirst = Crc16X25Nibble(data.data(), split);
    EXPECT_EQ(Crc16X25Nibble(data.data() + split, data.size() - split, nibbleFirst), whole);
  }
}

}  // namespace
