// Session keys of the provider: every algorithm and mode against OpenSSL for
// the same key, IV and data, messages of several calls, PKCS#5 padding and
// the per-key cipher state.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "ossl_ref.h"
#include "session.h"

using namespace csp;
using ref::bytes;

namespace {

struct Row {
  std::uint32_t alg;
  std::uint32_t key_bytes;
  std::uint32_t mode;
  std::uint32_t mode_bits;
  const char* ossl;
  std::uint32_t rc2_bits;
};

const Row kRows[] = {
    {kCalgDes, 8, kModeCbc, 8, "DES-CBC", 0},
    {kCalgDes, 8, kModeEcb, 8, "DES-ECB", 0},
    {kCalgDes, 8, kModeCfb, 8, "DES-CFB8", 0},
    {kCalgDes, 8, kModeCfb, 64, "DES-CFB", 0},
    {kCalg3Des112, 16, kModeCbc, 8, "DES-EDE-CBC", 0},
    {kCalg3Des112, 16, kModeEcb, 8, "DES-EDE-ECB", 0},
    {kCalg3Des112, 16, kModeCfb, 64, "DES-EDE-CFB", 0},
    {kCalg3Des, 24, kModeCbc, 8, "DES-EDE3-CBC", 0},
    {kCalg3Des, 24, kModeEcb, 8, "DES-EDE3-ECB", 0},
    {kCalg3Des, 24, kModeCfb, 8, "DES-EDE3-CFB8", 0},
    {kCalg3Des, 24, kModeCfb, 64, "DES-EDE3-CFB", 0},
    {kCalgRc2, 16, kModeCbc, 8, "RC2-CBC", 128},
    {kCalgRc2, 16, kModeEcb, 8, "RC2-ECB", 128},
    {kCalgRc2, 5, kModeCbc, 8, "RC2-CBC", 40},
    {kCalgRc4, 16, kModeCbc, 8, "RC4", 0},
    {kCalgRc4, 5, kModeCbc, 8, "RC4", 0},
    {kCalgAes128, 16, kModeCbc, 8, "AES-128-CBC", 0},
    {kCalgAes128, 16, kModeEcb, 8, "AES-128-ECB", 0},
    {kCalgAes128, 16, kModeCfb, 8, "AES-128-CFB8", 0},
    {kCalgAes128, 16, kModeCfb, 64, "AES-128-CFB", 0},
};

void make_key(KeySlot& k, const Row& r, const bytes& key, const bytes& iv) {
  ASSERT_EQ(session_key_fill(k, r.alg, key.data(), r.key_bytes, false, r.rc2_bits ? r.rc2_bits : 128), 0u);
  k.mode = r.mode;
  k.mode_bits = r.mode_bits;
  if (!iv.empty()) std::memcpy(k.iv.data(), iv.data(), iv.size());
}

}  // namespace

// Two messages per key, each in two calls (whole blocks, then the rest with
// Final); the second message starts from the IV again.
TEST(CspSession, EveryAlgorithmAndModeMatchesOpenSsl) {
  std::mt19937 g(7);
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.ossl);
    const std::uint32_t b = r.alg == kCalgAes128 ? 16 : r.alg == kCalgRc4 ? 1 : 8;
    const bytes key = ref::data(g, r.key_bytes);
    const bytes iv = r.alg == kCalgRc4 || r.mode == kModeEcb ? bytes{} : ref::data(g, b);
    const bytes msg = ref::data(g, 3 * 16 + 5);
    bytes padded = msg;
    if (r.alg != kCalgRc4) padded.insert(padded.end(), b - msg.size() % b, static_cast<std::uint8_t>(b - msg.size() % b));
    const bytes expect = ref::cipher(r.ossl, key, iv, padded, true, static_cast<int>(r.rc2_bits));

    KeySlot k;
    make_key(k, r, key, iv);
    for (int round = 0; round < 2; ++round) {
      bytes buf = msg;
      buf.resize(msg.size() + 16);
      std::uint32_t first = 32, rest = static_cast<std::uint32_t>(msg.size()) - 32;
      ASSERT_EQ(session_encrypt(k, false, buf.data(), &first, first), 0u);
      std::uint32_t size = rest;
      ASSERT_EQ(session_encrypt(k, true, nullptr, &size, 0), 0u);
      EXPECT_EQ(size, expect.size() - 32);
      ASSERT_EQ(session_encrypt(k, true, buf.data() + 32, &rest, static_cast<std::uint32_t>(buf.size()) - 32), 0u);
      ASSERT_EQ(32 + rest, expect.size());
      buf.resize(32 + rest);
      EXPECT_EQ(buf, expect);

      std::uint32_t d1 = 32, d2 = rest;
      ASSERT_EQ(session_decrypt(k, false, buf.data(), &d1), 0u);
      ASSERT_EQ(session_decrypt(k, true, buf.data() + 32, &d2), 0u);
      buf.resize(32 + d2);
      EXPECT_EQ(buf, msg);
    }
    key_slot_clear(k);
  }
}

// The lengths and codes of the edges: whole blocks without Final, a full
// pad block, a pad that does not fit, bad pads.
TEST(CspSession, LengthsPaddingAndCodes) {
  const bytes key(8, 0x11);
  KeySlot k;
  ASSERT_EQ(session_key_fill(k, kCalgDes, key.data(), 8, false, 128), 0u);
  std::uint8_t buf[32] = {};
  std::uint32_t len = 5;
  EXPECT_EQ(session_encrypt(k, false, buf, &len, sizeof buf), kErrMoreData);
  len = 8;
  EXPECT_EQ(session_encrypt(k, true, nullptr, &len, 0), 0u);
  EXPECT_EQ(len, 16u);
  len = 8;
  EXPECT_EQ(session_encrypt(k, true, buf, &len, 15), kErrMoreData);
  EXPECT_EQ(len, 8u);
  EXPECT_EQ(session_encrypt(k, true, buf, &len, 16), 0u);
  EXPECT_EQ(len, 16u);
  std::uint8_t copy[16];
  std::memcpy(copy, buf, 16);
  ASSERT_EQ(session_decrypt(k, true, copy, &len), 0u);
  EXPECT_EQ(len, 8u);
  len = 7;
  EXPECT_EQ(session_decrypt(k, true, buf, &len), kNteBadData);

  // Last byte 9, then a pad whose bytes differ, then 0: NTE_BAD_DATA each.
  const std::uint8_t pads[][8] = {{1, 2, 3, 4, 5, 6, 7, 9},
                                  {1, 2, 3, 4, 5, 6, 2, 3},
                                  {1, 2, 3, 4, 5, 6, 7, 0}};
  for (const auto& p : pads) {
    std::uint8_t block[8];
    std::memcpy(block, p, 8);
    std::uint32_t n = 8;
    ASSERT_EQ(session_encrypt(k, false, block, &n, 8), 0u);
    session_reset(k);
    EXPECT_EQ(session_decrypt(k, true, block, &n), kNteBadData);
  }

  // Key lengths from the key table.
  EXPECT_EQ(session_key_fill(k, kCalgDes, key.data(), 7, false, 128), kNteBadLen);
  EXPECT_EQ(session_key_fill(k, 0x6604, key.data(), 8, false, 128), kNteBadAlgid);
  EXPECT_EQ(capi_key_bits(*capi_cipher(kCalgDes), 56), 64u);
  EXPECT_EQ(capi_key_bits(*capi_cipher(kCalgRc2), 44), 0u);
  EXPECT_EQ(capi_key_bits(*capi_cipher(kCalgRc2), 48), 48u);
  EXPECT_EQ(capi_key_bits(*capi_cipher(kCalg3Des), 168), 192u);
  EXPECT_EQ(capi_key_bits(*capi_cipher(kCalgAes128), 192), 0u);
  key_slot_clear(k);
}

// Two RC2 keys and two RC4 keys enciphering interleaved messages: each
// message comes out as OpenSSL makes it (one process-wide state would mix
// them).
TEST(CspSession, InterleavedMessagesKeepTheirOwnState) {
  std::mt19937 g(11);
  for (std::uint32_t alg : {kCalgRc2, kCalgRc4}) {
    const char* name = alg == kCalgRc2 ? "RC2-CBC" : "RC4";
    const bytes k1 = ref::data(g, 16), k2 = ref::data(g, 16);
    const bytes iv = alg == kCalgRc2 ? bytes(8, 0) : bytes{};
    const bytes m1 = ref::data(g, 32), m2 = ref::data(g, 32);
    KeySlot a, b;
    ASSERT_EQ(session_key_fill(a, alg, k1.data(), 16, false, 128), 0u);
    ASSERT_EQ(session_key_fill(b, alg, k2.data(), 16, false, 128), 0u);
    bytes c1 = m1, c2 = m2;
    std::uint32_t n = 16;
    ASSERT_EQ(session_encrypt(a, false, c1.data(), &n, 16), 0u);
    ASSERT_EQ(session_encrypt(b, false, c2.data(), &n, 16), 0u);
    ASSERT_EQ(session_encrypt(a, false, c1.data() + 16, &n, 16), 0u);
    ASSERT_EQ(session_encrypt(b, false, c2.data() + 16, &n, 16), 0u);
    EXPECT_EQ(c1, ref::cipher(name, k1, iv, m1, true, 128));
    EXPECT_EQ(c2, ref::cipher(name, k2, iv, m2, true, 128));
    key_slot_clear(a);
    key_slot_clear(b);
  }
}
