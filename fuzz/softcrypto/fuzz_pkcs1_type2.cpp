// The type 2 decoder (private decrypt): the input is the block itself, sent
// through the public block first. Inputs of other lengths go straight in.
#include <cstring>

#include "fuzz_key.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz_key& k = the_key();
  std::uint8_t ct[256], out[256];
  std::uint32_t ctlen = 0, outlen = 0;
  if (size != 128) {
    vorn_rv rv = sc_rsa_private_decrypt(out, &outlen, data, static_cast<std::uint32_t>(size), &k.priv);
    if (size > 128) FUZZ_CHECK(rv == RSAERR_LEN);
    if (rv == VORN_OK) FUZZ_CHECK(outlen <= 128 - 11);
    return 0;
  }
  if (sc_rsa_public_block(ct, &ctlen, data, 128, &k.pub) != VORN_OK) {
    FUZZ_CHECK(data[0] != 0);
    return 0;
  }
  vorn_rv rv = sc_rsa_private_decrypt(out, &outlen, ct, ctlen, &k.priv);
  // Independent reading: 00 02, the first 00 after that ends the padding,
  // which must be at least 8 bytes long.
  std::size_t z = 2;
  while (z < 128 && data[z] != 0) ++z;
  const bool valid = data[0] == 0 && data[1] == 2 && z < 128 && z >= 10;
  FUZZ_CHECK((rv == VORN_OK) == valid);
  if (rv != VORN_OK) {
    FUZZ_CHECK(rv == RSAERR_DATA);
    return 0;
  }
  FUZZ_CHECK(outlen == 128 - (z + 1));
  FUZZ_CHECK(std::memcmp(out, data + z + 1, outlen) == 0);
  // Through the cipher id as well.
  std::uint32_t n2 = 0;
  std::uint8_t out2[256];
  sc_rsa_private_key priv = k.priv;
  FUZZ_CHECK(sc_decrypt(SC_ALG_RSA1024, &priv, 0, nullptr, ct, 128, out2, &n2) == VORN_OK);
  FUZZ_CHECK(n2 == outlen && std::memcmp(out2, out, n2) == 0);
  return 0;
}
