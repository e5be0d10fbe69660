// Helpers for the PKCS11_VORN tests: the module is linked in, its entry
// points are called directly, and the real stack (pcscd, vpcd, simulator) is
// the one tools/with-vornenv set up for the test process.
#pragma once
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "p11.h"
#include "vorn_p11_ext.h"

namespace p11test {

using Bytes = std::vector<std::uint8_t>;

inline const char* env_or(const char* name, const char* def) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : def;
}

// Number of APDUs the simulator in reader i has traced so far.
inline std::size_t trace_lines(int reader) {
  std::ifstream in(std::string(env_or("VORNENV_DIR", "")) + "/reader" + std::to_string(reader) + ".trace");
  std::size_t n = 0;
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line[0] != '#') ++n;
  return n;
}

// Runs `vornenv <args>` on this test's stack; true on success.
inline bool vornenv(const std::string& args) {
  std::string cmd = std::string(env_or("VORNENV_TOOL", "vornenv")) + " " + args + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// A fresh demo card file in the stack directory.
inline std::string make_demo_card(const std::string& name) {
  std::string path = std::string(env_or("VORNENV_DIR", "/tmp")) + "/" + name;
  std::string cmd = std::string(env_or("VORN_CARDSIM", "vorn-cardsim")) + " demo --card " + path + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0 ? path : std::string();
}

// C_Initialize (no locking) for one test, C_Finalize at its end.
class Initialised {
 public:
  explicit Initialised(CK_VOID_PTR args = nullptr) { rv = C_Initialize(args); }
  ~Initialised() {
    if (rv == CKR_OK) C_Finalize(nullptr);
  }
  CK_RV rv;
};

inline CK_SESSION_HANDLE open_session(CK_SLOT_ID slot, bool rw = false) {
  CK_SESSION_HANDLE h = 0;
  CK_FLAGS f = CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0);
  EXPECT_EQ(C_OpenSession(slot, f, nullptr, nullptr, &h), CKR_OK);
  return h;
}

inline CK_RV login(CK_SESSION_HANDLE h, const char* pin = "1234", CK_USER_TYPE who = CKU_USER) {
  return C_Login(h, who, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
}

inline std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE h, std::vector<CK_ATTRIBUTE> tmpl) {
  std::vector<CK_OBJECT_HANDLE> out;
  EXPECT_EQ(C_FindObjectsInit(h, tmpl.empty() ? nullptr : tmpl.data(), tmpl.size()), CKR_OK);
  CK_OBJECT_HANDLE buf[100];
  CK_ULONG n = 0;
  EXPECT_EQ(C_FindObjects(h, buf, 100, &n), CKR_OK);
  out.assign(buf, buf + n);
  EXPECT_EQ(C_FindObjectsFinal(h), CKR_OK);
  return out;
}

inline std::vector<CK_OBJECT_HANDLE> find_class(CK_SESSION_HANDLE h, CK_OBJECT_CLASS cls) {
  return find(h, {{CKA_CLASS, &cls, sizeof cls}});
}

inline Bytes attr(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE t) {
  CK_ATTRIBUTE a{t, nullptr, 0};
  if (C_GetAttributeValue(h, o, &a, 1) != CKR_OK) return {};
  Bytes v(a.ulValueLen);
  a.pValue = v.data();
  EXPECT_EQ(C_GetAttributeValue(h, o, &a, 1), CKR_OK);
  return v;
}

inline CK_ULONG attr_ulong(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE t) {
  CK_ULONG v = ~0UL;
  CK_ATTRIBUTE a{t, &v, sizeof v};
  EXPECT_EQ(C_GetAttributeValue(h, o, &a, 1), CKR_OK);
  return v;
}

// SHA-256 DigestInfo of data: what CKM_RSA_PKCS signs.
inline Bytes digest_info(const Bytes& data) {
  static const std::uint8_t kPrefix[19] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  Bytes out(kPrefix, kPrefix + 19);
  std::uint8_t h[32];
  SHA256(data.data(), data.size(), h);
  out.insert(out.end(), h, h + 32);
  return out;
}

// Verifies a PKCS#1 v1.5 signature block with OpenSSL: the recovered bytes
// must equal `expected`.
inline bool openssl_verify(const Bytes& modulus, const Bytes& exponent, const Bytes& sig, const Bytes& expected) {
  BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
  BIGNUM* e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, "n", n);
  OSSL_PARAM_BLD_push_BN(bld, "e", e);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY* pkey = nullptr;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  bool ok = false;
  if (EVP_PKEY_fromdata_init(ctx) == 1 && EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) == 1) {
    EVP_PKEY_CTX* v = EVP_PKEY_CTX_new(pkey, nullptr);
    Bytes out(modulus.size());
    size_t len = out.size();
    if (EVP_PKEY_verify_recover_init(v) == 1 && EVP_PKEY_CTX_set_rsa_padding(v, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_verify_recover(v, out.data(), &len, sig.data(), sig.size()) == 1) {
      out.resize(len);
      ok = out == expected;
    }
    EVP_PKEY_CTX_free(v);
  }
  EVP_PKEY_free(pkey);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(n);
  BN_free(e);
  return ok;
}

// An RSA key made by OpenSSL, as big-endian byte strings.
struct RsaKey {
  Bytes n, e, d, p, q, dp, dq, qinv;
};

inline Bytes bn_param(EVP_PKEY* k, const char* name) {
  BIGNUM* b = nullptr;
  EVP_PKEY_get_bn_param(k, name, &b);
  Bytes out(static_cast<std::size_t>(BN_num_bytes(b)));
  BN_bn2bin(b, out.data());
  BN_clear_free(b);
  return out;
}

inline RsaKey rsa_generate(unsigned bits) {
  EVP_PKEY* k = EVP_RSA_gen(bits);
  RsaKey r{bn_param(k, "n"), bn_param(k, "e"), bn_param(k, "d"), bn_param(k, "rsa-factor1"),
           bn_param(k, "rsa-factor2"), bn_param(k, "rsa-exponent1"), bn_param(k, "rsa-exponent2"),
           bn_param(k, "rsa-coefficient1")};
  EVP_PKEY_free(k);
  return r;
}

inline bool test_is_worker() { return std::getenv("VORN_P11_WORKER") != nullptr; }

}  // namespace p11test
