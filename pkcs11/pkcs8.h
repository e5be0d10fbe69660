// The PKCS#8 PrivateKeyInfo of an RSA private key as the module wraps and
// unwraps it. Self-contained (no card or module state), so the decoder can
// be fuzzed on its own.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "vorn/secure.h"

namespace p11 {

// Order of the eight numbers in the encoding.
enum Pkcs8Part : std::size_t { kP8Modulus, kP8PublicExp, kP8PrivateExp, kP8Prime1, kP8Prime2, kP8Exp1, kP8Exp2,
                               kP8Coeff, kP8Parts };

// Decoded key: modulus and private exponent of the modulus length k (128 or
// 256), public exponent of 3 bytes, the five CRT values of k/2 bytes each
// (left-padded with zeros), in wiping storage.
struct Pkcs8Key {
  std::array<vorn::SecureBytes, kP8Parts> parts;
};

// Encodes the eight big-endian numbers (leading zero bytes are dropped,
// each INTEGER gets a 00 in front when its top bit is set). The three outer
// headers always use the two-byte length form. False when a number is
// empty or the body would not fit the 16-bit lengths.
bool pkcs8_encode(const std::array<std::span<const std::uint8_t>, kP8Parts>& parts, vorn::SecureBytes* out);

// Parses an encoding: SEQUENCE { INTEGER version, SEQUENCE algorithm,
// OCTET STRING { SEQUENCE { INTEGER 0, eight INTEGERs } } }. Every length
// is checked against the bytes that hold it; bytes after the outer
// SEQUENCE are ignored (block padding of unpadded modes). False for any
// other layout, a modulus other than 1024 or 2048 bits, a public exponent
// other than three bytes, or a private value longer than its field.
bool pkcs8_decode(const std::uint8_t* data, std::size_t len, Pkcs8Key* out);

}  // namespace p11
