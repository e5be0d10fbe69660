// Key type to algorithm code: the code under which the card keeps a secret
// key and which the card and the software ciphers compute with.
#pragma once
#include <cstddef>
#include <cstdint>

#include "p11.h"
#include "vorn/alg.h"

namespace p11 {

// Algorithm code of a secret key of type kt with len value bytes (a 32-byte
// AES key is AES-256, any other AES-128); 0 for a type without one.
constexpr std::uint8_t key_alg(CK_KEY_TYPE kt, std::size_t len) {
  switch (kt) {
    case CKK_RC2: return VORN_ALG_RC2;
    case CKK_RC4: return VORN_ALG_RC4;
    case CKK_DES: return VORN_ALG_DES;
    case CKK_DES2: return VORN_ALG_DES2;
    case CKK_DES3: return VORN_ALG_DES3;
    case CKK_AES: return len == 32 ? VORN_ALG_AES256 : VORN_ALG_AES128;
    case CKK_GENERIC_SECRET: return VORN_ALG_GENERIC;
    default: return 0;
  }
}

}  // namespace p11
