// Helpers of the PKCS11_VORN cryptography tests: the module's entry points
// are called in-process against the real stack (pcscd, vpcd, simulator) that
// tools/with-vornenv set up; OpenSSL's libcrypto is the independent
// reference for every cipher, digest and RSA result.
#pragma once
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "p11.h"

namespace p11crypto {

using Bytes = std::vector<std::uint8_t>;

inline Bytes hex(const std::string& s) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string hexs(const Bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (auto c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

inline Bytes seq(std::size_t n, std::uint8_t start = 0) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(start + i * 7);
  return b;
}

// APDU trace lines of reader 0 whose text contains `needle` (lower-case).
inline std::size_t trace_count(const std::string& needle) {
  const char* dir = std::getenv("VORNENV_DIR");
  std::ifstream in(std::string(dir != nullptr ? dir : "") + "/reader0.trace");
  std::size_t n = 0;
  std::string line;
  while (std::getline(in, line)) {
    for (auto& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (line.find(needle) != std::string::npos) ++n;
  }
  return n;
}

// Card cipher commands so far: PSO DECIPHER (2A 80 86) and ENCIPHER
// (2A 86 80).
inline std::size_t card_crypts() { return trace_count("2a8086") + trace_count("2a8680"); }

// OpenSSL with the legacy ciphers (DES, RC2, RC4) available.
inline void openssl_legacy() {
  struct Providers {
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
    ~Providers() {
      if (legacy != nullptr) OSSL_PROVIDER_unload(legacy);
      if (deflt != nullptr) OSSL_PROVIDER_unload(deflt);
    }
  };
  static Providers loaded;
}

// One-shot OpenSSL cipher (name as OpenSSL spells it, e.g. "AES-128-CBC").
inline Bytes ossl_cipher(const char* name, const Bytes& key, const Bytes& iv, const Bytes& in, bool enc, bool pad,
                         int rc2_bits = 0) {
  openssl_legacy();
  EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(in.size() + 32);
  int n1 = 0, n2 = 0;
  bool ok = c != nullptr && EVP_CipherInit_ex(ctx, c, nullptr, nullptr, nullptr, enc ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_key_length(ctx, static_cast<int>(key.size())) == 1;
  if (ok && rc2_bits != 0) ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_RC2_KEY_BITS, rc2_bits, nullptr) == 1;
  ok = ok && EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), enc ? 1 : 0) == 1;
  if (ok) EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0);
  ok = ok && EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())) == 1 &&
       EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(c);
  EXPECT_TRUE(ok) << name;
  out.resize(ok ? static_cast<std::size_t>(n1 + n2) : 0);
  return out;
}

inline Bytes ossl_digest(const char* name, const Bytes& in) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(in.data(), in.size(), out.data(), &n, EVP_get_digestbyname(name), nullptr), 1);
  out.resize(n);
  return out;
}

// A module initialised for one test with a read-write session on slot 0,
// the user logged in with the demo PIN.
class Module : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slots[4];
    CK_ULONG n = 4;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
    ASSERT_GE(n, 1u);
    slot_ = slots[0];
    ASSERT_EQ(C_OpenSession(slot_, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h_), CKR_OK);
    ASSERT_EQ(C_Login(h_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("1234")), 4), CKR_OK);
  }
  void TearDown() override { C_Finalize(nullptr); }

  // A secret key made with C_CreateObject.
  CK_OBJECT_HANDLE secret(CK_KEY_TYPE kt, const Bytes& value, bool token = false, bool extractable = true) {
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_BBOOL tok = token ? CK_TRUE : CK_FALSE;
    CK_BBOOL ext = extractable ? CK_TRUE : CK_FALSE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &kt, sizeof kt},
                        {CKA_TOKEN, &tok, 1},
                        {CKA_EXTRACTABLE, &ext, 1},
                        {CKA_VALUE, const_cast<std::uint8_t*>(value.data()), value.size()}};
    CK_OBJECT_HANDLE k = 0;
    EXPECT_EQ(C_CreateObject(h_, t, 5, &k), CKR_OK);
    return k;
  }

  // Single-part encryption or decryption; the output, or empty on failure
  // (the code in *rv).
  Bytes crypt1(bool enc, CK_MECHANISM m, CK_OBJECT_HANDLE key, const Bytes& in, CK_RV* rv = nullptr) {
    CK_RV r = enc ? C_EncryptInit(h_, &m, key) : C_DecryptInit(h_, &m, key);
    Bytes out(in.size() + 512);
    CK_ULONG n = out.size();
    if (r == CKR_OK)
      r = enc ? C_Encrypt(h_, const_cast<std::uint8_t*>(in.data()), in.size(), out.data(), &n)
              : C_Decrypt(h_, const_cast<std::uint8_t*>(in.data()), in.size(), out.data(), &n);
    if (rv != nullptr) *rv = r;
    EXPECT_TRUE(rv != nullptr || r == CKR_OK) << std::hex << r;
    out.resize(r == CKR_OK ? n : 0);
    return out;
  }

  // Multi-part: the input in pieces of the given sizes, then the final step.
  Bytes crypt_parts(bool enc, CK_MECHANISM m, CK_OBJECT_HANDLE key, const Bytes& in, std::vector<std::size_t> parts) {
    EXPECT_EQ(enc ? C_EncryptInit(h_, &m, key) : C_DecryptInit(h_, &m, key), CKR_OK);
    Bytes out;
    std::size_t off = 0;
    for (std::size_t p : parts) {
      Bytes buf(p + 32);
      CK_ULONG n = buf.size();
      auto* src = const_cast<std::uint8_t*>(in.data() + off);
      EXPECT_EQ(enc ? C_EncryptUpdate(h_, src, p, buf.data(), &n) : C_DecryptUpdate(h_, src, p, buf.data(), &n),
                CKR_OK);
      out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
      off += p;
    }
    Bytes last(32);
    CK_ULONG n = last.size();
    EXPECT_EQ(enc ? C_EncryptFinal(h_, last.data(), &n) : C_DecryptFinal(h_, last.data(), &n), CKR_OK);
    out.insert(out.end(), last.begin(), last.begin() + static_cast<std::ptrdiff_t>(n));
    return out;
  }

  Bytes attr(CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE t) {
    CK_ATTRIBUTE a{t, nullptr, 0};
    if (C_GetAttributeValue(h_, o, &a, 1) != CKR_OK) return {};
    Bytes v(a.ulValueLen);
    a.pValue = v.data();
    EXPECT_EQ(C_GetAttributeValue(h_, o, &a, 1), CKR_OK);
    return v;
  }

  CK_SLOT_ID slot_ = 0;
  CK_SESSION_HANDLE h_ = 0;
};

inline CK_MECHANISM mech(CK_MECHANISM_TYPE t, const void* p = nullptr, CK_ULONG n = 0) {
  return CK_MECHANISM{t, const_cast<void*>(p), n};
}

}  // namespace p11crypto
