#include "install/crc16_fold.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include <cstring>

#include "install/crc16.h"

namespace crc16_fold {
namespace {

// Polynomial arithmetic in the usual (unreflected) form: x^16 + x^12 + x^5 + 1.
constexpr std::uint32_t kPolynomial = 0x11021;

constexpr std::uint32_t PowerOfXModP(unsigned n) {
  std::uint32_t r = 1;
  for (unsigned i = 0; i < n; ++i) {
    r <<= 1;
    if ((r & 0x10000) != 0) r ^= kPolynomial;
  }
  return r;
}

// A block is loaded little-endian, so register bit k is the k-th bit the
// reflected algorithm takes, the coefficient of x^(127-k) within the block:
// the low half holds the higher powers. A constant of degree below 16 goes
// in with its coefficient of x^d at bit 63-d; the product of two such
// halves then lands one place short of the block's frame, which is why
// every constant carries one power of x less than its shift.
constexpr std::uint64_t Reflected(std::uint32_t polynomial) {
  std::uint64_t r = 0;
  for (unsigned d = 0; d < 16; ++d) {
    if ((polynomial >> d) & 1) r |= std::uint64_t{1} << (63 - d);
  }
  return r;
}

// Folding a block forward by `bits`: its high half (low register half) is
// multiplied by x^(bits+64), its low half by x^bits.
constexpr std::uint64_t kFold128High = Reflected(PowerOfXModP(128 + 64 - 1));
constexpr std::uint64_t kFold128Low = Reflected(PowerOfXModP(128 - 1));
constexpr std::uint64_t kFold512High = Reflected(PowerOfXModP(512 + 64 - 1));
constexpr std::uint64_t kFold512Low = Reflected(PowerOfXModP(512 - 1));

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i block, __m128i constants) {
  return _mm_xor_si128(_mm_clmulepi64_si128(block, constants, 0x00),
                       _mm_clmulepi64_si128(block, constants, 0x11));
}

__attribute__((target("pclmul,sse2"))) inline __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

}  // namespace

bool Available() {
  static const bool available = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
  return available;
}

__attribute__((target("pclmul,sse2"))) std::uint32_t Update(std::uint32_t registerValue,
                                                            const unsigned char* p,
                                                            std::size_t length,
                                                            std::size_t* consumed) {
  *consumed = 0;
  if (length < 64) return registerValue;
  const __m128i fold512 =
      _mm_set_epi64x(static_cast<long long>(kFold512Low), static_cast<long long>(kFold512High));
  const __m128i fold128 =
      _mm_set_epi64x(static_cast<long long>(kFold128Low), static_cast<long long>(kFold128High));
  // The running register enters as if it had been XORed into the first two
  // bytes, which is what the byte table does with it.
  __m128i x0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(registerValue)));
  __m128i x1 = Load(p + 16);
  __m128i x2 = Load(p + 32);
  __m128i x3 = Load(p + 48);
  std::size_t done = 64;
  for (; length - done >= 64; done += 64) {
    x0 = _mm_xor_si128(Fold(x0, fold512), Load(p + done));
    x1 = _mm_xor_si128(Fold(x1, fold512), Load(p + done + 16));
    x2 = _mm_xor_si128(Fold(x2, fold512), Load(p + done + 32));
    x3 = _mm_xor_si128(Fold(x3, fold512), Load(p + done + 48));
  }
  __m128i x = _mm_xor_si128(Fold(x0, fold128), x1);
  x = _mm_xor_si128(Fold(x, fold128), x2);
  x = _mm_xor_si128(Fold(x, fold128), x3);
  for (; length - done >= 16; done += 16) x = _mm_xor_si128(Fold(x, fold128), Load(p + done));
  // The folded block is congruent to everything taken: its bytes, run
  // through the table from a zero register, leave the same register.
  unsigned char folded[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(folded), x);
  *consumed = done;
  return Crc16X25Register(0, folded, sizeof folded);
}

}  // namespace crc16_fold

#else

namespace crc16_fold {

bool Available() { return false; }

std::uint32_t Update(std::uint32_t registerValue, const unsigned char*, std::size_t,
                     std::size_t* consumed) {
  *consumed = 0;
  return registerValue;
}

}  // namespace crc16_fold

#endif
