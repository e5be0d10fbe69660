// The algorithm codes of key types, RSA moduli and the card's own ciphers,
// checked against the codes the card and the software dispatcher use.
#include <gtest/gtest.h>

#include "key_alg.h"

TEST(KeyAlg, CodesOfKeyTypesModuliAndCardCiphers) {
  const struct {
    CK_KEY_TYPE kt;
    std::size_t len;
    std::uint8_t alg;
    bool on_card;
  } keys[] = {{CKK_RC2, 5, 0x30, false},  {CKK_RC4, 24, 0x31, false},  {CKK_DES, 8, 0x0D, true},
              {CKK_DES2, 16, 0x11, true}, {CKK_DES3, 24, 0x32, false}, {CKK_AES, 16, 0x01, true},
              {CKK_AES, 0, 0x01, true},   {CKK_AES, 32, 0x02, false},  {CKK_GENERIC_SECRET, 48, 0x34, false},
              {CKK_RSA, 128, 0, false},   {CKK_VENDOR_DEFINED, 16, 0, false}};
  for (const auto& k : keys) {
    SCOPED_TRACE(testing::Message() << "key type " << k.kt << ", " << k.len << " bytes");
    EXPECT_EQ(p11::key_alg(k.kt, k.len), k.alg);
    EXPECT_EQ(vorn_alg_on_card(k.alg), k.on_card);
  }
  const struct {
    std::size_t modulus_len;
    std::uint8_t alg;
  } rsa[] = {{128, 0x1B}, {256, 0x1C}, {192, 0}, {0, 0}};
  for (const auto& r : rsa) {
    EXPECT_EQ(vorn_alg_rsa(r.modulus_len), r.alg) << r.modulus_len;
    if (r.alg != 0) {
      EXPECT_EQ(vorn_alg_modulus_len(r.alg), r.modulus_len);
    }
    EXPECT_FALSE(vorn_alg_on_card(r.alg));
  }
  EXPECT_EQ(vorn_alg_modulus_len(VORN_ALG_AES128), 0u);
  EXPECT_EQ(VORN_HANDLE_EXTRACTABLE, 0x200000u);
}
