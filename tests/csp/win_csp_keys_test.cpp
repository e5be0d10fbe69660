// CSP_VORN's hash objects, keys, signatures and ciphers through Wine's real
// advapi32, against the simulated demo card (pcscd + vpcd + the bridge), with
// Wine's own rsaenh and OpenSSL's libcrypto as independent references.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ui_driver.h"

#include "capi_test.h"

using namespace capi_test;

namespace {

using bytes = std::vector<BYTE>;
constexpr char kProv[] = "VORN_CSP";
constexpr char kPin[] = "1234";  // the simulator's default user PIN

// ---- set-up: register the provider once --------------------------------------
class Registered : public ::testing::Environment {
 public:
  void SetUp() override {
    HMODULE dll = LoadLibraryA("CSP_VORN.dll");
    ASSERT_NE(dll, nullptr) << GetLastError();
    auto reg = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), S_OK);
  }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new Registered);

bool verify_context(Prov& p) {
  return CryptAcquireContextA(&p.h, nullptr, kProv, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) != FALSE;
}
bool rsaenh(Prov& p) {
  return CryptAcquireContextA(&p.h, nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) != FALSE;
}

bytes hex(const std::string& s) {
  bytes b;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(static_cast<BYTE>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return b;
}

bytes hash_value(HCRYPTHASH h) {
  DWORD n = 0;
  if (!CryptGetHashParam(h, HP_HASHVAL, nullptr, &n, 0)) return {};
  bytes v(n);
  if (!CryptGetHashParam(h, HP_HASHVAL, v.data(), &n, 0)) return {};
  return v;
}

DWORD last_error_of(BOOL ok) { return ok ? 0 : GetLastError(); }

// ---- hash objects ----------------------------------------------------------------

TEST(CspHash, StandardValuesOfAbc) {
  Prov p;
  ASSERT_TRUE(verify_context(p)) << std::hex << GetLastError();
  const struct {
    ALG_ID alg;
    const char* value;
  } rows[] = {
      {CALG_SHA_256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {CALG_SHA1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {CALG_MD5, "900150983cd24fb0d6963f7d28e17f72"},
  };
  for (const auto& r : rows) {
    Hash h;
    ASSERT_TRUE(CryptCreateHash(p.h, r.alg, 0, 0, &h.h));
    ASSERT_TRUE(CryptHashData(h.h, reinterpret_cast<const BYTE*>("ab"), 2, 0));
    ASSERT_TRUE(CryptHashData(h.h, nullptr, 0, 0));  // changes nothing
    Hash d;
    ASSERT_TRUE(CryptDuplicateHash(h.h, nullptr, 0, &d.h));
    ASSERT_TRUE(CryptHashData(h.h, reinterpret_cast<const BYTE*>("c"), 1, 0));
    ASSERT_TRUE(CryptHashData(d.h, reinterpret_cast<const BYTE*>("c"), 1, 0));
    DWORD v = 0, n = 4;
    ASSERT_TRUE(CryptGetHashParam(h.h, HP_ALGID, reinterpret_cast<BYTE*>(&v), &n, 0));
    EXPECT_EQ(v, r.alg);
    EXPECT_EQ(hash_value(h.h), hex(r.value));
    EXPECT_EQ(hash_value(d.h), hex(r.value));
    // Finished: no more data.
    EXPECT_EQ(last_error_of(CryptHashData(h.h, reinterpret_cast<const BYTE*>("x"), 1, 0)),
              static_cast<DWORD>(NTE_BAD_HASH_STATE));
  }
}

TEST(CspHash, SlotsAlgorithmsAndSsl3Values) {
  Prov p;
  ASSERT_TRUE(verify_context(p));
  Hash h[50];
  for (auto& x : h) ASSERT_TRUE(CryptCreateHash(p.h, CALG_SHA1, 0, 0, &x.h));
  HCRYPTHASH extra = 0;
  EXPECT_EQ(last_error_of(CryptCreateHash(p.h, CALG_SHA1, 0, 0, &extra)), static_cast<DWORD>(NTE_NO_MEMORY));
  ASSERT_TRUE(CryptDestroyHash(h[49].h));
  h[49].h = 0;
  EXPECT_EQ(last_error_of(CryptCreateHash(p.h, CALG_SHA_384, 0, 0, &extra)), static_cast<DWORD>(NTE_BAD_ALGID));
  EXPECT_EQ(last_error_of(CryptCreateHash(p.h, CALG_SHA1, 0, 1, &extra)), static_cast<DWORD>(NTE_BAD_FLAGS));

  Hash s;
  ASSERT_TRUE(CryptCreateHash(p.h, CALG_SSL3_SHAMD5, 0, 0, &s.h));
  BYTE buf[36];
  DWORD n = sizeof buf;
  EXPECT_EQ(last_error_of(CryptGetHashParam(s.h, HP_HASHVAL, buf, &n, 0)), static_cast<DWORD>(NTE_BAD_HASH));
  EXPECT_EQ(last_error_of(CryptHashData(s.h, buf, 1, 0)), static_cast<DWORD>(NTE_BAD_ALGID));
  bytes v(36);
  for (int i = 0; i < 36; ++i) v[i] = static_cast<BYTE>(i * 7 + 1);
  ASSERT_TRUE(CryptSetHashParam(s.h, HP_HASHVAL, v.data(), 0));
  EXPECT_EQ(last_error_of(CryptSetHashParam(s.h, HP_HASHVAL, v.data(), 0)), static_cast<DWORD>(NTE_BAD_HASH));
  n = 35;
  EXPECT_EQ(last_error_of(CryptGetHashParam(s.h, HP_HASHVAL, buf, &n, 0)), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(n, 36u);
  EXPECT_EQ(hash_value(s.h), v);
  Key k;
  ASSERT_TRUE(CryptGenKey(p.h, CALG_RC4, 0, &k.h));
  EXPECT_EQ(last_error_of(CryptHashSessionKey(s.h, k.h, 0)), static_cast<DWORD>(E_NOTIMPL));
}

// ---- session keys -----------------------------------------------------------------

DWORD key_dword(HCRYPTKEY k, DWORD param) {
  DWORD v = 0xFFFFFFFF, n = 4;
  return CryptGetKeyParam(k, param, reinterpret_cast<BYTE*>(&v), &n, 0) ? v : 0xEEEEEEEE;
}

TEST(CspKeys, SessionKeyLengthsAndParameters) {
  Prov p;
  ASSERT_TRUE(verify_context(p));
  const struct {
    ALG_ID alg;
    DWORD req;
    DWORD code;  // 0: made
    DWORD keylen, blocklen;
  } rows[] = {
      {CALG_DES, 0, 0, 64, 64},        {CALG_DES, 56, 0, 64, 64},
      {CALG_3DES_112, 112, 0, 128, 64}, {CALG_3DES, 168, 0, 192, 64},
      {CALG_3DES, 0, 0, 192, 64},      {CALG_AES_128, 0, 0, 128, 128},
      {CALG_RC2, 44, static_cast<DWORD>(NTE_BAD_FLAGS), 0, 0},
      {CALG_RC2, 48, 0, 48, 64},       {CALG_RC4, 0, 0, 128, 0},
      {CALG_RC4, 40, 0, 40, 0},        {CALG_AES_256, 0, static_cast<DWORD>(NTE_BAD_ALGID), 0, 0},
      {AT_SIGNATURE, 0, static_cast<DWORD>(NTE_PERM), 0, 0},
      {AT_KEYEXCHANGE, 0, static_cast<DWORD>(NTE_PERM), 0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.alg);
    Key k;
    const DWORD code = last_error_of(CryptGenKey(p.h, r.alg, r.req << 16, &k.h));
    ASSERT_EQ(code, r.code);
    if (code != 0) continue;
    EXPECT_EQ(key_dword(k.h, KP_KEYLEN), r.keylen);
    EXPECT_EQ(key_dword(k.h, KP_BLOCKLEN), r.blocklen);
    EXPECT_EQ(key_dword(k.h, KP_ALGID), r.alg);
    EXPECT_EQ(key_dword(k.h, KP_PERMISSIONS), 0xCBu);
  }
  Key des, rc2, rc4;
  ASSERT_TRUE(CryptGenKey(p.h, CALG_DES, CRYPT_EXPORTABLE, &des.h));
  ASSERT_TRUE(CryptGenKey(p.h, CALG_RC2, 0, &rc2.h));
  ASSERT_TRUE(CryptGenKey(p.h, CALG_RC4, 0, &rc4.h));
  EXPECT_EQ(key_dword(des.h, KP_PERMISSIONS), 0xCFu);
  EXPECT_EQ(key_dword(des.h, KP_MODE), static_cast<DWORD>(CRYPT_MODE_CBC));
  EXPECT_EQ(key_dword(rc2.h, KP_EFFECTIVE_KEYLEN), 128u);  // platform version 6
  DWORD v = CRYPT_MODE_CFB;
  EXPECT_EQ(last_error_of(CryptSetKeyParam(rc2.h, KP_MODE, reinterpret_cast<BYTE*>(&v), 0)),
            static_cast<DWORD>(NTE_BAD_TYPE));
  EXPECT_TRUE(CryptSetKeyParam(des.h, KP_MODE, reinterpret_cast<BYTE*>(&v), 0));
  v = 2;
  EXPECT_EQ(last_error_of(CryptSetKeyParam(des.h, KP_PADDING, reinterpret_cast<BYTE*>(&v), 0)),
            static_cast<DWORD>(NTE_BAD_DATA));
  EXPECT_EQ(last_error_of(CryptSetKeyParam(rc4.h, KP_IV, reinterpret_cast<BYTE*>(&v), 0)),
            static_cast<DWORD>(NTE_BAD_TYPE));
  BYTE salt[11];
  DWORD n = sizeof salt;
  EXPECT_EQ(last_error_of(CryptGetKeyParam(des.h, KP_SALT, salt, &n, 0)), static_cast<DWORD>(NTE_BAD_KEY));
  EXPECT_TRUE(CryptGetKeyParam(rc4.h, KP_SALT, salt, &n, 0));
  EXPECT_EQ(n, 11u);

  // Ciphers: DES Final of 8 bytes makes 16; 5 bytes without Final is short.
  BYTE data[16] = {1, 2, 3, 4, 5, 6, 7, 8};
  DWORD len = 5;
  EXPECT_EQ(last_error_of(CryptEncrypt(des.h, 0, FALSE, 0, data, &len, sizeof data)),
            static_cast<DWORD>(ERROR_MORE_DATA));
  v = CRYPT_MODE_CBC;
  ASSERT_TRUE(CryptSetKeyParam(des.h, KP_MODE, reinterpret_cast<BYTE*>(&v), 0));
  len = 8;
  ASSERT_TRUE(CryptEncrypt(des.h, 0, TRUE, 0, data, &len, sizeof data));
  EXPECT_EQ(len, 16u);
  ASSERT_TRUE(CryptDecrypt(des.h, 0, TRUE, 0, data, &len));
  EXPECT_EQ(len, 8u);
  EXPECT_EQ(data[7], 8);

  BYTE r[8];
  EXPECT_EQ(last_error_of(CryptGenRandom(p.h, 0, r)), static_cast<DWORD>(NTE_FAIL));
  ASSERT_TRUE(CryptGenRandom(p.h, sizeof r, r));
  HCRYPTKEY derived = 0;
  Hash h;
  ASSERT_TRUE(CryptCreateHash(p.h, CALG_SHA1, 0, 0, &h.h));
  EXPECT_EQ(last_error_of(CryptDeriveKey(p.h, CALG_DES, h.h, 0, &derived)), static_cast<DWORD>(E_NOTIMPL));
}

// The same key material in rsaenh and in VORN_CSP (a PLAINTEXTKEYBLOB into
// both): every algorithm and mode both providers have gives the same
// ciphertext, and each deciphers the other's.
TEST(CspKeys, SessionCiphersMatchRsaenh) {
  Prov p, ms;
  ASSERT_TRUE(verify_context(p));
  ASSERT_TRUE(rsaenh(ms)) << std::hex << GetLastError();
  const struct {
    ALG_ID alg;
    DWORD key_bytes;
    DWORD mode;
  } rows[] = {
      {CALG_DES, 8, CRYPT_MODE_CBC},      {CALG_DES, 8, CRYPT_MODE_ECB},      {CALG_DES, 8, CRYPT_MODE_CFB},
      {CALG_3DES_112, 16, CRYPT_MODE_CBC}, {CALG_3DES, 24, CRYPT_MODE_CBC},    {CALG_3DES, 24, CRYPT_MODE_ECB},
      {CALG_RC2, 16, CRYPT_MODE_CBC},     {CALG_RC2, 16, CRYPT_MODE_ECB},     {CALG_RC4, 16, 0},
      {CALG_AES_128, 16, CRYPT_MODE_CBC}, {CALG_AES_128, 16, CRYPT_MODE_ECB}, {CALG_AES_128, 16, CRYPT_MODE_CFB},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << r.alg << " mode " << r.mode);
    bytes blob(sizeof(BLOBHEADER) + 4 + r.key_bytes);
    auto* hdr = reinterpret_cast<BLOBHEADER*>(blob.data());
    hdr->bType = PLAINTEXTKEYBLOB;
    hdr->bVersion = CUR_BLOB_VERSION;
    hdr->aiKeyAlg = r.alg;
    const DWORD kl = r.key_bytes;
    std::memcpy(blob.data() + sizeof(BLOBHEADER), &kl, 4);
    ASSERT_TRUE(CryptGenRandom(ms.h, kl, blob.data() + sizeof(BLOBHEADER) + 4));
    Key ours, theirs;
    ASSERT_TRUE(CryptImportKey(p.h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &ours.h))
        << std::hex << GetLastError();
    ASSERT_TRUE(CryptImportKey(ms.h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &theirs.h));
    if (r.alg == CALG_RC2) {
      DWORD eff = 128;
      ASSERT_TRUE(CryptSetKeyParam(theirs.h, KP_EFFECTIVE_KEYLEN, reinterpret_cast<BYTE*>(&eff), 0));
      ASSERT_TRUE(CryptSetKeyParam(ours.h, KP_EFFECTIVE_KEYLEN, reinterpret_cast<BYTE*>(&eff), 0));
    }
    if (r.alg != CALG_RC4) {
      BYTE iv[16];
      ASSERT_TRUE(CryptGenRandom(ms.h, sizeof iv, iv));
      DWORD mode = r.mode;
      for (HCRYPTKEY k : {ours.h, theirs.h}) {
        ASSERT_TRUE(CryptSetKeyParam(k, KP_IV, iv, 0));
        ASSERT_TRUE(CryptSetKeyParam(k, KP_MODE, reinterpret_cast<BYTE*>(&mode), 0));
      }
    }
    bytes msg(45);
    ASSERT_TRUE(CryptGenRandom(ms.h, static_cast<DWORD>(msg.size()), msg.data()));
    bytes a = msg, b = msg;
    a.resize(64);
    b.resize(64);
    // Ours in two calls (32 bytes, then the rest with Final), theirs in one.
    DWORD la = 32, lb = static_cast<DWORD>(msg.size());
    ASSERT_TRUE(CryptEncrypt(ours.h, 0, FALSE, 0, a.data(), &la, 64));
    DWORD rest = static_cast<DWORD>(msg.size()) - 32;
    ASSERT_TRUE(CryptEncrypt(ours.h, 0, TRUE, 0, a.data() + 32, &rest, 32));
    ASSERT_TRUE(CryptEncrypt(theirs.h, 0, TRUE, 0, b.data(), &lb, 64));
    ASSERT_EQ(32 + rest, lb);
    a.resize(lb);
    b.resize(lb);
    EXPECT_EQ(a, b);
    DWORD da = lb, db = lb;
    ASSERT_TRUE(CryptDecrypt(ours.h, 0, TRUE, 0, b.data(), &da));
    ASSERT_TRUE(CryptDecrypt(theirs.h, 0, TRUE, 0, a.data(), &db));
    b.resize(da);
    a.resize(db);
    EXPECT_EQ(a, msg);
    EXPECT_EQ(b, msg);
  }
}

// ---- the card's key pairs ------------------------------------------------------------

// The public keys on the simulated card, read from its card file: object
// (app, number) -> modulus.
struct CardPublic {
  int app;
  int number;
  bytes modulus;
  bool operator<(const CardPublic& o) const { return std::tie(app, number, modulus) < std::tie(o.app, o.number, o.modulus); }
};
std::set<CardPublic> card_publics() {
  std::set<CardPublic> out;
  const char* file = std::getenv("VORN_DEMO_CARD_0");
  if (file == nullptr) return out;
  std::ifstream in(std::string("Z:") + file);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string tag, map, type, alg, attrs, value;
    int app = 0, number = 0;
    if (!(ls >> tag >> app >> number >> map >> type >> alg >> attrs >> value) || tag != "obj" || type != "1") continue;
    bytes v = hex(value);
    if (v.size() != 136 && v.size() != 264) continue;  // modulus and 8-byte exponent 65537
    v.resize(v.size() - 8);
    out.insert({app, number, v});
  }
  return out;
}

// A PUBLICKEYBLOB of a big-endian modulus with exponent 65537.
bytes public_blob(const bytes& modulus, ALG_ID alg) {
  bytes b(sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) + modulus.size());
  auto* h = reinterpret_cast<BLOBHEADER*>(b.data());
  h->bType = PUBLICKEYBLOB;
  h->bVersion = CUR_BLOB_VERSION;
  h->aiKeyAlg = alg;
  auto* rk = reinterpret_cast<RSAPUBKEY*>(b.data() + sizeof(BLOBHEADER));
  rk->magic = 0x31415352;  // "RSA1"
  rk->bitlen = static_cast<DWORD>(modulus.size() * 8);
  rk->pubexp = 65537;
  std::reverse_copy(modulus.begin(), modulus.end(), b.begin() + sizeof(BLOBHEADER) + sizeof(RSAPUBKEY));
  return b;
}

// OpenSSL's verdict on a signature (least significant byte first, as
// CryptoAPI gives it) over the digest of data.
EVP_PKEY* openssl_public(const bytes& modulus) {
  OSSL_PARAM_BLD* b = OSSL_PARAM_BLD_new();
  BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
  BIGNUM* e = BN_new();
  BN_set_word(e, 65537);
  OSSL_PARAM_BLD_push_BN(b, "n", n);
  OSSL_PARAM_BLD_push_BN(b, "e", e);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(b);
  EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* pk = nullptr;
  EVP_PKEY_fromdata_init(kctx);
  EVP_PKEY_fromdata(kctx, &pk, EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(kctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(b);
  BN_free(n);
  BN_free(e);
  return pk;
}

// A certificate (DER) for the public key of modulus, issued by a throwaway
// OpenSSL key: what a CA would hand back for the card's key.
bytes certificate_for(const bytes& modulus, const char* cn) {
  EVP_PKEY* pub = openssl_public(modulus);
  EVP_PKEY* ca = EVP_RSA_gen(1024);
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 4242);
  X509_NAME* name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509_set_subject_name(x, name);
  X509_set_issuer_name(x, name);
  X509_gmtime_adj(X509_getm_notBefore(x), 0);
  X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365);
  X509_set_pubkey(x, pub);
  X509_sign(x, ca, EVP_sha256());
  unsigned char* der = nullptr;
  const int n = i2d_X509(x, &der);
  bytes out(der, der + (n > 0 ? n : 0));
  OPENSSL_free(der);
  X509_NAME_free(name);
  X509_free(x);
  EVP_PKEY_free(ca);
  EVP_PKEY_free(pub);
  return out;
}

bool openssl_verifies(const bytes& modulus, const bytes& sig_le, const char* md, const bytes& data) {
  bytes sig(sig_le.rbegin(), sig_le.rend());
  EVP_PKEY* pk = openssl_public(modulus);
  if (pk == nullptr) return false;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_get_digestbyname(md), nullptr, pk) == 1 &&
                  EVP_DigestVerify(ctx, sig.data(), sig.size(), data.data(), data.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(pk);
  return ok;
}

// rsaenh's verdict, with the public key imported as a PUBLICKEYBLOB.
bool rsaenh_verifies(const bytes& modulus, const bytes& sig_le, ALG_ID alg, const bytes& data) {
  Prov ms;
  Key k;
  Hash h;
  if (!rsaenh(ms)) return false;
  const bytes blob = public_blob(modulus, CALG_RSA_SIGN);
  return CryptImportKey(ms.h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &k.h) &&
         CryptCreateHash(ms.h, alg, 0, 0, &h.h) && CryptHashData(h.h, data.data(), static_cast<DWORD>(data.size()), 0) &&
         CryptVerifySignatureA(h.h, sig_le.data(), static_cast<DWORD>(sig_le.size()), k.h, nullptr, 0);
}

bytes sign(HCRYPTPROV p, DWORD spec, ALG_ID alg, const bytes& data, DWORD flags = 0) {
  Hash h;
  if (!CryptCreateHash(p, alg, 0, 0, &h.h) || !CryptHashData(h.h, data.data(), static_cast<DWORD>(data.size()), 0))
    return {};
  DWORD n = 0;
  if (!CryptSignHashA(h.h, spec, nullptr, flags, nullptr, &n)) return {};
  bytes s(n);
  if (!CryptSignHashA(h.h, spec, nullptr, flags, s.data(), &n)) return {};
  s.resize(n);
  return s;
}

// A silent context on the card's default container with the PIN in the
// cache (KP_SIGNATURE_PIN on its user key: no dialog, no card access).
class CardContext : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CryptAcquireContextA(&p.h, nullptr, kProv, PROV_RSA_FULL, CRYPT_SILENT)) << std::hex << GetLastError();
    Key k;
    ASSERT_TRUE(CryptGetUserKey(p.h, AT_SIGNATURE, &k.h)) << std::hex << GetLastError();
    ASSERT_TRUE(CryptSetKeyParam(k.h, KP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(kPin), 0));
  }
  Prov p;
};

TEST_F(CardContext, SignaturesOfEveryHashVerifyWithOpenSslAndRsaenh) {
  const std::set<CardPublic> pubs = card_publics();
  ASSERT_FALSE(pubs.empty());
  const bytes data = {'V', 'O', 'R', 'N', ' ', 's', 'i', 'g', 'n', 's'};
  const struct {
    ALG_ID alg;
    const char* md;
  } rows[] = {{CALG_SHA1, "SHA1"}, {CALG_MD5, "MD5"}, {CALG_SHA_256, "SHA256"}};
  Key user;
  ASSERT_TRUE(CryptGetUserKey(p.h, AT_SIGNATURE, &user.h));
  for (const auto& r : rows) {
    SCOPED_TRACE(r.md);
    const bytes s = sign(p.h, AT_SIGNATURE, r.alg, data);
    ASSERT_FALSE(s.empty()) << std::hex << GetLastError();
    const auto it = std::find_if(pubs.begin(), pubs.end(), [&](const CardPublic& c) {
      return c.app == 1 && openssl_verifies(c.modulus, s, r.md, data);
    });
    ASSERT_NE(it, pubs.end()) << "no public key of AP-SIGN verifies the signature";
    EXPECT_TRUE(rsaenh_verifies(it->modulus, s, r.alg, data));
    // Our own verification, and a tampered signature refused.
    Hash h;
    ASSERT_TRUE(CryptCreateHash(p.h, r.alg, 0, 0, &h.h));
    ASSERT_TRUE(CryptHashData(h.h, data.data(), static_cast<DWORD>(data.size()), 0));
    EXPECT_TRUE(CryptVerifySignatureA(h.h, s.data(), static_cast<DWORD>(s.size()), user.h, nullptr, 0))
        << std::hex << GetLastError();
    bytes bad = s;
    bad[5] ^= 1;
    EXPECT_EQ(last_error_of(CryptVerifySignatureA(h.h, bad.data(), static_cast<DWORD>(bad.size()), user.h, nullptr, 0)),
              static_cast<DWORD>(NTE_BAD_SIGNATURE));
    EXPECT_EQ(last_error_of(CryptVerifySignatureA(h.h, bad.data(), 128, user.h, nullptr, 0)),
              static_cast<DWORD>(NTE_BAD_LEN));
  }
  // CRYPT_NOHASHOID and an SSL3 SHA-MD5 value: the card signs the bare value.
  Hash s3;
  ASSERT_TRUE(CryptCreateHash(p.h, CALG_SSL3_SHAMD5, 0, 0, &s3.h));
  bytes v(36, 0x5A);
  ASSERT_TRUE(CryptSetHashParam(s3.h, HP_HASHVAL, v.data(), 0));
  DWORD n = 256;
  bytes s(256);
  ASSERT_TRUE(CryptSignHashA(s3.h, AT_SIGNATURE, nullptr, 0, s.data(), &n)) << std::hex << GetLastError();
  EXPECT_TRUE(CryptVerifySignatureA(s3.h, s.data(), n, user.h, nullptr, 0));
  const bytes no_oid = sign(p.h, AT_SIGNATURE, CALG_SHA1, data, CRYPT_NOHASHOID);
  ASSERT_EQ(no_oid.size(), 256u);
  Hash h;
  ASSERT_TRUE(CryptCreateHash(p.h, CALG_SHA1, 0, 0, &h.h));
  ASSERT_TRUE(CryptHashData(h.h, data.data(), static_cast<DWORD>(data.size()), 0));
  EXPECT_TRUE(CryptVerifySignatureA(h.h, no_oid.data(), 256, user.h, nullptr, CRYPT_NOHASHOID));
  EXPECT_EQ(last_error_of(CryptVerifySignatureA(h.h, no_oid.data(), 256, user.h, nullptr, 0)),
            static_cast<DWORD>(NTE_BAD_SIGNATURE));
}

// Key pairs generated on the card, 1024 and 2048 bits: exactly one new
// public key appears on the card, and it verifies the pair's signatures.
TEST_F(CardContext, GeneratedPairsSignAndDecipherOnTheCard) {
  const struct {
    DWORD spec;
    DWORD bits;
  } rows[] = {{AT_SIGNATURE, 1024}, {AT_KEYEXCHANGE, 2048}, {AT_KEYEXCHANGE, 1024}};
  for (const auto& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.spec << "/" << r.bits);
    const std::set<CardPublic> before = card_publics();
    Key k;
    ASSERT_TRUE(CryptGenKey(p.h, r.spec, r.bits << 16, &k.h)) << std::hex << GetLastError();
    EXPECT_EQ(key_dword(k.h, KP_KEYLEN), r.bits);
    std::vector<CardPublic> fresh;
    for (const CardPublic& c : card_publics())
      if (!before.count(c)) fresh.push_back(c);
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh[0].app, r.spec == AT_SIGNATURE ? 1 : 2);
    EXPECT_EQ(fresh[0].modulus.size() * 8, r.bits);
    const bytes data(100, 0x42);
    const bytes s = sign(p.h, r.spec, CALG_SHA_256, data);
    ASSERT_EQ(s.size(), r.bits / 8) << std::hex << GetLastError();
    EXPECT_TRUE(openssl_verifies(fresh[0].modulus, s, "SHA256", data));
    EXPECT_TRUE(rsaenh_verifies(fresh[0].modulus, s, CALG_SHA_256, data));
    if (r.spec != AT_KEYEXCHANGE) continue;

    // Key exchange: ours enciphers in software, rsaenh with the card's
    // public key; the card deciphers both. m - 11 bytes fit, one more not.
    const DWORD m = r.bits / 8;
    bytes buf(m);
    DWORD len = m - 11;
    std::fill(buf.begin(), buf.end(), 0x33);
    ASSERT_TRUE(CryptEncrypt(k.h, 0, TRUE, 0, buf.data(), &len, m));
    EXPECT_EQ(len, m);
    ASSERT_TRUE(CryptDecrypt(k.h, 0, TRUE, 0, buf.data(), &len)) << std::hex << GetLastError();
    EXPECT_EQ(len, m - 11);
    EXPECT_EQ(buf[0], 0x33);
    len = m - 10;
    EXPECT_EQ(last_error_of(CryptEncrypt(k.h, 0, TRUE, 0, buf.data(), &len, m)), static_cast<DWORD>(NTE_BAD_LEN));
    len = m - 1;
    EXPECT_EQ(last_error_of(CryptDecrypt(k.h, 0, TRUE, 0, buf.data(), &len)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    Prov ms;
    Key pub;
    ASSERT_TRUE(rsaenh(ms));
    const bytes blob = public_blob(fresh[0].modulus, CALG_RSA_KEYX);
    ASSERT_TRUE(CryptImportKey(ms.h, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &pub.h));
    bytes secret = {'s', 'e', 's', 's', 'i', 'o', 'n', ' ', 'k', 'e', 'y'};
    bytes c2 = secret;
    c2.resize(m);
    len = static_cast<DWORD>(secret.size());
    ASSERT_TRUE(CryptEncrypt(pub.h, 0, TRUE, 0, c2.data(), &len, m));
    ASSERT_TRUE(CryptDecrypt(k.h, 0, TRUE, 0, c2.data(), &len));
    c2.resize(len);
    EXPECT_EQ(c2, secret);
  }
  Key big;
  EXPECT_EQ(last_error_of(CryptGenKey(p.h, AT_SIGNATURE, 4096u << 16, &big.h)), static_cast<DWORD>(NTE_BAD_FLAGS));
}

// A certificate stored for a pair generated on the card: KP_CERTIFICATE
// reads back the same bytes from the card, and the current user's "MY"
// store holds it, linked to this provider and container.
TEST_F(CardContext, CertificateOfAGeneratedPair) {
  const std::set<CardPublic> before = card_publics();
  Key k;
  ASSERT_TRUE(CryptGenKey(p.h, AT_KEYEXCHANGE, 1024u << 16, &k.h)) << std::hex << GetLastError();
  std::vector<CardPublic> fresh;
  for (const CardPublic& c : card_publics())
    if (!before.count(c)) fresh.push_back(c);
  ASSERT_EQ(fresh.size(), 1u);
  DWORD n = 0;
  EXPECT_EQ(last_error_of(CryptGetKeyParam(k.h, KP_CERTIFICATE, nullptr, &n, 0)), static_cast<DWORD>(NTE_BAD_TYPE));
  const bytes cert = certificate_for(fresh[0].modulus, "VORN keys test");
  ASSERT_FALSE(cert.empty());
  ASSERT_TRUE(CryptSetKeyParam(k.h, KP_CERTIFICATE, cert.data(), 0)) << std::hex << GetLastError();
  ASSERT_TRUE(CryptGetKeyParam(k.h, KP_CERTIFICATE, nullptr, &n, 0));
  ASSERT_EQ(n, cert.size());
  bytes back(n);
  n -= 1;
  EXPECT_EQ(last_error_of(CryptGetKeyParam(k.h, KP_CERTIFICATE, back.data(), &n, 0)), static_cast<DWORD>(ERROR_MORE_DATA));
  ASSERT_TRUE(CryptGetKeyParam(k.h, KP_CERTIFICATE, back.data(), &n, 0));
  EXPECT_EQ(back, cert);

  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  ASSERT_NE(my, nullptr);
  PCCERT_CONTEXT ctx = CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A, "VORN keys test", nullptr);
  ASSERT_NE(ctx, nullptr);
  DWORD size = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
  std::vector<BYTE> buf(size);
  ASSERT_TRUE(CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size));
  const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
  EXPECT_EQ(std::wstring(info->pwszProvName), L"VORN_CSP");
  EXPECT_EQ(info->dwProvType, static_cast<DWORD>(PROV_RSA_FULL));
  EXPECT_EQ(info->dwKeySpec, static_cast<DWORD>(AT_KEYEXCHANGE));
  const std::wstring container(info->pwszContainerName);
  EXPECT_EQ(container.rfind(L"\\\\.\\", 0), 0u) << "container " << std::string(container.begin(), container.end());
  // The store's container name opens this container again.
  char name[300] = {};
  DWORD nl = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &nl, 0));
  EXPECT_EQ(container.substr(container.rfind(L'\\') + 1), std::wstring(name, name + std::strlen(name)));
  CertFreeCertificateContext(ctx);
  CertCloseStore(my, 0);
}

// GET CHALLENGE commands in the simulator's trace of reader 0.
int card_challenges() {
  const char* dir = std::getenv("VORNENV_DIR");
  if (dir == nullptr) return -1;
  std::ifstream in(std::string("Z:") + dir + "/reader0.trace");
  std::string line;
  int n = 0;
  while (std::getline(in, line))
    if (line.find("cmd=00840000") != std::string::npos || line.find("pcmd=00840000") != std::string::npos) ++n;
  return n;
}

// Random bytes come from the OS generator until PP_USE_HARDWARE_RNG, then
// from the card (random bytes and session key material alike).
TEST_F(CardContext, RandomFromTheCardAfterHardwareRng) {
  const int start = card_challenges();
  ASSERT_GE(start, 0);
  BYTE buf[300];
  Key k;
  ASSERT_TRUE(CryptGenRandom(p.h, sizeof buf, buf));
  ASSERT_TRUE(CryptGenKey(p.h, CALG_3DES, 0, &k.h));
  EXPECT_EQ(card_challenges(), start);
  ASSERT_TRUE(CryptSetProvParam(p.h, PP_USE_HARDWARE_RNG, nullptr, 0)) << std::hex << GetLastError();
  ASSERT_TRUE(CryptGenRandom(p.h, sizeof buf, buf)) << std::hex << GetLastError();
  const int after_random = card_challenges();
  EXPECT_GE(after_random, start + 2);  // 300 bytes take two commands
  Key k2;
  ASSERT_TRUE(CryptGenKey(p.h, CALG_AES_128, 0, &k2.h));
  EXPECT_EQ(card_challenges(), after_random + 1);
}

// Four threads sign with the one container at once: every signature is
// right (the provider lock serialises the card work).
TEST_F(CardContext, FourThreadsSignWithOneContainer) {
  Key user;
  ASSERT_TRUE(CryptGetUserKey(p.h, AT_SIGNATURE, &user.h));
  std::vector<std::thread> threads;
  int good[4] = {};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3; ++i) {
        const bytes data(20 + t * 3 + i, static_cast<BYTE>(t));
        const bytes s = sign(p.h, AT_SIGNATURE, CALG_SHA1, data);
        Hash h;
        if (s.empty() || !CryptCreateHash(p.h, CALG_SHA1, 0, 0, &h.h) ||
            !CryptHashData(h.h, data.data(), static_cast<DWORD>(data.size()), 0))
          continue;
        if (CryptVerifySignatureA(h.h, s.data(), static_cast<DWORD>(s.size()), user.h, nullptr, 0)) ++good[t];
      }
    });
  for (auto& t : threads) t.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(good[t], 3) << "thread " << t;
}

// Signing as a person does it (run under Xvfb): the first signature of a
// context that is not silent asks for the PIN in the provider's dialog,
// which the test types; the second one takes the cached PIN and asks
// nothing.
TEST(CardDialog, FirstSignatureAsksForThePinOnce) {
  Prov p;
  ASSERT_TRUE(CryptAcquireContextA(&p.h, nullptr, kProv, PROV_RSA_FULL, 0)) << std::hex << GetLastError();
  const bytes data = {'p', 'i', 'n'};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    bytes s;
    std::thread signer([&] { s = sign(p.h, AT_SIGNATURE, CALG_SHA_256, data); });
    HWND dlg = csp_ui::wait_any_dialog(round == 0 ? 20000 : 3000);
    if (round == 0) {
      ASSERT_NE(dlg, nullptr) << "no PIN dialog";
      csp_ui::type(dlg, 1024, L"1234");
      csp_ui::click(dlg, IDOK);
      EXPECT_TRUE(csp_ui::wait_closed(dlg));
    } else if (dlg != nullptr) {
      csp_ui::click(dlg, IDCANCEL);
      ADD_FAILURE() << "the cached PIN was not used";
    }
    signer.join();
    Key user;
    Hash h;
    ASSERT_TRUE(CryptGetUserKey(p.h, AT_SIGNATURE, &user.h));
    ASSERT_TRUE(CryptCreateHash(p.h, CALG_SHA_256, 0, 0, &h.h));
    ASSERT_TRUE(CryptHashData(h.h, data.data(), static_cast<DWORD>(data.size()), 0));
    ASSERT_FALSE(s.empty());
    EXPECT_TRUE(CryptVerifySignatureA(h.h, s.data(), static_cast<DWORD>(s.size()), user.h, nullptr, 0));
  }
}

}  // namespace
