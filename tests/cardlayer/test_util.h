// Small helpers for the card layer's tests.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace clt {

using Bytes = std::vector<std::uint8_t>;

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

}  // namespace clt
