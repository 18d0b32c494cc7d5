// CNG (bcrypt.dll): keys are imported as ECCPUBLIC/ECCPRIVATE blobs, which
// take X, Y (and d) raw, and ECDSA signatures are r||s already.
#include "platform/signature.h"

#include <algorithm>
#include <vector>

// clang-format off
#include "platform/win32/windows_api.h"
#include <bcrypt.h>
// clang-format on

namespace platform {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

// Outside the anonymous namespace: CSha256's state, declared in the header,
// holds one.
namespace cng {

class CAlgorithm {
 public:
  explicit CAlgorithm(const wchar_t* name) {
    if (!Succeeded(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0))) handle_ = nullptr;
  }
  ~CAlgorithm() {
    if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  CAlgorithm(const CAlgorithm&) = delete;
  CAlgorithm& operator=(const CAlgorithm&) = delete;
  BCRYPT_ALG_HANDLE Get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

}  // namespace cng

namespace {

using cng::CAlgorithm;

class CCngKey {
 public:
  CCngKey(BCRYPT_ALG_HANDLE algorithm, const wchar_t* type, std::vector<UCHAR>& blob) {
    if (algorithm == nullptr ||
        !Succeeded(BCryptImportKeyPair(algorithm, nullptr, type, &handle_, blob.data(),
                                       static_cast<ULONG>(blob.size()), 0))) {
      handle_ = nullptr;
    }
    SecureZeroMemory(blob.data(), blob.size());
  }
  ~CCngKey() {
    if (handle_ != nullptr) BCryptDestroyKey(handle_);
  }
  CCngKey(const CCngKey&) = delete;
  CCngKey& operator=(const CCngKey&) = delete;
  BCRYPT_KEY_HANDLE Get() const { return handle_; }

 private:
  BCRYPT_KEY_HANDLE handle_ = nullptr;
};

std::vector<UCHAR> KeyBlob(ULONG magic, const P256Point& point, const P256Scalar* scalar) {
  std::vector<UCHAR> blob(sizeof(BCRYPT_ECCKEY_BLOB) + point.size() +
                          (scalar != nullptr ? scalar->size() : 0));
  BCRYPT_ECCKEY_BLOB header{magic, 32};
  std::copy_n(reinterpret_cast<const UCHAR*>(&header), sizeof header, blob.begin());
  std::copy(point.begin(), point.end(), blob.begin() + sizeof header);
  if (scalar != nullptr) {
    std::copy(scalar->begin(), scalar->end(), blob.begin() + sizeof header + point.size());
  }
  return blob;
}

}  // namespace

struct CSha256::State {
  cng::CAlgorithm algorithm{BCRYPT_SHA256_ALGORITHM};
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
};

CSha256::CSha256() : state_(std::make_unique<State>()) {
  state_->ok = state_->algorithm.Get() != nullptr &&
               Succeeded(BCryptCreateHash(state_->algorithm.Get(), &state_->hash, nullptr, 0,
                                          nullptr, 0, 0));
}

CSha256::~CSha256() {
  if (state_->hash != nullptr) BCryptDestroyHash(state_->hash);
}

bool CSha256::Update(const void* data, std::size_t length) {
  // BCryptHashData takes a ULONG count: large pieces go in slices.
  const auto* bytes = static_cast<const UCHAR*>(data);
  while (state_->ok && length != 0) {
    const ULONG slice = static_cast<ULONG>(std::min<std::size_t>(length, 1u << 30));
    state_->ok = Succeeded(BCryptHashData(state_->hash, const_cast<UCHAR*>(bytes), slice, 0));
    bytes += slice;
    length -= slice;
  }
  return state_->ok;
}

bool CSha256::Finish(Sha256Digest& digest) {
  const bool ok = state_->ok && Succeeded(BCryptFinishHash(state_->hash, digest.data(),
                                                           static_cast<ULONG>(digest.size()), 0));
  state_->ok = false;
  return ok;
}

bool VerifyP256(const P256Point& point, const Sha256Digest& digest,
                const P256Signature& signature) {
  CAlgorithm algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  std::vector<UCHAR> blob = KeyBlob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, point, nullptr);
  CCngKey key(algorithm.Get(), BCRYPT_ECCPUBLIC_BLOB, blob);
  if (key.Get() == nullptr) return false;
  Sha256Digest hash = digest;
  P256Signature copy = signature;
  return BCryptVerifySignature(key.Get(), nullptr, hash.data(), static_cast<ULONG>(hash.size()),
                               copy.data(), static_cast<ULONG>(copy.size()), 0) == 0;
}

bool SignP256(const P256Scalar& scalar, const P256Point& point, const Sha256Digest& digest,
              P256Signature& signature) {
  CAlgorithm algorithm(BCRYPT_ECDSA_P256_ALGORITHM);
  std::vector<UCHAR> blob = KeyBlob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, point, &scalar);
  CCngKey key(algorithm.Get(), BCRYPT_ECCPRIVATE_BLOB, blob);
  if (key.Get() == nullptr) return false;
  Sha256Digest hash = digest;
  ULONG written = 0;
  return Succeeded(BCryptSignHash(key.Get(), nullptr, hash.data(), static_cast<ULONG>(hash.size()),
                                  signature.data(), static_cast<ULONG>(signature.size()), &written,
                                  0)) &&
         written == signature.size();
}

}  // namespace platform
