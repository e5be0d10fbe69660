// CryptoAPI algorithm identifiers (ALG_ID) and the provider's result codes,
// and their map to the one-byte algorithm codes of vorn/alg.h. Kept free of
// <windows.h> so the session-cipher core builds and is tested natively; on
// Windows every value is checked against the platform's headers.
#pragma once

#include <cstdint>

#include <vorn/alg.h>

namespace csp {

// ALG_IDs the provider knows.
inline constexpr std::uint32_t kCalgMd5 = 0x8003;
inline constexpr std::uint32_t kCalgSha1 = 0x8004;
inline constexpr std::uint32_t kCalgSha256 = 0x800C;
inline constexpr std::uint32_t kCalgSsl3Shamd5 = 0x8008;
inline constexpr std::uint32_t kCalgDes = 0x6601;
inline constexpr std::uint32_t kCalg3Des112 = 0x6609;
inline constexpr std::uint32_t kCalg3Des = 0x6603;
inline constexpr std::uint32_t kCalgRc2 = 0x6602;
inline constexpr std::uint32_t kCalgRc4 = 0x6801;
inline constexpr std::uint32_t kCalgAes128 = 0x660E;
inline constexpr std::uint32_t kCalgRsaSign = 0x2400;
inline constexpr std::uint32_t kCalgRsaKeyx = 0xA400;

// Cipher modes of KP_MODE.
inline constexpr std::uint32_t kModeCbc = 1;
inline constexpr std::uint32_t kModeEcb = 2;
inline constexpr std::uint32_t kModeCfb = 4;

// Result codes the session-cipher core gives back as they are.
inline constexpr std::uint32_t kErrMoreData = 234;             // ERROR_MORE_DATA
inline constexpr std::uint32_t kErrInvalidParameter = 87;      // ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t kNteBadKey = 0x80090003;        // NTE_BAD_KEY
inline constexpr std::uint32_t kNteBadLen = 0x80090004;        // NTE_BAD_LEN
inline constexpr std::uint32_t kNteBadData = 0x80090005;       // NTE_BAD_DATA
inline constexpr std::uint32_t kNteBadAlgid = 0x80090008;      // NTE_BAD_ALGID
inline constexpr std::uint32_t kNteFail = 0x80090020;          // NTE_FAIL

// The one-byte code of a session cipher or digest; 0 for anything else.
constexpr std::uint8_t capi_vorn_alg(std::uint32_t alg) {
  switch (alg) {
    case kCalgDes: return VORN_ALG_DES;
    case kCalg3Des112: return VORN_ALG_DES2;
    case kCalg3Des: return VORN_ALG_DES3;
    case kCalgRc2: return VORN_ALG_RC2;
    case kCalgRc4: return VORN_ALG_RC4;
    case kCalgAes128: return VORN_ALG_AES128;
    case kCalgMd5: return VORN_ALG_MD5;
    case kCalgSha1: return VORN_ALG_SHA1;
    case kCalgSha256: return VORN_ALG_SHA256;
    default: return 0;
  }
}

// Session ciphers and their key table: accepted requested lengths (bits,
// 0 = default), the stored length, the block length (bits, 0 for RC4).
struct CapiCipher {
  std::uint32_t alg;
  std::uint32_t default_bits;  // stored length for a request of 0
  std::uint32_t min_bits, max_bits;  // a variable length, in steps of 8 (RC2, RC4)
  std::uint32_t alt_bits;            // the other accepted request of a fixed length (56, 112, 168)
  std::uint32_t block_bits;
};
inline constexpr CapiCipher kCapiCiphers[] = {
    {kCalgDes, 64, 64, 64, 56, 64},
    {kCalg3Des112, 128, 128, 128, 112, 64},
    {kCalg3Des, 192, 192, 192, 168, 64},
    {kCalgRc2, 128, 40, 128, 0, 64},
    {kCalgRc4, 128, 40, 128, 0, 0},
    {kCalgAes128, 128, 128, 128, 0, 128},
};
constexpr const CapiCipher* capi_cipher(std::uint32_t alg) {
  for (const auto& c : kCapiCiphers)
    if (c.alg == alg) return &c;
  return nullptr;
}
// The stored key length (bits) for a requested length, 0 when the request
// is refused.
constexpr std::uint32_t capi_key_bits(const CapiCipher& c, std::uint32_t requested) {
  if (requested == 0) return c.default_bits;
  if (c.min_bits != c.max_bits)
    return requested >= c.min_bits && requested <= c.max_bits && requested % 8 == 0 ? requested : 0;
  return requested == c.default_bits || (c.alt_bits != 0 && requested == c.alt_bits) ? c.default_bits : 0;
}

}  // namespace csp

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
static_assert(csp::kCalgMd5 == CALG_MD5 && csp::kCalgSha1 == CALG_SHA1 && csp::kCalgSha256 == CALG_SHA_256);
static_assert(csp::kCalgSsl3Shamd5 == CALG_SSL3_SHAMD5 && csp::kCalgDes == CALG_DES);
static_assert(csp::kCalg3Des112 == CALG_3DES_112 && csp::kCalg3Des == CALG_3DES && csp::kCalgRc2 == CALG_RC2);
static_assert(csp::kCalgRc4 == CALG_RC4 && csp::kCalgAes128 == CALG_AES_128);
static_assert(csp::kCalgRsaSign == CALG_RSA_SIGN && csp::kCalgRsaKeyx == CALG_RSA_KEYX);
static_assert(csp::kModeCbc == CRYPT_MODE_CBC && csp::kModeEcb == CRYPT_MODE_ECB && csp::kModeCfb == CRYPT_MODE_CFB);
static_assert(csp::kErrMoreData == ERROR_MORE_DATA && csp::kErrInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(csp::kNteBadKey == static_cast<std::uint32_t>(NTE_BAD_KEY));
static_assert(csp::kNteBadLen == static_cast<std::uint32_t>(NTE_BAD_LEN));
static_assert(csp::kNteBadData == static_cast<std::uint32_t>(NTE_BAD_DATA));
static_assert(csp::kNteBadAlgid == static_cast<std::uint32_t>(NTE_BAD_ALGID));
static_assert(csp::kNteFail == static_cast<std::uint32_t>(NTE_FAIL));
#endif
