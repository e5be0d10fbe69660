// AES-128/256 in ECB and CBC through OpenSSL's EVP interface (used by the
// PKCS#11 module). Builds without OpenSSL fall back to the own AES.
#include "internal.h"
#include "vorn/secure.h"

#if defined(VORN_HAVE_OPENSSL)
#include <openssl/evp.h>
#endif

namespace {

vorn_rv ossl_aes(bool enc, std::uint8_t keysel, const std::uint8_t* key, std::uint8_t mode, const std::uint8_t* iv,
                 const std::uint8_t* in, std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen) {
  if (mode != SC_MODE_CBC && mode != SC_MODE_ECB) return CARDERR_BAD_ALGORITHM;
  if (key == nullptr || outlen == nullptr || (len != 0 && (in == nullptr || out == nullptr))) return CARDERR_BAD_ARG;
  if (len % 16 != 0) return CARDERR_BAD_LENGTH;
  if (mode == SC_MODE_CBC && iv == nullptr) return CARDERR_BAD_ARG;
  const bool k128 = keysel == 1;
  if (len == 0) {
    *outlen = 0;
    return VORN_OK;
  }
#if defined(VORN_HAVE_OPENSSL)
  const EVP_CIPHER* cipher = mode == SC_MODE_CBC ? (k128 ? EVP_aes_128_cbc() : EVP_aes_256_cbc())
                                                 : (k128 ? EVP_aes_128_ecb() : EVP_aes_256_ecb());
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) return CARDERR_UNKNOWN;
  int ok = EVP_CipherInit_ex(ctx, cipher, nullptr, key, mode == SC_MODE_CBC ? iv : nullptr, enc ? 1 : 0);
  if (ok == 1) ok = EVP_CIPHER_CTX_set_padding(ctx, 0);
  int n = 0, m = 0;
  if (ok == 1) ok = EVP_CipherUpdate(ctx, out, &n, in, static_cast<int>(len));
  if (ok == 1) ok = EVP_CipherFinal_ex(ctx, out + n, &m);
  EVP_CIPHER_CTX_free(ctx);  // clears the key schedule
  if (ok != 1 || static_cast<std::uint32_t>(n + m) != len) return CARDERR_UNKNOWN;
#else
  sc::aes_key k;
  sc::aes_set_key(&k, key, k128 ? 16 : 32);
  std::uint8_t chain[16];
  if (mode == SC_MODE_CBC) std::memcpy(chain, iv, 16);
  if (mode == SC_MODE_ECB)
    enc ? sc::aes_encrypt_ecb(&k, in, out, len / 16) : sc::aes_decrypt_ecb(&k, in, out, len / 16);
  else
    enc ? sc::aes_encrypt_cbc(&k, chain, in, out, len / 16) : sc::aes_decrypt_cbc(&k, chain, in, out, len / 16);
  plat_wipe(&k, sizeof k);
#endif
  *outlen = len;
  return VORN_OK;
}

}  // namespace

vorn_rv sc_ossl_aes_encrypt(std::uint8_t keysel, const std::uint8_t* key, std::uint8_t mode, const std::uint8_t* iv,
                            const std::uint8_t* in, std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen) {
  return ossl_aes(true, keysel, key, mode, iv, in, len, out, outlen);
}

vorn_rv sc_ossl_aes_decrypt(std::uint8_t keysel, const std::uint8_t* key, std::uint8_t mode, const std::uint8_t* iv,
                            const std::uint8_t* in, std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen) {
  return ossl_aes(false, keysel, key, mode, iv, in, len, out, outlen);
}
