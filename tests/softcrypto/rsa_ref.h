// Moves RSA keys between our key records and OpenSSL for the interop tests.
#pragma once
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "softcrypto.h"

namespace ref {

struct pkey_free {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using pkey = std::unique_ptr<EVP_PKEY, pkey_free>;

inline BIGNUM* bn_of(const std::uint8_t* field, std::size_t len) { return BN_bin2bn(field, static_cast<int>(len), nullptr); }

inline pkey to_openssl(const sc_rsa_private_key& k) {
  OSSL_PARAM_BLD* b = OSSL_PARAM_BLD_new();
  BIGNUM* v[8] = {bn_of(k.modulus, 256), bn_of(k.public_exponent, 256), bn_of(k.exponent, 256),
                  bn_of(k.prime[0], 128), bn_of(k.prime[1], 128), bn_of(k.prime_exponent[0], 128),
                  bn_of(k.prime_exponent[1], 128), bn_of(k.coefficient, 128)};
  const char* names[8] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D,
                          OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
                          OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  for (int i = 0; i < 8; ++i) OSSL_PARAM_BLD_push_BN(b, names[i], v[i]);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(b);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(ctx);
  EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(b);
  for (auto* x : v) BN_clear_free(x);
  if (key == nullptr) throw std::runtime_error("fromdata");
  return pkey(key);
}

inline void put_bn(EVP_PKEY* key, const char* name, std::uint8_t* field, std::size_t len) {
  BIGNUM* v = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &v) != 1) throw std::runtime_error(name);
  BN_bn2binpad(v, field, static_cast<int>(len));
  BN_clear_free(v);
}

inline pkey openssl_keygen(int bits, unsigned e = 65537) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_keygen_init(ctx);
  EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits);
  BIGNUM* be = BN_new();
  BN_set_word(be, e);
  EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, be);
  BN_free(be);
  EVP_PKEY_keygen(ctx, &key);
  EVP_PKEY_CTX_free(ctx);
  return pkey(key);
}

inline void from_openssl(EVP_PKEY* key, sc_rsa_private_key* priv, sc_rsa_public_key* pub) {
  std::memset(priv, 0, sizeof *priv);
  priv->bits = static_cast<std::uint16_t>(EVP_PKEY_get_bits(key));
  put_bn(key, OSSL_PKEY_PARAM_RSA_N, priv->modulus, 256);
  put_bn(key, OSSL_PKEY_PARAM_RSA_E, priv->public_exponent, 256);
  put_bn(key, OSSL_PKEY_PARAM_RSA_D, priv->exponent, 256);
  put_bn(key, OSSL_PKEY_PARAM_RSA_FACTOR1, priv->prime[0], 128);
  put_bn(key, OSSL_PKEY_PARAM_RSA_FACTOR2, priv->prime[1], 128);
  put_bn(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, priv->prime_exponent[0], 128);
  put_bn(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, priv->prime_exponent[1], 128);
  put_bn(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, priv->coefficient, 128);
  if (pub != nullptr) {
    std::memset(pub, 0, sizeof *pub);
    pub->bits = priv->bits;
    std::memcpy(pub->modulus, priv->modulus, 256);
    std::memcpy(pub->exponent, priv->public_exponent, 256);
  }
}

// Raw RSA through OpenSSL with a chosen padding; sign = private key op.
inline std::vector<std::uint8_t> pk_op(EVP_PKEY* key, int op, int padding, const std::vector<std::uint8_t>& in) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  std::size_t outlen = 512;
  std::vector<std::uint8_t> out(outlen);
  int ok = 0;
  switch (op) {
    case 0: ok = EVP_PKEY_sign_init(ctx); break;
    case 1: ok = EVP_PKEY_verify_recover_init(ctx); break;
    case 2: ok = EVP_PKEY_encrypt_init(ctx); break;
    default: ok = EVP_PKEY_decrypt_init(ctx); break;
  }
  if (ok == 1) ok = EVP_PKEY_CTX_set_rsa_padding(ctx, padding);
  if (ok == 1) {
    switch (op) {
      case 0: ok = EVP_PKEY_sign(ctx, out.data(), &outlen, in.data(), in.size()); break;
      case 1: ok = EVP_PKEY_verify_recover(ctx, out.data(), &outlen, in.data(), in.size()); break;
      case 2: ok = EVP_PKEY_encrypt(ctx, out.data(), &outlen, in.data(), in.size()); break;
      default: ok = EVP_PKEY_decrypt(ctx, out.data(), &outlen, in.data(), in.size()); break;
    }
  }
  EVP_PKEY_CTX_free(ctx);
  if (ok != 1) return {};
  out.resize(outlen);
  return out;
}

}  // namespace ref
