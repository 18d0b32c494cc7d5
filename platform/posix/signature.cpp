// libcrypto (OpenSSL 3): the raw key material is put into an EVP_PKEY
// through the provider parameters; ECDSA itself wants DER signatures, so r||s
// is converted at this edge.
#include "platform/signature.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

namespace platform {

struct CSha256::State {
  EVP_MD_CTX* context = nullptr;
  bool ok = false;
};

CSha256::CSha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  state_->ok =
      state_->context != nullptr && EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) == 1;
}

CSha256::~CSha256() { EVP_MD_CTX_free(state_->context); }

bool CSha256::Update(const void* data, std::size_t length) {
  if (state_->ok && length != 0) {
    state_->ok = EVP_DigestUpdate(state_->context, data, length) == 1;
  }
  return state_->ok;
}

bool CSha256::Finish(Sha256Digest& digest) {
  unsigned size = 0;
  const bool ok = state_->ok && EVP_DigestFinal_ex(state_->context, digest.data(), &size) == 1 &&
                  size == digest.size();
  state_->ok = false;
  return ok;
}

namespace {

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

// The key from its uncompressed point and, for signing, its scalar.
Key MakeKey(const P256Point& point, const P256Scalar* scalar) {
  std::uint8_t encoded[65];
  encoded[0] = 0x04;
  std::copy(point.begin(), point.end(), encoded + 1);
  OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
  BIGNUM* secret = scalar != nullptr ? BN_bin2bn(scalar->data(), 32, nullptr) : nullptr;
  OSSL_PARAM* params = nullptr;
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  EVP_PKEY* key = nullptr;
  if (builder != nullptr && context != nullptr && (scalar == nullptr || secret != nullptr) &&
      OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) == 1 &&
      OSSL_PARAM_BLD_push_octet_string(builder, OSSL_PKEY_PARAM_PUB_KEY, encoded, sizeof encoded) ==
          1 &&
      (secret == nullptr ||
       OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_PRIV_KEY, secret) == 1) &&
      (params = OSSL_PARAM_BLD_to_param(builder)) != nullptr &&
      EVP_PKEY_fromdata_init(context) == 1) {
    if (EVP_PKEY_fromdata(context, &key, scalar != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                          params) != 1) {
      key = nullptr;
    }
  }
  EVP_PKEY_CTX_free(context);
  OSSL_PARAM_free(params);
  BN_clear_free(secret);
  OSSL_PARAM_BLD_free(builder);
  return Key(key);
}

}  // namespace

bool VerifyP256(const P256Point& point, const Sha256Digest& digest,
                const P256Signature& signature) {
  Key key = MakeKey(point, nullptr);
  if (!key) return false;
  ECDSA_SIG* sig = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
  if (sig == nullptr || r == nullptr || s == nullptr || ECDSA_SIG_set0(sig, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(sig);
    return false;
  }
  unsigned char* der = nullptr;
  const int derLength = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  bool ok = false;
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key.get(), nullptr);
  if (derLength > 0 && context != nullptr && EVP_PKEY_verify_init(context) == 1) {
    ok = EVP_PKEY_verify(context, der, static_cast<std::size_t>(derLength), digest.data(),
                         digest.size()) == 1;
  }
  EVP_PKEY_CTX_free(context);
  OPENSSL_free(der);
  return ok;
}

bool SignP256(const P256Scalar& scalar, const P256Point& point, const Sha256Digest& digest,
              P256Signature& signature) {
  Key key = MakeKey(point, &scalar);
  if (!key) return false;
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key.get(), nullptr);
  unsigned char der[80];
  std::size_t derLength = sizeof der;
  bool ok = context != nullptr && EVP_PKEY_sign_init(context) == 1 &&
            EVP_PKEY_sign(context, der, &derLength, digest.data(), digest.size()) == 1;
  EVP_PKEY_CTX_free(context);
  if (!ok) return false;
  const unsigned char* cursor = der;
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derLength));
  if (sig == nullptr) return false;
  ok = BN_bn2binpad(ECDSA_SIG_get0_r(sig), signature.data(), 32) == 32 &&
       BN_bn2binpad(ECDSA_SIG_get0_s(sig), signature.data() + 32, 32) == 32;
  ECDSA_SIG_free(sig);
  return ok;
}

}  // namespace platform
