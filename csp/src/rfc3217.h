// The CMS key wraps of triple-DES and RC2 keys (RFC 3217), as the provider
// writes and reads them in SYMMETRICWRAPKEYBLOB: the key (3DES: with odd
// parity) and a SHA-1 checksum enciphered in CBC mode under the wrapping
// key with a random IV, the IV put in front, the whole string reversed and
// enciphered once more with the fixed IV 4A DD A2 2C 79 E8 21 05.
// Free of <windows.h>; the random IV and padding come from the OS CSPRNG.
#pragma once

#include <cstdint>
#include <span>

#include <vorn/result.h>
#include <vorn/secure.h>

namespace csp {

inline constexpr std::uint32_t kWrap3DesLen = 40;  // 8 IV + 24 key + 8 checksum
inline constexpr std::uint32_t kWrapRc2MaxKey = 128;

// The wrapped length of an RC2 key of n bytes: IV, length byte, key and
// padding to a multiple of 8, checksum.
constexpr std::uint32_t rfc3217_rc2_len(std::uint32_t n) { return 8 + ((n + 8) / 8) * 8 + 8; }

// Failures: kWrapBadLen (wrapped data of the wrong length), kWrapBadData
// (checksum or inner format wrong), kWrapBadArg (a key of the wrong size).
inline constexpr vorn_rv kWrapBadLen = 0x80090004;   // NTE_BAD_LEN
inline constexpr vorn_rv kWrapBadData = 0x80090005;  // NTE_BAD_DATA
inline constexpr vorn_rv kWrapBadArg = 87;           // ERROR_INVALID_PARAMETER

// Three-key triple DES under a three-key triple-DES KEK (24 bytes each);
// out: 40 bytes. The iv overload is the deterministic core (tests).
vorn_rv rfc3217_wrap_3des(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> cek, std::uint8_t* out);
vorn_rv rfc3217_wrap_3des_iv(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> cek,
                             const std::uint8_t iv[8], std::uint8_t* out);
// wrapped: 40 bytes; cek receives 24 bytes.
vorn_rv rfc3217_unwrap_3des(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> wrapped,
                            vorn::Secret<24>& cek);

// An RC2 key (1..128 bytes) under an RC2 KEK with the given effective key
// bits; out: rfc3217_rc2_len(cek.size()) bytes. pad: the padding bytes
// (as many as needed, up to 7) for the deterministic core.
vorn_rv rfc3217_wrap_rc2(std::span<const std::uint8_t> kek, std::int32_t kek_effective_bits,
                         std::span<const std::uint8_t> cek, std::uint8_t* out);
vorn_rv rfc3217_wrap_rc2_iv(std::span<const std::uint8_t> kek, std::int32_t kek_effective_bits,
                            std::span<const std::uint8_t> cek, const std::uint8_t iv[8], const std::uint8_t pad[7],
                            std::uint8_t* out);
// cek receives the key, *cek_len its length.
vorn_rv rfc3217_unwrap_rc2(std::span<const std::uint8_t> kek, std::int32_t kek_effective_bits,
                           std::span<const std::uint8_t> wrapped, vorn::Secret<kWrapRc2MaxKey>& cek,
                           std::uint32_t* cek_len);

}  // namespace csp
