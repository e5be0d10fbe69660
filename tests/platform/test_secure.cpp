#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

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

namespace {

// Upstream allocator that records, for every block handed back, its size and
// whether it was all zeros at that moment (the block is still live here).
struct Returned {
  std::size_t size;
  bool zeroed;
};
std::vector<Returned> g_returned;

template <class T>
struct ProbeAllocator {
  using value_type = T;
  ProbeAllocator() = default;
  template <class U>
  ProbeAllocator(const ProbeAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    g_returned.push_back({n * sizeof(T), std::all_of(b, b + n * sizeof(T), [](unsigned char c) { return c == 0; })});
    std::allocator<T>{}.deallocate(p, n);
  }
  bool operator==(const ProbeAllocator&) const noexcept { return true; }
};

}  // namespace

TEST(PlatformWipe, WipingAllocatorZeroesEveryBlockItHandsBack) {
  using Probed = std::vector<std::uint8_t, vorn::WipingAllocator<std::uint8_t, ProbeAllocator<std::uint8_t>>>;
  g_returned.clear();
  {
    Probed v(16, 0xA5);
    v.reserve(64);  // growth: the 16-byte block is handed back
    v.insert(v.end(), 40, 0x5A);
    Probed w(8, 0x77);
    w = std::move(v);  // w's old 8-byte block is handed back
  }                    // the 64-byte block dies with w
  ASSERT_EQ(g_returned.size(), 3u);
  EXPECT_EQ(g_returned[0].size, 16u);
  EXPECT_EQ(g_returned[1].size, 8u);
  EXPECT_EQ(g_returned[2].size, 64u);
  for (const auto& r : g_returned) EXPECT_TRUE(r.zeroed) << r.size;
}
