// Per-session state of the encryption, decryption and digest operations
// (crypt.cpp, digest.cpp). Key-dependent parts (pending input, RC4 state,
// running hash) are wiped when a context dies.
#pragma once
#include <cstdint>

#include "p11.h"
#include "softcrypto.h"
#include "vorn/secure.h"

namespace p11 {

struct CryptContext {
  bool active = false;
  CK_MECHANISM_TYPE mechanism = 0;
  CK_OBJECT_HANDLE key = 0;
  std::uint8_t iv[16] = {};
  std::uint8_t iv_len = 0;
  std::uint8_t pending[16] = {};  // CBC_PAD input waiting for a whole block
  std::uint8_t pending_len = 0;
  std::uint32_t rc2_bits = 0;
  sc_rc4_state rc4 = {};  // running RC4 state of CKM_RC4

  CryptContext() = default;
  CryptContext(const CryptContext&) = default;
  CryptContext& operator=(const CryptContext&) = default;
  ~CryptContext() {
    plat_wipe(pending, sizeof pending);
    plat_wipe(&rc4, sizeof rc4);
  }
};

struct DigestContext {
  bool active = false;
  CK_MECHANISM_TYPE mechanism = 0;
  sc_digest_ctx state = {};

  DigestContext() = default;
  DigestContext(const DigestContext&) = default;
  DigestContext& operator=(const DigestContext&) = default;
  ~DigestContext() { plat_wipe(&state, sizeof state); }
};

}  // namespace p11
