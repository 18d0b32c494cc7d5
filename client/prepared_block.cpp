#include "client/prepared_block.h"

#include <cstdio>
#include <istream>

#include "install/crc16.h"

namespace {

// The longest header: "DIAG:UPD:TRAN:DATA " and three numbers of at most
// ten digits, with room to spare.
constexpr std::size_t kHeaderRoom = 64;
constexpr char kErrorQuery[] = "SYST:ERR?\n";
constexpr std::size_t kErrorQueryLength = sizeof kErrorQuery - 1;

}  // namespace

CPreparedBlock::CPreparedBlock(std::uint32_t blockSize)
    : bytes_(kHeaderRoom + static_cast<std::size_t>(blockSize) + 1 + kErrorQueryLength) {}

int CPreparedBlock::LengthWithErrorQuery() const {
  return Length() + static_cast<int>(kErrorQueryLength);
}

bool CPreparedBlock::Prepare(std::istream& in, std::uint32_t offset, std::uint32_t n) {
  char* const block = bytes_.data() + kHeaderRoom;
  in.read(block, n);
  if (static_cast<std::uint32_t>(in.gcount()) != n) return false;
  const unsigned long checksum = Crc16X25(block, n);
  char length[16];
  std::snprintf(length, sizeof length, "%lu", static_cast<unsigned long>(n));
  char header[kHeaderRoom + 1];
  const int headerLength = std::snprintf(
      header, sizeof header, "DIAG:UPD:TRAN:DATA %lu,%lu,#%u%s", static_cast<unsigned long>(offset),
      checksum, static_cast<unsigned>(std::char_traits<char>::length(length)), length);
  start_ = kHeaderRoom - static_cast<std::size_t>(headerLength);
  std::char_traits<char>::copy(bytes_.data() + start_, header,
                               static_cast<std::size_t>(headerLength));
  block[n] = '\n';
  end_ = kHeaderRoom + n + 1;
  std::char_traits<char>::copy(bytes_.data() + end_, kErrorQuery, kErrorQueryLength);
  return true;
}
