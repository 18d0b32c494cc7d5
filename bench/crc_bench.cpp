// Block checksum throughput: the CRC-16/X-25 that the transfer uses (folded
// by carry-less multiplication where the processor has it), the table alone
// and the 16-entry nibble table, on the same buffers in the same run, for a 64 KiB transfer chunk
// (the default chunk size) and a small 1 KiB one. Best of several rounds, so a busy machine shows
// less.
//   build/linux/bench/crc_bench [rounds]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "install/crc16.h"

namespace {

using Clock = std::chrono::steady_clock;
using CrcFunction = std::uint16_t (*)(const void*, std::size_t, std::uint16_t);

volatile std::uint16_t g_sink;

// Bytes per second over repeated passes, best round wins.
double Measure(CrcFunction crc, const std::vector<unsigned char>& data, std::size_t chunk,
               int rounds) {
  constexpr std::size_t kBytesPerRound = 64u << 20;
  double best = 0;
  for (int r = 0; r < rounds; ++r) {
    std::uint16_t value = 0;
    const auto start = Clock::now();
    std::size_t done = 0;
    while (done < kBytesPerRound) {
      for (std::size_t at = 0; at + chunk <= data.size(); at += chunk) {
        value ^= crc(data.data() + at, chunk, 0);
        done += chunk;
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    g_sink = value;
    if (seconds > 0 && done / seconds > best) best = done / seconds;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  if (rounds < 1 || rounds > 100) {
    std::fprintf(stderr, "usage: %s [rounds, 1 to 100]\n", argv[0]);
    return 2;
  }
  std::vector<unsigned char> data(1 << 20);
  std::mt19937 random(42);
  for (auto& b : data) b = static_cast<unsigned char>(random());
  if (Crc16X25(data.data(), data.size()) != Crc16X25Nibble(data.data(), data.size()) ||
      Crc16X25Table(data.data(), data.size()) != Crc16X25Nibble(data.data(), data.size())) {
    std::fprintf(stderr, "the forms disagree\n");
    return 1;
  }

  for (std::size_t chunk : {std::size_t{65536}, std::size_t{1024}}) {
    const double used = Measure(Crc16X25, data, chunk, rounds);
    const double table = Measure(Crc16X25Table, data, chunk, rounds);
    const double nibble = Measure(Crc16X25Nibble, data, chunk, rounds);
    std::printf(
        "chunk %6zu B: in use (folded) %6.2f GB/s   table %6.2f GB/s   nibble table %6.2f GB/s\n",
        chunk, used / 1e9, table / 1e9, nibble / 1e9);
  }
  return 0;
}
