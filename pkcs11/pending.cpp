// Encryption, decryption, digests, random numbers, key generation, wrapping
// and derivation come with the next stage of the module (see
// docs/pkcs11.md, "Extending the module"). Until then these entry points
// answer CKR_FUNCTION_NOT_SUPPORTED once the module is initialised, so a
// caller never mistakes them for working operations.
#include "module.h"

namespace p11 {
CK_RV unsupported();
}

#define VORN_PENDING(name, params) \
  VORN_P11_EXPORT CK_RV name params { return p11::unsupported(); }

