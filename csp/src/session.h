// Hash objects and session keys of a context: the slots a context record
// holds fifty of each. HCRYPTHASH / HCRYPTKEY of a session key are slot
// addresses. This header and session.cpp (the session-key cipher core) do
// not need <windows.h>: ALG_IDs are plain 32-bit values (capi_alg.h), so
// the cipher core is tested natively against OpenSSL as well.
#pragma once

#include <array>
#include <cstdint>

#include <vorn/secure.h>

#include "capi_alg.h"
#include "softcrypto.h"

namespace csp {

struct HashSlot {
  std::uint32_t in_use = 0;
  std::uint32_t alg = 0;    // CALG_SHA1, CALG_MD5, CALG_SHA_256, CALG_SSL3_SHAMD5
  sc_digest_ctx state{};    // running digest (none for SSL3 SHAMD5)
  std::uint32_t hash_len = 0;
  std::uint32_t has_value = 0;  // finished: value read or set
  std::array<std::uint8_t, 36> value{};
};

// A session key (DES, 3DES, RC2, RC4, AES-128), or an imported RSA public
// key (alg CALG_RSA_SIGN / CALG_RSA_KEYX: the modulus big-endian in the
// material, its length in bits in block_len and key_len, the exponent in
// rsa_exponent).
struct KeySlot {
  std::uint32_t in_use = 0;
  std::uint32_t alg = 0;
  std::uint32_t permissions = 0;
  std::uint32_t key_len = 0;    // bits of key material
  std::uint32_t block_len = 0;  // bits: 64, 128, or 0 for RC4
  std::uint32_t exportable = 0;
  std::array<std::uint8_t, 16> iv{};  // block_len / 8 bytes used
  std::uint32_t salt_len = 0;         // 11 for every session key
  std::array<std::uint8_t, 11> salt{};
  std::uint32_t mode_bits = 8;
  std::uint32_t mode = kModeCbc;
  std::uint32_t effective_len = 0;  // RC2
  std::uint32_t rsa_exponent = 0;   // imported RSA public key
  vorn::Secret<256> material;       // key_len / 8 bytes used

  // The message in progress, kept per key: a message's first call starts
  // from the IV (and a fresh RC2 schedule / RC4 state), the call with Final
  // ends it. Two keys may encipher at once without meeting.
  std::uint32_t chaining = 0;
  std::array<std::uint8_t, 16> chain{};
  sc_rc2_key rc2{};
  sc_rc4_state rc4{};
};

// Zero a slot (wiping its secrets).
void hash_slot_clear(HashSlot& h);
void key_slot_clear(KeySlot& k);

// Fills a free slot as a session key of alg with the given material
// (len bytes, which must match the stored length from the key table:
// kNteBadLen otherwise; kNteBadAlgid for an algorithm without a cipher).
// IV and salt zero, mode CBC, mode bits 8, permissions 0xCB (+ CRYPT_EXPORT
// when exportable), the RC2 effective length from rc2_effective (40 or 128).
// The slot is marked in use.
std::uint32_t session_key_fill(KeySlot& k, std::uint32_t alg, const std::uint8_t* material, std::uint32_t len,
                               bool exportable, std::uint32_t rc2_effective);

// One call of a message with a session key, in place.
//  encrypt: data null asks for the length (*len grows by the pad with
//  final); not final: *len must be whole blocks (kErrMoreData); final:
//  PKCS#5 pad of 1..b bytes, kErrMoreData when it does not fit buflen.
//  decrypt: *len must be whole blocks (kNteBadData); final checks and
//  strips the pad (kNteBadData).
// RC4 takes any length and has no pad. Final ends the message.
std::uint32_t session_encrypt(KeySlot& k, bool final, std::uint8_t* data, std::uint32_t* len, std::uint32_t buflen);
std::uint32_t session_decrypt(KeySlot& k, bool final, std::uint8_t* data, std::uint32_t* len);

// Ends the message in progress (KP_IV set, Final, destroy).
void session_reset(KeySlot& k);

}  // namespace csp
