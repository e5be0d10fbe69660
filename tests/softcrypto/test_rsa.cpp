// RSA toolkit: interop with OpenSSL both ways, PKCS#1 v1.5 blocks and their
// error codes, key generation and the signature check.
#include <gtest/gtest.h>

#include <cstring>

#include "ossl_ref.h"
#include "rsa_ref.h"
#include "softcrypto.h"

namespace {

using ref::bytes;

struct key_pair {
  sc_rsa_private_key priv;
  sc_rsa_public_key pub;
  ref::pkey ossl;
};

// OpenSSL-made keys shared by the tests of this file (1024 and 2048 bits).
key_pair& ossl_key(int bits) {
  static key_pair k1024, k2048;
  key_pair& k = bits == 1024 ? k1024 : k2048;
  if (!k.ossl) {
    k.ossl = ref::openssl_keygen(bits);
    ref::from_openssl(k.ossl.get(), &k.priv, &k.pub);
  }
  return k;
}

bytes call(vorn_rv (*fn)(std::uint8_t*, std::uint32_t*, const std::uint8_t*, std::uint32_t, const sc_rsa_public_key*),
           const sc_rsa_public_key& key, const bytes& in, vorn_rv want = VORN_OK) {
  bytes out(256);
  std::uint32_t len = 0;
  EXPECT_EQ(fn(out.data(), &len, in.data(), static_cast<std::uint32_t>(in.size()), &key), want);
  out.resize(want == VORN_OK ? len : 0);
  return out;
}
bytes call(vorn_rv (*fn)(std::uint8_t*, std::uint32_t*, const std::uint8_t*, std::uint32_t, const sc_rsa_private_key*),
           const sc_rsa_private_key& key, const bytes& in, vorn_rv want = VORN_OK) {
  bytes out(256);
  std::uint32_t len = 0;
  EXPECT_EQ(fn(out.data(), &len, in.data(), static_cast<std::uint32_t>(in.size()), &key), want);
  out.resize(want == VORN_OK ? len : 0);
  return out;
}

TEST(RsaInterop, RawBlocksEqualOpenSslBothSizes) {
  std::mt19937 g(3);
  for (int bits : {1024, 2048}) {
    key_pair& k = ossl_key(bits);
    const std::size_t len = static_cast<std::size_t>(bits / 8);
    for (int i = 0; i < 6; ++i) {
      bytes m = ref::data(g, len);
      m[0] &= 0x7F;  // below the modulus
      const bytes s = call(sc_rsa_private_block, k.priv, m);
      ASSERT_EQ(s.size(), len);
      EXPECT_EQ(s, ref::pk_op(k.ossl.get(), 0, RSA_NO_PADDING, m));
      EXPECT_EQ(call(sc_rsa_public_block, k.pub, s), m);
      // Shorter input is a smaller number, output is still the modulus length.
      const bytes shorter(m.begin() + 5, m.end());
      bytes padded(5, 0);
      padded.insert(padded.end(), shorter.begin(), shorter.end());
      EXPECT_EQ(call(sc_rsa_public_block, k.pub, shorter), ref::pk_op(k.ossl.get(), 1, RSA_NO_PADDING, padded));
    }
  }
}

// Many private operations in a row (the blinding values are renewed on the
// way) and the portable arithmetic without the CPU's MULX/ADX instructions.
TEST(RsaInterop, RepeatedPrivateOperationsAndPortableArithmetic) {
  std::mt19937 g(8);
  for (bool cpu : {true, false}) {
    const bool saved = sc_set_cpu_extensions(cpu);
    for (int bits : {1024, 2048}) {
      key_pair& k = ossl_key(bits);
      const std::size_t len = static_cast<std::size_t>(bits / 8);
      const int count = cpu ? 70 : 4;
      for (int i = 0; i < count; ++i) {
        bytes m = ref::data(g, len);
        m[0] &= 0x3F;
        const bytes s = call(sc_rsa_private_block, k.priv, m);
        ASSERT_EQ(s, ref::pk_op(k.ossl.get(), 0, RSA_NO_PADDING, m)) << bits << " op " << i << " cpu " << cpu;
        ASSERT_EQ(call(sc_rsa_public_block, k.pub, s), m);
      }
    }
    sc_rsa_public_key pub;
    sc_rsa_private_key priv;
    ASSERT_EQ(sc_rsa_generate_keypair(768, true, &pub, &priv), VORN_OK);
    ref::pkey key = ref::to_openssl(priv);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
    EXPECT_EQ(EVP_PKEY_check(ctx), 1);
    EVP_PKEY_CTX_free(ctx);
    sc_set_cpu_extensions(saved);
  }
}

// Three keys in turn: the per-thread modulus and blinding entries (two each)
// are replaced over and over and must never be mixed up.
TEST(RsaInterop, KeysInTurnNeverShareCachedValues) {
  key_pair third;
  third.ossl = ref::openssl_keygen(1024);
  ref::from_openssl(third.ossl.get(), &third.priv, &third.pub);
  key_pair* keys[3] = {&ossl_key(1024), &ossl_key(2048), &third};
  std::mt19937 g(12);
  for (int i = 0; i < 12; ++i) {
    key_pair& k = *keys[i % 3];
    const std::size_t len = static_cast<std::size_t>(EVP_PKEY_get_bits(k.ossl.get()) / 8);
    bytes m = ref::data(g, len);
    m[0] &= 0x3F;
    ASSERT_EQ(call(sc_rsa_public_block, k.pub, m), ref::pk_op(k.ossl.get(), 1, RSA_NO_PADDING, m)) << i;
    ASSERT_EQ(call(sc_rsa_private_block, k.priv, m), ref::pk_op(k.ossl.get(), 0, RSA_NO_PADDING, m)) << i;
  }
}

TEST(RsaInterop, SignaturesAndEncryptionCrossBothWays) {
  std::mt19937 g(4);
  sc_random rnd;
  ASSERT_EQ(sc_random_create(&rnd), VORN_OK);
  for (int bits : {1024, 2048}) {
    key_pair& k = ossl_key(bits);
    for (std::size_t n : {0u, 1u, 20u, 35u, 51u, static_cast<unsigned>(bits / 8 - 11)}) {
      const bytes data = ref::data(g, n);
      // Our signature (type 1) verifies in OpenSSL and is deterministic.
      const bytes sig = call(sc_rsa_private_encrypt, k.priv, data);
      EXPECT_EQ(sig, ref::pk_op(k.ossl.get(), 0, RSA_PKCS1_PADDING, data));
      EXPECT_EQ(ref::pk_op(k.ossl.get(), 1, RSA_PKCS1_PADDING, sig), data);
      // OpenSSL's signature opens with ours and passes the signature check.
      const bytes osig = ref::pk_op(k.ossl.get(), 0, RSA_PKCS1_PADDING, data);
      EXPECT_EQ(call(sc_rsa_public_decrypt, k.pub, osig), data);
      EXPECT_EQ(sc_rsa_check_signature(osig.data(), static_cast<std::uint32_t>(osig.size()), data.data(),
                                       static_cast<std::uint32_t>(n), &k.pub),
                VORN_OK);
      // Our encryption (type 2) opens in OpenSSL, and the other way round.
      bytes ct(256);
      std::uint32_t ctlen = 0;
      ASSERT_EQ(sc_rsa_public_encrypt(ct.data(), &ctlen, data.data(), static_cast<std::uint32_t>(n), &k.pub, &rnd), VORN_OK);
      ct.resize(ctlen);
      EXPECT_EQ(ctlen, static_cast<std::uint32_t>(bits / 8));
      EXPECT_EQ(ref::pk_op(k.ossl.get(), 3, RSA_PKCS1_PADDING, ct), data);
      const bytes oct = ref::pk_op(k.ossl.get(), 2, RSA_PKCS1_PADDING, data);
      EXPECT_EQ(call(sc_rsa_private_decrypt, k.priv, oct), data);
    }
  }
  sc_random_final(&rnd);
}

TEST(RsaPkcs1, FifteenBytesUnder1024BitKeyHaveFullNonzeroPadding) {
  key_pair& k = ossl_key(1024);
  sc_random rnd;
  ASSERT_EQ(sc_random_create(&rnd), VORN_OK);
  const bytes data = ref::hex("000102030405060708090a0b0c0d0e");
  bytes ct(128);
  std::uint32_t len = 0;
  ASSERT_EQ(sc_rsa_public_encrypt(ct.data(), &len, data.data(), 15, &k.pub, &rnd), VORN_OK);
  ASSERT_EQ(len, 128u);
  const bytes block = call(sc_rsa_private_block, k.priv, ct);
  ASSERT_EQ(block.size(), 128u);
  EXPECT_EQ(block[0], 0x00);
  EXPECT_EQ(block[1], 0x02);
  for (int i = 2; i < 112; ++i) EXPECT_NE(block[static_cast<std::size_t>(i)], 0) << i;
  EXPECT_EQ(block[112], 0x00);
  EXPECT_EQ(bytes(block.begin() + 113, block.end()), data);
  // Two encryptions of the same data differ (fresh padding).
  bytes ct2(128);
  ASSERT_EQ(sc_rsa_public_encrypt(ct2.data(), &len, data.data(), 15, &k.pub, &rnd), VORN_OK);
  EXPECT_NE(ct, ct2);
  sc_random_final(&rnd);
}

TEST(RsaPkcs1, ErrorCodes) {
  key_pair& k = ossl_key(1024);
  sc_random rnd;
  ASSERT_EQ(sc_random_init(&rnd), VORN_OK);
  bytes out(256);
  std::uint32_t len = 0;
  // Too long for type 2 / type 1: 0x0406; unseeded random: 0x0408.
  const bytes d117(117, 1), d118(118, 1);
  EXPECT_EQ(sc_rsa_public_encrypt(out.data(), &len, d118.data(), 118, &k.pub, &rnd), RSAERR_LEN);
  EXPECT_EQ(sc_rsa_public_encrypt(out.data(), &len, d117.data(), 117, &k.pub, &rnd), RSAERR_NEED_RANDOM);
  EXPECT_EQ(sc_rsa_public_encrypt(out.data(), &len, d117.data(), 117, &k.pub, nullptr), RSAERR_NEED_RANDOM);
  EXPECT_EQ(sc_rsa_private_encrypt(out.data(), &len, d118.data(), 118, &k.priv), RSAERR_LEN);
  // Input longer than the modulus, or not below it.
  const bytes b129(129, 0), ff(128, 0xFF);
  EXPECT_EQ(sc_rsa_public_decrypt(out.data(), &len, b129.data(), 129, &k.pub), RSAERR_LEN);
  EXPECT_EQ(sc_rsa_private_decrypt(out.data(), &len, b129.data(), 129, &k.priv), RSAERR_LEN);
  EXPECT_EQ(sc_rsa_public_block(out.data(), &len, ff.data(), 128, &k.pub), RSAERR_DATA);
  EXPECT_EQ(sc_rsa_private_block(out.data(), &len, ff.data(), 128, &k.priv), RSAERR_DATA);
  bytes n(k.pub.modulus + 128, k.pub.modulus + 256);
  EXPECT_EQ(sc_rsa_public_block(out.data(), &len, n.data(), 128, &k.pub), RSAERR_DATA);

  // Malformed type 1 blocks made with the raw private block.
  auto type1 = [&](const bytes& block) {
    const bytes sig = call(sc_rsa_private_block, k.priv, block);
    std::uint32_t l = 0;
    return sc_rsa_public_decrypt(out.data(), &l, sig.data(), static_cast<std::uint32_t>(sig.size()), &k.pub);
  };
  bytes good(128, 0xFF);
  good[0] = 0;
  good[1] = 1;
  good[117] = 0;  // 115 FF, 00, 10 data bytes
  EXPECT_EQ(type1(good), VORN_OK);
  bytes b = good;
  b[1] = 2;
  EXPECT_EQ(type1(b), RSAERR_DATA);  // not 00 01
  b = good;
  b[117] = 0xFF;
  b[127] = 0x55;
  EXPECT_EQ(type1(b), RSAERR_DATA);  // no 00 after the FF bytes
  b = good;
  b[50] = 0x17;
  EXPECT_EQ(type1(b), RSAERR_DATA);  // something other than 00 after the FF run
  b = bytes(128, 0x33);
  b[0] = 0;
  b[1] = 1;
  for (int i = 2; i < 9; ++i) b[static_cast<std::size_t>(i)] = 0xFF;
  b[9] = 0;  // only 7 FF bytes: 10 bytes of overhead
  EXPECT_EQ(type1(b), RSAERR_DATA);
  b[9] = 0xFF;
  b[10] = 0;  // 8 FF bytes: accepted
  EXPECT_EQ(type1(b), VORN_OK);

  // Malformed type 2 blocks made with the raw public block.
  auto type2 = [&](const bytes& block) {
    const bytes ct = call(sc_rsa_public_block, k.pub, block);
    std::uint32_t l = 0;
    return sc_rsa_private_decrypt(out.data(), &l, ct.data(), static_cast<std::uint32_t>(ct.size()), &k.priv);
  };
  bytes t2(128, 0x44);
  t2[0] = 0;
  t2[1] = 2;
  t2[100] = 0;
  EXPECT_EQ(type2(t2), VORN_OK);
  EXPECT_EQ(len = 0, 0u);
  b = t2;
  b[1] = 1;
  EXPECT_EQ(type2(b), RSAERR_DATA);
  b = t2;
  b[100] = 0x44;
  EXPECT_EQ(type2(b), RSAERR_DATA);  // no separating 00
  b = t2;
  b[9] = 0;
  EXPECT_EQ(type2(b), RSAERR_DATA);  // first 00 after only 7 padding bytes
  b[9] = 1;
  b[10] = 0;
  EXPECT_EQ(type2(b), VORN_OK);
}

TEST(RsaPkcs1, DataComesBackWithTheRightLength) {
  key_pair& k = ossl_key(1024);
  bytes t2(128, 0x44);
  t2[0] = 0;
  t2[1] = 2;
  t2[100] = 0;
  const bytes ct = call(sc_rsa_public_block, k.pub, t2);
  EXPECT_EQ(call(sc_rsa_private_decrypt, k.priv, ct), bytes(27, 0x44));
  // Via the cipher ids 27/28.
  bytes out(128);
  std::uint32_t len = 0;
  ASSERT_EQ(sc_decrypt(SC_ALG_RSA1024, &k.priv, 0, nullptr, ct.data(), 128, out.data(), &len), VORN_OK);
  EXPECT_EQ(bytes(out.begin(), out.begin() + len), bytes(27, 0x44));
  const bytes msg = ref::hex("48656c6c6f");
  ASSERT_EQ(sc_encrypt(SC_ALG_RSA1024, &k.pub, 0, nullptr, msg.data(), 5, out.data(), &len), VORN_OK);
  ASSERT_EQ(len, 128u);
  EXPECT_EQ(ref::pk_op(k.ossl.get(), 3, RSA_PKCS1_PADDING, out), msg);
}

TEST(RsaSignatureCheck, MismatchAndShortRecoveryAreRejected) {
  key_pair& k = ossl_key(2048);
  const bytes digest = ref::digest("SHA1", bytes{1, 2, 3});
  const bytes sig = call(sc_rsa_private_encrypt, k.priv, digest);
  EXPECT_EQ(sc_rsa_check_signature(sig.data(), 256, digest.data(), 20, &k.pub), VORN_OK);
  bytes other = digest;
  other[19] ^= 1;
  EXPECT_EQ(sc_rsa_check_signature(sig.data(), 256, other.data(), 20, &k.pub), CARDERR_SW_SIGNATURE);
  // A signature over a 4-byte prefix must not pass for the whole digest.
  const bytes prefix(digest.begin(), digest.begin() + 4);
  const bytes short_sig = call(sc_rsa_private_encrypt, k.priv, prefix);
  EXPECT_EQ(sc_rsa_check_signature(short_sig.data(), 256, digest.data(), 20, &k.pub), CARDERR_SW_SIGNATURE);
  // An empty recovery neither.
  const bytes empty_sig = call(sc_rsa_private_encrypt, k.priv, bytes());
  EXPECT_EQ(sc_rsa_check_signature(empty_sig.data(), 256, digest.data(), 20, &k.pub), CARDERR_SW_SIGNATURE);
  // A corrupted signature fails to decode.
  bytes bad = sig;
  bad[100] ^= 0x80;
  EXPECT_EQ(sc_rsa_check_signature(bad.data(), 256, digest.data(), 20, &k.pub), RSAERR_DATA);
}

TEST(RsaKeyRecords, InconsistentOrOversizedKeysAreRefused) {
  key_pair& k = ossl_key(1024);
  bytes out(256);
  std::uint32_t len = 0;
  const bytes m(100, 7);
  sc_rsa_public_key pub = k.pub;
  pub.bits = 4096;
  EXPECT_EQ(sc_rsa_public_block(out.data(), &len, m.data(), 100, &pub), RSAERR_MODULUS_LEN);
  pub = k.pub;
  pub.bits = 1000;  // modulus wider than its stated length
  EXPECT_EQ(sc_rsa_public_block(out.data(), &len, m.data(), 100, &pub), RSAERR_MODULUS_LEN);
  pub = k.pub;
  pub.modulus[255] &= 0xFE;  // even
  EXPECT_EQ(sc_rsa_public_block(out.data(), &len, m.data(), 100, &pub), RSAERR_MODULUS_LEN);
  sc_rsa_public_key zero{};
  zero.bits = 1024;
  EXPECT_EQ(sc_rsa_public_block(out.data(), &len, m.data(), 100, &zero), RSAERR_MODULUS_LEN);
  sc_rsa_private_key priv = k.priv;
  priv.prime[1][127] ^= 2;  // p q no longer the modulus
  EXPECT_EQ(sc_rsa_private_block(out.data(), &len, m.data(), 100, &priv), RSAERR_MODULUS_LEN);
  sc_rsa_private_key empty{};
  EXPECT_EQ(sc_rsa_private_decrypt(out.data(), &len, m.data(), 100, &empty), RSAERR_MODULUS_LEN);
  EXPECT_EQ(sc_rsa_public_block(nullptr, &len, m.data(), 100, &k.pub), CARDERR_BAD_ARG);
}

TEST(RsaKeyGeneration, KeysPassOpenSslChecksAndWork) {
  struct {
    unsigned bits;
    bool f4;
  } cases[] = {{508, false}, {1024, true}, {1025, true}, {2048, true}};
  for (const auto& c : cases) {
    sc_rsa_public_key pub;
    sc_rsa_private_key priv;
    ASSERT_EQ(sc_rsa_generate_keypair(c.bits, c.f4, &pub, &priv), VORN_OK) << c.bits;
    EXPECT_EQ(pub.bits, c.bits);
    ref::pkey key = ref::to_openssl(priv);
    EXPECT_EQ(EVP_PKEY_get_bits(key.get()), static_cast<int>(c.bits));
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
    EXPECT_EQ(EVP_PKEY_check(ctx), 1) << c.bits;  // primes, d, CRT values
    EVP_PKEY_CTX_free(ctx);
    const bytes e = c.f4 ? ref::hex("010001") : ref::hex("03");
    EXPECT_EQ(bytes(pub.exponent + 256 - e.size(), pub.exponent + 256), e);
    EXPECT_EQ(0, std::memcmp(pub.modulus, priv.modulus, 256));
    // p > q, as the records promise.
    EXPECT_GT(std::memcmp(priv.prime[0], priv.prime[1], 128), 0);
    const bytes data(20, 0x5A);
    bytes sig(256);
    std::uint32_t len = 0;
    ASSERT_EQ(sc_rsa_private_encrypt(sig.data(), &len, data.data(), 20, &priv), VORN_OK);
    sig.resize(len);
    EXPECT_EQ(ref::pk_op(key.get(), 1, RSA_PKCS1_PADDING, sig), data);
  }
}

TEST(RsaKeyGeneration, ModulusLengthLimits) {
  sc_rsa_public_key pub;
  sc_rsa_private_key priv;
  EXPECT_EQ(sc_rsa_generate_keypair(504, true, &pub, &priv), RSAERR_MODULUS_LEN);
  EXPECT_EQ(sc_rsa_generate_keypair(507, true, &pub, &priv), RSAERR_MODULUS_LEN);
  EXPECT_EQ(sc_rsa_generate_keypair(2049, true, &pub, &priv), RSAERR_MODULUS_LEN);
  EXPECT_EQ(sc_rsa_generate_keypair(4096, true, &pub, &priv), RSAERR_MODULUS_LEN);
  EXPECT_EQ(sc_rsa_generate_keypair(0, false, &pub, &priv), RSAERR_MODULUS_LEN);
  EXPECT_EQ(sc_rsa_generate_keypair(1024, true, nullptr, &priv), CARDERR_BAD_ARG);
}

}  // namespace
