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

// What the transfer code uses: carry-less multiplication folds long inputs
// where the processor has it, the table takes the rest.
std::uint16_t Crc16X25(const void* data, std::size_t length, std::uint16_t previous = 0);

// Table-driven only, sixteen bytes per step (slicing-by-16).
std::uint16_t Crc16X25Table(const void* data, std::size_t length, std::uint16_t previous = 0);

// The table's step on the raw register (initial value and final complement
// not applied), for code that keeps the register between pieces.
std::uint32_t Crc16X25Register(std::uint32_t crc, const void* data, std::size_t length);

// Four bits per step with a 16-entry table: the compact form the protocol was
// first written with. Same values; kept for comparison in the benchmark.
std::uint16_t Crc16X25Nibble(const void* data, std::size_t length, std::uint16_t previous = 0);
