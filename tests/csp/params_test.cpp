// CSP_VORN's provider parameters through Wine's advapi32 and crypt32,
// against the simulated demo card: the algorithm tables byte by byte, the
// container enumeration (its buffer never overrun), names, versions and
// fixed values, the reader name (and the error of a context without one),
// the certificate stores, root certificates written to the card, the PIN
// parameter and PIN logout.
#include <windows.h>
#include <wincrypt.h>
#include <winscard.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capi_test.h"

using namespace capi_test;

namespace {

using bytes = std::vector<BYTE>;
constexpr char kVorn[] = "VORN_CSP";

DWORD err() { return GetLastError(); }

std::string reader() { return env("VORNENV_READER_0"); }
std::string default_container() { return "\\\\.\\" + reader() + "\\"; }

// VERIFY commands of the user PIN (INS 20, P2 11) the card has seen, from
// the simulator's trace ("<seq> APDU cmd=<hex> ...").
int verify_count() {
  std::ifstream t("Z:" + env("VORNENV_DIR") + "/reader0.trace");
  std::string line;
  int n = 0;
  while (std::getline(t, line)) {
    const auto at = line.find(" cmd=");
    if (at == std::string::npos || line.size() < at + 13) continue;
    std::string ins = line.substr(at + 7, 6);
    for (char& ch : ins) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (ins == "200011") ++n;
  }
  return n;
}

// The algorithm table as the provider documents it.
struct AlgRow {
  ALG_ID id;
  DWORD def, min, max;
  const char* name;
  const char* long_name;
};
constexpr AlgRow kAlgs[12] = {
    {CALG_RSA_SIGN, 1024, 1024, 2048, "RSA_SIGN", "RSA Signature"},
    {CALG_RSA_KEYX, 1024, 1024, 2048, "RSA_KEYX", "RSA Key Exchange"},
    {CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
    {CALG_SHA_256, 256, 256, 256, "SHA-256", "Secure Hash Algorithm (SHA-256)"},
    {CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},
    {CALG_RC2, 128, 40, 128, "RC2", "RSA Data Security's RC2"},
    {CALG_RC4, 128, 40, 128, "RC4", "RSA Data Security's RC4"},
    {CALG_DES, 56, 56, 56, "DES", "Data Encryption Standard (DES)"},
    {CALG_3DES_112, 112, 112, 112, "3DES TWO KEY", "Two Key Triple DES"},
    {CALG_3DES, 168, 168, 168, "3DES", "Three Key Triple Des"},
    {CALG_AES_128, 128, 128, 128, "AES 128", "American Encryption Standard 128-bit"},
    {CALG_SSL3_SHAMD5, 288, 288, 288, "SSL3 SHAMD5", "SSL3 SHAMD5"},
};

// Runs first in the process: no size query has set the kept largest
// container name length yet, so a short buffer must still not be overrun.
TEST(CspParams, EnumContainersNeverOverrunsTheBuffer) {
  ASSERT_TRUE(register_provider());
  Prov p;
  ASSERT_TRUE(CryptAcquireContextA(&p.h, default_container().c_str(), kVorn, PROV_RSA_FULL, CRYPT_SILENT))
      << std::hex << err();
  BYTE buf[64];
  std::memset(buf, 0xEE, sizeof buf);
  DWORD n = 8;
  EXPECT_FALSE(CryptGetProvParam(p.h, PP_ENUMCONTAINERS, buf, &n, CRYPT_FIRST));
  EXPECT_EQ(err(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(n, 37u);  // a UUID name and its NUL
  for (int i = 0; i < 64; ++i) ASSERT_EQ(buf[i], 0xEE) << i;
  // With room, the names come one by one, then ERROR_NO_MORE_ITEMS.
  int names = 0;
  for (DWORD flags = CRYPT_FIRST;; flags = 0) {
    n = sizeof buf;
    if (!CryptGetProvParam(p.h, PP_ENUMCONTAINERS, buf, &n, flags)) break;
    EXPECT_EQ(std::strlen(reinterpret_cast<char*>(buf)), 36u);
    ++names;
  }
  EXPECT_EQ(err(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(names, 2);  // the demo card's two adopted pairs
  n = 0;
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_ENUMCONTAINERS, nullptr, &n, CRYPT_FIRST));
  EXPECT_EQ(n, 37u);
}

TEST(CspParams, AlgorithmTablesByteForByte) {
  Prov p;
  ASSERT_TRUE(CryptAcquireContextA(&p.h, nullptr, kVorn, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  BYTE buf[88];
  DWORD n = sizeof buf;
  // No CRYPT_FIRST before the first call.
  EXPECT_FALSE(CryptGetProvParam(p.h, PP_ENUMALGS, buf, &n, 0));
  EXPECT_EQ(err(), static_cast<DWORD>(NTE_BAD_FLAGS));
  for (bool ex : {false, true}) {
    const DWORD param = ex ? PP_ENUMALGS_EX : PP_ENUMALGS, size = ex ? 88 : 32;
    n = 0;
    ASSERT_TRUE(CryptGetProvParam(p.h, param, nullptr, &n, CRYPT_FIRST));
    EXPECT_EQ(n, size);
    n = size - 1;
    EXPECT_FALSE(CryptGetProvParam(p.h, param, buf, &n, CRYPT_FIRST));
    EXPECT_EQ(err(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(n, size);
    for (int i = 0; i < 12; ++i) {
      const AlgRow& r = kAlgs[i];
      BYTE want[88] = {};
      const DWORD nl = static_cast<DWORD>(std::strlen(r.name) + 1), ll = static_cast<DWORD>(std::strlen(r.long_name) + 1);
      if (ex) {
        const DWORD head[6] = {r.id, r.def, r.min, r.max, 0, nl};
        std::memcpy(want, head, 24);
        std::memcpy(want + 24, r.name, nl);
        std::memcpy(want + 44, &ll, 4);
        std::memcpy(want + 48, r.long_name, ll);
      } else {
        const DWORD head[3] = {r.id, r.def, nl};
        std::memcpy(want, head, 12);
        std::memcpy(want + 12, r.name, nl);
      }
      std::memset(buf, 0xEE, sizeof buf);
      n = size;
      ASSERT_TRUE(CryptGetProvParam(p.h, param, buf, &n, i == 0 ? CRYPT_FIRST : 0)) << i;
      EXPECT_EQ(0, std::memcmp(buf, want, size)) << r.name;
    }
    n = size;
    EXPECT_FALSE(CryptGetProvParam(p.h, param, buf, &n, 0));
    EXPECT_EQ(err(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(n, 0u);
  }
}

TEST(CspParams, FixedValuesAndNames) {
  Prov p;
  ASSERT_TRUE(CryptAcquireContextA(&p.h, default_container().c_str(), kVorn, PROV_RSA_FULL, CRYPT_SILENT));
  struct Fixed {
    DWORD param, value;
  } fixed[] = {{PP_IMPTYPE, 11}, {PP_VERSION, 0x100}, {PP_PROVTYPE, 1}, {PP_KEYSTORAGE, 1}, {PP_KEYSET_TYPE, 0},
               {PP_SIG_KEYSIZE_INC, 1024}, {PP_KEYX_KEYSIZE_INC, 1024}, {PP_KEYSPEC, 3}};
  for (const Fixed& f : fixed) {
    DWORD v = 0xEEEEEEEE, n = 4;
    ASSERT_TRUE(CryptGetProvParam(p.h, f.param, reinterpret_cast<BYTE*>(&v), &n, 0)) << f.param;
    EXPECT_EQ(v, f.value) << f.param;
    EXPECT_EQ(n, 4u);
    n = 3;
    EXPECT_FALSE(CryptGetProvParam(p.h, f.param, reinterpret_cast<BYTE*>(&v), &n, 0));
    EXPECT_EQ(err(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(n, 4u);
  }
  char name[16];
  DWORD n = 8;
  EXPECT_FALSE(CryptGetProvParam(p.h, PP_NAME, reinterpret_cast<BYTE*>(name), &n, 0));
  EXPECT_EQ(err(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(n, 9u);
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_NAME, reinterpret_cast<BYTE*>(name), &n, 0));
  EXPECT_EQ(0, std::memcmp(name, "VORN_CSP", 9));
  char cont[300], uniq[300];
  DWORD cl = sizeof cont, ul = sizeof uniq;
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_CONTAINER, reinterpret_cast<BYTE*>(cont), &cl, 0));
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_UNIQUE_CONTAINER, reinterpret_cast<BYTE*>(uniq), &ul, 0));
  EXPECT_EQ(cl, 37u);
  EXPECT_EQ(std::string(cont), std::string(uniq));
  // The reader's name with its NUL.
  char rd[128];
  DWORD rl = sizeof rd;
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_SMARTCARD_READER, reinterpret_cast<BYTE*>(rd), &rl, 0));
  EXPECT_EQ(std::string(rd), reader());
  EXPECT_EQ(rl, reader().size() + 1);
  // Key-set security descriptor: only with DACL_SECURITY_INFORMATION.
  BYTE sd[256];
  DWORD sdl = sizeof sd;
  EXPECT_FALSE(CryptGetProvParam(p.h, PP_KEYSET_SEC_DESCR, sd, &sdl, 0));
  EXPECT_EQ(err(), static_cast<DWORD>(NTE_BAD_FLAGS));
  sdl = sizeof sd;
  ASSERT_TRUE(CryptGetProvParam(p.h, PP_KEYSET_SEC_DESCR, sd, &sdl, DACL_SECURITY_INFORMATION)) << std::hex << err();
  EXPECT_TRUE(IsValidSecurityDescriptor(sd));
  // The card's generator: a query without data; a buffer is refused.
  n = 0;
  EXPECT_TRUE(CryptGetProvParam(p.h, PP_USE_HARDWARE_RNG, nullptr, &n, 0));
  n = 4;
  EXPECT_FALSE(CryptGetProvParam(p.h, PP_USE_HARDWARE_RNG, reinterpret_cast<BYTE*>(&rd), &n, 0));
  EXPECT_EQ(err(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(CryptSetProvParam(p.h, PP_USE_HARDWARE_RNG, nullptr, 0));
  BYTE rnd[16];
  EXPECT_TRUE(CryptGenRandom(p.h, sizeof rnd, rnd)) << std::hex << err();
  // Parameters the provider does not know.
  for (DWORD unknown : {7ul, 9ul, 47ul, 0ul}) {
    n = sizeof rd;
    EXPECT_FALSE(CryptGetProvParam(p.h, unknown, reinterpret_cast<BYTE*>(rd), &n, 0));
    EXPECT_EQ(err(), static_cast<DWORD>(NTE_BAD_TYPE)) << unknown;
  }
  EXPECT_FALSE(CryptSetProvParam(p.h, PP_NAME, reinterpret_cast<const BYTE*>("x"), 0));
  EXPECT_EQ(err(), static_cast<DWORD>(NTE_BAD_TYPE));
}

TEST(CspParams, ContextWithoutReader) {
  Prov p;
  ASSERT_TRUE(CryptAcquireContextA(&p.h, nullptr, kVorn, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  char rd[128];
  DWORD rl = sizeof rd;
  std::memset(rd, 0xEE, sizeof rd);
  EXPECT_FALSE(CryptGetProvParam(p.h, PP_SMARTCARD_READER, reinterpret_cast<BYTE*>(rd), &rl, 0));
  EXPECT_EQ(err(), static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE));
  EXPECT_EQ(rl, 0u);
  EXPECT_EQ(static_cast<BYTE>(rd[0]), 0xEE);
  EXPECT_FALSE(CryptSetProvParam(p.h, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>("1234"), 0));
  EXPECT_EQ(err(), static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE));
}

// The store's certificates as (subject CN, key spec or 0 without key
// provider information).
std::vector<std::pair<std::string, DWORD>> store_contents(HCERTSTORE s, const std::string& provider = "VORN_CSP") {
  std::vector<std::pair<std::string, DWORD>> out;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(s, c)) != nullptr) {
    char cn[128];
    CertGetNameStringA(c, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), cn, sizeof cn);
    DWORD spec = 0, n = 0;
    if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) {
      std::vector<BYTE> b(n);
      CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, b.data(), &n);
      auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(b.data());
      char prov[32];
      WideCharToMultiByte(CP_ACP, 0, info->pwszProvName, -1, prov, sizeof prov, nullptr, nullptr);
      if (provider == prov && info->dwProvType == PROV_RSA_FULL && wcslen(info->pwszContainerName) == 36)
        spec = info->dwKeySpec;
    }
    out.emplace_back(cn, spec);
  }
  return out;
}

HCERTSTORE get_store(HCRYPTPROV p, DWORD param) {
  HCERTSTORE s = nullptr;
  DWORD n = 0;
  if (!CryptGetProvParam(p, param, nullptr, &n, 0) || n != sizeof s) return nullptr;
  if (!CryptGetProvParam(p, param, reinterpret_cast<BYTE*>(&s), &n, 0)) return nullptr;
  return s;
}

// A certificate for the card's exchange key issued by a test CA (an rsaenh
// key), written to the card with KP_CERTIFICATE, then the stores: the user
// store holds it linked to VORN_CSP and its container, the root store the
// self-signed demo certificate; a self-signed certificate given to
// PP_ROOT_CERTSTORE lands on the card in a new container.
TEST(CspParams, CertificateStores) {
  Prov def;
  ASSERT_TRUE(CryptAcquireContextA(&def.h, default_container().c_str(), kVorn, PROV_RSA_FULL, CRYPT_SILENT));
  // Both demo certificates are self-signed: the user store is empty.
  HCERTSTORE user = get_store(def.h, PP_USER_CERTSTORE), root = get_store(def.h, PP_ROOT_CERTSTORE);
  ASSERT_NE(user, nullptr) << std::hex << err();
  ASSERT_NE(root, nullptr);
  EXPECT_TRUE(store_contents(user).empty());
  EXPECT_EQ(store_contents(root).size(), 2u);
  CertCloseStore(user, 0);
  CertCloseStore(root, 0);

  // Find the exchange container, give it a CA-issued certificate.
  std::string exch;
  char name[64];
  for (DWORD flags = CRYPT_FIRST;; flags = 0) {
    DWORD n = sizeof name;
    if (!CryptGetProvParam(def.h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &n, flags)) break;
    Prov c;
    ASSERT_TRUE(CryptAcquireContextA(&c.h, (default_container() + name).c_str(), kVorn, PROV_RSA_FULL, CRYPT_SILENT));
    HCRYPTKEY k = 0;
    if (CryptGetUserKey(c.h, AT_KEYEXCHANGE, &k)) {
      CryptDestroyKey(k);
      exch = name;
    }
  }
  ASSERT_FALSE(exch.empty());
  Prov vorn, ca;
  ASSERT_TRUE(CryptAcquireContextA(&vorn.h, (default_container() + exch).c_str(), kVorn, PROV_RSA_FULL, CRYPT_SILENT));
  ASSERT_TRUE(CryptSetProvParam(vorn.h, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>("1234"), 0));
  ASSERT_TRUE(CryptAcquireContextA(&ca.h, nullptr, MS_ENHANCED_PROV_A, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  HCRYPTKEY ca_key = 0;
  ASSERT_TRUE(CryptGenKey(ca.h, AT_SIGNATURE, 1024u << 16, &ca_key));
  DWORD n = 0;
  ASSERT_TRUE(CryptExportPublicKeyInfo(vorn.h, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &n)) << std::hex << err();
  std::vector<BYTE> spki(n);
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(spki.data());
  ASSERT_TRUE(CryptExportPublicKeyInfo(vorn.h, AT_KEYEXCHANGE, X509_ASN_ENCODING, info, &n));
  auto encode_name = [](const char* x500, std::vector<BYTE>* out) {
    DWORD len = 0;
    CertStrToNameA(X509_ASN_ENCODING, x500, CERT_X500_NAME_STR, nullptr, nullptr, &len, nullptr);
    out->resize(len);
    return CertStrToNameA(X509_ASN_ENCODING, x500, CERT_X500_NAME_STR, nullptr, out->data(), &len, nullptr) != 0;
  };
  std::vector<BYTE> subject, issuer;
  ASSERT_TRUE(encode_name("CN=VORN user", &subject));
  ASSERT_TRUE(encode_name("CN=VORN test CA", &issuer));
  BYTE serial[1] = {7};
  CERT_INFO ci{};
  ci.dwVersion = CERT_V3;
  ci.SerialNumber = {1, serial};
  ci.SignatureAlgorithm.pszObjId = const_cast<char*>(szOID_RSA_SHA1RSA);
  ci.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
  ci.Subject = {static_cast<DWORD>(subject.size()), subject.data()};
  SYSTEMTIME st;
  GetSystemTime(&st);
  SystemTimeToFileTime(&st, &ci.NotBefore);
  st.wYear = static_cast<WORD>(st.wYear + 1);
  SystemTimeToFileTime(&st, &ci.NotAfter);
  ci.SubjectPublicKeyInfo = *info;
  DWORD der_len = 0;
  ASSERT_TRUE(CryptSignAndEncodeCertificate(ca.h, AT_SIGNATURE, X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED, &ci,
                                            &ci.SignatureAlgorithm, nullptr, nullptr, &der_len));
  std::vector<BYTE> der(der_len);
  ASSERT_TRUE(CryptSignAndEncodeCertificate(ca.h, AT_SIGNATURE, X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED, &ci,
                                            &ci.SignatureAlgorithm, nullptr, der.data(), &der_len));
  HCRYPTKEY xk = 0;
  ASSERT_TRUE(CryptGetUserKey(vorn.h, AT_KEYEXCHANGE, &xk));
  ASSERT_TRUE(CryptSetKeyParam(xk, KP_CERTIFICATE, der.data(), 0)) << std::hex << err();
  CryptDestroyKey(xk);

  user = get_store(vorn.h, PP_USER_CERTSTORE);
  ASSERT_NE(user, nullptr);
  const auto u = store_contents(user);
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0].first, "VORN user");
  EXPECT_EQ(u[0].second, static_cast<DWORD>(AT_KEYEXCHANGE));
  CertCloseStore(user, 0);
  root = get_store(vorn.h, PP_ROOT_CERTSTORE);
  ASSERT_NE(root, nullptr);
  const auto r = store_contents(root);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].first, "VORN demo signature key");
  CertCloseStore(root, 0);

  // A self-signed certificate written through PP_ROOT_CERTSTORE (the
  // CA-issued one in the same store is skipped).
  HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  std::vector<BYTE> root_name, root_der;
  ASSERT_TRUE(encode_name("CN=VORN written root", &root_name));
  n = 0;
  ASSERT_TRUE(CryptExportPublicKeyInfo(ca.h, AT_SIGNATURE, X509_ASN_ENCODING, nullptr, &n));
  std::vector<BYTE> ca_spki(n);
  ASSERT_TRUE(CryptExportPublicKeyInfo(ca.h, AT_SIGNATURE, X509_ASN_ENCODING,
                                       reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(ca_spki.data()), &n));
  ci.Issuer = ci.Subject = {static_cast<DWORD>(root_name.size()), root_name.data()};
  ci.SubjectPublicKeyInfo = *reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(ca_spki.data());
  serial[0] = 8;
  DWORD root_len = 0;
  ASSERT_TRUE(CryptSignAndEncodeCertificate(ca.h, AT_SIGNATURE, X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED, &ci,
                                            &ci.SignatureAlgorithm, nullptr, nullptr, &root_len));
  root_der.resize(root_len);
  ASSERT_TRUE(CryptSignAndEncodeCertificate(ca.h, AT_SIGNATURE, X509_ASN_ENCODING, X509_CERT_TO_BE_SIGNED, &ci,
                                            &ci.SignatureAlgorithm, nullptr, root_der.data(), &root_len));
  ASSERT_TRUE(CertAddEncodedCertificateToStore(mem, X509_ASN_ENCODING, root_der.data(), root_len,
                                               CERT_STORE_ADD_ALWAYS, nullptr));
  ASSERT_TRUE(CertAddEncodedCertificateToStore(mem, X509_ASN_ENCODING, der.data(), der_len, CERT_STORE_ADD_ALWAYS,
                                               nullptr));
  ASSERT_TRUE(CryptSetProvParam(vorn.h, PP_ROOT_CERTSTORE, reinterpret_cast<const BYTE*>(&mem), 0))
      << std::hex << err();
  CertCloseStore(mem, 0);
  CryptDestroyKey(ca_key);
  root = get_store(vorn.h, PP_ROOT_CERTSTORE);
  ASSERT_NE(root, nullptr);
  const auto r2 = store_contents(root);
  CertCloseStore(root, 0);
  ASSERT_EQ(r2.size(), 2u);
  EXPECT_TRUE(r2[0].first == "VORN written root" || r2[1].first == "VORN written root");
  int names = 0;
  for (DWORD flags = CRYPT_FIRST;; flags = 0) {
    n = sizeof name;
    if (!CryptGetProvParam(vorn.h, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &n, flags)) break;
    ++names;
  }
  EXPECT_EQ(names, 3);
}

// PIN as a parameter: nine characters are refused without a card try, the
// right PIN is taken, null logs out (a silent context then cannot use the
// private key).
TEST(CspParams, PinParameter) {
  Prov p;
  ASSERT_TRUE(CryptAcquireContextA(&p.h, default_container().c_str(), kVorn, PROV_RSA_FULL, CRYPT_SILENT));
  const int before = verify_count();
  EXPECT_FALSE(CryptSetProvParam(p.h, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>("123456789"), 0));
  EXPECT_EQ(err(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
  EXPECT_EQ(verify_count(), before);
  EXPECT_FALSE(CryptSetProvParam(p.h, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>("9999"), 0));
  EXPECT_EQ(err(), static_cast<DWORD>(SCARD_W_WRONG_CHV));
  EXPECT_EQ(verify_count(), before + 1);
  ASSERT_TRUE(CryptSetProvParam(p.h, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>("1234"), 0)) << std::hex << err();
  // Signing works with the cached PIN; after the logout it needs the PIN,
  // which a silent context cannot ask for.
  HCRYPTHASH h = 0;
  BYTE sig[256];
  DWORD sl = sizeof sig;
  ASSERT_TRUE(CryptCreateHash(p.h, CALG_SHA1, 0, 0, &h));
  ASSERT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE*>("abc"), 3, 0));
  DWORD spec = AT_SIGNATURE;
  HCRYPTKEY k = 0;
  if (!CryptGetUserKey(p.h, AT_SIGNATURE, &k)) spec = AT_KEYEXCHANGE;
  else CryptDestroyKey(k);
  EXPECT_TRUE(CryptSignHashA(h, spec, nullptr, 0, sig, &sl)) << std::hex << err();
  ASSERT_TRUE(CryptSetProvParam(p.h, PP_SIGNATURE_PIN, nullptr, 0));
  sl = sizeof sig;
  EXPECT_FALSE(CryptSignHashA(h, spec, nullptr, 0, sig, &sl));
  EXPECT_EQ(err(), static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED));
  CryptDestroyHash(h);
}

}  // namespace
