#include "install/crc16.h"

#include <array>
#include <bit>
#include <cstring>

#include "install/crc16_fold.h"

namespace {

constexpr std::uint16_t kReflectedPolynomial = 0x8408;
constexpr int kSlices = 16;
// Below this the table is as fast as setting up the folding.
constexpr std::size_t kFoldFrom = 256;

using SliceTables = std::array<std::array<std::uint16_t, 256>, kSlices>;

// tables[0] advances the CRC by one byte; tables[k] by one byte followed by
// k zero bytes, so sixteen independent look-ups advance it by sixteen bytes
// (faster than eight in crc_bench, and the 8 KiB of tables stay in L1).
constexpr SliceTables MakeSliceTables() {
  SliceTables tables{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned crc = i;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ ((crc & 1) != 0 ? kReflectedPolynomial : 0);
    tables[0][i] = static_cast<std::uint16_t>(crc);
  }
  for (int k = 1; k < kSlices; ++k) {
    for (unsigned i = 0; i < 256; ++i) {
      const std::uint16_t prev = tables[k - 1][i];
      tables[k][i] = static_cast<std::uint16_t>((prev >> 8) ^ tables[0][prev & 0xFF]);
    }
  }
  return tables;
}

constexpr SliceTables kSliceTables = MakeSliceTables();

constexpr std::array<std::uint16_t, 16> MakeNibbleTable() {
  std::array<std::uint16_t, 16> table{};
  for (unsigned i = 0; i < 16; ++i) table[i] = static_cast<std::uint16_t>(i * 0x1081);
  return table;
}

constexpr std::array<std::uint16_t, 16> kNibbleTable = MakeNibbleTable();

}  // namespace

std::uint32_t Crc16X25Register(std::uint32_t crc, const void* data, std::size_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  const auto& t = kSliceTables;
  if constexpr (std::endian::native == std::endian::little) {
    for (; length >= 16; length -= 16, p += 16) {
      std::uint64_t a;
      std::uint64_t b;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + 8, 8);
      a ^= crc;
      crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^
            t[12][(a >> 24) & 0xFF] ^ t[11][(a >> 32) & 0xFF] ^ t[10][(a >> 40) & 0xFF] ^
            t[9][(a >> 48) & 0xFF] ^ t[8][a >> 56] ^ t[7][b & 0xFF] ^ t[6][(b >> 8) & 0xFF] ^
            t[5][(b >> 16) & 0xFF] ^ t[4][(b >> 24) & 0xFF] ^ t[3][(b >> 32) & 0xFF] ^
            t[2][(b >> 40) & 0xFF] ^ t[1][(b >> 48) & 0xFF] ^ t[0][b >> 56];
    }
  }
  for (; length > 0; --length, ++p) crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
  return crc;
}

std::uint16_t Crc16X25Table(const void* data, std::size_t length, std::uint16_t previous) {
  return static_cast<std::uint16_t>(Crc16X25Register(previous ^ 0xFFFFu, data, length) ^ 0xFFFFu);
}

// Blocks of a few hundred bytes and up are folded; the table takes the rest.
std::uint16_t Crc16X25(const void* data, std::size_t length, std::uint16_t previous) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint32_t crc = previous ^ 0xFFFFu;
  if (length >= kFoldFrom && crc16_fold::Available()) {
    std::size_t consumed = 0;
    crc = crc16_fold::Update(crc, p, length, &consumed);
    p += consumed;
    length -= consumed;
  }
  return static_cast<std::uint16_t>(Crc16X25Register(crc, p, length) ^ 0xFFFFu);
}

std::uint16_t Crc16X25Nibble(const void* data, std::size_t length, std::uint16_t previous) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint32_t crc = previous ^ 0xFFFFu;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned b = p[i];
    crc = (crc >> 4) ^ kNibbleTable[(crc ^ b) & 0xF];
    crc = (crc >> 4) ^ kNibbleTable[(crc ^ (b >> 4)) & 0xF];
  }
  return static_cast<std::uint16_t>(crc ^ 0xFFFFu);
}
