// The four data operations: signing and RSA deciphering on the card with
// the container's private keys, verification and RSA enciphering with
// public keys in software, and the session-key ciphers.
#include <algorithm>
#include <cstring>

#include "keys.h"

namespace csp {

namespace {

SCARDHANDLE card_of(const ContextRecord& c) { return provider().readers[c.slot].card; }

// PKCS#1 v1.5 DigestInfo prefixes.
constexpr std::uint8_t kPrefixMd5[] = {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                       0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
constexpr std::uint8_t kPrefixSha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                        0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
constexpr std::uint8_t kPrefixSha256[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                          0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

// The block a signature covers: DigestInfo prefix and hash value, or the
// value alone (CRYPT_NOHASHOID, SSL3 SHA-MD5). The hash is finished first.
DWORD signed_block(HashSlot& h, bool no_oid, std::uint8_t* out, DWORD* len) {
  if (DWORD rv = hash_finish(h); rv != 0) return rv;
  std::span<const std::uint8_t> prefix;
  if (!no_oid) {
    if (h.alg == CALG_MD5) prefix = kPrefixMd5;
    else if (h.alg == CALG_SHA1) prefix = kPrefixSha1;
    else if (h.alg == CALG_SHA_256) prefix = kPrefixSha256;
  }
  std::memcpy(out, prefix.data(), prefix.size());
  std::memcpy(out + prefix.size(), h.value.data(), h.hash_len);
  *len = static_cast<DWORD>(prefix.size() + h.hash_len);
  return 0;
}

// Hash checks shared by signing and verification.
DWORD check_hash(ContextRecord& c, HCRYPTHASH hHash, HashSlot** h) {
  if (DWORD rv = hash_of(c, hHash, h); rv != 0) return rv;
  const ALG_ID a = (*h)->alg;
  if (a != CALG_MD5 && a != CALG_SHA1 && a != CALG_SHA_256 && a != CALG_SSL3_SHAMD5)
    return static_cast<DWORD>(NTE_BAD_HASH);
  if (a == CALG_SSL3_SHAMD5 && !(*h)->has_value) return static_cast<DWORD>(NTE_BAD_HASH);
  return 0;
}

DWORD check_flags(DWORD flags) {
  if (flags != 0 && flags != CRYPT_NOHASHOID) return static_cast<DWORD>(NTE_BAD_FLAGS);
  if (flags == CRYPT_NOHASHOID && version_legacy()) return static_cast<DWORD>(NTE_BAD_FLAGS);
  return 0;
}

// The software RSA record of a public key (big-endian modulus, exponent).
void public_record(std::span<const std::uint8_t> modulus, std::span<const std::uint8_t> exponent,
                   sc_rsa_public_key* pub) {
  std::memset(pub, 0, sizeof *pub);
  pub->bits = static_cast<std::uint16_t>(modulus.size() * 8);
  std::memcpy(pub->modulus + SC_RSA_MAX_LEN - modulus.size(), modulus.data(), modulus.size());
  std::memcpy(pub->exponent + SC_RSA_MAX_LEN - exponent.size(), exponent.data(), exponent.size());
}

// Exponent bytes of a 32-bit value, big-endian.
std::span<const std::uint8_t> exponent_bytes(DWORD e, std::uint8_t (&buf)[4]) {
  for (int i = 0; i < 4; ++i) buf[i] = static_cast<std::uint8_t>(e >> (24 - 8 * i));
  return buf;
}

// The public key of a pair (read from the card when not loaded yet) or of
// an imported slot.
DWORD public_of(ContextRecord& c, DWORD index, sc_rsa_public_key* pub) {
  static constexpr std::uint8_t kF4[3] = {1, 0, 1};
  if (CmapKeyPair* p = key_pair(c, index)) {
    if (p->modulus.empty())
      if (DWORD rv = pair_public(c, index == kKeySig); rv != 0) return rv;
    if (p->modulus.size() != p->key_len / 8) return static_cast<DWORD>(NTE_BAD_KEYSET);
    public_record(p->modulus, p->exponent.empty() ? std::span<const std::uint8_t>(kF4) : p->exponent, pub);
    return 0;
  }
  KeySlot& k = c.keys[index];
  std::uint8_t e[4];
  public_record(std::span<const std::uint8_t>(k.material.data(), k.key_len / 8), exponent_bytes(k.rsa_exponent, e),
                pub);
  return 0;
}

// Key length of a key for signatures / RSA (0 when it is no RSA key).
DWORD rsa_bits(ContextRecord& c, DWORD index) {
  if (CmapKeyPair* p = key_pair(c, index)) return p->present ? p->key_len : 0;
  const KeySlot& k = c.keys[index];
  return k.alg == CALG_RSA_SIGN || k.alg == CALG_RSA_KEYX ? k.key_len : 0;
}

}  // namespace

DWORD key_rsa_encrypt(std::span<const std::uint8_t> modulus, DWORD exponent, const std::uint8_t* data, DWORD len,
                      std::uint8_t* out) {
  const DWORD m = static_cast<DWORD>(modulus.size());
  if (m != 128 && m != 256) return static_cast<DWORD>(NTE_BAD_KEY);
  if (len > m - 11) return static_cast<DWORD>(NTE_BAD_LEN);
  sc_rsa_public_key pub;
  std::uint8_t e[4];
  public_record(modulus, exponent_bytes(exponent, e), &pub);
  std::uint8_t block[256];
  std::uint32_t n = sizeof block;
  sc_random rnd;
  vorn_rv rv = sc_random_create(&rnd);
  if (rv == VORN_OK) rv = sc_rsa_public_encrypt(block, &n, data, len, &pub, &rnd);
  sc_random_final(&rnd);
  if (rv != VORN_OK || n != m) return static_cast<DWORD>(NTE_FAIL);
  std::reverse_copy(block, block + m, out);
  return 0;
}

DWORD key_exch_decrypt(ContextRecord& c, const std::uint8_t* block, DWORD len, std::uint8_t* out, DWORD* out_len) {
  vorn::Secret<256> be;
  std::reverse_copy(block, block + len, be.data());
  DWORD rv = pin_ensure(c, true);
  if (rv == 0) {
    DWORD n = *out_len;
    rv = key_crypt(c.slot, card_of(c), vorn_alg_rsa(len), 0, c.exch.priv_id, nullptr, 0, be.data(), len, out, &n,
                   KEY_DECIPHER);
    if (rv == 0) *out_len = n;
  }
  card_op_end(c.slot, true);
  return rv;
}

}  // namespace csp

using namespace csp;

extern "C" {

BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                       BYTE* pbSignature, DWORD* pdwSigLen) {
  return csp_entry([&]() -> DWORD {
    if (bad_handle(hProv) || bad_handle(hHash)) return ERROR_INVALID_HANDLE;
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    HashSlot* h = nullptr;
    if (DWORD rv = check_hash(*c, hHash, &h); rv != 0) return rv;
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return static_cast<DWORD>(NTE_BAD_ALGID);
    if (szDescription != nullptr) return ERROR_INVALID_PARAMETER;
    if (c->verify_only) return static_cast<DWORD>(NTE_BAD_KEY_STATE);
    CmapKeyPair& pair = dwKeySpec == AT_SIGNATURE ? c->sig : c->exch;
    if (!pair.present || (pair.key_len != 1024 && pair.key_len != 2048)) return static_cast<DWORD>(NTE_BAD_KEYSET);
    if (DWORD rv = check_flags(dwFlags); rv != 0) return rv;
    if (pdwSigLen == nullptr) return ERROR_INVALID_PARAMETER;
    const DWORD siglen = pair.key_len / 8;
    if (pbSignature == nullptr) {
      *pdwSigLen = siglen;
      return 0;
    }
    if (*pdwSigLen < siglen) {
      *pdwSigLen = siglen;
      return ERROR_MORE_DATA;
    }
    std::uint8_t block[64];
    DWORD blen = 0;
    if (DWORD rv = signed_block(*h, dwFlags == CRYPT_NOHASHOID, block, &blen); rv != 0) return rv;

    // The PIN: a user-protected pair asks every time; otherwise the first
    // signature since the slot's contexts were released asks unless the
    // context is silent, later ones take the cached PIN.
    PinCacheEntry& entry = provider().pins[c->slot];
    DWORD rv = 0;
    if (pair.user_protected) {
      rv = pin_ensure(*c, false);
    } else if (!c->silent && !entry.asked_since_release) {
      rv = pin_ensure(*c, false);
      if (rv == 0) entry.asked_since_release = 1;
    } else {
      rv = pin_ensure(*c, true);
    }
    std::uint8_t sig[256];
    DWORD n = sizeof sig;
    if (rv == 0 && dwKeySpec == AT_SIGNATURE) rv = sm_open_app_channel(c->slot, card_of(*c), CARD_APP_SIGN);
    if (rv == 0) rv = key_sign(c->slot, card_of(*c), pair.priv_id, block, blen, sig, &n);
    card_op_end(c->slot, true);
    if (rv != 0) return rv;
    if (n != siglen) return static_cast<DWORD>(NTE_FAIL);
    std::reverse_copy(sig, sig + n, pbSignature);
    *pdwSigLen = siglen;
    return 0;
  });
}

BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbSignature, DWORD cbSigLen,
                              HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags) {
  return csp_entry([&]() -> DWORD {
    if (bad_handle(hProv) || bad_handle(hHash)) return ERROR_INVALID_HANDLE;
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    HashSlot* h = nullptr;
    if (DWORD rv = check_hash(*c, hHash, &h); rv != 0) return rv;
    if (pbSignature == nullptr) return ERROR_INVALID_PARAMETER;
    if (cbSigLen != 128 && cbSigLen != 256) return static_cast<DWORD>(NTE_BAD_LEN);
    if (bad_handle(hPubKey)) return ERROR_INVALID_HANDLE;
    DWORD index = 0;
    if (key_of(*c, hPubKey, &index) != 0) return static_cast<DWORD>(NTE_BAD_UID);
    const DWORD bits = rsa_bits(*c, index);
    if (bits != 1024 && bits != 2048) return static_cast<DWORD>(NTE_BAD_KEYSET);
    if (bits / 8 != cbSigLen) return static_cast<DWORD>(NTE_BAD_LEN);
    if (szDescription != nullptr) return ERROR_INVALID_PARAMETER;
    if (DWORD rv = check_flags(dwFlags); rv != 0) return rv;
    std::uint8_t block[64];
    DWORD blen = 0;
    if (DWORD rv = signed_block(*h, dwFlags == CRYPT_NOHASHOID, block, &blen); rv != 0) return rv;
    sc_rsa_public_key pub;
    if (DWORD rv = public_of(*c, index, &pub); rv != 0) return rv;
    std::uint8_t sig[256];
    std::reverse_copy(pbSignature, pbSignature + cbSigLen, sig);
    if (sc_rsa_check_signature(sig, cbSigLen, block, blen, &pub) != VORN_OK)
      return static_cast<DWORD>(NTE_BAD_SIGNATURE);
    return 0;
  });
}

BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                      DWORD* pdwDataLen, DWORD cbBufLen) {
  return csp_entry([&]() -> DWORD {
    if (bad_handle(hProv) || bad_handle(hKey)) return ERROR_INVALID_HANDLE;
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    DWORD index = 0;
    if (DWORD rv = key_of(*c, hKey, &index); rv != 0) return rv;
    if (hHash != 0) return static_cast<DWORD>(NTE_BAD_HASH);
    if (dwFlags != 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
    if (index == kKeySig) return static_cast<DWORD>(NTE_BAD_KEY);
    if (pdwDataLen == nullptr) return ERROR_INVALID_PARAMETER;
    if (pbData != nullptr && *pdwDataLen > cbBufLen) return static_cast<DWORD>(NTE_BAD_LEN);
    if (const DWORD bits = rsa_bits(*c, index); index == kKeyExch || bits != 0) {
      sc_rsa_public_key pub;
      if (DWORD rv = public_of(*c, index, &pub); rv != 0) return rv;
      const DWORD m = pub.bits / 8u;
      if (m != 128 && m != 256) return static_cast<DWORD>(NTE_BAD_KEYSET);
      if (pbData == nullptr) {
        *pdwDataLen = m;
        return 0;
      }
      if (*pdwDataLen > m - 11 || cbBufLen < m) return static_cast<DWORD>(NTE_BAD_LEN);
      DWORD e = 0;
      for (std::size_t i = SC_RSA_MAX_LEN - 4; i < SC_RSA_MAX_LEN; ++i) e = (e << 8) | pub.exponent[i];
      vorn::Secret<256> out;
      DWORD rv = key_rsa_encrypt(std::span<const std::uint8_t>(pub.modulus + SC_RSA_MAX_LEN - m, m), e, pbData,
                                 *pdwDataLen, out.data());
      if (rv != 0) return rv;
      std::memcpy(pbData, out.data(), m);
      *pdwDataLen = m;
      return 0;
    }
    return session_encrypt(c->keys[index], Final != FALSE, pbData, reinterpret_cast<std::uint32_t*>(pdwDataLen),
                           cbBufLen);
  });
}

BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
                      DWORD* pdwDataLen) {
  return csp_entry([&]() -> DWORD {
    if (bad_handle(hProv) || bad_handle(hKey)) return ERROR_INVALID_HANDLE;
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    DWORD index = 0;
    if (DWORD rv = key_of(*c, hKey, &index); rv != 0) return rv;
    if (hHash != 0) return static_cast<DWORD>(NTE_BAD_HASH);
    if (dwFlags != 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
    if (pbData == nullptr || pdwDataLen == nullptr) return ERROR_INVALID_PARAMETER;
    if (*pdwDataLen == 0) return static_cast<DWORD>(NTE_BAD_LEN);
    if (index == kKeySig || (index != kKeyExch && rsa_bits(*c, index) != 0)) return static_cast<DWORD>(NTE_BAD_KEY);
    if (index == kKeyExch) {
      if (c->verify_only) return static_cast<DWORD>(NTE_BAD_KEY_STATE);
      const DWORD m = c->exch.key_len / 8;
      if (*pdwDataLen != m || (m != 128 && m != 256)) return ERROR_INVALID_PARAMETER;
      vorn::Secret<256> plain;
      DWORD n = static_cast<DWORD>(plain.size());
      if (DWORD rv = key_exch_decrypt(*c, pbData, m, plain.data(), &n); rv != 0) return rv;
      if (n > m) return static_cast<DWORD>(NTE_FAIL);
      std::memcpy(pbData, plain.data(), n);
      *pdwDataLen = n;
      return 0;
    }
    return session_decrypt(c->keys[index], Final != FALSE, pbData, reinterpret_cast<std::uint32_t*>(pdwDataLen));
  });
}

}  // extern "C"
