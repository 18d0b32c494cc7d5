#include "install/package_signature.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>

#include "install/configuration_values.h"
#include "platform/registry.h"
#include "platform/registry_keys.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Larger key files are no key files; a DER P-256 signature has at most 72
// bytes, so reading a little past that is enough to refuse a longer one.
constexpr std::size_t kMaxKeyFile = 1 << 20;
constexpr std::size_t kMaxSignatureFile = 256;

// The DER SubjectPublicKeyInfo of every P-256 key, in front of 04||X||Y:
// id-ecPublicKey with the prime256v1 parameter and an uncompressed point.
constexpr std::uint8_t kP256PublicKeyPrefix[] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06,
    0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
constexpr std::uint8_t kEcPublicKeyOid[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
constexpr std::uint8_t kPrime256v1Oid[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

std::optional<Bytes> DecodeBase64(const std::string& text) {
  Bytes out;
  std::uint32_t buffer = 0;
  int bits = 0;
  std::size_t padding = 0;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    if (padding != 0) return std::nullopt;  // data after padding
    int value;
    if (c >= 'A' && c <= 'Z') {
      value = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      value = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      value = c - '0' + 52;
    } else if (c == '+') {
      value = 62;
    } else if (c == '/') {
      value = 63;
    } else {
      return std::nullopt;
    }
    buffer = (buffer << 6) | static_cast<std::uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(buffer >> bits));
    }
  }
  if (padding > 2 || bits >= 6) return std::nullopt;
  return out;
}

// The bodies of every "-----BEGIN <label>-----" block, decoded. nullopt when
// a block is unterminated or its body is not base64, or when it carries
// headers (an encrypted key).
std::optional<std::vector<Bytes>> PemBlocks(const std::string& pem, const std::string& label) {
  const std::string begin = "-----BEGIN " + label + "-----";
  const std::string end = "-----END " + label + "-----";
  std::vector<Bytes> blocks;
  std::size_t at = 0;
  while ((at = pem.find(begin, at)) != std::string::npos) {
    const std::size_t start = at + begin.size();
    const std::size_t stop = pem.find(end, start);
    if (stop == std::string::npos) return std::nullopt;
    std::optional<Bytes> body = DecodeBase64(pem.substr(start, stop - start));
    if (!body) return std::nullopt;
    blocks.push_back(std::move(*body));
    at = stop + end.size();
  }
  return blocks;
}

// A DER reader over one element list: each Next takes the element that
// starts at the cursor if it has the tag, with definite lengths only.
class CDer {
 public:
  CDer(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  explicit CDer(const Bytes& bytes) : CDer(bytes.data(), bytes.size()) {}

  bool Next(std::uint8_t tag, CDer& content) {
    if (at_ + 2 > size_ || data_[at_] != tag) return false;
    std::size_t length = data_[at_ + 1];
    std::size_t header = 2;
    if (length == 0x81 || length == 0x82) {
      const std::size_t count = length - 0x80;
      if (at_ + 2 + count > size_) return false;
      length = 0;
      for (std::size_t i = 0; i < count; ++i) length = (length << 8) | data_[at_ + 2 + i];
      // Minimal lengths only: DER has one encoding of each.
      if (length < 0x80 || (count == 2 && length < 0x100)) return false;
      header += count;
    } else if (length >= 0x80) {
      return false;
    }
    if (length > size_ - at_ - header) return false;
    content = CDer(data_ + at_ + header, length);
    at_ += header + length;
    return true;
  }
  bool AtEnd() const { return at_ == size_; }
  const std::uint8_t* Data() const { return data_; }
  std::size_t Size() const { return size_; }
  bool Equals(const std::uint8_t* bytes, std::size_t size) const {
    return size == size_ && std::equal(bytes, bytes + size, data_);
  }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t at_ = 0;
};

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

bool MakeTrustedKey(const std::uint8_t* point, TrustedKey& key) {
  std::copy_n(point, key.point.size(), key.point.begin());
  Bytes der(std::begin(kP256PublicKeyPrefix), std::end(kP256PublicKeyPrefix));
  der.insert(der.end(), point, point + key.point.size());
  platform::CSha256 hash;
  platform::Sha256Digest digest;
  if (!hash.Update(der.data(), der.size()) || !hash.Finish(digest)) return false;
  key.fingerprint = Hex(digest.data(), digest.size());
  return true;
}

// An unsigned DER INTEGER of at most 32 bytes, right-aligned into out.
bool ReadUnsigned(CDer& in, std::uint8_t* out) {
  CDer value(nullptr, 0);
  if (!in.Next(0x02, value) || value.Size() == 0) return false;
  const std::uint8_t* bytes = value.Data();
  std::size_t size = value.Size();
  if (bytes[0] & 0x80) return false;  // negative
  if (bytes[0] == 0 && size > 1) {
    if ((bytes[1] & 0x80) == 0) return false;  // not minimal
    ++bytes;
    --size;
  }
  if (size > 32) return false;
  std::fill_n(out, 32 - size, 0);
  std::copy_n(bytes, size, out + 32 - size);
  return true;
}

bool IsZero(const std::uint8_t* bytes, std::size_t size) {
  return std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; });
}

// SEC1 ECPrivateKey; curveKnown when the PKCS#8 wrapper named P-256 already.
bool ReadEcPrivateKey(CDer body, bool curveKnown, SigningKey& key) {
  CDer sequence(nullptr, 0), version(nullptr, 0), secret(nullptr, 0);
  if (!body.Next(0x30, sequence) || !body.AtEnd()) return false;
  static constexpr std::uint8_t kOne[] = {0x01};
  if (!sequence.Next(0x02, version) || !version.Equals(kOne, 1)) return false;
  if (!sequence.Next(0x04, secret) || secret.Size() != 32) return false;
  CDer parameters(nullptr, 0), publicKey(nullptr, 0);
  if (sequence.Next(0xA0, parameters)) {
    CDer curve(nullptr, 0);
    if (!parameters.Next(0x06, curve) || !curve.Equals(kPrime256v1Oid, sizeof kPrime256v1Oid)) {
      return false;
    }
    curveKnown = true;
  }
  if (!curveKnown || !sequence.Next(0xA1, publicKey)) return false;
  CDer bits(nullptr, 0);
  if (!publicKey.Next(0x03, bits) || bits.Size() != 66 || bits.Data()[0] != 0 ||
      bits.Data()[1] != 0x04) {
    return false;
  }
  std::copy_n(secret.Data(), 32, key.scalar.begin());
  return MakeTrustedKey(bits.Data() + 2, key.publicKey);
}

bool ReadPkcs8(CDer body, SigningKey& key) {
  CDer sequence(nullptr, 0), version(nullptr, 0), algorithm(nullptr, 0), inner(nullptr, 0);
  static constexpr std::uint8_t kZero[] = {0x00};
  if (!body.Next(0x30, sequence) || !body.AtEnd()) return false;
  if (!sequence.Next(0x02, version) || !version.Equals(kZero, 1)) return false;
  if (!sequence.Next(0x30, algorithm)) return false;
  CDer type(nullptr, 0), curve(nullptr, 0);
  if (!algorithm.Next(0x06, type) || !type.Equals(kEcPublicKeyOid, sizeof kEcPublicKeyOid) ||
      !algorithm.Next(0x06, curve) || !curve.Equals(kPrime256v1Oid, sizeof kPrime256v1Oid)) {
    return false;
  }
  if (!sequence.Next(0x04, inner)) return false;
  return ReadEcPrivateKey(inner, true, key);
}

std::optional<std::string> ReadBounded(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(limit + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return std::nullopt;
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

}  // namespace

std::optional<std::string> ReadTrustedKeysPath(platform::IRegistry& registry, std::string& error) {
  std::optional<std::string> path =
      ReadConfigurationText(registry, kTrustedPackageKeysValue, error);
  if (path && path->empty()) return std::nullopt;
  return path;
}

bool ParsePublicKeys(const std::string& pem, std::vector<TrustedKey>& keys, std::string& error) {
  keys.clear();
  const std::optional<std::vector<Bytes>> blocks = PemBlocks(pem, "PUBLIC KEY");
  if (!blocks) {
    error = "is not a PEM file (a PUBLIC KEY block is cut short or not base64)";
    return false;
  }
  if (blocks->empty()) {
    error = "holds no PUBLIC KEY block";
    return false;
  }
  for (std::size_t i = 0; i < blocks->size(); ++i) {
    const Bytes& der = (*blocks)[i];
    TrustedKey key;
    if (der.size() != sizeof kP256PublicKeyPrefix + key.point.size() ||
        !std::equal(std::begin(kP256PublicKeyPrefix), std::end(kP256PublicKeyPrefix),
                    der.begin())) {
      error = "holds a key (number " + std::to_string(i + 1) +
              ") that is not an uncompressed ECDSA P-256 public key";
      return false;
    }
    if (!MakeTrustedKey(der.data() + sizeof kP256PublicKeyPrefix, key)) {
      error = "cannot be read: SHA-256 failed";
      return false;
    }
    keys.push_back(std::move(key));
  }
  return true;
}

bool LoadTrustedKeys(const std::string& path, std::vector<TrustedKey>& keys, std::string& error) {
  const std::optional<std::string> text = ReadBounded(path, kMaxKeyFile);
  if (!text) {
    error = "cannot be opened";
    return false;
  }
  if (text->size() > kMaxKeyFile) {
    error = "is larger than 1 MiB";
    return false;
  }
  return ParsePublicKeys(*text, keys, error);
}

bool ParsePrivateKey(const std::string& pem, SigningKey& key, std::string& error) {
  if (pem.find("ENCRYPTED") != std::string::npos || pem.find("Proc-Type:") != std::string::npos) {
    error = "is encrypted; sign with an unencrypted key";
    return false;
  }
  const std::optional<std::vector<Bytes>> sec1 = PemBlocks(pem, "EC PRIVATE KEY");
  const std::optional<std::vector<Bytes>> pkcs8 = PemBlocks(pem, "PRIVATE KEY");
  if (!sec1 || !pkcs8) {
    error = "is not a PEM file (a key block is cut short or not base64)";
    return false;
  }
  bool ok;
  if (!sec1->empty()) {
    ok = ReadEcPrivateKey(CDer(sec1->front()), false, key);
  } else if (!pkcs8->empty()) {
    ok = ReadPkcs8(CDer(pkcs8->front()), key);
  } else {
    error = "holds no EC PRIVATE KEY or PRIVATE KEY block";
    return false;
  }
  if (!ok) error = "is not an ECDSA P-256 private key with its public key";
  return ok;
}

bool SignatureFromDer(const std::string& der, platform::P256Signature& signature) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(der.data());
  CDer all(bytes, der.size()), sequence(nullptr, 0);
  if (!all.Next(0x30, sequence) || !all.AtEnd()) return false;
  if (!ReadUnsigned(sequence, signature.data()) || !ReadUnsigned(sequence, signature.data() + 32) ||
      !sequence.AtEnd()) {
    return false;
  }
  return !IsZero(signature.data(), 32) && !IsZero(signature.data() + 32, 32);
}

std::string SignatureToDer(const platform::P256Signature& signature) {
  std::string body;
  for (int half = 0; half < 2; ++half) {
    const std::uint8_t* value = signature.data() + half * 32;
    std::size_t skip = 0;
    while (skip < 31 && value[skip] == 0) ++skip;
    std::string integer(reinterpret_cast<const char*>(value + skip), 32 - skip);
    if (value[skip] & 0x80) integer.insert(integer.begin(), '\0');
    body += '\x02';
    body += static_cast<char>(integer.size());
    body += integer;
  }
  return std::string(1, '\x30') + static_cast<char>(body.size()) + body;
}

bool DigestPackage(const std::string& record, const std::string& dataPath,
                   platform::Sha256Digest& digest, const PackageBytesSink& sink) {
  std::ifstream in(dataPath, std::ios::binary);
  if (!in) return false;
  platform::CSha256 hash;
  hash.Update(record.data(), record.size());
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto length = static_cast<std::size_t>(in.gcount());
    hash.Update(buffer.data(), length);
    if (sink && length != 0 && !sink(buffer.data(), length)) return false;
  }
  if (in.bad() || !in.eof()) return false;
  return hash.Finish(digest);
}

const TrustedKey* FindSigner(const std::vector<TrustedKey>& keys,
                             const platform::Sha256Digest& digest, const std::string& der) {
  platform::P256Signature signature;
  if (!SignatureFromDer(der, signature)) return nullptr;
  for (const TrustedKey& key : keys) {
    if (platform::VerifyP256(key.point, digest, signature)) return &key;
  }
  return nullptr;
}

std::optional<std::string> ReadSignatureFile(const std::string& path) {
  return ReadBounded(path, kMaxSignatureFile);
}

const char* CheckPackageSignature(const std::vector<TrustedKey>& keys, const std::string& record,
                                  const std::string& dataPath, const std::string& signaturePath,
                                  std::string* signer) {
  const std::optional<std::string> der = ReadSignatureFile(signaturePath);
  if (!der) return kSignatureMissing;
  platform::Sha256Digest digest;
  if (!DigestPackage(record, dataPath, digest)) return kNotSignedByTrustedKey;
  const TrustedKey* key = FindSigner(keys, digest, *der);
  if (key == nullptr) return kNotSignedByTrustedKey;
  if (signer != nullptr) *signer = key->fingerprint;
  return nullptr;
}

bool SignPackage(const SigningKey& key, const std::string& record, const std::string& dataPath,
                 const std::string& signaturePath, std::string& error) {
  platform::Sha256Digest digest;
  if (!DigestPackage(record, dataPath, digest)) {
    error = "cannot read '" + dataPath + "'";
    return false;
  }
  platform::P256Signature signature;
  if (!platform::SignP256(key.scalar, key.publicKey.point, digest, signature)) {
    error = "the system's cryptography refused to sign with the key";
    return false;
  }
  const std::string der = SignatureToDer(signature);
  std::ofstream out(signaturePath, std::ios::binary | std::ios::trunc);
  out.write(der.data(), static_cast<std::streamsize>(der.size()));
  out.close();
  if (!out) {
    error = "cannot write '" + signaturePath + "'";
    return false;
  }
  return true;
}
