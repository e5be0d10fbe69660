// The platform's key blobs as the provider writes and reads them: an
// 8-byte BLOBHEADER (type, version 2, reserved 0, ALG_ID), then
//   PUBLICKEYBLOB   RSAPUBKEY ("RSA1", bits, exponent) + modulus (LE)
//   PRIVATEKEYBLOB  RSAPUBKEY ("RSA2", ...) + modulus, p, q, dp, dq, qinv, d (LE)
//   SIMPLEBLOB      ALG_ID of the wrapping key + RSA block (LE)
//   PLAINTEXTKEYBLOB key length (4) + key
//   SYMMETRICWRAPKEYBLOB ALG_ID of the wrapping key + RFC 3217 wrap
// All multi-byte numbers little-endian. Free of <windows.h>.
#pragma once

#include <cstdint>
#include <span>

#include <vorn/result.h>
#include <vorn/secure.h>

namespace csp {

inline constexpr std::uint8_t kBlobSimple = 1;      // SIMPLEBLOB
inline constexpr std::uint8_t kBlobPublic = 6;      // PUBLICKEYBLOB
inline constexpr std::uint8_t kBlobPrivate = 7;     // PRIVATEKEYBLOB
inline constexpr std::uint8_t kBlobPlain = 8;       // PLAINTEXTKEYBLOB
inline constexpr std::uint8_t kBlobSymWrap = 11;    // SYMMETRICWRAPKEYBLOB
inline constexpr std::uint8_t kBlobVersion = 2;     // CUR_BLOB_VERSION
inline constexpr std::uint32_t kBlobHeaderLen = 8;  // sizeof(BLOBHEADER)
inline constexpr std::uint32_t kRsaPubKeyLen = 12;  // sizeof(RSAPUBKEY)
inline constexpr std::uint32_t kMagicRsa1 = 0x31415352;
inline constexpr std::uint32_t kMagicRsa2 = 0x32415352;

// Result codes of the blob layer (the NTE_* numbers; checked against the
// platform headers on Windows).
inline constexpr std::uint32_t kNteBadVer = 0x80090007;
inline constexpr std::uint32_t kNteBadBlobLen = 0x80090004;   // NTE_BAD_LEN
inline constexpr std::uint32_t kNteBadBlobData = 0x80090005;  // NTE_BAD_DATA

inline std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
inline void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
// Copies n bytes reversing their order (big-endian <-> little-endian).
inline void copy_reversed(std::uint8_t* dst, const std::uint8_t* src, std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i) dst[i] = src[n - 1 - i];
}

struct BlobHeader {
  std::uint8_t type = 0;
  std::uint8_t version = 0;
  std::uint16_t reserved = 0;
  std::uint32_t alg = 0;
};
void blob_header_write(std::uint8_t* out, std::uint8_t type, std::uint32_t alg);
// Reads the header of an incoming blob: shorter than 8 bytes kNteBadBlobLen,
// version not 2 kNteBadVer, reserved not 0 kNteBadBlobData.
vorn_rv blob_header_read(std::span<const std::uint8_t> blob, BlobHeader* h);

// PUBLICKEYBLOB of 20 + modulus bytes (modulus big-endian in, written LE).
std::uint32_t blob_public_len(std::uint32_t modulus_len);
void blob_public_write(std::uint8_t* out, std::uint32_t alg, std::span<const std::uint8_t> modulus_be,
                       std::uint32_t exponent);
struct PublicBlob {
  std::uint32_t alg = 0;
  std::uint32_t bits = 0;
  std::uint32_t exponent = 0;
  std::uint8_t modulus[256] = {};  // big-endian, bits / 8 bytes
};
// Checks in the provider's order: magic "RSA1" (kNteBadBlobData), 1024 or
// 2048 bits (kNteBadBlobLen), and that the blob holds the whole modulus
// (kNteBadBlobLen). The algorithm is the caller's to check.
vorn_rv blob_public_read(std::span<const std::uint8_t> blob, PublicBlob* out);

// The five CRT values of a (deciphered) PRIVATEKEYBLOB, each modulus / 2
// bytes big-endian in the card's order p, q, dp, dq, qinv, and the modulus.
struct PrivateBlob {
  std::uint32_t bits = 0;
  std::uint8_t modulus[256] = {};
  vorn::Secret<5 * 128> crt;  // 5 * bits / 16 bytes used
};
// data: the blob after the header (RSAPUBKEY onwards), len its length.
// "RSA2" (kNteBadBlobData), 1024 or 2048 bits (kNteBadBlobLen), exponent
// 65537 (kNteBadBlobData), the blob long enough for the CRT values
// (kNteBadBlobLen).
vorn_rv blob_private_read(std::span<const std::uint8_t> data, PrivateBlob* out);

// PLAINTEXTKEYBLOB: 12 + key bytes.
void blob_plain_write(std::uint8_t* out, std::uint32_t alg, std::span<const std::uint8_t> key);
// The key inside: the 32-bit size must fit the blob (kNteBadBlobLen).
vorn_rv blob_plain_read(std::span<const std::uint8_t> blob, std::span<const std::uint8_t>* key);

}  // namespace csp
