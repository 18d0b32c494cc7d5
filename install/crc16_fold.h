#pragma once
// CRC-16/X-25 by carry-less multiplication: sixteen-byte blocks are folded
// forward with precomputed powers of x modulo the polynomial, four lanes at
// a time, and only the last folded block goes through the byte table. On
// processors without the instruction (or other architectures) Available()
// is false and the table does all the work.

#include <cstddef>
#include <cstdint>

namespace crc16_fold {

bool Available();

// Consumes whole 16-byte blocks of data (at least 64 bytes) and returns the
// register after them, given the register before them (the running state,
// not the finished checksum). *consumed is set to the bytes taken.
std::uint32_t Update(std::uint32_t registerValue, const unsigned char* data, std::size_t length,
                     std::size_t* consumed);

}  // namespace crc16_fold
