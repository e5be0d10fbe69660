// Small helpers for the card layer's tests.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace clt {

using Bytes = std::vector<std::uint8_t>;

// Raw RSA public operation with the modulus and exponent 65537.
inline Bytes rsa_public(const Bytes& modulus, const Bytes& in) {
  BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
  BIGNUM* e = BN_new();
  BN_set_word(e, 65537);
  BIGNUM* x = BN_bin2bn(in.data(), static_cast<int>(in.size()), nullptr);
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* y = BN_new();
  BN_mod_exp(y, x, e, n, ctx);
  Bytes out(modulus.size());
  BN_bn2binpad(y, out.data(), static_cast<int>(out.size()));
  BN_free(n);
  BN_free(e);
  BN_free(x);
  BN_free(y);
  BN_CTX_free(ctx);
  return out;
}


// Hex digits (spaces allowed) to bytes.
inline Bytes unhex(const std::string& s) {
  Bytes out;
  int hi = -1;
  for (char c : s) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

inline std::string hex(const std::uint8_t* p, std::size_t n) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}
inline std::string hex(const Bytes& b) { return hex(b.data(), b.size()); }

// Independent reference ciphers (OpenSSL), for building card answers.
inline Bytes evp_ecb(const EVP_CIPHER* c, const Bytes& key, const Bytes& in, bool enc) {
  Bytes out(in.size() + 32);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, c, nullptr, key.data(), nullptr, enc ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int n = 0, m = 0;
  EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
  EVP_CipherFinal_ex(ctx, out.data() + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<std::size_t>(n + m));
  return out;
}
inline Bytes aes_ecb(const Bytes& key, const Bytes& in, bool enc) {
  return evp_ecb(EVP_aes_128_ecb(), key, in, enc);
}
inline Bytes des2_ecb(const Bytes& key, const Bytes& in, bool enc) {
  return evp_ecb(EVP_des_ede_ecb(), key, in, enc);
}

// Reference secure-messaging steps (OpenSSL), independent of the layer.
inline Bytes ref_mac(const Bytes& key, const Bytes& data) {
  Bytes padded = data;
  std::size_t q = 8 - data.size() % 8;
  padded.insert(padded.end(), q, static_cast<std::uint8_t>(q));
  Bytes out(padded.size() + 16);
  std::uint8_t iv[8] = {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_des_ede_cbc(), nullptr, key.data(), iv);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int n = 0;
  EVP_EncryptUpdate(ctx, out.data(), &n, padded.data(), static_cast<int>(padded.size()));
  EVP_CIPHER_CTX_free(ctx);
  return Bytes(out.begin() + n - 8, out.begin() + n - 4);
}

// Wraps a plain command (CLA INS P1 P2 Lc data, or CLA INS P1 P2 Le for the
// four commands whose answer the layer fetches).
inline Bytes ref_wrap(const Bytes& key, Bytes cmd) {
  cmd[0] |= 0x04;
  const std::uint8_t ins = cmd[1];
  if (ins == 0xB0 || ins == 0xB2 || ins == 0x84 || ins == 0xCA) cmd = {cmd[0], cmd[1], cmd[2], cmd[3], 0x01, cmd[4]};
  Bytes mac = ref_mac(key, cmd);
  Bytes data(cmd.begin() + 5, cmd.end());
  Bytes out(cmd.begin(), cmd.begin() + 5);
  if (!data.empty()) {
    std::size_t p = 16 - data.size() % 16;
    data.insert(data.end(), p, static_cast<std::uint8_t>(p));
    data = aes_ecb(key, data, true);
  }
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), mac.begin(), mac.end());
  out[4] = static_cast<std::uint8_t>(data.size() + 4);
  return out;
}

}  // namespace clt
