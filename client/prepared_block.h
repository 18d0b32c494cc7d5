#pragma once
// One transfer block made ready to send: its bytes read from the package,
// its checksum taken, and its "DIAG:UPD:TRAN:DATA" header written straight
// in front of it, with the LF behind and the error query after that, so the
// message alone or the message and its query are one span.

#include <cstdint>
#include <iosfwd>
#include <vector>

class CPreparedBlock {
 public:
  explicit CPreparedBlock(std::uint32_t blockSize);

  // Reads n bytes (at most the block size) for the block at offset. False
  // when the stream gives fewer.
  bool Prepare(std::istream& in, std::uint32_t offset, std::uint32_t n);

  const char* Message() const { return bytes_.data() + start_; }
  int Length() const { return static_cast<int>(end_ - start_); }
  // The message followed by "SYST:ERR?\n".
  int LengthWithErrorQuery() const;

 private:
  std::vector<char> bytes_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};
