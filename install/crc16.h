#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16/X-25 (also CRC-16/IBM-SDLC): polynomial 0x1021 processed reflected
// (0x8408), initial value 0xFFFF, final complement. Every transfer block
// carries it; "123456789" gives 0x906E, "abc" 0x9E25, no bytes 0.
//
// Both functions chain the way zlib's crc32 does: pass the result of the
// previous piece as `previous` (0 for the first), so
// Crc16X25(b, nb, Crc16X25(a, na)) is the checksum of a followed by b.

// Table-driven, sixteen bytes per step (slicing-by-16); what the transfer
// code uses.
std::uint16_t Crc16X25(const void* data, std::size_t length, std::uint16_t previous = 0);

// Four bits per step with a 16-entry table: the compact form the protocol was
// first written with. Same values; kept for comparison in the benchmark.
std::uint16_t Crc16X25Nibble(const void* data, std::size_t length, std::uint16_t previous = 0);
