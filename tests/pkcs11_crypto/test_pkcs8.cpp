// The PKCS#8 coder of the wrap and unwrap steps on its own: OpenSSL's
// encoding of the same keys as the reference, and every malformed length.
#include <openssl/core_names.h>
#include <openssl/x509.h>

#include "crypto_test.h"
#include "pkcs8.h"

using namespace p11crypto;
using p11::Pkcs8Key;

namespace {

Bytes plain(const vorn::SecureBytes& v) { return Bytes(v.begin(), v.end()); }

struct Key {
  std::array<Bytes, 8> parts;
  Bytes der;  // OpenSSL's PrivateKeyInfo
};

Bytes bn(EVP_PKEY* k, const char* name) {
  BIGNUM* b = nullptr;
  EVP_PKEY_get_bn_param(k, name, &b);
  Bytes out(static_cast<std::size_t>(BN_num_bytes(b)));
  BN_bn2bin(b, out.data());
  BN_clear_free(b);
  return out;
}

Key make_key(unsigned bits) {
  EVP_PKEY* k = EVP_RSA_gen(bits);
  Key r;
  const char* names[8] = {"n", "e", "d", "rsa-factor1", "rsa-factor2", "rsa-exponent1", "rsa-exponent2",
                          "rsa-coefficient1"};
  for (int i = 0; i < 8; ++i) r.parts[i] = bn(k, names[i]);
  PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(k);
  unsigned char* der = nullptr;
  int n = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
  r.der.assign(der, der + n);
  OPENSSL_free(der);
  PKCS8_PRIV_KEY_INFO_free(p8);
  EVP_PKEY_free(k);
  return r;
}

Bytes encode(const std::array<Bytes, 8>& parts) {
  std::array<std::span<const std::uint8_t>, 8> s;
  for (int i = 0; i < 8; ++i) s[i] = parts[i];
  vorn::SecureBytes out;
  EXPECT_TRUE(p11::pkcs8_encode(s, &out));
  return plain(out);
}

Bytes left_pad(const Bytes& v, std::size_t n) {
  Bytes out(n - v.size(), 0);
  out.insert(out.end(), v.begin(), v.end());
  return out;
}

}  // namespace

TEST(Pkcs8, EncodingEqualsOpenSslAndDecodesBack) {
  for (unsigned bits : {1024u, 2048u}) {
    const Key k = make_key(bits);
    const Bytes enc = encode(k.parts);
    EXPECT_EQ(hexs(enc), hexs(k.der)) << bits;
    Pkcs8Key d;
    ASSERT_TRUE(p11::pkcs8_decode(enc.data(), enc.size(), &d));
    const std::size_t n = bits / 8;
    EXPECT_EQ(plain(d.parts[0]), k.parts[0]);
    EXPECT_EQ(plain(d.parts[1]), hex("010001"));
    EXPECT_EQ(plain(d.parts[2]), left_pad(k.parts[2], n));
    for (int i = 3; i < 8; ++i) EXPECT_EQ(plain(d.parts[i]), left_pad(k.parts[i], n / 2)) << i;
    // Trailing bytes (whole blocks of an unpadded mode) are ignored.
    Bytes tail = enc;
    tail.insert(tail.end(), 7, 0);
    Pkcs8Key d2;
    EXPECT_TRUE(p11::pkcs8_decode(tail.data(), tail.size(), &d2));
  }
}

TEST(Pkcs8, LeadingZeroValuesAreKeptInTheirFields) {
  // A short CRT value (one leading zero byte dropped) and 129-byte values
  // with a 00 byte in front both come back at half the modulus length.
  Key k = make_key(2048);
  k.parts[5] = Bytes(k.parts[5].begin() + 1, k.parts[5].end());
  std::array<Bytes, 8> padded = k.parts;
  padded[6].insert(padded[6].begin(), 0);
  const Bytes enc = encode(padded);
  Pkcs8Key d;
  ASSERT_TRUE(p11::pkcs8_decode(enc.data(), enc.size(), &d));
  EXPECT_EQ(plain(d.parts[5]), left_pad(k.parts[5], 128));
  EXPECT_EQ(plain(d.parts[6]), left_pad(k.parts[6], 128));
  // A hand-made 2048-bit encoding whose CRT INTEGERs carry 129 bytes.
  Bytes body = {0x02, 0x01, 0x00};
  auto integer = [&](const Bytes& v) {
    Bytes c = v;
    if (c[0] & 0x80) c.insert(c.begin(), 0);
    body.push_back(0x02);
    if (c.size() >= 256) {
      body.insert(body.end(), {0x82, static_cast<std::uint8_t>(c.size() >> 8), static_cast<std::uint8_t>(c.size())});
    } else if (c.size() >= 128) {
      body.insert(body.end(), {0x81, static_cast<std::uint8_t>(c.size())});
    } else {
      body.push_back(static_cast<std::uint8_t>(c.size()));
    }
    body.insert(body.end(), c.begin(), c.end());
  };
  for (int i = 0; i < 3; ++i) integer(k.parts[i]);
  for (int i = 3; i < 8; ++i) {
    Bytes v = left_pad(k.parts[i], 128);
    v[0] |= 0x80;  // forces the 00 in front: 129 bytes
    integer(v);
  }
  const std::size_t n = body.size();
  Bytes der = {0x30, 0x82, static_cast<std::uint8_t>((n + 26) >> 8), static_cast<std::uint8_t>(n + 26),
               0x02, 0x01, 0x00, 0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00,
               0x04, 0x82, static_cast<std::uint8_t>((n + 4) >> 8), static_cast<std::uint8_t>(n + 4),
               0x30, 0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  der.insert(der.end(), body.begin(), body.end());
  Pkcs8Key h;
  ASSERT_TRUE(p11::pkcs8_decode(der.data(), der.size(), &h));
  EXPECT_EQ(h.parts[3].size(), 128u);
  EXPECT_EQ(h.parts[3][0] & 0x80, 0x80);
}

TEST(Pkcs8, EveryTruncationAndOverlongLengthIsRefused) {
  const Key k = make_key(1024);
  const Bytes enc = encode(k.parts);
  Pkcs8Key d;
  for (std::size_t cut = 0; cut < enc.size(); ++cut)
    EXPECT_FALSE(p11::pkcs8_decode(enc.data(), cut, &d)) << cut;
  // Each length field made one larger than what holds it.
  const std::size_t len_at[] = {3, 25, 29};  // low bytes of the three 82 LL LL headers
  for (std::size_t at : len_at) {
    Bytes bad = enc;
    bad[at] = static_cast<std::uint8_t>(bad[at] + 1);
    if (bad[at] == 0) ++bad[at - 1];
    EXPECT_FALSE(p11::pkcs8_decode(bad.data(), bad.size(), &d)) << at;
  }
  // The modulus INTEGER claims more than the key body.
  Bytes bad = enc;
  ASSERT_EQ(bad[33], 0x02);
  ASSERT_EQ(bad[34], 0x81);
  bad[35] = 0xFF;
  EXPECT_FALSE(p11::pkcs8_decode(bad.data(), bad.size(), &d));
  EXPECT_FALSE(p11::pkcs8_decode(nullptr, 10, &d));
}

TEST(Pkcs8, LayoutsOutsideTheKeySizesAreRefused) {
  Pkcs8Key d;
  Key k = make_key(1024);
  // Exponent 3: one byte.
  std::array<Bytes, 8> e3 = k.parts;
  e3[1] = {0x03};
  Bytes enc = encode(e3);
  EXPECT_FALSE(p11::pkcs8_decode(enc.data(), enc.size(), &d));
  // A 1032-bit modulus.
  std::array<Bytes, 8> big = k.parts;
  big[0].insert(big[0].begin(), 0x01);
  enc = encode(big);
  EXPECT_FALSE(p11::pkcs8_decode(enc.data(), enc.size(), &d));
  // A CRT value longer than half the modulus.
  std::array<Bytes, 8> crt = k.parts;
  crt[4].insert(crt[4].begin(), 0x01);
  enc = encode(crt);
  EXPECT_FALSE(p11::pkcs8_decode(enc.data(), enc.size(), &d));
  // A negative INTEGER and a version other than 0.
  enc = encode(k.parts);
  Bytes neg = enc;
  neg[36] = 0x80;  // the modulus' leading 00 becomes a sign bit
  EXPECT_FALSE(p11::pkcs8_decode(neg.data(), neg.size(), &d));
  Bytes ver = enc;
  ASSERT_EQ(ver[30], 0x02);
  ver[32] = 1;
  EXPECT_FALSE(p11::pkcs8_decode(ver.data(), ver.size(), &d));
  // An empty number cannot be encoded.
  std::array<Bytes, 8> empty = k.parts;
  empty[2].clear();
  std::array<std::span<const std::uint8_t>, 8> s;
  for (int i = 0; i < 8; ++i) s[i] = empty[i];
  vorn::SecureBytes out;
  EXPECT_FALSE(p11::pkcs8_encode(s, &out));
}
