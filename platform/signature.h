#pragma once
// SHA-256 and ECDSA over the NIST P-256 curve from the system's cryptography
// (libcrypto elsewhere, CNG on Windows). Keys and signatures cross this line
// in their raw fixed-size forms; the encodings around them (PEM, DER) are the
// portable code's business, so both platforms read keys the same way.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

using Sha256Digest = std::array<std::uint8_t, 32>;
// The public point X||Y, 32 big-endian bytes each.
using P256Point = std::array<std::uint8_t, 64>;
// The private scalar, 32 big-endian bytes.
using P256Scalar = std::array<std::uint8_t, 32>;
// A signature as r||s, 32 big-endian bytes each.
using P256Signature = std::array<std::uint8_t, 64>;

// A SHA-256 over bytes handed in piece by piece.
class CSha256 {
 public:
  CSha256();
  ~CSha256();
  CSha256(const CSha256&) = delete;
  CSha256& operator=(const CSha256&) = delete;

  // False once the library failed; Finish then fails too.
  bool Update(const void* data, std::size_t length);
  // False when the library failed; the object is spent either way.
  bool Finish(Sha256Digest& digest);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// True when signature is a valid ECDSA signature of digest by point; false
// for a wrong signature as for a point that is not on the curve.
bool VerifyP256(const P256Point& point, const Sha256Digest& digest, const P256Signature& signature);

// Signs digest with the key pair; false when the library refuses the key.
bool SignP256(const P256Scalar& scalar, const P256Point& point, const Sha256Digest& digest,
              P256Signature& signature);

}  // namespace platform
