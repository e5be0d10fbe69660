// The provider's RFC 3217 key wraps and key-blob layouts, against OpenSSL's
// CMS triple-DES wrap and an RFC 3217 construction from OpenSSL's ciphers.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "blobfmt.h"
#include "ossl_ref.h"
#include "rfc3217.h"

using ref::bytes;
namespace {

std::mt19937 g(3217);

// OpenSSL's id-smime-alg-CMS3DESwrap in one direction.
bytes ossl_des3_wrap(const bytes& kek, const bytes& in, bool wrap) {
  ref::load_providers();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
  bytes out(in.size() + 16);
  int n = 0, m = 0;
  bool ok = EVP_CipherInit_ex(ctx, EVP_des_ede3_wrap(), nullptr, kek.data(), nullptr, wrap ? 1 : 0) == 1 &&
            EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())) > 0 &&
            EVP_CipherFinal_ex(ctx, out.data() + n, &m) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return {};
  out.resize(static_cast<std::size_t>(n + m));
  return out;
}

std::uint8_t odd(std::uint8_t b) {
  int ones = __builtin_popcount(b & 0xFE);
  return static_cast<std::uint8_t>((b & 0xFE) | (ones % 2 ? 0 : 1));
}

// RFC 3217 spelt out with OpenSSL's CBC ciphers: inner = payload || SHA-1
// prefix; CBC under iv; IV in front; reversed; CBC under the fixed IV.
bytes rfc_wrap(const char* cipher, const bytes& kek, const bytes& payload, const bytes& iv, int rc2_bits = 0) {
  bytes inner = payload;
  bytes sum = ref::digest("SHA1", payload);
  inner.insert(inner.end(), sum.begin(), sum.begin() + 8);
  bytes t = ref::cipher(cipher, kek, iv, inner, true, rc2_bits);
  t.insert(t.begin(), iv.begin(), iv.end());
  std::reverse(t.begin(), t.end());
  return ref::cipher(cipher, kek, {0x4A, 0xDD, 0xA2, 0x2C, 0x79, 0xE8, 0x21, 0x05}, t, true, rc2_bits);
}

TEST(Rfc3217, TripleDesMatchesOpenSslBothWays) {
  for (int round = 0; round < 4; ++round) {
    bytes kek = ref::data(g, 24), cek = ref::data(g, 24), parity(24);
    std::transform(cek.begin(), cek.end(), parity.begin(), odd);
    // Ours with a fixed IV: exactly the RFC construction over the parity key.
    bytes iv = ref::data(g, 8), ours(40);
    ASSERT_EQ(csp::rfc3217_wrap_3des_iv(kek, cek, iv.data(), ours.data()), 0u);
    EXPECT_EQ(ours, rfc_wrap("DES-EDE3-CBC", kek, parity, iv));
    // Ours (random IV) unwrapped by OpenSSL; OpenSSL's unwrapped by ours.
    ASSERT_EQ(csp::rfc3217_wrap_3des(kek, cek, ours.data()), 0u);
    EXPECT_EQ(ossl_des3_wrap(kek, ours, false), parity);
    bytes theirs = ossl_des3_wrap(kek, parity, true);
    ASSERT_EQ(theirs.size(), 40u);
    vorn::Secret<24> back;
    ASSERT_EQ(csp::rfc3217_unwrap_3des(kek, theirs, back), 0u);
    EXPECT_EQ(bytes(back.data(), back.data() + 24), parity);
  }
}

TEST(Rfc3217, Rc2MatchesTheRfcConstruction) {
  struct Case {
    std::uint32_t n, wrapped;
  } cases[] = {{5, 24}, {7, 24}, {8, 32}, {15, 32}, {16, 40}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    bytes kek = ref::data(g, 16), cek = ref::data(g, c.n), iv = ref::data(g, 8), pad = ref::data(g, 7);
    ASSERT_EQ(csp::rfc3217_rc2_len(c.n), c.wrapped);
    bytes ours(c.wrapped);
    ASSERT_EQ(csp::rfc3217_wrap_rc2_iv(kek, 128, cek, iv.data(), pad.data(), ours.data()), 0u);
    bytes lcekpad{static_cast<std::uint8_t>(c.n)};
    lcekpad.insert(lcekpad.end(), cek.begin(), cek.end());
    lcekpad.insert(lcekpad.end(), pad.begin(), pad.begin() + (c.wrapped - 16 - 1 - c.n));
    EXPECT_EQ(ours, rfc_wrap("RC2-CBC", kek, lcekpad, iv, 128));
    vorn::Secret<128> back;
    std::uint32_t n = 0;
    ASSERT_EQ(csp::rfc3217_unwrap_rc2(kek, 128, ours, back, &n), 0u);
    EXPECT_EQ(bytes(back.data(), back.data() + n), cek);
  }
}

TEST(Rfc3217, RandomBytesDifferPerWrap) {
  bytes kek = ref::data(g, 24), cek = ref::data(g, 24), a(40), b(40);
  ASSERT_EQ(csp::rfc3217_wrap_3des(kek, cek, a.data()), 0u);
  ASSERT_EQ(csp::rfc3217_wrap_3des(kek, cek, b.data()), 0u);
  EXPECT_NE(a, b);
  bytes r1(24), r2(24), k2 = ref::data(g, 16), c2 = ref::data(g, 5);
  ASSERT_EQ(csp::rfc3217_wrap_rc2(k2, 128, c2, r1.data()), 0u);
  ASSERT_EQ(csp::rfc3217_wrap_rc2(k2, 128, c2, r2.data()), 0u);
  EXPECT_NE(r1, r2);
}

TEST(Rfc3217, Refusals) {
  bytes kek = ref::data(g, 24), cek = ref::data(g, 24), w(40);
  ASSERT_EQ(csp::rfc3217_wrap_3des(kek, cek, w.data()), 0u);
  vorn::Secret<24> k3;
  EXPECT_EQ(csp::rfc3217_unwrap_3des(kek, bytes(w.begin(), w.begin() + 32), k3), csp::kWrapBadLen);
  bytes bad = w;
  bad[20] ^= 1;
  EXPECT_EQ(csp::rfc3217_unwrap_3des(kek, bad, k3), csp::kWrapBadData);
  bytes other = ref::data(g, 24);
  EXPECT_EQ(csp::rfc3217_unwrap_3des(other, w, k3), csp::kWrapBadData);

  bytes rk = ref::data(g, 16), rc = ref::data(g, 9), rw(32);
  ASSERT_EQ(csp::rfc3217_wrap_rc2(rk, 128, rc, rw.data()), 0u);
  vorn::Secret<128> k2;
  std::uint32_t n = 0;
  EXPECT_EQ(csp::rfc3217_unwrap_rc2(rk, 128, bytes(rw.begin(), rw.begin() + 30), k2, &n), csp::kWrapBadLen);
  EXPECT_EQ(csp::rfc3217_unwrap_rc2(rk, 128, bytes(16, 0), k2, &n), csp::kWrapBadLen);
  EXPECT_EQ(csp::rfc3217_unwrap_rc2(rk, 40, rw, k2, &n), csp::kWrapBadData);  // other effective length
  // A well-formed wrap whose length byte claims more than the string holds.
  bytes iv = ref::data(g, 8), lc(16, 0);
  lc[0] = 20;
  EXPECT_EQ(csp::rfc3217_unwrap_rc2(rk, 128, rfc_wrap("RC2-CBC", rk, lc, iv, 128), k2, &n), csp::kWrapBadData);
  lc[0] = 2;  // 13 bytes of padding: more than 7
  EXPECT_EQ(csp::rfc3217_unwrap_rc2(rk, 128, rfc_wrap("RC2-CBC", rk, lc, iv, 128), k2, &n), csp::kWrapBadData);
}

TEST(BlobFormat, PublicKeyBlobBytes) {
  bytes mod = ref::data(g, 128);
  mod[0] |= 0x80;
  bytes blob(csp::blob_public_len(128));
  ASSERT_EQ(blob.size(), 148u);
  csp::blob_public_write(blob.data(), 0xA400, mod, 65537);
  const bytes head{0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '1',
                   0x00, 0x04, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
  EXPECT_EQ(bytes(blob.begin(), blob.begin() + 20), head);
  EXPECT_EQ(blob[20], mod[127]);
  EXPECT_EQ(blob[147], mod[0]);
  csp::PublicBlob pb;
  ASSERT_EQ(csp::blob_public_read(blob, &pb), 0u);
  EXPECT_EQ(pb.bits, 1024u);
  EXPECT_EQ(pb.exponent, 65537u);
  EXPECT_EQ(bytes(pb.modulus, pb.modulus + 128), mod);
  // Checks: magic, bit length, a blob shorter than its modulus.
  bytes b = blob;
  b[11] = '2';
  EXPECT_EQ(csp::blob_public_read(b, &pb), csp::kNteBadBlobData);
  b = blob;
  b[13] = 0x03;  // 768 bits
  EXPECT_EQ(csp::blob_public_read(b, &pb), csp::kNteBadBlobLen);
  EXPECT_EQ(csp::blob_public_read(bytes(blob.begin(), blob.end() - 1), &pb), csp::kNteBadBlobLen);
}

TEST(BlobFormat, HeaderAndPlainText) {
  csp::BlobHeader h;
  const bytes good{0x08, 0x02, 0x00, 0x00, 0x03, 0x66, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0xAB, 0xCD};
  ASSERT_EQ(csp::blob_header_read(good, &h), 0u);
  EXPECT_EQ(h.type, 8);
  EXPECT_EQ(h.alg, 0x6603u);
  struct Bad {
    std::size_t at;
    std::uint8_t v;
    std::uint32_t rv;
  } bad[] = {{1, 1, csp::kNteBadVer}, {1, 3, csp::kNteBadVer}, {2, 1, csp::kNteBadBlobData}, {3, 0x80, csp::kNteBadBlobData}};
  for (const auto& x : bad) {
    bytes b = good;
    b[x.at] = x.v;
    EXPECT_EQ(csp::blob_header_read(b, &h), x.rv);
  }
  EXPECT_EQ(csp::blob_header_read(bytes(good.begin(), good.begin() + 7), &h), csp::kNteBadBlobLen);
  std::span<const std::uint8_t> key;
  ASSERT_EQ(csp::blob_plain_read(good, &key), 0u);
  EXPECT_EQ(bytes(key.begin(), key.end()), (bytes{0xAB, 0xCD}));
  // A key size past the end of the blob is refused, not read beyond it.
  bytes longer = good;
  longer[8] = 3;
  EXPECT_EQ(csp::blob_plain_read(longer, &key), csp::kNteBadBlobLen);
  longer[8] = 0xFF, longer[11] = 0xFF;
  EXPECT_EQ(csp::blob_plain_read(longer, &key), csp::kNteBadBlobLen);
  bytes out(14);
  csp::blob_plain_write(out.data(), 0x6603, bytes{0xAB, 0xCD});
  EXPECT_EQ(out, good);
}

TEST(BlobFormat, PrivateKeyBlobCrtOrder) {
  const std::uint32_t m = 128, h = 64;
  bytes data(12 + m + 5 * h + m);
  csp::put_le32(data.data(), csp::kMagicRsa2);
  csp::put_le32(data.data() + 4, 1024);
  csp::put_le32(data.data() + 8, 65537);
  for (std::size_t i = 12; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  csp::PrivateBlob pb;
  ASSERT_EQ(csp::blob_private_read(data, &pb), 0u);
  EXPECT_EQ(pb.bits, 1024u);
  EXPECT_EQ(pb.modulus[0], data[12 + m - 1]);
  for (std::uint32_t i = 0; i < 5; ++i) {  // each value reversed in place of its own
    EXPECT_EQ(pb.crt[i * h], data[12 + m + i * h + h - 1]);
    EXPECT_EQ(pb.crt[i * h + h - 1], data[12 + m + i * h]);
  }
  bytes b = data;
  csp::put_le32(b.data() + 8, 3);
  EXPECT_EQ(csp::blob_private_read(b, &pb), csp::kNteBadBlobData);
  b = data;
  b[3] = '1';
  EXPECT_EQ(csp::blob_private_read(b, &pb), csp::kNteBadBlobData);
  b = data;
  csp::put_le32(b.data() + 4, 4096);
  EXPECT_EQ(csp::blob_private_read(b, &pb), csp::kNteBadBlobLen);
  EXPECT_EQ(csp::blob_private_read(bytes(data.begin(), data.begin() + 12 + m + 5 * h - 1), &pb),
            csp::kNteBadBlobLen);
}

}  // namespace
