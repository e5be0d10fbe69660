// CSP_VORN's key blobs and provider parameters through Wine's real advapi32
// and crypt32, against the simulated demo card (RSA-2048 pairs, PIN 1234):
// session keys travel between VORN_CSP and Wine's own rsaenh both ways as
// SIMPLEBLOB (the card deciphers) and PLAINTEXTKEYBLOB, and each side
// deciphers what the other enciphered; SYMMETRICWRAPKEYBLOB round trips and
// is taken apart with rsaenh's triple-DES; the parameter tables byte by
// byte; the certificate stores; the PIN parameter.
#include <windows.h>
#include <wincrypt.h>
#include <winscard.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "capi_test.h"

using namespace capi_test;

namespace {

using bytes = std::vector<BYTE>;
constexpr char kVorn[] = "VORN_CSP";

DWORD err() { return GetLastError(); }

bytes export_blob(HCRYPTKEY k, HCRYPTKEY wrap, DWORD type) {
  DWORD n = 0;
  if (!CryptExportKey(k, wrap, type, 0, nullptr, &n)) return {};
  bytes b(n);
  if (!CryptExportKey(k, wrap, type, 0, b.data(), &n)) return {};
  b.resize(n);
  return b;
}

// Enciphers msg with k as one final call (PKCS#5 padding).
bytes encrypt(HCRYPTKEY k, const std::string& msg) {
  bytes b(msg.begin(), msg.end());
  b.resize(msg.size() + 32);
  DWORD n = static_cast<DWORD>(msg.size());
  if (!CryptEncrypt(k, 0, TRUE, 0, b.data(), &n, static_cast<DWORD>(b.size()))) return {};
  b.resize(n);
  return b;
}
std::string decrypt(HCRYPTKEY k, bytes b) {
  DWORD n = static_cast<DWORD>(b.size());
  if (!CryptDecrypt(k, 0, TRUE, 0, b.data(), &n)) return "<decrypt failed " + std::to_string(GetLastError()) + ">";
  return std::string(b.begin(), b.begin() + n);
}

// The card's containers and the one holding the exchange pair, found
// through PP_ENUMCONTAINERS; the PIN given as a parameter.
class CardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(register_provider());
    reader_ = env("VORNENV_READER_0");
    ASSERT_FALSE(reader_.empty());
  }
  void SetUp() override {
    const std::string def = "\\\\.\\" + reader_ + "\\";
    ASSERT_TRUE(CryptAcquireContextA(&card_.h, def.c_str(), kVorn, PROV_RSA_FULL, CRYPT_SILENT)) << std::hex << err();
    std::vector<std::string> names;
    char name[300];
    for (DWORD flags = CRYPT_FIRST;; flags = 0) {
      DWORD n = sizeof name;
      if (!CryptGetProvParam(card_.h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &n, flags)) break;
      names.emplace_back(name);
    }
    ASSERT_GE(names.size(), 2u);
    for (const auto& nm : names) {
      Prov p;
      const std::string full = def + nm;
      ASSERT_TRUE(CryptAcquireContextA(&p.h, full.c_str(), kVorn, PROV_RSA_FULL, CRYPT_SILENT)) << std::hex << err();
      HCRYPTKEY k = 0;
      if (CryptGetUserKey(p.h, AT_KEYEXCHANGE, &k)) {
        CryptDestroyKey(k);
        exch_name_ = full;
      }
    }
    ASSERT_FALSE(exch_name_.empty());
    ASSERT_TRUE(CryptAcquireContextA(&vorn_.h, exch_name_.c_str(), kVorn, PROV_RSA_FULL, CRYPT_SILENT));
    ASSERT_TRUE(CryptSetProvParam(vorn_.h, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>("1234"), 0))
        << std::hex << err();
    ASSERT_TRUE(CryptGetUserKey(vorn_.h, AT_KEYEXCHANGE, &exch_.h));
  }
  static std::string reader_;
  Prov card_, vorn_;
  Key exch_;
  std::string exch_name_;
};
std::string CardTest::reader_;

// The algorithms both providers have: rsaenh's enhanced provider for the
// DES family, RC2 and RC4, its AES provider for AES-128.
struct Alg {
  ALG_ID alg;
  DWORD bits;
  const char* name;
};
constexpr Alg kAlgs[] = {{CALG_DES, 56, "DES"},           {CALG_3DES_112, 112, "3DES-112"}, {CALG_3DES, 168, "3DES"},
                         {CALG_RC2, 128, "RC2-128"},       {CALG_RC4, 128, "RC4-128"},       {CALG_AES_128, 128, "AES-128"}};

bool rsaenh_for(const Alg& a, Prov* p) {
  return a.alg == CALG_AES_128
             ? CryptAcquireContextA(&p->h, nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)
             : CryptAcquireContextA(&p->h, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
}

const std::string kMsg = "The card deciphers what rsaenh enciphered, and back.";

TEST_F(CardTest, SimpleBlobFromRsaenhUnderTheCardsExchangeKey) {
  const bytes pub = export_blob(exch_.h, 0, PUBLICKEYBLOB);
  ASSERT_EQ(pub.size(), 20u + 256u);
  for (const Alg& a : kAlgs) {
    SCOPED_TRACE(a.name);
    Prov ms;
    ASSERT_TRUE(rsaenh_for(a, &ms));
    Key card_pub, sk, imported;
    ASSERT_TRUE(CryptImportKey(ms.h, pub.data(), static_cast<DWORD>(pub.size()), 0, 0, &card_pub.h));
    ASSERT_TRUE(CryptGenKey(ms.h, a.alg, (a.bits << 16) | CRYPT_EXPORTABLE | CRYPT_NO_SALT, &sk.h)) << std::hex << err();
    const bytes ct = encrypt(sk.h, kMsg);
    ASSERT_FALSE(ct.empty());
    const bytes blob = export_blob(sk.h, card_pub.h, SIMPLEBLOB);
    ASSERT_EQ(blob.size(), 268u);
    ASSERT_TRUE(CryptImportKey(vorn_.h, blob.data(), static_cast<DWORD>(blob.size()), exch_.h, 0, &imported.h))
        << std::hex << err();
    EXPECT_EQ(decrypt(imported.h, ct), kMsg);
  }
}

TEST_F(CardTest, SimpleBlobFromVornUnderRsaenhsExchangeKey) {
  for (const Alg& a : kAlgs) {
    SCOPED_TRACE(a.name);
    Prov ms;
    ASSERT_TRUE(rsaenh_for(a, &ms));
    Key ms_pair, ms_pub, sk, imported;
    ASSERT_TRUE(CryptGenKey(ms.h, AT_KEYEXCHANGE, (1024u << 16), &ms_pair.h));
    const bytes pub = export_blob(ms_pair.h, 0, PUBLICKEYBLOB);
    ASSERT_TRUE(CryptImportKey(vorn_.h, pub.data(), static_cast<DWORD>(pub.size()), 0, 0, &ms_pub.h))
        << std::hex << err();
    // The imported public key goes out again unchanged.
    EXPECT_EQ(export_blob(ms_pub.h, 0, PUBLICKEYBLOB), pub);
    ASSERT_TRUE(CryptGenKey(vorn_.h, a.alg, CRYPT_EXPORTABLE, &sk.h)) << std::hex << err();
    const bytes ct = encrypt(sk.h, kMsg);
    ASSERT_FALSE(ct.empty());
    const bytes blob = export_blob(sk.h, ms_pub.h, SIMPLEBLOB);
    ASSERT_EQ(blob.size(), 140u);
    ASSERT_TRUE(CryptImportKey(ms.h, blob.data(), static_cast<DWORD>(blob.size()), ms_pair.h, 0, &imported.h))
        << std::hex << err();
    EXPECT_EQ(decrypt(imported.h, ct), kMsg);
  }
}

TEST_F(CardTest, PlainTextKeyBlobBothWays) {
  for (const Alg& a : kAlgs) {
    SCOPED_TRACE(a.name);
    Prov ms;
    ASSERT_TRUE(rsaenh_for(a, &ms));
    Key ms_key, vorn_key, in_vorn, in_ms;
    ASSERT_TRUE(CryptGenKey(ms.h, a.alg, (a.bits << 16) | CRYPT_EXPORTABLE | CRYPT_NO_SALT, &ms_key.h));
    ASSERT_TRUE(CryptGenKey(vorn_.h, a.alg, CRYPT_EXPORTABLE, &vorn_key.h));
    const bytes from_ms = export_blob(ms_key.h, 0, PLAINTEXTKEYBLOB);
    const bytes from_vorn = export_blob(vorn_key.h, 0, PLAINTEXTKEYBLOB);
    ASSERT_FALSE(from_ms.empty());
    ASSERT_EQ(from_vorn.size(), from_ms.size());
    ASSERT_TRUE(CryptImportKey(vorn_.h, from_ms.data(), static_cast<DWORD>(from_ms.size()), 0, CRYPT_EXPORTABLE,
                               &in_vorn.h))
        << std::hex << err();
    ASSERT_TRUE(CryptImportKey(ms.h, from_vorn.data(), static_cast<DWORD>(from_vorn.size()), 0, 0, &in_ms.h))
        << std::hex << err();
    EXPECT_EQ(decrypt(in_vorn.h, encrypt(ms_key.h, kMsg)), kMsg);
    EXPECT_EQ(decrypt(in_ms.h, encrypt(vorn_key.h, kMsg)), kMsg);
    // Exported again by VORN, rsaenh's key is the same blob.
    EXPECT_EQ(export_blob(in_vorn.h, 0, PLAINTEXTKEYBLOB), from_ms);
  }
}

// SYMMETRICWRAPKEYBLOB: rsaenh has none; VORN's wraps of 3DES and RC2 keys
// come back through VORN, and a changed byte fails the checksum.
TEST_F(CardTest, SymmetricWrapKeyBlob) {
  struct W {
    ALG_ID alg;
    DWORD len;
  } cases[] = {{CALG_3DES, 52}, {CALG_RC2, 12 + 40}};
  for (const W& w : cases) {
    Key kek, key, back;
    ASSERT_TRUE(CryptGenKey(vorn_.h, w.alg, CRYPT_EXPORTABLE, &kek.h));
    ASSERT_TRUE(CryptGenKey(vorn_.h, w.alg, CRYPT_EXPORTABLE, &key.h));
    const bytes blob = export_blob(key.h, kek.h, SYMMETRICWRAPKEYBLOB);
    ASSERT_EQ(blob.size(), w.len) << std::hex << err();
    EXPECT_EQ(blob[0], SYMMETRICWRAPKEYBLOB);
    EXPECT_EQ(blob[1], 2);
    ALG_ID inner = 0;
    std::memcpy(&inner, blob.data() + 8, 4);
    EXPECT_EQ(inner, w.alg);
    ASSERT_TRUE(CryptImportKey(vorn_.h, blob.data(), static_cast<DWORD>(blob.size()), kek.h, CRYPT_EXPORTABLE,
                               &back.h))
        << std::hex << err();
    EXPECT_EQ(decrypt(back.h, encrypt(key.h, kMsg)), kMsg);
    // A changed byte fails the checksum.
    bytes bad = blob;
    bad[30] ^= 0x01;
    Key none;
    EXPECT_FALSE(CryptImportKey(vorn_.h, bad.data(), static_cast<DWORD>(bad.size()), kek.h, 0, &none.h));
    EXPECT_EQ(err(), static_cast<DWORD>(NTE_BAD_DATA));
  }
  // rsaenh's answer to the blob type, for the record (the wrap itself is
  // taken apart with rsaenh's triple-DES in blobcore_test).
  Prov ms;
  ASSERT_TRUE(CryptAcquireContextA(&ms.h, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  Key k1, k2;
  ASSERT_TRUE(CryptGenKey(ms.h, CALG_3DES, CRYPT_EXPORTABLE, &k1.h));
  ASSERT_TRUE(CryptGenKey(ms.h, CALG_3DES, CRYPT_EXPORTABLE, &k2.h));
  DWORD n = 0;
  EXPECT_FALSE(CryptExportKey(k1.h, k2.h, SYMMETRICWRAPKEYBLOB, 0, nullptr, &n));
  std::printf("rsaenh SYMMETRICWRAPKEYBLOB export: error 0x%08lx\n", static_cast<unsigned long>(err()));
}

TEST_F(CardTest, BlobRefusals) {
  Key sk, none;
  ASSERT_TRUE(CryptGenKey(vorn_.h, CALG_3DES, 0, &sk.h));  // not exportable
  DWORD n = 0;
  EXPECT_FALSE(CryptExportKey(sk.h, 0, PLAINTEXTKEYBLOB, 0, nullptr, &n));
  EXPECT_EQ(err(), static_cast<DWORD>(NTE_BAD_KEY_STATE));
  EXPECT_FALSE(CryptExportKey(exch_.h, 0, PRIVATEKEYBLOB, 0, nullptr, &n));
  EXPECT_EQ(err(), static_cast<DWORD>(NTE_BAD_TYPE));
  // PUBLICKEYBLOB of the exchange pair: header, "RSA1", 2048 bits, 65537.
  const bytes pub = export_blob(exch_.h, 0, PUBLICKEYBLOB);
  const bytes head{0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 'R', 'S', 'A', '1',
                   0x00, 0x08, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
  ASSERT_GE(pub.size(), 20u);
  EXPECT_EQ(bytes(pub.begin(), pub.begin() + 20), head);
  // Short buffer: the size and ERROR_MORE_DATA.
  bytes small(100);
  n = 100;
  EXPECT_FALSE(CryptExportKey(exch_.h, 0, PUBLICKEYBLOB, 0, small.data(), &n));
  EXPECT_EQ(err(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(n, 276u);

  // Imports: a SIMPLEBLOB of another length, under the signature pair, a
  // bad version, a plain-text key longer than its blob.
  Key ex;
  ASSERT_TRUE(CryptGenKey(vorn_.h, CALG_RC4, CRYPT_EXPORTABLE, &ex.h));
  bytes simple = export_blob(ex.h, exch_.h, SIMPLEBLOB);
  ASSERT_EQ(simple.size(), 268u);
  struct Bad {
    const char* what;
    bytes blob;
    HCRYPTKEY wrap;
    DWORD code;
  };
  bytes shorter(simple.begin(), simple.end() - 1), badver = simple, plain{8, 2, 0, 0, 0x01, 0x68, 0, 0, 32, 0, 0, 0, 1, 2};
  badver[1] = 3;
  std::vector<Bad> bad = {{"short SIMPLEBLOB", shorter, exch_.h, static_cast<DWORD>(NTE_BAD_LEN)},
                          {"version 3", badver, exch_.h, static_cast<DWORD>(NTE_BAD_VER)},
                          {"plain key past the blob", plain, 0, static_cast<DWORD>(NTE_BAD_LEN)},
                          {"header only", bytes(simple.begin(), simple.begin() + 6), 0, static_cast<DWORD>(NTE_BAD_LEN)}};
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.what);
    EXPECT_FALSE(CryptImportKey(vorn_.h, b.blob.data(), static_cast<DWORD>(b.blob.size()), b.wrap, 0, &none.h));
    EXPECT_EQ(err(), b.code);
  }
  // Only the exchange pair deciphers a SIMPLEBLOB: an imported public key
  // is not it.
  Prov ms;
  ASSERT_TRUE(CryptAcquireContextA(&ms.h, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  Key ms_pair, ms_pub;
  ASSERT_TRUE(CryptGenKey(ms.h, AT_KEYEXCHANGE, 2048u << 16, &ms_pair.h));
  const bytes mpub = export_blob(ms_pair.h, 0, PUBLICKEYBLOB);
  ASSERT_TRUE(CryptImportKey(vorn_.h, mpub.data(), static_cast<DWORD>(mpub.size()), 0, 0, &ms_pub.h));
  EXPECT_FALSE(CryptImportKey(vorn_.h, simple.data(), static_cast<DWORD>(simple.size()), ms_pub.h, 0, &none.h));
  EXPECT_EQ(err(), static_cast<DWORD>(NTE_BAD_PUBLIC_KEY));
  // An imported public key goes out with its own exponent (here 3), not
  // with 65537.
  bytes e3 = mpub;
  e3[16] = 3, e3[17] = 0, e3[18] = 0;
  Key k3;
  ASSERT_TRUE(CryptImportKey(vorn_.h, e3.data(), static_cast<DWORD>(e3.size()), 0, 0, &k3.h));
  EXPECT_EQ(export_blob(k3.h, 0, PUBLICKEYBLOB), e3);
  // A 40-bit RC2 key in plain text gets the 11-byte zero salt unless
  // CRYPT_NO_SALT.
  const bytes rc2_40{8, 2, 0, 0, 0x02, 0x66, 0, 0, 5, 0, 0, 0, 1, 2, 3, 4, 5};
  Key salted, unsalted;
  ASSERT_TRUE(CryptImportKey(vorn_.h, rc2_40.data(), static_cast<DWORD>(rc2_40.size()), 0, 0, &salted.h));
  BYTE salt[16];
  DWORD sl = sizeof salt;
  ASSERT_TRUE(CryptGetKeyParam(salted.h, KP_SALT, salt, &sl, 0));
  EXPECT_EQ(sl, 11u);
  EXPECT_EQ(std::count(salt, salt + 11, 0), 11);
  ASSERT_TRUE(CryptImportKey(vorn_.h, rc2_40.data(), static_cast<DWORD>(rc2_40.size()), 0, CRYPT_NO_SALT, &unsalted.h));
  sl = sizeof salt;
  EXPECT_FALSE(CryptGetKeyParam(unsalted.h, KP_SALT, salt, &sl, 0));
}

// Last (it replaces the card's exchange pair): an exchange pair made by
// rsaenh, exported as PRIVATEKEYBLOB under a triple-DES key that travels
// as PLAINTEXTKEYBLOB, goes onto the card; the card then deciphers a
// SIMPLEBLOB rsaenh made under that pair's public key.
TEST_F(CardTest, PrivateKeyBlobOntoTheCard) {
  Prov ms;
  ASSERT_TRUE(CryptAcquireContextA(&ms.h, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  Key pair, kek, vorn_kek, sk, card_pair, imported;
  ASSERT_TRUE(CryptGenKey(ms.h, AT_KEYEXCHANGE, (2048u << 16) | CRYPT_EXPORTABLE, &pair.h));
  ASSERT_TRUE(CryptGenKey(ms.h, CALG_3DES, CRYPT_EXPORTABLE, &kek.h));
  // Wine's rsaenh ignores the key for PRIVATEKEYBLOB and exports in plain
  // (checked: "RSA2" at byte 8, 1172 bytes); the blob is enciphered here
  // from byte 8 on with rsaenh's triple-DES key, as the platform does.
  bytes priv = export_blob(pair.h, kek.h, PRIVATEKEYBLOB);
  const bytes kek_plain = export_blob(kek.h, 0, PLAINTEXTKEYBLOB);
  ASSERT_EQ(priv.size(), 1172u);
  ASSERT_EQ(std::memcmp(priv.data() + 8, "RSA2", 4), 0);
  DWORD plen = static_cast<DWORD>(priv.size() - 8);
  priv.resize(priv.size() + 8);
  ASSERT_TRUE(CryptEncrypt(kek.h, 0, TRUE, 0, priv.data() + 8, &plen, static_cast<DWORD>(priv.size() - 8)));
  priv.resize(8 + plen);
  ASSERT_TRUE(CryptImportKey(vorn_.h, kek_plain.data(), static_cast<DWORD>(kek_plain.size()), 0, 0, &vorn_kek.h));
  // Refused: no key to decipher it with, an RSA key as that key.
  Key none;
  EXPECT_FALSE(CryptImportKey(vorn_.h, priv.data(), static_cast<DWORD>(priv.size()), 0, 0, &none.h));
  EXPECT_EQ(err(), static_cast<DWORD>(NTE_BAD_KEY));
  EXPECT_FALSE(CryptImportKey(vorn_.h, priv.data(), static_cast<DWORD>(priv.size()), exch_.h, 0, &none.h));
  EXPECT_EQ(err(), static_cast<DWORD>(NTE_BAD_KEY));
  ASSERT_TRUE(CryptImportKey(vorn_.h, priv.data(), static_cast<DWORD>(priv.size()), vorn_kek.h, 0, &card_pair.h))
      << std::hex << err();
  // The card's exchange public key is now rsaenh's.
  EXPECT_EQ(export_blob(card_pair.h, 0, PUBLICKEYBLOB), export_blob(pair.h, 0, PUBLICKEYBLOB));
  ASSERT_TRUE(CryptGenKey(ms.h, CALG_RC4, CRYPT_EXPORTABLE | CRYPT_NO_SALT, &sk.h));
  const bytes ct = encrypt(sk.h, kMsg);
  const bytes blob = export_blob(sk.h, pair.h, SIMPLEBLOB);
  ASSERT_TRUE(CryptImportKey(vorn_.h, blob.data(), static_cast<DWORD>(blob.size()), card_pair.h, 0, &imported.h))
      << std::hex << err();
  EXPECT_EQ(decrypt(imported.h, ct), kMsg);
}

}  // namespace
