#include "simcrypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>

#include "vorn/secure.h"

namespace vorn::cardsim::crypto {
namespace {

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
  void operator()(BIGNUM* b) const { BN_clear_free(b); }
  void operator()(X509* x) const { X509_free(x); }
  void operator()(EVP_MD_CTX* m) const { EVP_MD_CTX_free(m); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;
using Pkey = std::unique_ptr<EVP_PKEY, CtxFree>;
using BnCtx = std::unique_ptr<BN_CTX, CtxFree>;
using Bn = std::unique_ptr<BIGNUM, CtxFree>;

// Runs one EVP cipher without padding. key is the full key of `cipher`.
bool run_cipher(const EVP_CIPHER* cipher, const std::uint8_t* key, Bytes* iv, std::span<const std::uint8_t> in,
                std::uint8_t* out, bool encrypt) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || cipher == nullptr) return false;
  const std::uint8_t* ivp = (iv != nullptr && !iv->empty()) ? iv->data() : nullptr;
  if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, ivp, encrypt ? 1 : 0) != 1) return false;
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int outl = 0;
  if (!in.empty()) {
    if (EVP_CipherUpdate(ctx.get(), out, &outl, in.data(), static_cast<int>(in.size())) != 1) return false;
  }
  int finl = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out + outl, &finl) != 1) return false;
  if (static_cast<std::size_t>(outl + finl) != in.size()) return false;
  if (iv != nullptr && !iv->empty()) {
    if (EVP_CIPHER_CTX_get_updated_iv(ctx.get(), iv->data(), iv->size()) != 1) return false;
  }
  return true;
}

// Expands a DES or two-key triple-DES key to the three-key form.
std::array<std::uint8_t, 24> des3_key(std::span<const std::uint8_t> key) {
  std::array<std::uint8_t, 24> k{};
  if (key.size() == 8) {
    for (int i = 0; i < 3; ++i) std::copy(key.begin(), key.end(), k.begin() + 8 * i);
  } else {
    std::copy(key.begin(), key.begin() + 16, k.begin());
    std::copy(key.begin(), key.begin() + 8, k.begin() + 16);
  }
  return k;
}

Bn bn_from(std::span<const std::uint8_t> b) {
  return Bn(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}

bool bn_to_fixed(const BIGNUM* b, std::size_t len, std::uint8_t* out) {
  return BN_bn2binpad(b, out, static_cast<int>(len)) == static_cast<int>(len);
}

}  // namespace

std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  std::array<std::uint8_t, 20> out{};
  std::unique_ptr<EVP_MD_CTX, CtxFree> md(EVP_MD_CTX_new());
  unsigned int len = 0;
  if (md && EVP_DigestInit_ex(md.get(), EVP_sha1(), nullptr) == 1 &&
      EVP_DigestUpdate(md.get(), a.data(), a.size()) == 1 &&
      (b.empty() || EVP_DigestUpdate(md.get(), b.data(), b.size()) == 1)) {
    EVP_DigestFinal_ex(md.get(), out.data(), &len);
  }
  return out;
}

bool tdes2_ecb(const Key16& key, std::span<const std::uint8_t> in, std::uint8_t* out, bool encrypt) {
  if (in.size() % 8 != 0) return false;
  auto k = des3_key(key);
  bool ok = run_cipher(EVP_des_ede3_ecb(), k.data(), nullptr, in, out, encrypt);
  plat_wipe(k.data(), k.size());
  return ok;
}

bool aes128_ecb(const Key16& key, std::span<const std::uint8_t> in, std::uint8_t* out, bool encrypt) {
  if (in.size() % 16 != 0) return false;
  return run_cipher(EVP_aes_128_ecb(), key.data(), nullptr, in, out, encrypt);
}

std::array<std::uint8_t, 4> channel_mac(const Key16& key, std::span<const std::uint8_t> data) {
  Bytes buf(data.begin(), data.end());
  std::size_t q = 8 - (data.size() % 8);
  buf.insert(buf.end(), q, static_cast<std::uint8_t>(q));
  Bytes iv(8, 0);
  Bytes out(buf.size());
  auto k = des3_key(key);
  std::array<std::uint8_t, 4> mac{};
  if (run_cipher(EVP_des_ede3_cbc(), k.data(), &iv, buf, out.data(), true)) {
    std::copy(out.end() - 8, out.end() - 4, mac.begin());
  }
  plat_wipe(k.data(), k.size());
  return mac;
}

std::size_t sym_block(std::uint8_t alg) {
  switch (alg) {
    case 1: return 16;
    case 13:
    case 17: return 8;
    default: return 0;
  }
}

std::size_t sym_key_len(std::uint8_t alg) {
  switch (alg) {
    case 1: return 16;
    case 13: return 8;
    case 17: return 16;
    default: return 0;
  }
}

bool sym_crypt(std::uint8_t alg, std::uint8_t mode, std::span<const std::uint8_t> key, Bytes* iv,
               std::span<const std::uint8_t> in, Bytes* out, bool encrypt) {
  std::size_t block = sym_block(alg);
  if (block == 0 || key.size() != sym_key_len(alg) || iv == nullptr) return false;
  if (mode != 2 && in.size() % block != 0) return false;
  const EVP_CIPHER* c = nullptr;
  if (alg == 1) {
    c = mode == 1 ? EVP_aes_128_cbc() : mode == 2 ? EVP_aes_128_cfb8() : mode == 3 ? EVP_aes_128_cfb128()
        : mode == 4 ? EVP_aes_128_ecb() : nullptr;
  } else {
    c = mode == 1 ? EVP_des_ede3_cbc() : mode == 2 ? EVP_des_ede3_cfb8() : mode == 3 ? EVP_des_ede3_cfb64()
        : mode == 4 ? EVP_des_ede3_ecb() : nullptr;
  }
  if (c == nullptr) return false;
  if (mode != 4 && iv->size() != block) iv->assign(block, 0);
  Bytes none;
  out->assign(in.size(), 0);
  if (alg == 1) return run_cipher(c, key.data(), mode == 4 ? &none : iv, in, out->data(), encrypt);
  auto k = des3_key(key);
  bool ok = run_cipher(c, k.data(), mode == 4 ? &none : iv, in, out->data(), encrypt);
  plat_wipe(k.data(), k.size());
  return ok;
}

bool rsa_modulus(std::span<const std::uint8_t> value, Bytes* modulus) {
  if (value.size() != 320 && value.size() != 640) return false;
  std::size_t h = value.size() / 5;
  Bn p = bn_from(value.subspan(0, h)), q = bn_from(value.subspan(h, h));
  Bn n(BN_new());
  BnCtx ctx(BN_CTX_new());
  if (!p || !q || !n || !ctx || BN_mul(n.get(), p.get(), q.get(), ctx.get()) != 1) return false;
  modulus->assign(2 * h, 0);
  return bn_to_fixed(n.get(), 2 * h, modulus->data()) && (modulus->at(0) & 0x80) != 0;
}

bool rsa_private(std::span<const std::uint8_t> value, std::span<const std::uint8_t> in, Bytes* out) {
  if (value.size() != 320 && value.size() != 640) return false;
  std::size_t h = value.size() / 5, k = 2 * h;
  if (in.size() != k) return false;
  Bn p = bn_from(value.subspan(0, h)), q = bn_from(value.subspan(h, h));
  Bn dp = bn_from(value.subspan(2 * h, h)), dq = bn_from(value.subspan(3 * h, h));
  Bn qinv = bn_from(value.subspan(4 * h, h)), c = bn_from(in);
  Bn n(BN_new()), m1(BN_new()), m2(BN_new()), t(BN_new()), m(BN_new());
  BnCtx ctx(BN_CTX_new());
  if (!p || !q || !dp || !dq || !qinv || !c || !n || !m1 || !m2 || !t || !m || !ctx) return false;
  if (BN_is_zero(p.get()) || BN_is_zero(q.get())) return false;
  if (BN_mul(n.get(), p.get(), q.get(), ctx.get()) != 1) return false;
  if (BN_num_bytes(n.get()) != static_cast<int>(k) || BN_cmp(c.get(), n.get()) >= 0) return false;
  BN_set_flags(dp.get(), BN_FLG_CONSTTIME);
  BN_set_flags(dq.get(), BN_FLG_CONSTTIME);
  // m1 = c^dP mod p, m2 = c^dQ mod q, h = qInv (m1 - m2) mod p, m = m2 + h q
  if (BN_mod_exp(m1.get(), c.get(), dp.get(), p.get(), ctx.get()) != 1) return false;
  if (BN_mod_exp(m2.get(), c.get(), dq.get(), q.get(), ctx.get()) != 1) return false;
  if (BN_mod_sub(t.get(), m1.get(), m2.get(), p.get(), ctx.get()) != 1) return false;
  if (BN_mod_mul(t.get(), t.get(), qinv.get(), p.get(), ctx.get()) != 1) return false;
  if (BN_mul(m.get(), t.get(), q.get(), ctx.get()) != 1) return false;
  if (BN_add(m.get(), m.get(), m2.get()) != 1) return false;
  out->assign(k, 0);
  return bn_to_fixed(m.get(), k, out->data());
}

bool rsa_generate(unsigned bits, RsaPair* out) {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
  if (!key) return false;
  const char* names[] = {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
                         OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  std::size_t k = bits / 8, h = k / 2;
  out->private_value.assign(5 * h, 0);
  for (int i = 0; i < 5; ++i) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), names[i], &raw) != 1) return false;
    Bn b(raw);
    if (!bn_to_fixed(b.get(), h, out->private_value.data() + i * h)) return false;
  }
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &raw) != 1) return false;
  Bn n(raw);
  out->modulus.assign(k, 0);
  return bn_to_fixed(n.get(), k, out->modulus.data());
}

bool demo_certificate(const std::string& common_name, const Bytes& serial, DemoCert* out) {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
  if (!key) return false;
  // Key parts in the card's layout.
  const char* names[] = {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
                         OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  out->key.private_value.assign(640, 0);
  for (int i = 0; i < 5; ++i) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), names[i], &raw) != 1) return false;
    Bn b(raw);
    if (!bn_to_fixed(b.get(), 128, out->key.private_value.data() + i * 128)) return false;
  }
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &raw) != 1) return false;
  Bn n(raw);
  out->key.modulus.assign(256, 0);
  if (!bn_to_fixed(n.get(), 256, out->key.modulus.data())) return false;

  std::unique_ptr<X509, CtxFree> x(X509_new());
  if (!x) return false;
  Bn sn = bn_from(serial);
  ASN1_INTEGER* asn_sn = BN_to_ASN1_INTEGER(sn.get(), nullptr);
  bool ok = asn_sn != nullptr && X509_set_version(x.get(), 2) == 1 &&
            X509_set_serialNumber(x.get(), asn_sn) == 1;
  ASN1_INTEGER_free(asn_sn);
  if (!ok) return false;
  X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(x.get()), 10L * 365 * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(x.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("VORN demo"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1, 0);
  if (X509_set_issuer_name(x.get(), name) != 1 || X509_set_pubkey(x.get(), key.get()) != 1) return false;
  if (X509_sign(x.get(), key.get(), EVP_sha256()) <= 0) return false;

  auto der_of = [](auto fn, auto* obj, Bytes* dst) {
    unsigned char* buf = nullptr;
    int len = fn(obj, &buf);
    if (len <= 0) return false;
    dst->assign(buf, buf + len);
    OPENSSL_free(buf);
    return true;
  };
  if (!der_of(i2d_X509, x.get(), &out->der)) return false;
  if (!der_of(i2d_X509_NAME, X509_get_subject_name(x.get()), &out->subject_der)) return false;
  if (!der_of(i2d_X509_NAME, X509_get_issuer_name(x.get()), &out->issuer_der)) return false;
  if (!der_of(i2d_ASN1_INTEGER, X509_get_serialNumber(x.get()), &out->serial_der)) return false;
  out->common_name = common_name;
  return true;
}

bool certificate_fields(std::span<const std::uint8_t> der, DemoCert* out) {
  const unsigned char* p = der.data();
  std::unique_ptr<X509, CtxFree> x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!x || p != der.data() + der.size()) return false;
  EVP_PKEY* key = X509_get0_pubkey(x.get());
  BIGNUM* raw = nullptr;
  if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA ||
      EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &raw) != 1)
    return false;
  Bn n(raw);
  out->key.modulus.assign(static_cast<std::size_t>(BN_num_bytes(n.get())), 0);
  BN_bn2bin(n.get(), out->key.modulus.data());
  auto der_of = [](auto fn, auto* obj, Bytes* dst) {
    unsigned char* buf = nullptr;
    int len = fn(obj, &buf);
    if (len <= 0) return false;
    dst->assign(buf, buf + len);
    OPENSSL_free(buf);
    return true;
  };
  out->der.assign(der.begin(), der.end());
  if (!der_of(i2d_X509_NAME, X509_get_subject_name(x.get()), &out->subject_der) ||
      !der_of(i2d_X509_NAME, X509_get_issuer_name(x.get()), &out->issuer_der) ||
      !der_of(i2d_ASN1_INTEGER, X509_get_serialNumber(x.get()), &out->serial_der))
    return false;
  char cn[256] = "";
  X509_NAME_get_text_by_NID(X509_get_subject_name(x.get()), NID_commonName, cn, sizeof cn);
  out->common_name = cn;
  return true;
}

}  // namespace vorn::cardsim::crypto
