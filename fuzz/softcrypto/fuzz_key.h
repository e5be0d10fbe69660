// One RSA-1024 key pair per fuzz process, made by our own generator. The
// decoders' results depend only on the block, never on the key.
#pragma once
#include <cstdio>
#include <cstdlib>

#include "softcrypto.h"

struct fuzz_key {
  sc_rsa_public_key pub;
  sc_rsa_private_key priv;
  fuzz_key() {
    if (sc_rsa_generate_keypair(1024, true, &pub, &priv) != VORN_OK) {
      std::fprintf(stderr, "key generation failed\n");
      std::abort();
    }
  }
};

inline const fuzz_key& the_key() {
  static const fuzz_key k;
  return k;
}

#define FUZZ_CHECK(cond)                                              \
  do {                                                                \
    if (!(cond)) {                                                    \
      std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
      std::abort();                                                   \
    }                                                                 \
  } while (0)
