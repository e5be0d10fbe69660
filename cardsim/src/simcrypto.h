// The card's own cryptography, on OpenSSL's libcrypto only (the host's
// software cryptography is checked against it, never used here).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vorn::cardsim::crypto {

using Bytes = std::vector<std::uint8_t>;
using Key16 = std::array<std::uint8_t, 16>;

std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b = {});

// Two-key triple DES (K1 = key[0..7], K2 = key[8..15]) ECB; len a multiple of 8.
bool tdes2_ecb(const Key16& key, std::span<const std::uint8_t> in, std::uint8_t* out, bool encrypt);
// AES-128 ECB; len a multiple of 16.
bool aes128_ecb(const Key16& key, std::span<const std::uint8_t> in, std::uint8_t* out, bool encrypt);
// The channel MAC: pad with q bytes of value q (1..8), two-key triple DES
// CBC with a zero IV, first 4 bytes of the last block.
std::array<std::uint8_t, 4> channel_mac(const Key16& key, std::span<const std::uint8_t> data);

// Symmetric operation of a secret key object: alg 1 (AES-128), 13 (DES),
// 17 (two-key triple DES); mode 1 CBC, 2 CFB8, 3 CFB (full block), 4 ECB.
// iv holds the chaining value on entry and the next one on return.
bool sym_crypt(std::uint8_t alg, std::uint8_t mode, std::span<const std::uint8_t> key, Bytes* iv,
               std::span<const std::uint8_t> in, Bytes* out, bool encrypt);
std::size_t sym_block(std::uint8_t alg);      // 16 or 8, 0 for unknown
std::size_t sym_key_len(std::uint8_t alg);    // 16, 8, 16, 0 for unknown

// RSA private operation with a key value p|q|dP|dQ|qInv (five parts of k/2
// bytes; k the modulus length). in must be k bytes and below the modulus.
// Returns false on a bad key or input.
bool rsa_private(std::span<const std::uint8_t> value, std::span<const std::uint8_t> in, Bytes* out);
// The modulus (k bytes) of a private key value.
bool rsa_modulus(std::span<const std::uint8_t> value, Bytes* modulus);

struct RsaPair {
  Bytes modulus;        // k bytes, big-endian
  Bytes private_value;  // p|q|dP|dQ|qInv, 5 * k/2 bytes
};
// Generates an RSA key pair with exponent 65537.
bool rsa_generate(unsigned bits, RsaPair* out);

struct DemoCert {
  RsaPair key;
  Bytes der;            // the certificate
  Bytes subject_der;    // its subject Name
  Bytes issuer_der;     // its issuer Name
  Bytes serial_der;     // its serial number as a DER INTEGER
  std::string common_name;
};
// RSA-2048 key pair and a self-signed SHA-256 certificate for it.
bool demo_certificate(const std::string& common_name, const Bytes& serial, DemoCert* out);
// The fields of a DER certificate the card's attribute list carries (key
// left empty; key.modulus is the RSA modulus without leading zeros). False
// when it is no X.509 certificate with an RSA key.
bool certificate_fields(std::span<const std::uint8_t> der, DemoCert* out);

}  // namespace vorn::cardsim::crypto
