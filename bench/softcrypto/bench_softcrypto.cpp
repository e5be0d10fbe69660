// Throughput of each primitive against OpenSSL, measured in the same run.
// Prints "RATIO <name> <ours/openssl>" per primitive (above 1: faster than
// OpenSSL). Each side runs in alternating slices and keeps its best slice,
// so a busy machine hurts both alike. --quick shortens every slice (used by
// the smoke test, whose figures mean nothing).
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "softcrypto.h"
#include "vorn/secure.h"

namespace {

using clk = std::chrono::steady_clock;
double g_slice = 0.1;  // seconds per slice
int g_rounds = 9;

// Runs fn repeatedly for one slice; returns units of work per second.
double rate(const std::function<void()>& fn, double units_per_call) {
  fn();  // warm up
  const auto start = clk::now();
  double calls = 0, secs = 0;
  do {
    fn();
    calls += 1;
    secs = std::chrono::duration<double>(clk::now() - start).count();
  } while (secs < g_slice);
  return calls * units_per_call / secs;
}

void compare(const char* name, const char* unit, double units, const std::function<void()>& ours,
             const std::function<void()>& theirs) {
  double best_ours = 0, best_theirs = 0;
  for (int r = 0; r < g_rounds; ++r) {
    best_ours = std::max(best_ours, rate(ours, units));
    best_theirs = std::max(best_theirs, rate(theirs, units));
  }
  std::printf("# %-15s ours %12.1f %s  openssl %12.1f %s\n", name, best_ours, unit, best_theirs, unit);
  std::printf("RATIO %s %.3f\n", name, best_ours / best_theirs);
  std::fflush(stdout);
}

std::vector<std::uint8_t> g_buf(1 << 20), g_out((1 << 20) + 64);

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench: %s failed\n", what);
    std::exit(1);
  }
}

void digests() {
  struct {
    const char* name;
    std::uint8_t id;
    const char* md;
  } d[] = {{"md5", SC_ALG_MD5, "MD5"}, {"sha1", SC_ALG_SHA1, "SHA1"}, {"sha256", SC_ALG_SHA256, "SHA256"},
           {"sha384", SC_ALG_SHA384, "SHA384"}, {"sha512", SC_ALG_SHA512, "SHA512"}};
  for (const auto& x : d) {
    const EVP_MD* md = EVP_get_digestbyname(x.md);
    compare(
        x.name, "MB/s", 1.0,
        [&] {
          std::uint8_t out[SC_DIGEST_MAX];
          std::uint32_t len = sizeof out;
          sc_digest(x.id, g_buf.data(), static_cast<std::uint32_t>(g_buf.size()), out, &len);
        },
        [&] {
          std::uint8_t out[64];
          unsigned len = 0;
          EVP_Digest(g_buf.data(), g_buf.size(), out, &len, md, nullptr);
        });
  }
}

struct evp_cipher {
  EVP_CIPHER_CTX* ctx = nullptr;
  evp_cipher(const char* name, const std::uint8_t* key, int keylen, const std::uint8_t* iv, bool enc) {
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr);
    check(c != nullptr, name);
    ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, c, nullptr, nullptr, nullptr, enc);
    EVP_CIPHER_CTX_set_key_length(ctx, keylen);
    EVP_CipherInit_ex(ctx, nullptr, nullptr, key, iv, enc);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CIPHER_free(c);
  }
  ~evp_cipher() { EVP_CIPHER_CTX_free(ctx); }
  void run() {
    int n = 0;
    EVP_CipherUpdate(ctx, g_out.data(), &n, g_buf.data(), static_cast<int>(g_buf.size()));
  }
};

void ciphers() {
  std::uint8_t key[24], iv[16];
  for (int i = 0; i < 24; ++i) key[i] = static_cast<std::uint8_t>(0x11 * i + 3);
  for (int i = 0; i < 16; ++i) iv[i] = static_cast<std::uint8_t>(i);
  struct {
    const char* name;
    std::uint8_t id;
    std::uint8_t mode;
    bool enc;
    const char* evp;
    int keylen;
  } c[] = {{"aes128-ecb", SC_ALG_AES128, SC_MODE_ECB, true, "AES-128-ECB", 16},
           {"aes128-cbc-enc", SC_ALG_AES128, SC_MODE_CBC, true, "AES-128-CBC", 16},
           {"aes128-cbc-dec", SC_ALG_AES128, SC_MODE_CBC, false, "AES-128-CBC", 16},
           {"des-cbc", SC_ALG_DES, SC_MODE_CBC, true, "DES-CBC", 8},
           {"3des-cbc", SC_ALG_DES3, SC_MODE_CBC, true, "DES-EDE3-CBC", 24}};
  for (const auto& x : c) {
    evp_cipher ref(x.evp, key, x.keylen, iv, x.enc);
    std::uint8_t chain[16];
    std::memcpy(chain, iv, 16);
    auto fn = x.enc ? sc_encrypt : sc_decrypt;
    compare(
        x.name, "MB/s", 1.0,
        [&] {
          std::uint32_t len = 0;
          check(fn(x.id, key, x.mode, chain, g_buf.data(), static_cast<std::uint32_t>(g_buf.size()), g_out.data(),
                   &len) == VORN_OK,
                x.name);
        },
        [&] { ref.run(); });
  }
  {
    sc_rc2_key rc2;
    sc_rc2_set_key(&rc2, key, 16, 128);
    evp_cipher ref("RC2-CBC", key, 16, iv, true);
    std::uint8_t chain[8];
    std::memcpy(chain, iv, 8);
    compare(
        "rc2-cbc", "MB/s", 1.0,
        [&] {
          std::uint32_t len = 0;
          sc_encrypt(SC_ALG_RC2, &rc2, SC_MODE_CBC, chain, g_buf.data(), static_cast<std::uint32_t>(g_buf.size()),
                     g_out.data(), &len);
        },
        [&] { ref.run(); });
  }
  {
    sc_rc4_state rc4;
    sc_rc4_set_key(&rc4, key, 16);
    evp_cipher ref("RC4", key, 16, nullptr, true);
    compare(
        "rc4", "MB/s", 1.0,
        [&] {
          std::uint32_t len = 0;
          sc_encrypt(SC_ALG_RC4, &rc4, 0, nullptr, g_buf.data(), static_cast<std::uint32_t>(g_buf.size()),
                     g_out.data(), &len);
        },
        [&] { ref.run(); });
  }
}

EVP_PKEY* to_pkey(const sc_rsa_private_key& k) {
  // Rebuild the key in OpenSSL from its parts (DER-free path).
  OSSL_PARAM params[9];
  std::vector<std::vector<std::uint8_t>> le;
  auto push = [&](const char* nm, const std::uint8_t* f, std::size_t len) {
    std::vector<std::uint8_t> v(f, f + len);
    std::reverse(v.begin(), v.end());  // native (little-endian) order for OSSL_PARAM unsigned integers
    le.push_back(std::move(v));
    return nm;
  };
  const char* names[8];
  names[0] = push("n", k.modulus, 256);
  names[1] = push("e", k.public_exponent, 256);
  names[2] = push("d", k.exponent, 256);
  names[3] = push("rsa-factor1", k.prime[0], 128);
  names[4] = push("rsa-factor2", k.prime[1], 128);
  names[5] = push("rsa-exponent1", k.prime_exponent[0], 128);
  names[6] = push("rsa-exponent2", k.prime_exponent[1], 128);
  names[7] = push("rsa-coefficient1", k.coefficient, 128);
  for (int i = 0; i < 8; ++i) params[i] = OSSL_PARAM_construct_BN(names[i], le[static_cast<std::size_t>(i)].data(), le[static_cast<std::size_t>(i)].size());
  params[8] = OSSL_PARAM_construct_end();
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(ctx);
  EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params);
  EVP_PKEY_CTX_free(ctx);
  check(key != nullptr, "key import");
  return key;
}

void rsa() {
  for (unsigned bits : {1024u, 2048u}) {
    sc_rsa_public_key pub;
    sc_rsa_private_key priv;
    check(sc_rsa_generate_keypair(bits, true, &pub, &priv) == VORN_OK, "keygen");
    EVP_PKEY* key = to_pkey(priv);
    const std::size_t len = bits / 8;
    std::vector<std::uint8_t> in(len, 0x5A), out(len);
    in[0] = 0x01;
    EVP_PKEY_CTX* enc = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_encrypt_init(enc);
    EVP_PKEY_CTX_set_rsa_padding(enc, RSA_NO_PADDING);
    EVP_PKEY_CTX* dec = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_decrypt_init(dec);
    EVP_PKEY_CTX_set_rsa_padding(dec, RSA_NO_PADDING);
    const std::string pubname = "rsa" + std::to_string(bits) + "-pub";
    compare(
        pubname.c_str(), "ops/s", 1.0,
        [&] {
          std::uint32_t n = 0;
          sc_rsa_public_block(out.data(), &n, in.data(), static_cast<std::uint32_t>(len), &pub);
        },
        [&] {
          std::size_t n = len;
          EVP_PKEY_encrypt(enc, out.data(), &n, in.data(), len);
        });
    if (bits == 2048) {
      compare(
          "rsa2048-priv", "ops/s", 1.0,
          [&] {
            std::uint32_t n = 0;
            sc_rsa_private_block(out.data(), &n, in.data(), static_cast<std::uint32_t>(len), &priv);
          },
          [&] {
            std::size_t n = len;
            EVP_PKEY_decrypt(dec, out.data(), &n, in.data(), len);
          });
    }
    EVP_PKEY_CTX_free(enc);
    EVP_PKEY_CTX_free(dec);
    EVP_PKEY_free(key);
  }
}

void keygen(int keys) {
  std::vector<double> ours, theirs;
  for (int i = 0; i < keys; ++i) {
    sc_rsa_public_key pub;
    sc_rsa_private_key priv;
    auto t0 = clk::now();
    check(sc_rsa_generate_keypair(2048, true, &pub, &priv) == VORN_OK, "keygen");
    ours.push_back(std::chrono::duration<double>(clk::now() - t0).count());
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 2048);
    t0 = clk::now();
    EVP_PKEY_keygen(ctx, &key);
    theirs.push_back(std::chrono::duration<double>(clk::now() - t0).count());
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    plat_wipe(&priv, sizeof priv);
  }
  std::sort(ours.begin(), ours.end());
  std::sort(theirs.begin(), theirs.end());
  const double mo = ours[ours.size() / 2], mt = theirs[theirs.size() / 2];
  std::printf("# %-15s ours %12.1f ms    openssl %12.1f ms (median of %d)\n", "rsa2048-keygen", mo * 1e3, mt * 1e3, keys);
  std::printf("RATIO rsa2048-keygen %.3f\n", mt / mo);
}

}  // namespace

int main(int argc, char** argv) {
  int keys = 15;
  const char* only = nullptr;  // --only digests|ciphers|rsa|keygen
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
    if (std::strcmp(argv[i], "--quick") == 0) {
      g_slice = 0.01;
      g_rounds = 1;
      keys = 1;
    }
  }
  OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
  check(legacy != nullptr && deflt != nullptr, "loading the OpenSSL providers");
  for (std::size_t i = 0; i < g_buf.size(); ++i) g_buf[i] = static_cast<std::uint8_t>(i * 131 + 7);
  std::printf("# CPU extensions: sha %s, aes %s\n", sc_cpu_has_sha() ? "yes" : "no", sc_cpu_has_aes() ? "yes" : "no");
  auto want = [&](const char* part) { return only == nullptr || std::strcmp(only, part) == 0; };
  if (want("digests")) digests();
  if (want("ciphers")) ciphers();
  if (want("rsa")) rsa();
  if (want("keygen")) keygen(keys);
  OSSL_PROVIDER_unload(legacy);
  OSSL_PROVIDER_unload(deflt);
  return 0;
}
