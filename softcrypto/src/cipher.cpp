// sc_encrypt / sc_decrypt: the one-byte algorithm ids and the four modes.
#include "internal.h"
#include "vorn/secure.h"

namespace {

enum class cipher_kind { none, aes, des, des2, des3, rc2, rc4, rsa };

cipher_kind kind_of(std::uint8_t id) {
  switch (id) {
    case SC_ALG_AES128: return cipher_kind::aes;
    case SC_ALG_DES: return cipher_kind::des;
    case SC_ALG_DES2: return cipher_kind::des2;
    case SC_ALG_DES3: return cipher_kind::des3;
    case SC_ALG_RC2: return cipher_kind::rc2;
    case SC_ALG_RC4: return cipher_kind::rc4;
    case SC_ALG_RSA1024:
    case SC_ALG_RSA2048: return cipher_kind::rsa;
    default: return cipher_kind::none;
  }
}

// A prepared block cipher for one call; its key material is wiped at the end.
struct block_cipher {
  cipher_kind kind = cipher_kind::none;
  std::uint32_t block = 8;
  sc::aes_key aes{};
  sc::des_key des{};
  const sc_rc2_key* rc2 = nullptr;

  block_cipher() = default;
  block_cipher(const block_cipher&) = delete;
  block_cipher& operator=(const block_cipher&) = delete;
  ~block_cipher() {
    plat_wipe(&aes, sizeof aes);
    plat_wipe(&des, sizeof des);
  }

  void encrypt1(const std::uint8_t* in, std::uint8_t* out) const {
    switch (kind) {
      case cipher_kind::aes: sc::aes_encrypt_ecb(&aes, in, out, 1); break;
      case cipher_kind::rc2: sc::rc2_encrypt_block(rc2, in, out); break;
      default: sc::des_encrypt_block(&des, in, out); break;
    }
  }
  void decrypt1(const std::uint8_t* in, std::uint8_t* out) const {
    switch (kind) {
      case cipher_kind::aes: sc::aes_decrypt_ecb(&aes, in, out, 1); break;
      case cipher_kind::rc2: sc::rc2_decrypt_block(rc2, in, out); break;
      default: sc::des_decrypt_block(&des, in, out); break;
    }
  }
};

void run_ecb(const block_cipher& c, bool enc, const std::uint8_t* in, std::uint8_t* out, std::uint32_t len) {
  if (c.kind == cipher_kind::aes) {
    if (enc)
      sc::aes_encrypt_ecb(&c.aes, in, out, len / 16);
    else
      sc::aes_decrypt_ecb(&c.aes, in, out, len / 16);
    return;
  }
  for (std::uint32_t i = 0; i < len; i += c.block) {
    if (enc)
      c.encrypt1(in + i, out + i);
    else
      c.decrypt1(in + i, out + i);
  }
}

void run_cbc(const block_cipher& c, bool enc, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
             std::uint32_t len) {
  switch (c.kind) {
    case cipher_kind::aes:
      if (enc)
        sc::aes_encrypt_cbc(&c.aes, iv, in, out, len / 16);
      else
        sc::aes_decrypt_cbc(&c.aes, iv, in, out, len / 16);
      return;
    case cipher_kind::rc2: {
      std::uint8_t x[8], saved[8];
      for (std::uint32_t i = 0; i < len; i += 8) {
        if (enc) {
          for (int j = 0; j < 8; ++j) x[j] = static_cast<std::uint8_t>(in[i + j] ^ iv[j]);
          c.encrypt1(x, out + i);
          std::memcpy(iv, out + i, 8);
        } else {
          std::memcpy(saved, in + i, 8);
          c.decrypt1(saved, x);
          for (int j = 0; j < 8; ++j) out[i + j] = static_cast<std::uint8_t>(x[j] ^ iv[j]);
          std::memcpy(iv, saved, 8);
        }
      }
      return;
    }
    default:
      if (enc)
        sc::des_encrypt_cbc(&c.des, iv, in, out, len / 8);
      else
        sc::des_decrypt_cbc(&c.des, iv, in, out, len / 8);
      return;
  }
}

// CFB with 8-bit feedback: the register is enciphered once per byte.
void run_cfb8(const block_cipher& c, bool enc, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
              std::uint32_t len) {
  const std::uint32_t n = c.block;
  std::uint8_t ks[16];
  for (std::uint32_t i = 0; i < len; ++i) {
    c.encrypt1(iv, ks);
    const std::uint8_t x = in[i];
    const std::uint8_t y = static_cast<std::uint8_t>(x ^ ks[0]);
    out[i] = y;
    std::memmove(iv, iv + 1, n - 1);
    iv[n - 1] = enc ? y : x;
  }
  plat_wipe(ks, sizeof ks);
}

// CFB with full-block feedback.
void run_cfb(const block_cipher& c, bool enc, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
             std::uint32_t len) {
  const std::uint32_t n = c.block;
  std::uint8_t ks[16], saved[16];
  for (std::uint32_t i = 0; i < len; i += n) {
    c.encrypt1(iv, ks);
    std::memcpy(saved, in + i, n);
    for (std::uint32_t j = 0; j < n; ++j) out[i + j] = static_cast<std::uint8_t>(saved[j] ^ ks[j]);
    std::memcpy(iv, enc ? out + i : saved, n);
  }
  plat_wipe(ks, sizeof ks);
}

vorn_rv run_rsa(bool enc, void* key, const std::uint8_t* in, std::uint32_t len, std::uint8_t* out,
                std::uint32_t* outlen) {
  if (in == nullptr && len != 0) return CARDERR_BAD_ARG;
  if (out == nullptr) return CARDERR_BAD_ARG;
  if (!enc)
    return sc_rsa_private_decrypt(out, outlen, in, len, static_cast<const sc_rsa_private_key*>(key));
  sc_random rnd;
  vorn_rv rv = sc_random_create(&rnd);
  if (rv == VORN_OK) rv = sc_rsa_public_encrypt(out, outlen, in, len, static_cast<const sc_rsa_public_key*>(key), &rnd);
  sc_random_final(&rnd);
  return rv;
}

vorn_rv run_cipher(bool enc, std::uint8_t id, void* key, std::uint8_t mode, std::uint8_t* iv, const std::uint8_t* in,
                   std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen) {
  const cipher_kind kind = kind_of(id);
  if (kind == cipher_kind::none) return CARDERR_BAD_ALGORITHM;
  if (key == nullptr || outlen == nullptr) return CARDERR_BAD_ARG;
  if (kind == cipher_kind::rsa) return run_rsa(enc, key, in, len, out, outlen);
  if (len != 0 && (in == nullptr || out == nullptr)) return CARDERR_BAD_ARG;
  if (kind == cipher_kind::rc4) {
    if (len != 0) sc::rc4_stream(static_cast<sc_rc4_state*>(key), in, out, len);
    *outlen = len;
    return VORN_OK;
  }
  // A mode the cipher does not know is refused rather than answered with
  // success and no output.
  if (mode < SC_MODE_CBC || mode > SC_MODE_ECB) return CARDERR_BAD_ALGORITHM;
  if (kind == cipher_kind::rc2 && mode != SC_MODE_CBC && mode != SC_MODE_ECB) return CARDERR_BAD_ALGORITHM;
  const std::uint32_t block = kind == cipher_kind::aes ? 16 : 8;
  if (mode != SC_MODE_CFB8 && len % block != 0) return CARDERR_BAD_LENGTH;
  if (mode != SC_MODE_ECB && iv == nullptr) return CARDERR_BAD_ARG;

  block_cipher c;
  c.kind = kind;
  c.block = block;
  const auto* raw = static_cast<const std::uint8_t*>(key);
  switch (kind) {
    case cipher_kind::aes: sc::aes_set_key(&c.aes, raw, 16); break;
    case cipher_kind::des: sc::des_set_key(&c.des, raw, 1, false); break;
    case cipher_kind::des2: sc::des_set_key(&c.des, raw, 2, true); break;
    case cipher_kind::des3: sc::des_set_key(&c.des, raw, 3, false); break;
    case cipher_kind::rc2: c.rc2 = static_cast<const sc_rc2_key*>(key); break;
    default: break;
  }
  if (len != 0) {
    switch (mode) {
      case SC_MODE_CBC: run_cbc(c, enc, iv, in, out, len); break;
      case SC_MODE_CFB8: run_cfb8(c, enc, iv, in, out, len); break;
      case SC_MODE_CFB: run_cfb(c, enc, iv, in, out, len); break;
      default: run_ecb(c, enc, in, out, len); break;
    }
  }
  *outlen = len;
  return VORN_OK;
}

}  // namespace

vorn_rv sc_encrypt(std::uint8_t id, void* key, std::uint8_t mode, std::uint8_t* iv, const std::uint8_t* in,
                   std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen) {
  return run_cipher(true, id, key, mode, iv, in, len, out, outlen);
}

vorn_rv sc_decrypt(std::uint8_t id, void* key, std::uint8_t mode, std::uint8_t* iv, const std::uint8_t* in,
                   std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen) {
  return run_cipher(false, id, key, mode, iv, in, len, out, outlen);
}
