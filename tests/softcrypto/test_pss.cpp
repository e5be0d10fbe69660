// EMSA-PSS and MGF1: the published RSASSA-PSS examples (keys of 1024, 1025
// and 1026 bits, so the encoding is once a whole block and once a block with
// a leading zero byte), interop with OpenSSL's PSS both ways, refused
// encodings, parameter errors, and the DigestInfo prefixes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "ossl_ref.h"
#include "rsa_ref.h"
#include "softcrypto.h"

namespace {

using ref::bytes;
using ref::hex;

std::uint32_t u32(std::size_t n) { return static_cast<std::uint32_t>(n); }
std::uint32_t em_len_of(std::uint32_t bits) { return (bits - 1 + 7) / 8; }

sc_rsa_public_key public_key(const bytes& n, const bytes& e, std::uint16_t bits) {
  sc_rsa_public_key k{};
  k.bits = bits;
  std::memcpy(k.modulus + SC_RSA_MAX_LEN - n.size(), n.data(), n.size());
  std::memcpy(k.exponent + SC_RSA_MAX_LEN - e.size(), e.data(), e.size());
  return k;
}

// The raw public operation, then em as the header describes: the k-byte block,
// less its leading zero byte when em is one byte shorter.
bytes recover_em(const sc_rsa_public_key& key, const bytes& sig) {
  bytes block(SC_RSA_MAX_LEN);
  std::uint32_t len = 0;
  EXPECT_EQ(sc_rsa_public_block(block.data(), &len, sig.data(), u32(sig.size()), &key), VORN_OK);
  block.resize(len);
  if (em_len_of(key.bits) == len - 1) {
    EXPECT_EQ(block[0], 0) << "leading byte of a " << key.bits << "-bit block";
    block.erase(block.begin());
  }
  return block;
}

bytes sha(std::uint8_t id, const bytes& m) {
  bytes out(SC_DIGEST_MAX);
  std::uint32_t len = u32(out.size());
  EXPECT_EQ(sc_digest(id, m.data(), u32(m.size()), out.data(), &len), VORN_OK);
  out.resize(len);
  return out;
}

// RSASSA-PSS examples of the PKCS#1 v2.1 test vectors (SHA-1, MGF1-SHA-1,
// 20-byte salts).
struct pss_vector {
  const char* name;
  std::uint16_t bits;
  const char* n;
  const char* msg;
  const char* salt;
  const char* sig;
};
const pss_vector kVectors[] = {
    {"1.1", 1024,
     "a56e4a0e701017589a5187dc7ea841d156f2ec0e36ad52a44dfeb1e61f7ad991d8c51056ffedb162b4c0f283a12a88a394dff526ab72"
     "91cbb307ceabfce0b1dfd5cd9508096d5b2b8b6df5d671ef6377c0921cb23c270a70e2598e6ff89d19f105acc2d3f0cb35f29280e138"
     "6b6f64c4ef22e1e1f20d0ce8cffb2249bd9a2137",
     "cdc87da223d786df3b45e0bbbc721326d1ee2af806cc315475cc6f0d9c66e1b62371d45ce2392e1ac92844c310102f156a0d8d52c1f4"
     "c40ba3aa65095786cb769757a6563ba958fed0bcc984e8b517a3d5f515b23b8a41e74aa867693f90dfb061a6e86dfaaee64472c00e5f"
     "20945729cbebe77f06ce78e08f4098fba41f9d6193c0317e8b60d4b6084acb42d29e3808a3bc372d85e331170fcbf7cc72d0b71c2966"
     "48b3a4d10f416295d0807aa625cab2744fd9ea8fd223c42537029828bd16be02546f130fd2e33b936d2676e08aed1b73318b750a0167"
     "d0",
     "dee959c7e06411361420ff80185ed57f3e6776af",
     "9074308fb598e9701b2294388e52f971faac2b60a5145af185df5287b5ed2887e57ce7fd44dc8634e407c8e0e4360bc226f3ec227f9d"
     "9e54638e8d31f5051215df6ebb9c2f9579aa77598a38f914b5b9c1bd83c4e2f9f382a0d0aa3542ffee65984a601bc69eb28deb27dca1"
     "2c82c2d4c3f66cd500f1ff2b994d8a4e30cbb33c"},
    {"1.4", 1024,
     "a56e4a0e701017589a5187dc7ea841d156f2ec0e36ad52a44dfeb1e61f7ad991d8c51056ffedb162b4c0f283a12a88a394dff526ab72"
     "91cbb307ceabfce0b1dfd5cd9508096d5b2b8b6df5d671ef6377c0921cb23c270a70e2598e6ff89d19f105acc2d3f0cb35f29280e138"
     "6b6f64c4ef22e1e1f20d0ce8cffb2249bd9a2137",
     "bc656747fa9eafb3f0", "056f00985de14d8ef5cea9e82f8c27bef720335e",
     "4609793b23e9d09362dc21bb47da0b4f3a7622649a47d464019b9aeafe53359c178c91cd58ba6bcb78be0346a7bc637f4b873d4bab38"
     "ee661f199634c547a1ad8442e03da015b136e543f7ab07c0c13e4225b8de8cce25d4f6eb8400f81f7e1833b7ee6e334d370964ca79fd"
     "b872b4d75223b5eeb08101591fb532d155a6de87"},
    {"2.1", 1025,
     "01d40c1bcf97a68ae7cdbd8a7bf3e34fa19dcca4ef75a47454375f94514d88fed006fb829f8419ff87d6315da68a1ff3a0938e9abb34"
     "64011c303ad99199cf0c7c7a8b477dce829e8844f625b115e5e9c4a59cf8f8113b6834336a2fd2689b472cbb5e5cabe674350c59b6c1"
     "7e176874fb42f8fc3d176a017edc61fd326c4b33c9",
     "daba032066263faedb659848115278a52c44faa3a76f37515ed336321072c40a9d9b53bc05014078adf520875146aae70ff060226dcb"
     "7b1f1fc27e9360",
     "57bf160bcb02bb1dc7280cf0458530b7d2832ff7",
     "014c5ba5338328ccc6e7a90bf1c0ab3fd606ff4796d3c12e4b639ed9136a5fec6c16d8884bdd99cfdc521456b0742b736868cf90de09"
     "9adb8d5ffd1deff39ba4007ab746cefdb22d7df0e225f54627dc65466131721b90af445363a8358b9f607642f78fab0ab0f43b7168d6"
     "4bae70d8827848d8ef1e421c5754ddf42c2589b5b3"},
    {"3.1", 1026,
     "02f246ef451ed3eebb9a310200cc25859c048e4be798302991112eb68ce6db674e280da21feded1ae74880ca522b18db249385012827"
     "c515f0e466a1ffa691d98170574e9d0eadb087586ca48933da3cc953d95bd0ed50de10ddcb6736107d6c831c7f663e833ca4c097e700"
     "ce0fb945f88fb85fe8e5a773172565b914a471a443",
     "594b37333bbb2c84524a87c1a01f75fcec0e3256f108e38dca36d70d0057", "f31ad6c8cf89df78ed77feacbcc2f8b0a8e4cfaa",
     "0088b135fb1794b6b96c4a3e678197f8cac52b64b2fe907d6f27de761124964a99a01a882740ecfaed6c01a47464bb05182313c01338"
     "a8cd097214cd68ca103bd57d3bc9e816213e61d784f182467abf8a01cf253e99a156eaa8e3e1f90e3c6e4e3aa2d83ed0345b89fafc9c"
     "26077c14b6ac51454fa26e446e3a2f153b2b16797f"},
};

TEST(Pss, PublishedExamplesEncodeExactlyAndVerify) {
  for (const auto& v : kVectors) {
    const sc_rsa_public_key key = public_key(hex(v.n), hex("010001"), v.bits);
    const bytes em_want = recover_em(key, hex(v.sig));
    const bytes mhash = sha(SC_ALG_SHA1, hex(v.msg));
    const bytes salt = hex(v.salt);
    ASSERT_EQ(em_want.size(), em_len_of(v.bits)) << v.name;

    bytes em(em_want.size());
    ASSERT_EQ(sc_pss_encode_salt(SC_ALG_SHA1, SC_ALG_SHA1, mhash.data(), 20, 20, v.bits, em.data(), u32(em.size()),
                                 salt.data()),
              VORN_OK);
    EXPECT_EQ(em, em_want) << v.name;

    auto verify = [&](const bytes& e, const bytes& h, std::uint32_t slen) {
      return sc_pss_verify(SC_ALG_SHA1, SC_ALG_SHA1, h.data(), 20, slen, v.bits, e.data(), u32(e.size()));
    };
    EXPECT_EQ(verify(em_want, mhash, 20), VORN_OK) << v.name;
    EXPECT_EQ(verify(em_want, mhash, SC_PSS_SALT_ANY), VORN_OK) << v.name;
    EXPECT_EQ(verify(em_want, mhash, 19), CARDERR_SW_SIGNATURE) << v.name;
    EXPECT_EQ(verify(em_want, mhash, 21), CARDERR_SW_SIGNATURE) << v.name;
    EXPECT_EQ(verify(em_want, mhash, 0), CARDERR_SW_SIGNATURE) << v.name;
    bytes other = mhash;
    other[19] ^= 1;
    EXPECT_EQ(verify(em_want, other, 20), CARDERR_SW_SIGNATURE) << v.name;
    // Any changed byte of the encoding is refused: masked DB, H, trailer.
    for (std::size_t i : {std::size_t{0}, std::size_t{40}, em_want.size() - 21, em_want.size() - 2, em_want.size() - 1}) {
      bytes bad = em_want;
      bad[i] ^= 0x01;
      EXPECT_EQ(verify(bad, mhash, SC_PSS_SALT_ANY), CARDERR_SW_SIGNATURE) << v.name << " byte " << i;
    }
    // A top bit above the modulus length set in the first byte (1025 bits:
    // em has 1024 bits, none above).
    bytes top = em_want;
    top[0] |= 0x80;
    EXPECT_EQ(verify(top, mhash, 20), v.bits == 1025 ? VORN_OK : CARDERR_SW_SIGNATURE) << v.name;
  }
}

// Encodings whose structure is wrong although H matches the masked block:
// built by hand with our MGF1 so only the named fault is present.
TEST(Pss, HandBuiltFaultsAreRefused) {
  const std::uint32_t bits = 1024, em_len = em_len_of(bits), db_len = em_len - 33;
  const bytes mhash = sha(SC_ALG_SHA256, {1, 2, 3});
  auto build = [&](std::uint32_t salt_len, std::uint8_t sep, std::uint8_t pad_byte) {
    const bytes salt(salt_len, 0x5A);
    bytes mprime(8, 0);
    mprime.insert(mprime.end(), mhash.begin(), mhash.end());
    mprime.insert(mprime.end(), salt.begin(), salt.end());
    const bytes h = sha(SC_ALG_SHA256, mprime);
    bytes db(db_len, 0);
    db[0] = pad_byte;
    db[db_len - salt_len - 1] = sep;
    std::copy(salt.begin(), salt.end(), db.begin() + (db_len - salt_len));
    bytes mask(db_len);
    EXPECT_EQ(sc_mgf1(SC_ALG_SHA256, h.data(), 32, mask.data(), db_len), VORN_OK);
    for (std::uint32_t i = 0; i < db_len; ++i) db[i] ^= mask[i];
    db[0] &= 0x7F;
    db.insert(db.end(), h.begin(), h.end());
    db.push_back(0xBC);
    return db;
  };
  auto verify = [&](const bytes& em, std::uint32_t slen) {
    return sc_pss_verify(SC_ALG_SHA256, SC_ALG_SHA256, mhash.data(), 32, slen, bits, em.data(), em_len);
  };
  EXPECT_EQ(verify(build(32, 0x01, 0x00), 32), VORN_OK);
  EXPECT_EQ(verify(build(0, 0x01, 0x00), 0), VORN_OK);
  EXPECT_EQ(verify(build(0, 0x01, 0x00), SC_PSS_SALT_ANY), VORN_OK);
  EXPECT_EQ(verify(build(32, 0x02, 0x00), 32), CARDERR_SW_SIGNATURE);           // separator not 01
  EXPECT_EQ(verify(build(32, 0x02, 0x00), SC_PSS_SALT_ANY), CARDERR_SW_SIGNATURE);
  EXPECT_EQ(verify(build(32, 0x01, 0x01), 32), CARDERR_SW_SIGNATURE);           // nonzero padding
  EXPECT_EQ(verify(build(32, 0x00, 0x00), SC_PSS_SALT_ANY), CARDERR_SW_SIGNATURE);  // no separator at all
}

struct key_pair {
  sc_rsa_private_key priv;
  sc_rsa_public_key pub;
  ref::pkey ossl;
};

key_pair& ossl_key(int bits) {
  static key_pair k1025, k2048;
  key_pair& k = bits == 1025 ? k1025 : k2048;
  if (!k.ossl) {
    k.ossl = ref::openssl_keygen(bits);
    ref::from_openssl(k.ossl.get(), &k.priv, &k.pub);
  }
  return k;
}

const char* md_name(std::uint8_t id) {
  return id == SC_ALG_SHA1 ? "SHA1" : id == SC_ALG_SHA256 ? "SHA256" : id == SC_ALG_SHA384 ? "SHA384" : "SHA512";
}

// OpenSSL PSS signature over a digest; salt_len -1 = the digest length.
bytes ossl_pss_sign(EVP_PKEY* key, std::uint8_t id, std::uint8_t mgf, int salt_len, const bytes& mhash) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  bytes sig(512);
  std::size_t len = sig.size();
  bool ok = EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) == 1 &&
            EVP_PKEY_CTX_set_signature_md(ctx, EVP_get_digestbyname(md_name(id))) == 1 &&
            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_get_digestbyname(md_name(mgf))) == 1 &&
            EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, salt_len) == 1 &&
            EVP_PKEY_sign(ctx, sig.data(), &len, mhash.data(), mhash.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  EXPECT_TRUE(ok);
  sig.resize(ok ? len : 0);
  return sig;
}

bool ossl_pss_verify(EVP_PKEY* key, std::uint8_t id, std::uint8_t mgf, int salt_len, const bytes& mhash,
                     const bytes& sig) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  bool ok = EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) == 1 &&
            EVP_PKEY_CTX_set_signature_md(ctx, EVP_get_digestbyname(md_name(id))) == 1 &&
            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_get_digestbyname(md_name(mgf))) == 1 &&
            EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, salt_len) == 1 &&
            EVP_PKEY_verify(ctx, sig.data(), sig.size(), mhash.data(), mhash.size()) == 1;
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

// Our encoding under the raw private operation verifies in OpenSSL, and
// OpenSSL's PSS signatures verify here, for every hash, MGF1 with the same or
// another hash, salts of 0, the digest length and the largest that fits, on a
// 2048-bit key and a 1025-bit key (encoding one byte shorter than the block).
TEST(Pss, InteropWithOpenSslBothWays) {
  std::mt19937 g(15);
  struct {
    std::uint8_t id, mgf;
  } hashes[] = {{SC_ALG_SHA1, SC_ALG_SHA1},     {SC_ALG_SHA256, SC_ALG_SHA256}, {SC_ALG_SHA384, SC_ALG_SHA384},
                {SC_ALG_SHA512, SC_ALG_SHA512}, {SC_ALG_SHA256, SC_ALG_SHA1},   {SC_ALG_SHA512, SC_ALG_SHA256}};
  for (int bits : {2048, 1025}) {
    key_pair& k = ossl_key(bits);
    const std::uint32_t mod_bits = k.pub.bits, em_len = em_len_of(mod_bits), klen = (mod_bits + 7) / 8;
    ASSERT_EQ(mod_bits, static_cast<std::uint32_t>(bits));
    for (const auto& h : hashes) {
      const std::uint32_t hlen = sc_digest_size(h.id);
      const bytes mhash = sha(h.id, ref::data(g, 100));
      for (std::uint32_t slen : {0u, std::min(hlen, em_len - hlen - 2), em_len - hlen - 2}) {
        SCOPED_TRACE(testing::Message() << bits << " bits, " << md_name(h.id) << "/" << md_name(h.mgf) << ", salt "
                                        << slen);
        // Ours, signed with the raw private block.
        bytes block(klen, 0);
        ASSERT_EQ(sc_pss_encode(h.id, h.mgf, mhash.data(), hlen, slen, mod_bits, block.data() + (klen - em_len),
                                em_len),
                  VORN_OK);
        bytes sig(klen);
        std::uint32_t sig_len = 0;
        ASSERT_EQ(sc_rsa_private_block(sig.data(), &sig_len, block.data(), klen, &k.priv), VORN_OK);
        EXPECT_TRUE(ossl_pss_verify(k.ossl.get(), h.id, h.mgf, static_cast<int>(slen), mhash, sig));
        EXPECT_TRUE(ossl_pss_verify(k.ossl.get(), h.id, h.mgf, RSA_PSS_SALTLEN_AUTO, mhash, sig));
        // Two encodings of the same digest differ in their salt.
        if (slen > 0) {
          bytes again(em_len);
          ASSERT_EQ(sc_pss_encode(h.id, h.mgf, mhash.data(), hlen, slen, mod_bits, again.data(), em_len), VORN_OK);
          EXPECT_NE(again, bytes(block.begin() + (klen - em_len), block.end()));
        }

        // OpenSSL's, checked here.
        const bytes theirs = ossl_pss_sign(k.ossl.get(), h.id, h.mgf, static_cast<int>(slen), mhash);
        const bytes em = recover_em(k.pub, theirs);
        ASSERT_EQ(em.size(), em_len);
        auto verify = [&](std::uint32_t s, std::uint8_t mgf) {
          return sc_pss_verify(h.id, mgf, mhash.data(), hlen, s, mod_bits, em.data(), em_len);
        };
        EXPECT_EQ(verify(slen, h.mgf), VORN_OK);
        EXPECT_EQ(verify(SC_PSS_SALT_ANY, h.mgf), VORN_OK);
        EXPECT_EQ(verify(slen == 0 ? 1 : slen - 1, h.mgf), CARDERR_SW_SIGNATURE);
        EXPECT_EQ(verify(slen, h.mgf == SC_ALG_SHA1 ? SC_ALG_SHA256 : SC_ALG_SHA1), CARDERR_SW_SIGNATURE);
      }
    }
  }
}

TEST(Pss, ParameterErrors) {
  const bytes h32(32, 7), h64(64, 7);
  const std::uint8_t salt[64] = {};
  bytes em(260, 0xEE);  // room for every em_len passed below
  auto enc = [&](std::uint8_t id, std::uint8_t mgf, const bytes& h, std::uint32_t hlen, std::uint32_t slen,
                 std::uint32_t bits, std::uint8_t* out, std::uint32_t len, const std::uint8_t* s) {
    std::memset(em.data(), 0xEE, em.size());
    return sc_pss_encode_salt(id, mgf, h.data(), hlen, slen, bits, out, len, s);
  };
  struct {
    const char* what;
    vorn_rv rv;
  } cases[] = {
      {"MD5 message hash", enc(SC_ALG_MD5, SC_ALG_SHA1, h32, 16, 0, 1024, em.data(), 128, salt)},
      {"unknown MGF1 hash", enc(SC_ALG_SHA256, 0x26, h32, 32, 0, 1024, em.data(), 128, salt)},
      {"cipher id", enc(SC_ALG_AES128, SC_ALG_SHA1, h32, 32, 0, 1024, em.data(), 128, salt)},
      {"digest length", enc(SC_ALG_SHA256, SC_ALG_SHA256, h32, 31, 0, 1024, em.data(), 128, salt)},
      {"em length", enc(SC_ALG_SHA256, SC_ALG_SHA256, h32, 32, 0, 1024, em.data(), 127, salt)},
      {"em length 1025", enc(SC_ALG_SHA256, SC_ALG_SHA256, h32, 32, 0, 1025, em.data(), 129, salt)},
      {"modulus too short", enc(SC_ALG_SHA1, SC_ALG_SHA1, h32, 20, 0, 8, em.data(), 1, salt)},
      {"modulus too long", enc(SC_ALG_SHA1, SC_ALG_SHA1, h32, 20, 0, 4096, em.data(), 128, salt)},
      {"salt one too long", enc(SC_ALG_SHA512, SC_ALG_SHA512, h64, 64, 63, 1024, em.data(), 128, salt)},
      {"salt any", enc(SC_ALG_SHA256, SC_ALG_SHA256, h32, 32, SC_PSS_SALT_ANY, 1024, em.data(), 128, salt)},
      {"no salt bytes", enc(SC_ALG_SHA256, SC_ALG_SHA256, h32, 32, 5, 1024, em.data(), 128, nullptr)},
      {"no digest", sc_pss_encode_salt(SC_ALG_SHA1, SC_ALG_SHA1, nullptr, 20, 0, 1024, em.data(), 128, salt)},
      {"no output", enc(SC_ALG_SHA1, SC_ALG_SHA1, h32, 20, 0, 1024, nullptr, 128, salt)},
  };
  const vorn_rv want[] = {CARDERR_BAD_HASH,   CARDERR_BAD_HASH,   CARDERR_BAD_HASH,   CARDERR_BAD_LENGTH,
                          CARDERR_BAD_LENGTH, CARDERR_BAD_LENGTH, CARDERR_BAD_LENGTH, CARDERR_BAD_LENGTH,
                          CARDERR_BAD_LENGTH, CARDERR_BAD_LENGTH, CARDERR_BAD_ARG,    CARDERR_BAD_ARG,
                          CARDERR_BAD_ARG};
  static_assert(std::size(cases) == std::size(want));
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].rv, want[i]) << cases[i].what;

  // A failed encoding leaves em zeroed; the largest salt that fits works.
  EXPECT_EQ(enc(SC_ALG_SHA512, SC_ALG_SHA512, h64, 64, 63, 1024, em.data(), 128, salt), CARDERR_BAD_LENGTH);
  EXPECT_EQ(bytes(em.begin(), em.begin() + 128), bytes(128, 0));
  EXPECT_EQ(em[128], 0xEE) << "written past em_len";
  EXPECT_EQ(enc(SC_ALG_SHA512, SC_ALG_SHA512, h64, 64, 62, 1024, em.data(), 128, salt), VORN_OK);
  EXPECT_EQ(sc_pss_verify(SC_ALG_SHA512, SC_ALG_SHA512, h64.data(), 64, 62, 1024, em.data(), 128), VORN_OK);
  // No salt: a null salt pointer is fine.
  EXPECT_EQ(sc_pss_encode_salt(SC_ALG_SHA1, SC_ALG_SHA1, h64.data(), 20, 0, 1024, em.data(), 128, nullptr), VORN_OK);
  EXPECT_EQ(sc_pss_verify(SC_ALG_SHA1, SC_ALG_SHA1, h64.data(), 20, 0, 1024, em.data(), 128), VORN_OK);
  // The verifier has the same parameter checks.
  EXPECT_EQ(sc_pss_verify(SC_ALG_SHA512, SC_ALG_SHA512, h64.data(), 64, 63, 1024, em.data(), 128), CARDERR_BAD_LENGTH);
  EXPECT_EQ(sc_pss_verify(SC_ALG_MD5, SC_ALG_SHA1, h64.data(), 16, 0, 1024, em.data(), 128), CARDERR_BAD_HASH);
  EXPECT_EQ(sc_pss_verify(SC_ALG_SHA512, SC_ALG_SHA512, h64.data(), 64, 0, 1024, nullptr, 128), CARDERR_BAD_ARG);
  EXPECT_EQ(sc_pss_verify(SC_ALG_SHA512, SC_ALG_SHA512, h64.data(), 64, 0, 1024, em.data(), 129), CARDERR_BAD_LENGTH);
  // Random-salt encoder: same checks.
  EXPECT_EQ(sc_pss_encode(SC_ALG_SHA512, SC_ALG_SHA512, h64.data(), 64, 63, 1024, em.data(), 128), CARDERR_BAD_LENGTH);
  EXPECT_EQ(sc_pss_encode(SC_ALG_SHA512, SC_ALG_SHA512, h64.data(), 64, SC_PSS_SALT_ANY, 1024, em.data(), 128),
            CARDERR_BAD_LENGTH);
  // MGF1.
  std::uint8_t mask[4];
  EXPECT_EQ(sc_mgf1(SC_ALG_MD5, salt, 4, mask, 4), CARDERR_BAD_HASH);
  EXPECT_EQ(sc_mgf1(SC_ALG_SHA1, nullptr, 4, mask, 4), CARDERR_BAD_ARG);
  EXPECT_EQ(sc_mgf1(SC_ALG_SHA1, salt, 4, nullptr, 4), CARDERR_BAD_ARG);
}

// MGF1 output is the counter-mode digest sequence (checked against OpenSSL's
// digests), across lengths that end inside and on a digest boundary.
TEST(Pss, Mgf1IsTheCounterDigestSequence) {
  const bytes seed = {0xde, 0xad, 0xbe, 0xef, 0x01};
  for (std::uint8_t id : {SC_ALG_SHA1, SC_ALG_SHA256, SC_ALG_SHA384, SC_ALG_SHA512}) {
    bytes want;
    for (std::uint8_t c = 0; c < 5; ++c) {
      bytes in = seed;
      in.insert(in.end(), {0, 0, 0, c});
      const bytes d = ref::digest(md_name(id), in);
      want.insert(want.end(), d.begin(), d.end());
    }
    const std::uint32_t h = sc_digest_size(id);
    for (std::uint32_t len : {0u, 1u, h - 1, h, h + 1, 3 * h, 5 * h}) {
      bytes mask(len + 1, 0xAA);
      ASSERT_EQ(sc_mgf1(id, seed.data(), u32(seed.size()), mask.data(), len), VORN_OK);
      EXPECT_EQ(bytes(mask.begin(), mask.begin() + len), bytes(want.begin(), want.begin() + len)) << md_name(id);
      EXPECT_EQ(mask[len], 0xAA) << "written past the end";
    }
  }
}

// The DigestInfo prefixes are what OpenSSL's PKCS#1 v1.5 signatures carry.
TEST(DigestInfo, PrefixesMatchOpenSslSignatures) {
  key_pair& k = ossl_key(2048);
  for (std::uint8_t id : {SC_ALG_MD5, SC_ALG_SHA1, SC_ALG_SHA256, SC_ALG_SHA384, SC_ALG_SHA512}) {
    const char* name = id == SC_ALG_MD5 ? "MD5" : md_name(id);
    const bytes mhash = ref::digest(name, {'x'});
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(k.ossl.get(), nullptr);
    bytes sig(256);
    std::size_t len = sig.size();
    ASSERT_TRUE(EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                EVP_PKEY_CTX_set_signature_md(ctx, EVP_get_digestbyname(name)) == 1 &&
                EVP_PKEY_sign(ctx, sig.data(), &len, mhash.data(), mhash.size()) == 1)
        << name;
    EVP_PKEY_CTX_free(ctx);
    bytes di(256);
    std::uint32_t di_len = 0;
    ASSERT_EQ(sc_rsa_public_decrypt(di.data(), &di_len, sig.data(), u32(len), &k.pub), VORN_OK);
    di.resize(di_len);
    std::uint32_t plen = 0;
    const std::uint8_t* p = sc_digest_info_prefix(id, &plen);
    ASSERT_NE(p, nullptr);
    bytes want(p, p + plen);
    want.insert(want.end(), mhash.begin(), mhash.end());
    EXPECT_EQ(di, want) << name;
  }
  std::uint32_t plen = 7;
  EXPECT_EQ(sc_digest_info_prefix(SC_ALG_AES128, &plen), nullptr);
  EXPECT_EQ(plen, 0u);
}

}  // namespace
