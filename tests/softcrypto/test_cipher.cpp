// Symmetric ciphers: published vectors, the mode and length rules, and
// differential checks against OpenSSL for every id and mode, with and
// without the CPU's AES instructions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ossl_ref.h"
#include "softcrypto.h"

namespace {

using ref::bytes;
using ref::hex;

std::string PathName(const ::testing::TestParamInfo<bool>& p) { return p.param ? "cpu" : "portable"; }

bytes run(bool enc, std::uint8_t id, void* key, std::uint8_t mode, std::uint8_t* iv, const bytes& in) {
  bytes out(in.size());
  std::uint32_t outlen = 0xFFFF;
  vorn_rv rv = (enc ? sc_encrypt : sc_decrypt)(id, key, mode, iv, in.data(), static_cast<std::uint32_t>(in.size()),
                                               out.data(), &outlen);
  EXPECT_EQ(rv, VORN_OK);
  EXPECT_EQ(outlen, in.size());
  return out;
}

class CipherBothPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { saved_ = sc_set_cpu_extensions(GetParam()); }
  void TearDown() override { sc_set_cpu_extensions(saved_); }
  bool saved_ = true;
};

TEST_P(CipherBothPaths, AesPublishedVectors) {
  // FIPS 197 appendix C.1.
  bytes key = hex("000102030405060708090a0b0c0d0e0f");
  bytes pt = hex("00112233445566778899aabbccddeeff");
  EXPECT_EQ(run(true, SC_ALG_AES128, key.data(), SC_MODE_ECB, nullptr, pt), hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
  EXPECT_EQ(run(false, SC_ALG_AES128, key.data(), SC_MODE_ECB, nullptr, hex("69c4e0d86a7b0430d8cdb78070b4c55a")), pt);

  // SP 800-38A F.2.1 (CBC), F.3.7 (CFB8, first two bytes), F.3.13 (CFB128).
  key = hex("2b7e151628aed2a6abf7158809cf4f3c");
  const bytes iv0 = hex("000102030405060708090a0b0c0d0e0f");
  pt = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
  bytes iv = iv0;
  const bytes cbc = run(true, SC_ALG_AES128, key.data(), SC_MODE_CBC, iv.data(), pt);
  EXPECT_EQ(cbc, hex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"));
  EXPECT_EQ(iv, hex("5086cb9b507219ee95db113a917678b2"));  // last ciphertext block
  iv = iv0;
  const bytes cfb8 = run(true, SC_ALG_AES128, key.data(), SC_MODE_CFB8, iv.data(), hex("6bc1"));
  EXPECT_EQ(cfb8, hex("3b79"));
  EXPECT_EQ(iv, hex("02030405060708090a0b0c0d0e0f3b79"));  // register shifted by the two cipher bytes
  iv = iv0;
  const bytes cfb = run(true, SC_ALG_AES128, key.data(), SC_MODE_CFB, iv.data(), bytes(pt.begin(), pt.begin() + 16));
  EXPECT_EQ(cfb, hex("3b3fd92eb72dad20333449f8e83cfb4a"));
  EXPECT_EQ(iv, cfb);
}

TEST_P(CipherBothPaths, DesFamilyPublishedVectors) {
  bytes key = hex("133457799bbcdff1");
  EXPECT_EQ(run(true, SC_ALG_DES, key.data(), SC_MODE_ECB, nullptr, hex("0123456789abcdef")), hex("85e813540f0ab405"));
  key = hex("0123456789abcdef");
  EXPECT_EQ(run(true, SC_ALG_DES, key.data(), SC_MODE_ECB, nullptr, hex("4e6f772069732074")), hex("3fa40e8a984d4815"));
  EXPECT_EQ(run(false, SC_ALG_DES, key.data(), SC_MODE_ECB, nullptr, hex("3fa40e8a984d4815")), hex("4e6f772069732074"));
  // Parity bits are ignored.
  const bytes pt = hex("0011223344556677");
  bytes par_on = hex("0123456789abcdef"), par_off = hex("0022446688aaccee");
  EXPECT_EQ(run(true, SC_ALG_DES, par_off.data(), SC_MODE_ECB, nullptr, pt),
            run(true, SC_ALG_DES, par_on.data(), SC_MODE_ECB, nullptr, pt));
  // Three-key EDE, SP 800-67 example.
  key = hex("0123456789abcdef23456789abcdef01456789abcdef0123");
  EXPECT_EQ(run(true, SC_ALG_DES3, key.data(), SC_MODE_ECB, nullptr,
                hex("5468652071756663" "6b2062726f776e20" "666f78206a756d70")),
            hex("a826fd8ce53b855f" "cce21c8112256fe6" "68d5c05dd9b6b900"));
  // Two-key EDE equals three-key EDE with K3 = K1; with K1 = K2 it is single DES.
  bytes k2 = hex("0123456789abcdef23456789abcdef01");
  bytes k3 = hex("0123456789abcdef23456789abcdef010123456789abcdef");
  EXPECT_EQ(run(true, SC_ALG_DES2, k2.data(), SC_MODE_ECB, nullptr, pt),
            run(true, SC_ALG_DES3, k3.data(), SC_MODE_ECB, nullptr, pt));
  bytes same = hex("133457799bbcdff1133457799bbcdff1");
  EXPECT_EQ(run(true, SC_ALG_DES2, same.data(), SC_MODE_ECB, nullptr, hex("0123456789abcdef")), hex("85e813540f0ab405"));
}

TEST(CipherVectors, Rc2KeyExpansionWithEffectiveBits) {
  // RFC 2268 section 5.
  struct {
    const char* key;
    int bits;
    const char* pt;
    const char* ct;
  } v[] = {{"0000000000000000", 63, "0000000000000000", "ebb773f993278eff"},
           {"ffffffffffffffff", 64, "ffffffffffffffff", "278b27e42e2f0d49"},
           {"3000000000000000", 64, "1000000000000001", "30649edf9be7d2c2"},
           {"88", 64, "0000000000000000", "61a8a244adacccf0"},
           {"88bca90e90875a", 64, "0000000000000000", "6ccf4308974c267f"},
           {"88bca90e90875a7f0f79c384627bafb2", 64, "0000000000000000", "1a807d272bbe5db1"},
           {"88bca90e90875a7f0f79c384627bafb2", 128, "0000000000000000", "2269552ab0f85ca6"},
           {"88bca90e90875a7f0f79c384627bafb216f80a6f85920584c42fceb0be255daf1e", 129, "0000000000000000",
            "5b78d3a43dfff1f1"}};
  for (const auto& c : v) {
    const bytes key = hex(c.key);
    sc_rc2_key k;
    ASSERT_EQ(sc_rc2_set_key(&k, key.data(), static_cast<std::uint32_t>(key.size()), c.bits), VORN_OK);
    EXPECT_EQ(run(true, SC_ALG_RC2, &k, SC_MODE_ECB, nullptr, hex(c.pt)), hex(c.ct)) << c.key << "/" << c.bits;
    EXPECT_EQ(run(false, SC_ALG_RC2, &k, SC_MODE_ECB, nullptr, hex(c.ct)), hex(c.pt)) << c.key << "/" << c.bits;
  }
  // Effective bits below 1 mean 1024, above 1024 are capped.
  const bytes key = hex("88bca90e90875a7f0f79c384627bafb2");
  sc_rc2_key a, b, c;
  ASSERT_EQ(sc_rc2_set_key(&a, key.data(), 16, 0), VORN_OK);
  ASSERT_EQ(sc_rc2_set_key(&b, key.data(), 16, 1024), VORN_OK);
  ASSERT_EQ(sc_rc2_set_key(&c, key.data(), 16, 5000), VORN_OK);
  EXPECT_EQ(0, std::memcmp(a.k, b.k, sizeof a.k));
  EXPECT_EQ(0, std::memcmp(c.k, b.k, sizeof c.k));
  // Keys longer than 128 bytes use their first 128.
  const bytes longkey(200, 0x5a);
  ASSERT_EQ(sc_rc2_set_key(&a, longkey.data(), 200, 1024), VORN_OK);
  ASSERT_EQ(sc_rc2_set_key(&b, longkey.data(), 128, 1024), VORN_OK);
  EXPECT_EQ(0, std::memcmp(a.k, b.k, sizeof a.k));
  EXPECT_EQ(sc_rc2_set_key(&a, key.data(), 0, 64), CARDERR_BAD_ARG);
}

TEST(CipherVectors, Rc4KnownStreamsAndChainedCalls) {
  struct {
    const char* key;
    const char* pt;
    const char* ct;
  } v[] = {{"Key", "Plaintext", "bbf316e8d940af0ad3"},
           {"Wiki", "pedia", "1021bf0420"},
           {"Secret", "Attack at dawn", "45a01f645fc35b383552544b9bf5"}};
  for (const auto& c : v) {
    sc_rc4_state s;
    ASSERT_EQ(sc_rc4_set_key(&s, reinterpret_cast<const std::uint8_t*>(c.key), static_cast<std::uint32_t>(std::strlen(c.key))),
              VORN_OK);
    const bytes pt(c.pt, c.pt + std::strlen(c.pt));
    // Two calls continue the same stream; the mode byte is ignored.
    const bytes first(pt.begin(), pt.begin() + 3), rest(pt.begin() + 3, pt.end());
    bytes ct = run(true, SC_ALG_RC4, &s, 0, nullptr, first);
    const bytes ct2 = run(true, SC_ALG_RC4, &s, 77, nullptr, rest);
    ct.insert(ct.end(), ct2.begin(), ct2.end());
    EXPECT_EQ(ct, hex(c.ct)) << c.key;
  }
  sc_rc4_state s;
  EXPECT_EQ(sc_rc4_set_key(&s, reinterpret_cast<const std::uint8_t*>("x"), 0), CARDERR_BAD_ARG);
}

struct alg_case {
  std::uint8_t id;
  std::size_t keylen;
  std::size_t block;
  const char* ecb;
  const char* cbc;
  const char* cfb8;
  const char* cfb;
};

// For two-key EDE OpenSSL runs the equal three-key cipher with K3 = K1.
const alg_case kAlgs[] = {
    {SC_ALG_AES128, 16, 16, "AES-128-ECB", "AES-128-CBC", "AES-128-CFB8", "AES-128-CFB"},
    {SC_ALG_DES, 8, 8, "DES-ECB", "DES-CBC", "DES-CFB8", "DES-CFB"},
    {SC_ALG_DES2, 16, 8, "DES-EDE3-ECB", "DES-EDE3-CBC", "DES-EDE3-CFB8", "DES-EDE3-CFB"},
    {SC_ALG_DES3, 24, 8, "DES-EDE3-ECB", "DES-EDE3-CBC", "DES-EDE3-CFB8", "DES-EDE3-CFB"},
};

TEST_P(CipherBothPaths, EveryIdAndModeAgreesWithOpenSsl) {
  std::mt19937 g(99);
  for (const auto& a : kAlgs) {
    for (int round = 0; round < 40; ++round) {
      const bytes key = ref::data(g, a.keylen);
      bytes refkey = key;
      if (a.id == SC_ALG_DES2) refkey.insert(refkey.end(), key.begin(), key.begin() + 8);
      const bytes iv0 = ref::data(g, a.block);
      const std::size_t blocks = g() % 40;
      const bytes pt = ref::data(g, blocks * a.block);
      const bytes pt8 = ref::data(g, g() % 50);  // CFB8 takes any length
      struct {
        std::uint8_t mode;
        const char* name;
        const bytes& in;
      } modes[] = {{SC_MODE_ECB, a.ecb, pt}, {SC_MODE_CBC, a.cbc, pt}, {SC_MODE_CFB8, a.cfb8, pt8},
                   {SC_MODE_CFB, a.cfb, pt}};
      for (const auto& m : modes) {
        const bytes want = ref::cipher(m.name, refkey, m.mode == SC_MODE_ECB ? bytes() : iv0, m.in, true);
        bytes k = key, iv = iv0;
        const bytes ct = run(true, a.id, k.data(), m.mode, iv.data(), m.in);
        ASSERT_EQ(ct, want) << m.name << " len " << m.in.size();
        iv = iv0;
        bytes back = ct;  // in place
        std::uint32_t outlen = 0;
        ASSERT_EQ(sc_decrypt(a.id, k.data(), m.mode, iv.data(), back.data(), static_cast<std::uint32_t>(back.size()),
                             back.data(), &outlen),
                  VORN_OK);
        ASSERT_EQ(back, m.in) << m.name;
        ASSERT_EQ(ref::cipher(m.name, refkey, m.mode == SC_MODE_ECB ? bytes() : iv0, ct, false), m.in);
      }
    }
  }
}

TEST_P(CipherBothPaths, ChainedCallsContinueThroughTheIvBuffer) {
  std::mt19937 g(7);
  for (const auto& a : kAlgs) {
    const bytes key = ref::data(g, a.keylen);
    bytes refkey = key;
    if (a.id == SC_ALG_DES2) refkey.insert(refkey.end(), key.begin(), key.begin() + 8);
    const bytes iv0 = ref::data(g, a.block);
    const bytes pt = ref::data(g, a.block * 24);
    struct {
      std::uint8_t mode;
      const char* name;
    } modes[] = {{SC_MODE_CBC, a.cbc}, {SC_MODE_CFB8, a.cfb8}, {SC_MODE_CFB, a.cfb}};
    for (const auto& m : modes) {
      bytes k = key, iv = iv0;
      const std::size_t cut = a.block * 9;  // a multiple of the block for every mode
      bytes ct = run(true, a.id, k.data(), m.mode, iv.data(), bytes(pt.begin(), pt.begin() + cut));
      const bytes tail = run(true, a.id, k.data(), m.mode, iv.data(), bytes(pt.begin() + cut, pt.end()));
      ct.insert(ct.end(), tail.begin(), tail.end());
      EXPECT_EQ(ct, ref::cipher(m.name, refkey, iv0, pt, true)) << m.name;
      if (m.mode != SC_MODE_CFB8) {
        EXPECT_EQ(iv, bytes(ct.end() - static_cast<long>(a.block), ct.end())) << m.name;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, CipherBothPaths, ::testing::Values(false, true),
                         PathName);

TEST(CipherDifferential, Rc2AndRc4AgreeWithOpenSsl) {
  std::mt19937 g(5);
  for (int round = 0; round < 60; ++round) {
    const bytes key = ref::data(g, 1 + g() % 64);
    const int bits = 1 + static_cast<int>(g() % 1024);
    sc_rc2_key k;
    ASSERT_EQ(sc_rc2_set_key(&k, key.data(), static_cast<std::uint32_t>(key.size()), bits), VORN_OK);
    const bytes iv0 = ref::data(g, 8);
    const bytes pt = ref::data(g, 8 * (g() % 30));
    bytes iv = iv0;
    EXPECT_EQ(run(true, SC_ALG_RC2, &k, SC_MODE_ECB, nullptr, pt), ref::cipher("RC2-ECB", key, {}, pt, true, bits));
    const bytes ct = run(true, SC_ALG_RC2, &k, SC_MODE_CBC, iv.data(), pt);
    EXPECT_EQ(ct, ref::cipher("RC2-CBC", key, iv0, pt, true, bits)) << "bits " << bits;
    iv = iv0;
    EXPECT_EQ(run(false, SC_ALG_RC2, &k, SC_MODE_CBC, iv.data(), ct), pt);

    sc_rc4_state s;
    ASSERT_EQ(sc_rc4_set_key(&s, key.data(), static_cast<std::uint32_t>(key.size())), VORN_OK);
    const bytes msg = ref::data(g, g() % 2000);
    EXPECT_EQ(run(true, SC_ALG_RC4, &s, 0, nullptr, msg), ref::cipher("RC4", key, {}, msg, true));
  }
}

TEST(CipherRules, IdsModesLengthsAndMissingParameters) {
  std::uint8_t key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  std::uint8_t iv[16] = {};
  std::uint8_t buf[64] = {};
  std::uint32_t outlen = 0;
  // Ids without a cipher.
  for (std::uint8_t id : {0, 2, 12, 51, 52, 0x21, 0x22, 0x23, 0xFF})
    EXPECT_EQ(sc_encrypt(id, key, SC_MODE_ECB, nullptr, buf, 16, buf, &outlen), CARDERR_BAD_ALGORITHM) << int(id);
  // Lengths that are not whole blocks, except in CFB8.
  EXPECT_EQ(sc_encrypt(SC_ALG_AES128, key, SC_MODE_ECB, nullptr, buf, 8, buf, &outlen), CARDERR_BAD_LENGTH);
  EXPECT_EQ(sc_encrypt(SC_ALG_AES128, key, SC_MODE_CBC, iv, buf, 24, buf, &outlen), CARDERR_BAD_LENGTH);
  EXPECT_EQ(sc_decrypt(SC_ALG_AES128, key, SC_MODE_CFB, iv, buf, 17, buf, &outlen), CARDERR_BAD_LENGTH);
  EXPECT_EQ(sc_encrypt(SC_ALG_DES3, key, SC_MODE_ECB, nullptr, buf, 12, buf, &outlen), CARDERR_BAD_LENGTH);
  EXPECT_EQ(sc_encrypt(SC_ALG_DES2, key, SC_MODE_CBC, iv, buf, 7, buf, &outlen), CARDERR_BAD_LENGTH);
  EXPECT_EQ(sc_encrypt(SC_ALG_DES, key, SC_MODE_CFB8, iv, buf, 7, buf, &outlen), VORN_OK);
  EXPECT_EQ(outlen, 7u);
  EXPECT_EQ(sc_encrypt(SC_ALG_AES128, key, SC_MODE_CFB8, iv, buf, 5, buf, &outlen), VORN_OK);
  EXPECT_EQ(outlen, 5u);
  // Modes 1 to 3 need an IV.
  for (std::uint8_t mode : {SC_MODE_CBC, SC_MODE_CFB8, SC_MODE_CFB})
    EXPECT_EQ(sc_encrypt(SC_ALG_DES, key, mode, nullptr, buf, 8, buf, &outlen), CARDERR_BAD_ARG) << int(mode);
  // Missing key, buffers or length pointer.
  EXPECT_EQ(sc_encrypt(SC_ALG_AES128, nullptr, SC_MODE_ECB, nullptr, buf, 16, buf, &outlen), CARDERR_BAD_ARG);
  EXPECT_EQ(sc_encrypt(SC_ALG_AES128, key, SC_MODE_ECB, nullptr, nullptr, 16, buf, &outlen), CARDERR_BAD_ARG);
  EXPECT_EQ(sc_encrypt(SC_ALG_AES128, key, SC_MODE_ECB, nullptr, buf, 16, nullptr, &outlen), CARDERR_BAD_ARG);
  EXPECT_EQ(sc_encrypt(SC_ALG_AES128, key, SC_MODE_ECB, nullptr, buf, 16, buf, nullptr), CARDERR_BAD_ARG);
  // An unknown mode is refused and leaves the output alone (never a silent success).
  std::uint8_t out[16];
  std::memset(out, 0xEE, sizeof out);
  outlen = 99;
  EXPECT_EQ(sc_encrypt(SC_ALG_AES128, key, 5, iv, buf, 16, out, &outlen), CARDERR_BAD_ALGORITHM);
  EXPECT_EQ(sc_encrypt(SC_ALG_DES, key, 0, iv, buf, 8, out, &outlen), CARDERR_BAD_ALGORITHM);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(outlen, 99u);
  // RC2 knows CBC and ECB only.
  sc_rc2_key rc2;
  ASSERT_EQ(sc_rc2_set_key(&rc2, key, 16, 128), VORN_OK);
  EXPECT_EQ(sc_encrypt(SC_ALG_RC2, &rc2, SC_MODE_CFB8, iv, buf, 8, buf, &outlen), CARDERR_BAD_ALGORITHM);
  EXPECT_EQ(sc_encrypt(SC_ALG_RC2, &rc2, SC_MODE_CFB, iv, buf, 8, buf, &outlen), CARDERR_BAD_ALGORITHM);
  EXPECT_EQ(sc_encrypt(SC_ALG_RC2, &rc2, SC_MODE_ECB, nullptr, buf, 12, buf, &outlen), CARDERR_BAD_LENGTH);
  // Zero-length input succeeds with nothing written.
  EXPECT_EQ(sc_encrypt(SC_ALG_DES3, key, SC_MODE_CBC, iv, nullptr, 0, nullptr, &outlen), VORN_OK);
  EXPECT_EQ(outlen, 0u);
}

TEST(CipherOpenSslAes, SelectorsModesAndRules) {
  std::mt19937 g(11);
  for (std::uint8_t sel : {1, 2, 0}) {
    const std::size_t klen = sel == 1 ? 16 : 32;
    const bytes key = ref::data(g, klen), iv = ref::data(g, 16), pt = ref::data(g, 16 * 9);
    const char* ecb = sel == 1 ? "AES-128-ECB" : "AES-256-ECB";
    const char* cbc = sel == 1 ? "AES-128-CBC" : "AES-256-CBC";
    bytes out(pt.size()), back(pt.size());
    std::uint32_t n = 0;
    ASSERT_EQ(sc_ossl_aes_encrypt(sel, key.data(), SC_MODE_ECB, nullptr, pt.data(), 144, out.data(), &n), VORN_OK);
    EXPECT_EQ(n, 144u);
    EXPECT_EQ(out, ref::cipher(ecb, key, {}, pt, true));
    ASSERT_EQ(sc_ossl_aes_decrypt(sel, key.data(), SC_MODE_ECB, nullptr, out.data(), 144, back.data(), &n), VORN_OK);
    EXPECT_EQ(back, pt);
    bytes ivc = iv;
    ASSERT_EQ(sc_ossl_aes_encrypt(sel, key.data(), SC_MODE_CBC, ivc.data(), pt.data(), 144, out.data(), &n), VORN_OK);
    EXPECT_EQ(out, ref::cipher(cbc, key, iv, pt, true));
    EXPECT_EQ(ivc, iv);  // not updated
    ASSERT_EQ(sc_ossl_aes_decrypt(sel, key.data(), SC_MODE_CBC, ivc.data(), out.data(), 144, back.data(), &n), VORN_OK);
    EXPECT_EQ(back, pt);
  }
  std::uint8_t key[32] = {}, buf[32] = {};
  std::uint32_t n = 0;
  EXPECT_EQ(sc_ossl_aes_encrypt(1, key, SC_MODE_ECB, nullptr, buf, 20, buf, &n), CARDERR_BAD_LENGTH);
  EXPECT_EQ(sc_ossl_aes_encrypt(1, key, SC_MODE_CBC, nullptr, buf, 16, buf, &n), CARDERR_BAD_ARG);
  EXPECT_EQ(sc_ossl_aes_decrypt(2, key, SC_MODE_CFB, buf, buf, 16, buf, &n), CARDERR_BAD_ALGORITHM);
}

}  // namespace
