// Digests: published vectors, the context interface and differential checks
// against OpenSSL, with and without the CPU's SHA instructions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ossl_ref.h"
#include "softcrypto.h"
#include "src/internal.h"

namespace {

using ref::bytes;
using ref::hex;

std::string PathName(const ::testing::TestParamInfo<bool>& p) { return p.param ? "cpu" : "portable"; }

bytes one_shot(std::uint8_t id, const std::string& s) {
  bytes out(SC_DIGEST_MAX);
  std::uint32_t len = SC_DIGEST_MAX;
  EXPECT_EQ(sc_digest(id, reinterpret_cast<const std::uint8_t*>(s.data()), static_cast<std::uint32_t>(s.size()),
                      out.data(), &len),
            VORN_OK);
  out.resize(len);
  return out;
}

// Runs the body once with the CPU instructions and once with portable code.
class DigestBothPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { saved_ = sc_set_cpu_extensions(GetParam()); }
  void TearDown() override { sc_set_cpu_extensions(saved_); }
  bool saved_ = true;
};

TEST_P(DigestBothPaths, PublishedVectors) {
  // RFC 1321 test suite.
  EXPECT_EQ(one_shot(SC_ALG_MD5, ""), hex("d41d8cd98f00b204e9800998ecf8427e"));
  EXPECT_EQ(one_shot(SC_ALG_MD5, "a"), hex("0cc175b9c0f1b6a831c399e269772661"));
  EXPECT_EQ(one_shot(SC_ALG_MD5, "abc"), hex("900150983cd24fb0d6963f7d28e17f72"));
  EXPECT_EQ(one_shot(SC_ALG_MD5, "message digest"), hex("f96b697d7cb7938d525a2f31aaf161d0"));
  EXPECT_EQ(one_shot(SC_ALG_MD5, "abcdefghijklmnopqrstuvwxyz"), hex("c3fcd3d76192e4007dfb496cca67e13b"));
  EXPECT_EQ(one_shot(SC_ALG_MD5, "12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
            hex("57edf4a22be3c955ac49da2e2107b67a"));
  // FIPS 180 examples.
  EXPECT_EQ(one_shot(SC_ALG_SHA1, ""), hex("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
  EXPECT_EQ(one_shot(SC_ALG_SHA1, "abc"), hex("a9993e364706816aba3e25717850c26c9cd0d89d"));
  EXPECT_EQ(one_shot(SC_ALG_SHA1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            hex("84983e441c3bd26ebaae4aa1f95129e5e54670f1"));
  EXPECT_EQ(one_shot(SC_ALG_SHA256, ""), hex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
  EXPECT_EQ(one_shot(SC_ALG_SHA256, "abc"), hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(one_shot(SC_ALG_SHA256, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            hex("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"));
  const char* m896 =
      "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
  EXPECT_EQ(one_shot(SC_ALG_SHA384, ""), hex("38b060a751ac96384cd9327eb1b1e36a21fdb71114be0743"
                                             "4c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"));
  EXPECT_EQ(one_shot(SC_ALG_SHA384, "abc"), hex("cb00753f45a35e8bb5a03d699ac65007272c32ab0eded163"
                                                "1a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"));
  EXPECT_EQ(one_shot(SC_ALG_SHA384, m896), hex("09330c33f71147e83d192fc782cd1b4753111b173b3b05d2"
                                               "2fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"));
  EXPECT_EQ(one_shot(SC_ALG_SHA512, ""), hex("cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
                                             "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"));
  EXPECT_EQ(one_shot(SC_ALG_SHA512, "abc"), hex("ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                                                "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"));
  EXPECT_EQ(one_shot(SC_ALG_SHA512, m896), hex("8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
                                               "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"));
}

TEST_P(DigestBothPaths, MillionAInPiecesOfOddSizes) {
  const std::string chunk(997, 'a');
  struct {
    std::uint8_t id;
    const char* want;
  } cases[] = {{SC_ALG_MD5, "7707d6ae4e027c70eea2a935c2296f21"},
               {SC_ALG_SHA1, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
               {SC_ALG_SHA256, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
               {SC_ALG_SHA384, "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b"
                               "07b8b3dc38ecc4ebae97ddd87f3d8985"},
               {SC_ALG_SHA512, "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
                               "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"}};
  for (const auto& c : cases) {
    sc_digest_ctx ctx;
    ASSERT_EQ(sc_digest_init(c.id, &ctx), VORN_OK);
    std::uint32_t left = 1000000;
    while (left > 0) {
      std::uint32_t n = left < chunk.size() ? left : static_cast<std::uint32_t>(chunk.size());
      ASSERT_EQ(sc_digest_update(c.id, &ctx, reinterpret_cast<const std::uint8_t*>(chunk.data()), n), VORN_OK);
      left -= n;
    }
    std::uint8_t out[SC_DIGEST_MAX];
    std::uint32_t len = sizeof out;
    ASSERT_EQ(sc_digest_final(c.id, &ctx, out, &len), VORN_OK);
    EXPECT_EQ(bytes(out, out + len), hex(c.want));
  }
}

TEST_P(DigestBothPaths, AgreesWithOpenSslForEveryLengthAndSplit) {
  std::mt19937 g(1234);
  const bytes msg = ref::data(g, 700);
  struct {
    std::uint8_t id;
    const char* name;
  } algs[] = {{SC_ALG_MD5, "MD5"}, {SC_ALG_SHA1, "SHA1"}, {SC_ALG_SHA256, "SHA256"}, {SC_ALG_SHA384, "SHA384"},
              {SC_ALG_SHA512, "SHA512"}};
  for (const auto& a : algs) {
    for (std::uint32_t n = 0; n <= 300; ++n) {
      const bytes part(msg.begin(), msg.begin() + n);
      const bytes want = ref::digest(a.name, part);
      // Split in two at a position that walks over the block boundaries.
      const std::uint32_t cut = (n * 7) % (n + 1);
      sc_digest_ctx ctx;
      ASSERT_EQ(sc_digest_init(a.id, &ctx), VORN_OK);
      ASSERT_EQ(sc_digest_update(a.id, &ctx, msg.data(), cut), VORN_OK);
      ASSERT_EQ(sc_digest_update(a.id, &ctx, msg.data() + cut, n - cut), VORN_OK);
      std::uint8_t out[SC_DIGEST_MAX];
      std::uint32_t len = sizeof out;
      ASSERT_EQ(sc_digest_final(a.id, &ctx, out, &len), VORN_OK);
      ASSERT_EQ(bytes(out, out + len), want) << a.name << " length " << n << " cut " << cut;
    }
    // Large multi-block input in one call.
    const bytes big = ref::data(g, 64 * 1024 + 13);
    std::uint8_t out[SC_DIGEST_MAX];
    std::uint32_t len = sizeof out;
    ASSERT_EQ(sc_digest(a.id, big.data(), static_cast<std::uint32_t>(big.size()), out, &len), VORN_OK);
    EXPECT_EQ(bytes(out, out + len), ref::digest(a.name, big)) << a.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, DigestBothPaths, ::testing::Values(false, true),
                         PathName);

TEST(DigestInterface, SizesIdsAndBufferRules) {
  sc_digest_ctx ctx;
  EXPECT_EQ(sc_digest_init(SC_ALG_AES128, &ctx), CARDERR_BAD_HASH);
  EXPECT_EQ(sc_digest_init(0x20, &ctx), CARDERR_BAD_HASH);
  EXPECT_EQ(sc_digest_init(0x26, &ctx), CARDERR_BAD_HASH);
  EXPECT_EQ(sc_digest_update(SC_ALG_DES, &ctx, nullptr, 0), CARDERR_BAD_HASH);

  // No output buffer: only the size is reported.
  std::uint32_t len = 0;
  ASSERT_EQ(sc_digest_init(SC_ALG_SHA1, &ctx), VORN_OK);
  EXPECT_EQ(sc_digest_final(SC_ALG_SHA1, &ctx, nullptr, &len), VORN_OK);
  EXPECT_EQ(len, 20u);
  EXPECT_EQ(sc_digest_final(SC_ALG_MD5, nullptr, nullptr, &len), VORN_OK);
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(sc_digest_final(SC_ALG_SHA256, nullptr, nullptr, &len), VORN_OK);
  EXPECT_EQ(len, 32u);
  EXPECT_EQ(sc_digest_final(SC_ALG_SHA384, nullptr, nullptr, &len), VORN_OK);
  EXPECT_EQ(len, 48u);
  EXPECT_EQ(sc_digest_final(SC_ALG_SHA512, nullptr, nullptr, &len), VORN_OK);
  EXPECT_EQ(len, 64u);

  // Absent data with a length is a missing parameter; absent data of length 0 is fine.
  EXPECT_EQ(sc_digest_update(SC_ALG_SHA1, &ctx, nullptr, 5), CARDERR_BAD_ARG);
  EXPECT_EQ(sc_digest_update(SC_ALG_SHA1, &ctx, nullptr, 0), VORN_OK);

  // Too small a buffer: the size comes back with the buffer code, the context survives.
  std::uint8_t out[SC_DIGEST_MAX];
  len = 19;
  EXPECT_EQ(sc_digest_final(SC_ALG_SHA1, &ctx, out, &len), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 20u);
  len = sizeof out;
  ASSERT_EQ(sc_digest_final(SC_ALG_SHA1, &ctx, out, &len), VORN_OK);
  EXPECT_EQ(bytes(out, out + 20), hex("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
  // The finished context is wiped and no longer belongs to SHA-1.
  EXPECT_EQ(sc_digest_update(SC_ALG_SHA1, &ctx, out, 1), CARDERR_BAD_HASH);

  // A context set up for one digest refuses another id.
  ASSERT_EQ(sc_digest_init(SC_ALG_MD5, &ctx), VORN_OK);
  EXPECT_EQ(sc_digest_update(SC_ALG_SHA256, &ctx, out, 1), CARDERR_BAD_HASH);
  ASSERT_EQ(sc_digest_init(SC_ALG_SHA384, &ctx), VORN_OK);
  EXPECT_EQ(sc_digest_update(SC_ALG_SHA512, &ctx, out, 1), CARDERR_BAD_HASH);
  len = 47;
  EXPECT_EQ(sc_digest_final(SC_ALG_SHA384, &ctx, out, &len), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 48u);

  len = 15;
  EXPECT_EQ(sc_digest(SC_ALG_MD5, out, 1, out, &len), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(sc_digest(SC_ALG_RC4, out, 1, out, &len), CARDERR_BAD_HASH);
  EXPECT_EQ(sc_digest_size(SC_ALG_SHA256), 32u);
  EXPECT_EQ(sc_digest_size(SC_ALG_AES128), 0u);
}

// The 128-byte-block digests on each code path (portable, AVX schedule,
// AVX-512 schedule, as far as the CPU has them): every split of the lengths
// around one and two blocks (and the 112-byte length-field limit), then random
// lengths up to 1000 fed in three random pieces.
class Digest128 : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    saved_ = sc::sha512_cap(GetParam());
    if (sc::sha512_tier() != GetParam()) GTEST_SKIP() << "CPU lacks this path";
  }
  void TearDown() override { sc::sha512_cap(saved_); }
  int saved_ = 2;
};

TEST_P(Digest128, SplitsAroundBlockBoundariesAndRandomLengths) {
  std::mt19937 g(77);
  const bytes msg = ref::data(g, 1000);
  struct {
    std::uint8_t id;
    const char* name;
  } algs[] = {{SC_ALG_SHA384, "SHA384"}, {SC_ALG_SHA512, "SHA512"}};
  auto ours = [&](std::uint8_t id, std::uint32_t n, std::uint32_t cut1, std::uint32_t cut2) {
    sc_digest_ctx ctx;
    EXPECT_EQ(sc_digest_init(id, &ctx), VORN_OK);
    EXPECT_EQ(sc_digest_update(id, &ctx, msg.data(), cut1), VORN_OK);
    EXPECT_EQ(sc_digest_update(id, &ctx, msg.data() + cut1, cut2 - cut1), VORN_OK);
    EXPECT_EQ(sc_digest_update(id, &ctx, msg.data() + cut2, n - cut2), VORN_OK);
    std::uint8_t out[SC_DIGEST_MAX];
    std::uint32_t len = sizeof out;
    EXPECT_EQ(sc_digest_final(id, &ctx, out, &len), VORN_OK);
    return bytes(out, out + len);
  };
  for (const auto& a : algs) {
    for (std::uint32_t n : {111u, 112u, 113u, 127u, 128u, 129u, 239u, 240u, 255u, 256u, 257u}) {
      const bytes want = ref::digest(a.name, bytes(msg.begin(), msg.begin() + n));
      for (std::uint32_t cut = 0; cut <= n; ++cut)
        ASSERT_EQ(ours(a.id, n, cut, cut), want) << a.name << " length " << n << " cut " << cut;
    }
    for (int i = 0; i < 200; ++i) {
      const std::uint32_t n = g() % 1001, c1 = g() % (n + 1), c2 = c1 + g() % (n - c1 + 1);
      ASSERT_EQ(ours(a.id, n, c1, c2), ref::digest(a.name, bytes(msg.begin(), msg.begin() + n)))
          << a.name << " length " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Tiers, Digest128, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& p) {
                           return std::string(p.param == 0 ? "portable" : p.param == 1 ? "avx" : "avx512");
                         });

}  // namespace
