// Algorithm identifiers and object kind bits shared by every layer: the card
// layer, the software cryptography and the deliverables above them. One byte
// names an algorithm on the card and in the software dispatcher alike; the
// card layer's CARD_ALG_* and the software layer's SC_ALG_* are these values.
#pragma once
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Algorithm identifiers.
inline constexpr std::uint8_t VORN_ALG_AES128 = 1;
inline constexpr std::uint8_t VORN_ALG_AES256 = 2;     // stored keys only; the card has no such cipher
inline constexpr std::uint8_t VORN_ALG_DES = 13;
inline constexpr std::uint8_t VORN_ALG_DES2 = 17;      // two-key EDE, K1 K2 K1
inline constexpr std::uint8_t VORN_ALG_RSA1024 = 27;
inline constexpr std::uint8_t VORN_ALG_RSA2048 = 28;
inline constexpr std::uint8_t VORN_ALG_RC2 = 48;
inline constexpr std::uint8_t VORN_ALG_RC4 = 49;
inline constexpr std::uint8_t VORN_ALG_DES3 = 50;      // three-key EDE
inline constexpr std::uint8_t VORN_ALG_GENERIC = 52;   // generic secret (key generator and stored keys)
inline constexpr std::uint8_t VORN_ALG_SHA1 = 0x21;
inline constexpr std::uint8_t VORN_ALG_MD5 = 0x22;
inline constexpr std::uint8_t VORN_ALG_SHA256 = 0x23;
inline constexpr std::uint8_t VORN_ALG_SHA384 = 0x24;  // SHA-384 and SHA-512: software digests
inline constexpr std::uint8_t VORN_ALG_SHA512 = 0x25;

// RSA algorithm of a modulus of the given byte length; 0 for a length the
// card does not know.
constexpr std::uint8_t vorn_alg_rsa(std::size_t modulus_len) {
  return modulus_len == 128 ? VORN_ALG_RSA1024 : modulus_len == 256 ? VORN_ALG_RSA2048 : 0;
}

// Modulus byte length of an RSA algorithm; 0 for another algorithm.
constexpr std::size_t vorn_alg_modulus_len(std::uint8_t alg) {
  return alg == VORN_ALG_RSA1024 ? 128 : alg == VORN_ALG_RSA2048 ? 256 : 0;
}

// Secret-key algorithms the card generates and computes itself (AES-128, DES,
// two-key 3DES); every other secret key is computed on the host.
constexpr bool vorn_alg_on_card(std::uint8_t alg) {
  return alg == VORN_ALG_AES128 || alg == VORN_ALG_DES || alg == VORN_ALG_DES2;
}

// ---------------------------------------------------------------------------
// The kind byte of a card object (its object-map byte, and bits 16-23 of its
// handle). Bits 0-2 give the type, bits 3-4 the access class (10: class 00,
// public; 11: class 01, the user PIN; 01: class 02).
inline constexpr std::uint8_t VORN_KIND_DATA = 0x00;
inline constexpr std::uint8_t VORN_KIND_CERTIFICATE = 0x01;
inline constexpr std::uint8_t VORN_KIND_PUBLIC_KEY = 0x02;
inline constexpr std::uint8_t VORN_KIND_PRIVATE_KEY = 0x03;
inline constexpr std::uint8_t VORN_KIND_SECRET_KEY = 0x04;
inline constexpr std::uint8_t VORN_KIND_TYPE_MASK = 0x07;
inline constexpr std::uint8_t VORN_KIND_PRIVATE = 0x08;      // bit 3: a private object
inline constexpr std::uint8_t VORN_KIND_ACCESS = 0x10;       // bit 4: set on every object the host makes
inline constexpr std::uint8_t VORN_KIND_EXTRACTABLE = 0x20;  // bit 5 (tag 87): the value may be read
inline constexpr std::uint8_t VORN_KIND_MARK = 0x40;         // bit 6 (tag 88): kept for the host, no meaning on the card

// The extractable bit in an object handle.
inline constexpr std::uint32_t VORN_HANDLE_EXTRACTABLE = std::uint32_t{VORN_KIND_EXTRACTABLE} << 16;
