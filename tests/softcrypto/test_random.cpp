// The random structure, the mixing function and the symmetric key generator.
#include <gtest/gtest.h>

#include <cstring>

#include "ossl_ref.h"
#include "softcrypto.h"

namespace {

using ref::bytes;

TEST(RandomStructure, NeedsSeedBeforeGenerating) {
  sc_random r;
  ASSERT_EQ(sc_random_init(&r), VORN_OK);
  std::uint32_t need = 0;
  ASSERT_EQ(sc_random_bytes_needed(&r, &need), VORN_OK);
  EXPECT_EQ(need, 512u);
  std::uint8_t out[40];
  EXPECT_EQ(sc_random_generate(&r, out, 1), RSAERR_NEED_RANDOM);
  const bytes seed(100, 9);
  ASSERT_EQ(sc_random_update(&r, seed.data(), 100), VORN_OK);
  sc_random_bytes_needed(&r, &need);
  EXPECT_EQ(need, 412u);
  EXPECT_EQ(sc_random_generate(&r, out, 1), RSAERR_NEED_RANDOM);
  const bytes big(1000, 1);
  ASSERT_EQ(sc_random_update(&r, big.data(), 1000), VORN_OK);
  sc_random_bytes_needed(&r, &need);
  EXPECT_EQ(need, 0u);  // not below zero
  EXPECT_EQ(sc_random_generate(&r, out, sizeof out), VORN_OK);
  EXPECT_EQ(sc_random_update(&r, nullptr, 3), CARDERR_BAD_ARG);
  sc_random_final(&r);
  EXPECT_EQ(r.bytes_needed, 0u);
  EXPECT_EQ(r.state[0] | r.state[15] | r.output[0], 0);
}

// state = MD5(a) + MD5(b) as 128-bit big-endian numbers; output blocks are
// MD5(state), MD5(state + 1), ...
TEST(RandomStructure, OutputFollowsTheMd5Construction) {
  const bytes a(512, 0xA5), b = ref::hex("0102030405");
  const bytes ha = ref::digest("MD5", a), hb = ref::digest("MD5", b);
  bytes state(16);
  unsigned carry = 0;
  for (int i = 15; i >= 0; --i) {
    unsigned s = ha[static_cast<std::size_t>(i)] + hb[static_cast<std::size_t>(i)] + carry;
    state[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(s);
    carry = s >> 8;
  }
  bytes want = ref::digest("MD5", state);
  for (int i = 15; i >= 0; --i)
    if (++state[static_cast<std::size_t>(i)] != 0) break;
  const bytes second = ref::digest("MD5", state);
  want.insert(want.end(), second.begin(), second.end());

  sc_random r;
  sc_random_init(&r);
  sc_random_update(&r, a.data(), 512);
  sc_random_update(&r, b.data(), 5);
  // Read in uneven pieces: 5 + 20 + 7 = 32 bytes.
  bytes got(32);
  ASSERT_EQ(sc_random_generate(&r, got.data(), 5), VORN_OK);
  ASSERT_EQ(sc_random_generate(&r, got.data() + 5, 20), VORN_OK);
  ASSERT_EQ(sc_random_generate(&r, got.data() + 25, 7), VORN_OK);
  EXPECT_EQ(got, want);
}

TEST(RandomStructure, CreateSeedsFromTheSystem) {
  sc_random a, b;
  ASSERT_EQ(sc_random_create(&a), VORN_OK);
  ASSERT_EQ(sc_random_create(&b), VORN_OK);
  std::uint32_t need = 1;
  sc_random_bytes_needed(&a, &need);
  EXPECT_EQ(need, 0u);
  bytes x(32), y(32);
  ASSERT_EQ(sc_random_generate(&a, x.data(), 32), VORN_OK);
  ASSERT_EQ(sc_random_generate(&b, y.data(), 32), VORN_OK);
  EXPECT_NE(x, y);
  EXPECT_NE(std::memcmp(a.state, b.state, 16), 0);
  sc_random_final(&a);
  sc_random_final(&b);
}

TEST(Mix, KnownValuesAndRememberedNegative) {
  // A negative argument starts from a = 1 and remembers -x for later calls.
  EXPECT_EQ(sc_mix(-7), 0x18eb1e66u);
  EXPECT_EQ(sc_mix(12345), 0x11917953u);
  EXPECT_EQ(sc_mix(12345), 0x11917953u);
  const std::uint32_t after7 = sc_mix(12345);
  sc_mix(-8);
  EXPECT_NE(sc_mix(12345), after7);
  sc_mix(-2147483647 - 1);  // the most negative value must not overflow
  sc_mix(0);
}

TEST(SymmetricKeyGeneration, LengthsByAlgorithm) {
  std::uint8_t k[64];
  EXPECT_EQ(sc_generate_key(SC_ALG_AES128, k, 16), VORN_OK);
  EXPECT_EQ(sc_generate_key(SC_ALG_AES128, k, 24), CARDERR_BAD_ALGORITHM);
  EXPECT_EQ(sc_generate_key(SC_ALG_DES2, k, 16), VORN_OK);
  EXPECT_EQ(sc_generate_key(SC_ALG_DES2, k, 24), CARDERR_BAD_ALGORITHM);
  EXPECT_EQ(sc_generate_key(SC_ALG_DES, k, 8), VORN_OK);
  EXPECT_EQ(sc_generate_key(SC_ALG_DES, k, 16), CARDERR_BAD_ALGORITHM);
  EXPECT_EQ(sc_generate_key(SC_ALG_DES3, k, 24), VORN_OK);
  EXPECT_EQ(sc_generate_key(SC_ALG_DES3, k, 16), CARDERR_BAD_ALGORITHM);
  for (std::uint8_t id : {SC_ALG_RC2, SC_ALG_RC4, SC_ALG_GENERIC})
    for (std::uint32_t len : {1u, 5u, 64u}) EXPECT_EQ(sc_generate_key(id, k, len), VORN_OK);
  EXPECT_EQ(sc_generate_key(SC_ALG_RSA1024, k, 16), CARDERR_BAD_ALGORITHM);
  EXPECT_EQ(sc_generate_key(SC_ALG_SHA1, k, 20), CARDERR_BAD_ALGORITHM);
  EXPECT_EQ(sc_generate_key(SC_ALG_RC4, nullptr, 4), CARDERR_BAD_ARG);
  // Two keys are never the same.
  std::uint8_t a[24], b[24];
  sc_generate_key(SC_ALG_DES3, a, 24);
  sc_generate_key(SC_ALG_DES3, b, 24);
  EXPECT_NE(std::memcmp(a, b, 24), 0);
}

}  // namespace
