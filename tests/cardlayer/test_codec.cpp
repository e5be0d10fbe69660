// The card layer's pure parts: status words, ATR matching, the secure
// messaging codec against independently computed vectors, the attribute
// list codec and the certificate scans (checked against OpenSSL's parse).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

#include "cardlayer.h"
#include "test_util.h"

using clt::Bytes;
using clt::hex;
using clt::unhex;

// ---------------------------------------------------------------------------
TEST(StatusWords, MapsTheTableAndNothingElse) {
  EXPECT_EQ(sw_to_error(0x62, 0x00), 0x20006200u);
  EXPECT_EQ(sw_to_error(0x63, 0xC2), 0x200063C0u);
  EXPECT_EQ(sw_to_error(0x63, 0x00), 0x200063C0u);
  EXPECT_EQ(sw_to_error(0x6C, 0x10), 0x20006C00u);
  EXPECT_EQ(sw_to_error(0x69, 0x83), 0x20006983u);
  EXPECT_EQ(sw_to_error(0x6A, 0x81), 0x20006A81u);
  EXPECT_EQ(sw_to_error(0x6A, 0x89), 0x20006A89u);
  EXPECT_EQ(sw_to_error(0x68, 0x83), 0x20006883u);
  EXPECT_EQ(sw_to_error(0x6F, 0x02), 0x20006F02u);
  EXPECT_EQ(sw_to_error(0x65, 0x81), 0x20006581u);
  // Not in the table.
  EXPECT_EQ(sw_to_error(0x90, 0x01), CARDERR_UNKNOWN);
  EXPECT_EQ(sw_to_error(0x90, 0x00), CARDERR_UNKNOWN);
  EXPECT_EQ(sw_to_error(0x6F, 0x03), CARDERR_UNKNOWN);
  EXPECT_EQ(sw_to_error(0x6A, 0x85), CARDERR_UNKNOWN);
  EXPECT_EQ(sw_to_error(0x61, 0x10), CARDERR_UNKNOWN);
  EXPECT_EQ(sw_to_error(0x69, 0x84), CARDERR_UNKNOWN);
}

// ---------------------------------------------------------------------------
TEST(Atr, MaskedMatchNeedsExactlyTwentyBytes) {
  Bytes atr = unhex("3B7F940000803180719067564F524E312E309000");
  EXPECT_TRUE(card_atr_match(atr.data(), static_cast<DWORD>(atr.size())));
  Bytes other_version = atr;
  other_version[15] = 0xAA;
  other_version[16] = 0x00;
  other_version[17] = 0xFF;
  EXPECT_TRUE(card_atr_match(other_version.data(), 20));
  for (std::size_t i : {0u, 10u, 11u, 14u, 18u, 19u}) {
    Bytes bad = atr;
    bad[i] ^= 0x01;
    EXPECT_FALSE(card_atr_match(bad.data(), 20)) << "byte " << i;
  }
  EXPECT_FALSE(card_atr_match(atr.data(), 19));
  Bytes longer = atr;
  longer.push_back(0x00);
  EXPECT_FALSE(card_atr_match(longer.data(), 21));
  EXPECT_FALSE(card_atr_match(nullptr, 20));
}

TEST(Atr, NameAnywhere) {
  Bytes a = unhex("3B0256");
  EXPECT_FALSE(card_atr_has_vorn(a.data(), 3));
  Bytes b = unhex("3B05564F524E");
  EXPECT_TRUE(card_atr_has_vorn(b.data(), 6));
  EXPECT_FALSE(card_atr_has_vorn(b.data(), 5));
  Bytes c = unhex("564F524E");
  EXPECT_TRUE(card_atr_has_vorn(c.data(), 4));
  Bytes d = unhex("3B7F564F52");
  EXPECT_FALSE(card_atr_has_vorn(d.data(), 5));
}

// ---------------------------------------------------------------------------
// Vectors computed independently of this code.
namespace {
const Bytes kSession = unhex("B1B2B3B4B5B6B7B8C1C2C3C4C5C6C7C8");

Bytes wrap(const Bytes& plain) {
  Bytes out(300);
  DWORD len = static_cast<DWORD>(out.size());
  vorn_rv rv = sm_wrap(kSession.data(), plain.data(), static_cast<DWORD>(plain.size()), out.data(), &len);
  EXPECT_EQ(rv, VORN_OK);
  out.resize(rv == VORN_OK ? len : 0);
  return out;
}
}  // namespace

TEST(SecureMessaging, MacOfEightBytesCoversTwoBlocks) {
  Bytes data = unhex("0001020304050607");
  std::uint8_t mac[4] = {};
  ASSERT_EQ(sm_mac_key(kSession.data(), data.data(), 8, mac), VORN_OK);
  EXPECT_EQ(hex(mac, 4), "5DBC68E0");
}

TEST(SecureMessaging, WrapsCommandsByteForByte) {
  struct V {
    const char* plain;
    const char* wrapped;
  };
  const V vectors[] = {
      {"002000110831323334FFFFFFFF", "042000111489C366793E84CC1EF10AC6117822F8CCC4D7556F"},
      {"00B0000020", "04B00000147D49A5BACE10297DC24F98B1B77982B5B2FCF04A"},
      {"00CA030028", "04CA0300149D01374BF91990562D3BE69D1FBE9EB3890FFBE5"},
      {"002E001100", "042E0011042DBD4B17"},
      {"0022000010000102030405060708090A0B0C0D0E0F",
       "0422000024227EF2E4ABFB7F1E44744AB51B7A6375A253733EDE4A6E84511591A7281B61F5CFC8F67F"},
      {"002200000F000102030405060708090A0B0C0D0E",
       "0422000014598FE2643A11D6351D717561E12780BE52FCF38B"},
      {"0022000003810105", "042200001449ADB36673D0C9A711551CF0A2257F4599F95640"},
  };
  for (const V& v : vectors) EXPECT_EQ(hex(wrap(unhex(v.plain))), v.wrapped) << v.plain;
}

TEST(SecureMessaging, WrappedLengths) {
  // 16 data bytes: 16 + 16 padding + 4 MAC = 0x24; 15: 15 + 1 + 4 = 0x14;
  // none: the MAC alone.
  EXPECT_EQ(wrap(unhex("0022000010000102030405060708090A0B0C0D0E0F"))[4], 0x24);
  EXPECT_EQ(wrap(unhex("002200000F000102030405060708090A0B0C0D0E"))[4], 0x14);
  Bytes none = wrap(unhex("002E001100"));
  EXPECT_EQ(none.size(), 9u);
  EXPECT_EQ(none[4], 0x04);
  // READ BINARY of 32 travels as 04 B0 00 00 14 (01 20 + 14 bytes of 0E, MAC).
  Bytes rb = wrap(unhex("00B0000020"));
  EXPECT_EQ(hex(Bytes(rb.begin(), rb.begin() + 5)), "04B0000014");
  // GET RESPONSE keeps its form with the indication bit.
  EXPECT_EQ(hex(wrap(unhex("00C0000010"))), "04C0000010");
  // 239 data bytes fit (239 + 1 + 4 = 244); 240 would not.
  Bytes big(5 + 239, 0x11);
  big[0] = 0x84; big[1] = 0x48; big[2] = 0x02; big[3] = 0x01; big[4] = 239;
  EXPECT_EQ(wrap(big)[4], 244);
  Bytes too_big(5 + 240, 0x11);
  too_big[4] = 240;
  Bytes out(300);
  DWORD len = 300;
  EXPECT_EQ(sm_wrap(kSession.data(), too_big.data(), 245, out.data(), &len), CARDERR_BAD_LENGTH);
  // An Lc that does not match the data is refused.
  Bytes lying = unhex("0022000010000102");
  len = 300;
  EXPECT_EQ(sm_wrap(kSession.data(), lying.data(), 8, out.data(), &len), CARDERR_BAD_ARG);
}

TEST(SecureMessaging, UnwrapsResponses) {
  // Last padding byte 10: a whole block of padding, d = n - 22.
  Bytes r = unhex("227EF2E4ABFB7F1E44744AB51B7A6375A253733EDE4A6E84511591A7281B61F5C9F318F79000");
  DWORD n = static_cast<DWORD>(r.size());
  ASSERT_EQ(sm_unwrap(kSession.data(), r.data(), &n), VORN_OK);
  EXPECT_EQ(n, 18u);
  EXPECT_EQ(hex(r.data(), n), "000102030405060708090A0B0C0D0E0F9000");
  Bytes c = unhex("E81A7C1D2AD3279465D61296A7615250DFB544709000");
  n = static_cast<DWORD>(c.size());
  ASSERT_EQ(sm_unwrap(kSession.data(), c.data(), &n), VORN_OK);
  EXPECT_EQ(hex(c.data(), n), "00000000000000009000");
}

TEST(SecureMessaging, RefusesMalformedResponses) {
  const Bytes good = unhex("E81A7C1D2AD3279465D61296A7615250DFB544709000");
  // Shorter than a MAC and a status word.
  for (DWORD n : {0u, 1u, 2u, 5u}) {
    Bytes r = good;
    DWORD len = n;
    EXPECT_EQ(sm_unwrap(kSession.data(), r.data(), &len), CARDERR_MAC) << n;
  }
  // A body that is not whole blocks.
  Bytes cut(good.begin() + 1, good.end());
  DWORD len = static_cast<DWORD>(cut.size());
  EXPECT_EQ(sm_unwrap(kSession.data(), cut.data(), &len), CARDERR_MAC);
  // A MAC byte changed.
  Bytes bad_mac = good;
  bad_mac[17] ^= 0x01;
  len = static_cast<DWORD>(bad_mac.size());
  EXPECT_EQ(sm_unwrap(kSession.data(), bad_mac.data(), &len), CARDERR_MAC);
  EXPECT_EQ(len, good.size());
  // Padding byte out of range (20 and 0): built with the right key so only
  // the padding is wrong.
  for (std::uint8_t p : {std::uint8_t{0x14}, std::uint8_t{0x00}}) {
    Bytes block(16, p);
    Bytes wire = clt::aes_ecb(kSession, block, true);
    wire.insert(wire.end(), {0x01, 0x02, 0x03, 0x04, 0x90, 0x00});
    len = static_cast<DWORD>(wire.size());
    EXPECT_EQ(sm_unwrap(kSession.data(), wire.data(), &len), CARDERR_MAC) << int(p);
  }
  // No data at all: the MAC of the empty string.
  std::uint8_t mac[4];
  ASSERT_EQ(sm_mac_key(kSession.data(), nullptr, 0, mac), VORN_OK);
  Bytes empty = {mac[0], mac[1], mac[2], mac[3], 0x90, 0x00};
  len = 6;
  EXPECT_EQ(sm_unwrap(kSession.data(), empty.data(), &len), VORN_OK);
  EXPECT_EQ(hex(empty.data(), len), "9000");
}

// ---------------------------------------------------------------------------
TEST(AttributeList, EncodesDirectoryThenValues) {
  std::uint8_t v1[4] = {1, 2, 3, 4};
  std::uint8_t v3[20];
  for (int i = 0; i < 20; ++i) v3[i] = static_cast<std::uint8_t>(0xA0 + i);
  CardAttr t[3] = {{0x0000, v1, 4}, {0x0003, nullptr, 0}, {0x8004, v3, 20}};
  DWORD size = 0;
  ASSERT_EQ(attr_list_encode(t, 3, nullptr, &size), VORN_OK);
  EXPECT_EQ(size, 38u);
  Bytes out(38);
  DWORD small = 37;
  EXPECT_EQ(attr_list_encode(t, 3, out.data(), &small), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(small, 38u);
  ASSERT_EQ(attr_list_encode(t, 3, out.data(), &size), VORN_OK);
  EXPECT_EQ(hex(out),
            "000C" "00000004" "00030000" "80040014" "01020304"
            "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3");
}

TEST(AttributeList, DecodesWithSizesAndShortBuffers) {
  Bytes list = unhex("000C" "00000004" "00030000" "80040014" "01020304"
                     "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3");
  // Size query: no value pointers.
  CardAttr q[4] = {{0x8004, nullptr, 0}, {0x0000, nullptr, 0}, {0x0003, nullptr, 99}, {0x0120, nullptr, 5}};
  ASSERT_EQ(attr_list_decode(list.data(), static_cast<DWORD>(list.size()), q, 4), VORN_OK);
  EXPECT_EQ(q[0].len, 20u);
  EXPECT_EQ(q[1].len, 4u);
  EXPECT_EQ(q[2].len, 0u);
  EXPECT_EQ(q[3].len, 0u);  // not in the list
  // Values; one entry too short still lets the others be filled.
  std::uint8_t id[20] = {}, cls[3] = {};
  CardAttr r[2] = {{0x8004, id, 20}, {0x0000, cls, 3}};
  EXPECT_EQ(attr_list_decode(list.data(), static_cast<DWORD>(list.size()), r, 2), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(r[0].len, 20u);
  EXPECT_EQ(hex(id, 20), "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3");
  EXPECT_EQ(r[1].len, 4u);
  EXPECT_EQ(hex(cls, 3), "000000");
}

TEST(AttributeList, RoundTripsSixtyThreeAttributes) {
  std::vector<Bytes> values;
  std::vector<CardAttr> t;
  for (unsigned i = 0; i < 63; ++i) values.push_back(Bytes(i % 7 * 3, static_cast<std::uint8_t>(i)));
  for (unsigned i = 0; i < 63; ++i) t.push_back({0x0100u + i, values[i].data(), static_cast<unsigned long>(values[i].size())});
  DWORD size = 0;
  ASSERT_EQ(attr_list_encode(t.data(), 63, nullptr, &size), VORN_OK);
  Bytes list(size);
  ASSERT_EQ(attr_list_encode(t.data(), 63, list.data(), &size), VORN_OK);
  EXPECT_EQ(list[0], 0x00);
  EXPECT_EQ(list[1], 0xFC);  // 252 directory bytes
  std::vector<Bytes> back(63, Bytes(32));
  std::vector<CardAttr> r;
  for (unsigned i = 0; i < 63; ++i) r.push_back({0x0100u + i, back[i].data(), 32});
  ASSERT_EQ(attr_list_decode(list.data(), size, r.data(), 63), VORN_OK);
  for (unsigned i = 0; i < 63; ++i) {
    ASSERT_EQ(r[i].len, values[i].size()) << i;
    EXPECT_TRUE(std::equal(values[i].begin(), values[i].end(), back[i].begin())) << i;
  }
}

TEST(AttributeList, RefusesMalformedLists) {
  std::uint8_t buf[64];
  CardAttr t[1] = {{0x0003, buf, sizeof buf}};
  Bytes odd_h = unhex("0003000300010041");
  EXPECT_EQ(attr_list_decode(odd_h.data(), static_cast<DWORD>(odd_h.size()), t, 1), CARDERR_UNKNOWN);
  Bytes h_past_end = unhex("00100003000141");
  EXPECT_EQ(attr_list_decode(h_past_end.data(), static_cast<DWORD>(h_past_end.size()), t, 1), CARDERR_UNKNOWN);
  Bytes value_past_end = unhex("0004" "00030010" "4142");
  t[0].len = sizeof buf;
  EXPECT_EQ(attr_list_decode(value_past_end.data(), static_cast<DWORD>(value_past_end.size()), t, 1),
            CARDERR_UNKNOWN);
  Bytes one = unhex("00");
  EXPECT_EQ(attr_list_decode(one.data(), 1, t, 1), CARDERR_UNKNOWN);
  // Types and lengths travel in two bytes.
  CardAttr wide[1] = {{0x10000, buf, 1}};
  DWORD size = 0;
  EXPECT_EQ(attr_list_encode(wide, 1, nullptr, &size), CARDERR_BAD_ARG);
}

// ---------------------------------------------------------------------------
namespace {

struct TestCert {
  Bytes der;
  Bytes modulus;  // without a leading zero
  Bytes subject, issuer, serial;
};

TestCert make_cert(int bits, const char* issuer_cn, const char* subject_cn, long serial) {
  TestCert c;
  EVP_PKEY* key = EVP_RSA_gen(static_cast<unsigned>(bits));
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 3600);
  X509_NAME* iname = X509_NAME_new();
  X509_NAME_add_entry_by_txt(iname, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Grupo K.ROS"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(iname, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(issuer_cn), -1, -1, 0);
  X509_NAME* sname = X509_NAME_new();
  X509_NAME_add_entry_by_txt(sname, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(subject_cn), -1, -1, 0);
  X509_set_issuer_name(x, iname);
  X509_set_subject_name(x, sname);
  X509_set_pubkey(x, key);
  X509_sign(x, key, EVP_sha256());
  unsigned char* p = nullptr;
  int n = i2d_X509(x, &p);
  c.der.assign(p, p + n);
  OPENSSL_free(p);
  p = nullptr;
  n = i2d_X509_NAME(sname, &p);
  c.subject.assign(p, p + n);
  OPENSSL_free(p);
  p = nullptr;
  n = i2d_X509_NAME(iname, &p);
  c.issuer.assign(p, p + n);
  OPENSSL_free(p);
  p = nullptr;
  n = i2d_ASN1_INTEGER(X509_get_serialNumber(x), &p);
  c.serial.assign(p, p + n);
  OPENSSL_free(p);
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(key, "n", &bn);
  c.modulus.resize(static_cast<std::size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, c.modulus.data());
  BN_free(bn);
  X509_NAME_free(iname);
  X509_NAME_free(sname);
  X509_free(x);
  EVP_PKEY_free(key);
  return c;
}

}  // namespace

TEST(CertScan, FindsSubjectIssuerSerialAndKeyId) {
  for (int bits : {1024, 2048}) {
    TestCert c = make_cert(bits, "VORN Test CA", "Ana Perez Ruiz", 0x1234567);
    CertFields f{};
    ASSERT_EQ(cert_tbs_fields(c.der.data(), static_cast<DWORD>(c.der.size()), &f), VORN_OK);
    EXPECT_EQ(Bytes(f.subject, f.subject + f.subject_len), c.subject);
    EXPECT_EQ(Bytes(f.issuer, f.issuer + f.issuer_len), c.issuer);
    EXPECT_EQ(Bytes(f.serial, f.serial + f.serial_len), c.serial);

    const std::uint8_t* mod = nullptr;
    DWORD mod_len = 0;
    ASSERT_EQ(cert_modulus(c.der.data(), static_cast<DWORD>(c.der.size()), &mod, &mod_len), VORN_OK);
    EXPECT_EQ(mod_len, static_cast<DWORD>(bits / 8));
    EXPECT_EQ(Bytes(mod, mod + mod_len), c.modulus);
    std::uint8_t id[20], want[20];
    SHA1(c.modulus.data(), c.modulus.size(), want);
    ASSERT_EQ(cert_key_id(c.der.data(), static_cast<DWORD>(c.der.size()), id), VORN_OK);
    EXPECT_EQ(hex(id, 20), hex(want, 20));

    std::uint8_t cn[64];
    DWORD cn_len = sizeof cn;
    ASSERT_EQ(cert_common_name(c.der.data(), static_cast<DWORD>(c.der.size()), cn, &cn_len), VORN_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(cn), cn_len), "Ana Perez Ruiz");
    cn_len = 3;
    EXPECT_EQ(cert_common_name(c.der.data(), static_cast<DWORD>(c.der.size()), cn, &cn_len),
              CARDERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(cn_len, 14u);
  }
}

TEST(CertScan, KeyIdDropsOneLeadingZero) {
  Bytes m(129, 0x5A);
  m[0] = 0x00;
  std::uint8_t id[20], want[20];
  ASSERT_EQ(key_id_of_modulus(m.data(), 129, id), VORN_OK);
  SHA1(m.data() + 1, 128, want);
  EXPECT_EQ(hex(id, 20), hex(want, 20));
}

TEST(CertScan, CommonNameOfTwoByteStringsAndTruncatedInput) {
  // Issuer CN "CA", subject CN as a BMPString "Ana".
  Bytes s = unhex("30 06 06 03 550403 0C 02 4341 3108 06 03 550403 1E 06 0041006E0061");
  std::uint8_t cn[16];
  DWORD len = sizeof cn;
  ASSERT_EQ(cert_common_name(s.data(), static_cast<DWORD>(s.size()), cn, &len), VORN_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(cn), len), "Ana");
  // A length byte that runs past the end is refused, never read past.
  for (std::size_t cut = 1; cut <= 6; ++cut) {
    len = sizeof cn;
    EXPECT_EQ(cert_common_name(s.data(), static_cast<DWORD>(s.size() - cut), cn, &len), CARDERR_BAD_ARG) << cut;
  }
  // Only one commonName: no subject name.
  Bytes one = unhex("550403 0C 02 4341");
  len = sizeof cn;
  EXPECT_EQ(cert_common_name(one.data(), static_cast<DWORD>(one.size()), cn, &len), CARDERR_BAD_ARG);
}

TEST(CertScan, RefusesTruncatedCertificates) {
  TestCert c = make_cert(1024, "CA", "Leaf", 7);
  CertFields f{};
  for (std::size_t n : {std::size_t{0}, std::size_t{3}, std::size_t{40}, c.der.size() / 2}) {
    EXPECT_EQ(cert_tbs_fields(c.der.data(), static_cast<DWORD>(n), &f), CARDERR_BAD_ARG) << n;
  }
  // The modulus scan needs all 128 bytes behind the header.
  const std::uint8_t* mod = nullptr;
  DWORD mod_len = 0;
  Bytes head = unhex("0281810011");
  EXPECT_EQ(cert_modulus(head.data(), static_cast<DWORD>(head.size()), &mod, &mod_len), CARDERR_BAD_ARG);
}

TEST(PinBlock, PadsWithFF) {
  std::uint8_t b[8];
  ASSERT_EQ(pin_make_block("1234", 4, b), VORN_OK);
  EXPECT_EQ(hex(b, 8), "31323334FFFFFFFF");
  ASSERT_EQ(pin_make_block("12345678", 8, b), VORN_OK);
  EXPECT_EQ(hex(b, 8), "3132333435363738");
  EXPECT_EQ(pin_make_block("123456789", 9, b), CARDERR_BAD_ARG);
  EXPECT_EQ(pin_make_block("", 0, b), CARDERR_BAD_ARG);
}
