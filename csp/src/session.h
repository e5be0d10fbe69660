// Hash objects and session keys of a context: the slots a context record
// holds fifty of each. HCRYPTHASH / HCRYPTKEY of a session key are slot
// addresses.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <array>
#include <cstdint>

#include <vorn/secure.h>

#include "softcrypto.h"

namespace csp {

struct HashSlot {
  std::uint32_t in_use = 0;
  ALG_ID alg = 0;           // CALG_SHA1, CALG_MD5, CALG_SHA_256, CALG_SSL3_SHAMD5
  sc_digest_ctx state{};    // running digest (none for SSL3 SHAMD5)
  std::uint32_t hash_len = 0;
  std::uint32_t has_value = 0;  // finished: value read or set
  std::array<std::uint8_t, 36> value{};
};

struct KeySlot {
  std::uint32_t in_use = 0;
  ALG_ID alg = 0;
  std::uint32_t permissions = 0;
  std::uint32_t key_len = 0;    // bits of key material
  std::uint32_t block_len = 0;  // bits: 64, 128, or 0 for RC4
  std::uint32_t exportable = 0;
  std::array<std::uint8_t, 16> iv{};  // 8 bytes used (16 for AES)
  std::uint32_t salt_len = 0;
  std::array<std::uint8_t, 11> salt{};
  std::uint32_t mode_bits = 8;
  std::uint32_t mode = 1;  // CRYPT_MODE_CBC
  std::uint32_t effective_len = 0;  // RC2
  vorn::Secret<32> material;        // key_len / 8 bytes used
};

// Zero a slot (wiping its secrets).
void hash_slot_clear(HashSlot& h);
void key_slot_clear(KeySlot& k);

}  // namespace csp
