// The provider's main use, end to end, as an application meets it: the card's
// signature certificate sits in the user's "MY" store with key-provider
// information naming VORN_CSP; crypt32 loads the provider from it; the first
// signature asks for the PIN in the provider's dialog (typed here by a test
// thread, as a person would), the card signs; a second signature in the same
// process takes the cached PIN. Run by mainuse_test.sh under Xvfb against the
// demo card, which also checks the card's trace and verifies the signatures
// with OpenSSL.
//   win_csp_mainuse_test.exe FOLDER
// FOLDER holds cert.der (the certificate, taken from the card file) and
// receives data1.bin, sig1.bin, data2.bin, sig2.bin (signatures big-endian).
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ui_driver.h"

#include "capi_test.h"

using namespace capi_test;

namespace {

using bytes = std::vector<BYTE>;
constexpr wchar_t kPin[] = L"1234";  // the demo card's user PIN
constexpr wchar_t kPinTitle[] = L"Authentication";
constexpr int kPinField = 1024;
std::string g_folder;

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

bytes read_file(const std::string& path) {
  bytes b;
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return b;
  b.resize(GetFileSize(f, nullptr));
  DWORD n = 0;
  if (!ReadFile(f, b.data(), static_cast<DWORD>(b.size()), &n, nullptr) || n != b.size()) b.clear();
  CloseHandle(f);
  return b;
}

bool write_file(const std::string& path, const bytes& b) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  const bool ok = WriteFile(f, b.data(), static_cast<DWORD>(b.size()), &n, nullptr) && n == b.size();
  CloseHandle(f);
  return ok;
}

struct Store {
  HCERTSTORE h = nullptr;
  ~Store() {
    if (h) CertCloseStore(h, 0);
  }
};
struct Cert {
  PCCERT_CONTEXT c = nullptr;
  ~Cert() {
    if (c) CertFreeCertificateContext(c);
  }
};

bytes prov_param(HCRYPTPROV p, DWORD param, DWORD flags = 0) {
  DWORD n = 0;
  if (!CryptGetProvParam(p, param, nullptr, &n, flags)) return {};
  bytes v(n);
  if (!CryptGetProvParam(p, param, v.data(), &n, flags)) return {};
  v.resize(n);
  return v;
}

// The container of the reader's card whose signature pair carries this
// certificate: the card's containers (PP_ENUMCONTAINERS of a context on its
// default container), each asked for its signature pair's certificate.
std::string signature_container(const std::string& reader, const bytes& cert) {
  Prov any;
  const std::string card = "\\\\.\\" + reader + "\\";
  if (!CryptAcquireContextA(&any.h, card.c_str(), "VORN_CSP", PROV_RSA_FULL, CRYPT_SILENT)) {
    ADD_FAILURE() << "CryptAcquireContext(" << card << ", CRYPT_SILENT): " << std::hex << GetLastError();
    return {};
  }
  std::vector<std::string> names;
  for (DWORD flags = CRYPT_FIRST;; flags = 0) {
    const bytes n = prov_param(any.h, PP_ENUMCONTAINERS, flags);
    if (n.empty()) break;
    names.emplace_back(reinterpret_cast<const char*>(n.data()));
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  for (const std::string& name : names) {
    Prov p;
    Key k;
    if (!CryptAcquireContextA(&p.h, (card + name).c_str(), "VORN_CSP", PROV_RSA_FULL, CRYPT_SILENT) ||
        !CryptGetUserKey(p.h, AT_SIGNATURE, &k.h))
      continue;
    DWORD n = 0;
    if (!CryptGetKeyParam(k.h, KP_CERTIFICATE, nullptr, &n, 0)) continue;
    bytes v(n);
    if (CryptGetKeyParam(k.h, KP_CERTIFICATE, v.data(), &n, 0) && v == cert) return card + name;
  }
  ADD_FAILURE() << names.size() << " containers, none holds the certificate on its signature pair";
  return {};
}

// A SHA-256 signature of data with the certificate's key (least significant
// byte first, as CryptoAPI gives it), made on a thread of its own while this
// one watches for the PIN dialog: with a PIN it types it and presses OK
// (the dialog must come), without one no dialog may come.
bytes sign_watching(HCRYPTPROV p, const bytes& data, const wchar_t* pin) {
  bytes sig;
  DWORD error = 0;
  std::atomic<bool> done{false};
  std::thread signer([&] {
    Hash h;
    DWORD n = 0;
    if (!CryptCreateHash(p, CALG_SHA_256, 0, 0, &h.h) ||
        !CryptHashData(h.h, data.data(), static_cast<DWORD>(data.size()), 0) ||
        !CryptSignHashA(h.h, AT_SIGNATURE, nullptr, 0, nullptr, &n)) {
      error = GetLastError();
    } else {
      sig.resize(n);
      if (!CryptSignHashA(h.h, AT_SIGNATURE, nullptr, 0, sig.data(), &n)) error = GetLastError();
      sig.resize(error ? 0 : n);
    }
    done = true;
  });
  if (pin != nullptr) {
    HWND dlg = csp_ui::wait_dialog(kPinTitle);
    EXPECT_NE(dlg, nullptr) << "no PIN dialog";
    if (dlg != nullptr) {
      EXPECT_EQ(csp_ui::focus_id(dlg), kPinField);
      csp_ui::type(dlg, kPinField, pin);
      csp_ui::click(dlg, IDOK);
      EXPECT_TRUE(csp_ui::wait_closed(dlg));
    }
  } else {
    while (!done) {
      HWND dlg = csp_ui::wait_any_dialog(100);
      if (dlg == nullptr) continue;
      ADD_FAILURE() << "a dialog came although the PIN is cached";
      csp_ui::click(dlg, IDCANCEL);
      csp_ui::wait_closed(dlg);
    }
  }
  signer.join();
  EXPECT_EQ(error, 0u) << std::hex << "CryptSignHashA: " << error;
  return sig;
}

TEST(MainUse, CertificateInMyStoreSignsOnTheCardThroughCrypt32) {
  const char* reader = std::getenv("VORNENV_READER_0");
  ASSERT_NE(reader, nullptr) << "run under tools/with-vornenv";
  const bytes der = read_file(g_folder + "\\cert.der");
  ASSERT_FALSE(der.empty()) << g_folder << "\\cert.der";

  // 1. Registration through Wine's regsvr32.
  ASSERT_EQ(run("regsvr32 /s \"" + here() + "CSP_VORN.dll\""), 0u);

  // 2. The certificate into "MY", linked to its key on the card.
  const std::string container = signature_container(reader, der);
  ASSERT_FALSE(container.empty());
  std::printf("key container: %s\n", container.c_str());
  {
    Store my;
    Cert added;
    my.h = CertOpenSystemStoreA(0, "MY");
    ASSERT_NE(my.h, nullptr) << GetLastError();
    ASSERT_TRUE(CertAddEncodedCertificateToStore(my.h, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, &added.c))
        << std::hex << GetLastError();
    std::wstring wcontainer = widen(container), wprov = L"VORN_CSP";
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = wcontainer.data();
    info.pwszProvName = wprov.data();
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(added.c, CERT_KEY_PROV_INFO_PROP_ID, 0, &info))
        << std::hex << GetLastError();
  }

  // 3. As an application: find the certificate, get its private key through
  // crypt32 (which loads VORN_CSP), sign; the PIN dialog comes.
  Store my;
  Cert cert;
  my.h = CertOpenSystemStoreA(0, "MY");
  ASSERT_NE(my.h, nullptr);
  cert.c = CertFindCertificateInStore(my.h, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_A,
                                      "VORN demo signature key", nullptr);
  ASSERT_NE(cert.c, nullptr) << "the certificate is not in MY";
  ASSERT_EQ(bytes(cert.c->pbCertEncoded, cert.c->pbCertEncoded + cert.c->cbCertEncoded), der);
  Prov first;
  DWORD spec = 0;
  BOOL must_free = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.c, 0, nullptr, &first.h, &spec, &must_free))
      << std::hex << GetLastError();
  EXPECT_EQ(spec, static_cast<DWORD>(AT_SIGNATURE));
  EXPECT_TRUE(must_free);
  EXPECT_EQ(prov_param(first.h, PP_NAME), bytes({'V', 'O', 'R', 'N', '_', 'C', 'S', 'P', 0}));
  const std::string data1 = "VORN main use: a message signed through crypt32\n";
  const bytes d1(data1.begin(), data1.end());
  const bytes sig1 = sign_watching(first.h, d1, kPin);
  ASSERT_EQ(sig1.size(), 256u);

  // 4. The signature, big-endian, and its data for OpenSSL (the script);
  // Wine's rsaenh verifies it with the certificate's public key (its AES
  // provider: the plain enhanced one, PROV_RSA_FULL, has no SHA-256, as on
  // Windows).
  ASSERT_TRUE(write_file(g_folder + "\\data1.bin", d1));
  ASSERT_TRUE(write_file(g_folder + "\\sig1.bin", bytes(sig1.rbegin(), sig1.rend())));
  {
    Prov ms;
    Key pub;
    ASSERT_TRUE(CryptAcquireContextA(&ms.h, nullptr, MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptImportPublicKeyInfo(ms.h, X509_ASN_ENCODING, &cert.c->pCertInfo->SubjectPublicKeyInfo, &pub.h))
        << std::hex << GetLastError();
    for (bool tampered : {false, true}) {
      SCOPED_TRACE(tampered);
      bytes s = sig1;
      s[100] ^= tampered ? 1 : 0;
      Hash h;
      ASSERT_TRUE(CryptCreateHash(ms.h, CALG_SHA_256, 0, 0, &h.h)) << std::hex << GetLastError();
      ASSERT_TRUE(CryptHashData(h.h, d1.data(), static_cast<DWORD>(d1.size()), 0));
      const BOOL ok = CryptVerifySignatureA(h.h, s.data(), static_cast<DWORD>(s.size()), pub.h, nullptr, 0);
      EXPECT_EQ(ok ? 0 : GetLastError(), tampered ? static_cast<DWORD>(NTE_BAD_SIGNATURE) : 0u);
    }
  }

  // 5. A second signature in the same process, through a second key
  // acquisition from the certificate: the PIN is cached, no dialog.
  Prov second;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(cert.c, 0, nullptr, &second.h, &spec, &must_free))
      << std::hex << GetLastError();
  const std::string data2 = "VORN main use: the second message, PIN from the cache\n";
  const bytes d2(data2.begin(), data2.end());
  const bytes sig2 = sign_watching(second.h, d2, nullptr);
  ASSERT_EQ(sig2.size(), 256u);
  ASSERT_TRUE(write_file(g_folder + "\\data2.bin", d2));
  ASSERT_TRUE(write_file(g_folder + "\\sig2.bin", bytes(sig2.rbegin(), sig2.rend())));
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: win_csp_mainuse_test.exe FOLDER\n");
    return 2;
  }
  g_folder = argv[1];
  // No window manager under Xvfb: unmanaged windows close without Wine's
  // 2 s wait for one (the test runs in a prefix of its own).
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    RegSetValueExW(key, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"N"), 2 * sizeof(wchar_t));
    RegCloseKey(key);
  }
  return RUN_ALL_TESTS();
}
