#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "vorn/personalisation.h"
#include "vorn/secure.h"

TEST(PlatformRandom, FillsBufferAndDiffersBetweenDraws) {
  std::array<std::uint8_t, 64> a{}, b{};
  ASSERT_EQ(plat_random(a.data(), a.size()), VORN_OK);
  ASSERT_EQ(plat_random(b.data(), b.size()), VORN_OK);
  EXPECT_NE(a, b);
  EXPECT_NE(a, (std::array<std::uint8_t, 64>{}));
  EXPECT_EQ(plat_random(nullptr, 4), CARDERR_BAD_ARG);
  EXPECT_EQ(plat_random(nullptr, 0), VORN_OK);
}

TEST(PlatformWipe, SecretAndConstantTimeCompare) {
  std::array<std::uint8_t, 8> x{1, 2, 3, 4, 5, 6, 7, 8};
  plat_wipe(x.data(), x.size());
  EXPECT_EQ(x, (std::array<std::uint8_t, 8>{}));
  const std::uint8_t p[4] = {1, 2, 3, 4}, q[4] = {1, 2, 3, 5};
  EXPECT_TRUE(plat_ct_equal(p, p, 4));
  EXPECT_FALSE(plat_ct_equal(p, q, 4));
  EXPECT_TRUE(plat_ct_equal(p, q, 3));
}

TEST(Personalisation, TestKeysMatchTheSharedVectors) {
  // The repository's test personalisation carries the vectors' keys.
  EXPECT_TRUE(vorn::perso::kIsTestPersonalisation);
  EXPECT_EQ(vorn::perso::kSignChannelKey[0], 0x40);
  EXPECT_EQ(vorn::perso::kSignChannelKey[15], 0x4F);
  EXPECT_EQ(vorn::perso::kPinCacheKey[0], 0x01);
  EXPECT_EQ(vorn::perso::kPinCacheKey[15], 0x10);
}
