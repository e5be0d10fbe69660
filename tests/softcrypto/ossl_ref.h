// OpenSSL as the reference implementation for the differential tests.
#pragma once
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace ref {

using bytes = std::vector<std::uint8_t>;

inline void load_providers() {
  // Kept for the life of the process (reachable, so not reported as leaks).
  static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  static OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  (void)legacy;
  (void)deflt;
}

// Runs an OpenSSL cipher without padding. rc2_bits > 0 sets RC2's
// effective key bits.
inline bytes cipher(const char* name, const bytes& key, const bytes& iv, const bytes& in, bool enc, int rc2_bits = 0) {
  load_providers();
  EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr);
  if (c == nullptr) throw std::runtime_error(std::string("no cipher ") + name);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  bytes out(in.size() + 32);
  int n = 0, m = 0;
  bool ok = EVP_CipherInit_ex(ctx, c, nullptr, nullptr, nullptr, enc) == 1;
  ok = ok && EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size())) == 1;
  if (rc2_bits > 0) ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_RC2_KEY_BITS, rc2_bits, nullptr) == 1;
  ok = ok && EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), enc) == 1;
  ok = ok && EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
  ok = ok && EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())) == 1;
  ok = ok && EVP_CipherFinal_ex(ctx, out.data() + n, &m) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(c);
  if (!ok) throw std::runtime_error(std::string("cipher failed ") + name);
  out.resize(static_cast<std::size_t>(n + m));
  return out;
}

inline bytes digest(const char* name, const bytes& in) {
  bytes out(EVP_MAX_MD_SIZE);
  unsigned len = 0;
  EVP_Digest(in.data(), in.size(), out.data(), &len, EVP_get_digestbyname(name), nullptr);
  out.resize(len);
  return out;
}

// Deterministic test data (a fixed seed keeps failures reproducible).
inline bytes data(std::mt19937& g, std::size_t n) {
  bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(g());
  return b;
}

inline bytes hex(const std::string& s) {
  bytes b;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(static_cast<std::uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return b;
}

}  // namespace ref
