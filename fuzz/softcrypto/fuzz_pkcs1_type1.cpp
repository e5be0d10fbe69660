// The type 1 decoder (public decrypt) and the signature check: the input is
// the block itself, sent through the private block first so that the
// decoder sees exactly these bytes. Inputs of other lengths go straight in.
#include <cstring>

#include "fuzz_key.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz_key& k = the_key();
  std::uint8_t sig[256], out[256], again[256];
  std::uint32_t siglen = 0, outlen = 0, againlen = 0;
  if (size != 128) {
    vorn_rv rv = sc_rsa_public_decrypt(out, &outlen, data, static_cast<std::uint32_t>(size), &k.pub);
    if (size > 128) FUZZ_CHECK(rv == RSAERR_LEN);
    if (rv == VORN_OK) FUZZ_CHECK(outlen <= 128 - 11);
    return 0;
  }
  if (sc_rsa_private_block(sig, &siglen, data, 128, &k.priv) != VORN_OK) {
    FUZZ_CHECK(data[0] != 0);  // only blocks at or above the modulus are refused
    return 0;
  }
  FUZZ_CHECK(siglen == 128);
  vorn_rv rv = sc_rsa_public_decrypt(out, &outlen, sig, siglen, &k.pub);
  // Independent reading of the block: 00 01, at least 8 FF, 00, data.
  std::size_t i = 2;
  while (i < 128 && data[i] == 0xFF) ++i;
  const bool valid = data[0] == 0 && data[1] == 1 && i < 128 && data[i] == 0 && i >= 10;
  FUZZ_CHECK((rv == VORN_OK) == valid);
  if (rv != VORN_OK) {
    FUZZ_CHECK(rv == RSAERR_DATA);
    return 0;
  }
  FUZZ_CHECK(outlen == 128 - (i + 1));
  FUZZ_CHECK(std::memcmp(out, data + i + 1, outlen) == 0);
  // Signing the recovered data gives back the same signature, and it checks.
  FUZZ_CHECK(sc_rsa_private_encrypt(again, &againlen, out, outlen, &k.priv) == VORN_OK);
  FUZZ_CHECK(againlen == 128 && std::memcmp(again, sig, 128) == 0);
  FUZZ_CHECK(sc_rsa_check_signature(sig, 128, out, outlen, &k.pub) == VORN_OK);
  if (outlen > 0) FUZZ_CHECK(sc_rsa_check_signature(sig, 128, out, outlen - 1, &k.pub) == CARDERR_SW_SIGNATURE);
  return 0;
}
