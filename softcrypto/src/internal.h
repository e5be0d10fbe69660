// Shared pieces of the software cryptography: byte order helpers, the CPU
// feature switch and the block functions the modes are built on.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "softcrypto.h"

namespace sc {

inline std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline void store_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
inline std::uint32_t load_le32(const std::uint8_t* p) {
  return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}
inline void store_le32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline constexpr std::uint32_t rotl32(std::uint32_t x, unsigned n) { return (x << (n & 31)) | (x >> ((32 - n) & 31)); }
inline constexpr std::uint32_t rotr32(std::uint32_t x, unsigned n) { return (x >> (n & 31)) | (x << ((32 - n) & 31)); }

// CPU extensions in use right now (CPU support AND the switch).
bool use_sha_ni();
bool use_aes_ni();
// The switch alone (for code with its own CPU check).
bool use_cpu_extensions();
// BMI2 and ADX (MULX, ADCX, ADOX) present.
bool cpu_has_adx();
// SHA-384/512 code in use: 2 = AVX-512VL schedule, 1 = AVX schedule, 0 =
// portable (the CPU's best, capped by the switch and by sha512_cap).
int sha512_tier();
// Caps the tier (tests cover each one); returns the previous cap.
int sha512_cap(int max_tier);
#if defined(__x86_64__) && defined(__GNUC__)
#define SC_HAVE_SHA512_SIMD 1
#endif

// Digest block functions: process nblocks 64-byte blocks.
void md5_blocks(std::uint32_t* state, const std::uint8_t* data, std::size_t nblocks);
void sha1_blocks_portable(std::uint32_t* state, const std::uint8_t* data, std::size_t nblocks);
void sha256_blocks_portable(std::uint32_t* state, const std::uint8_t* data, std::size_t nblocks);
// SHA-384/SHA-512: nblocks 128-byte blocks (the vector schedule when
// use_sha512_simd(), else the portable code).
void sha512_blocks(std::uint64_t* state, const std::uint8_t* data, std::size_t nblocks);
void sha512_blocks_portable(std::uint64_t* state, const std::uint8_t* data, std::size_t nblocks);
#if defined(__x86_64__) || defined(__i386__)
#define SC_HAVE_X86 1
void sha1_blocks_ni(std::uint32_t* state, const std::uint8_t* data, std::size_t nblocks);
void sha256_blocks_ni(std::uint32_t* state, const std::uint8_t* data, std::size_t nblocks);
#endif

// AES with own key schedule (128/192/256-bit keys).
struct aes_key {
  alignas(16) std::uint8_t enc[15 * 16];  // encryption round keys, bytes
  alignas(16) std::uint8_t dec[15 * 16];  // decryption round keys (InvMixColumns applied), reverse order
  std::uint32_t encw[60];                 // the same as big-endian words
  std::uint32_t decw[60];
  std::uint32_t rounds;                   // 10, 12 or 14
};
bool aes_set_key(aes_key* k, const std::uint8_t* key, std::uint32_t keylen);
void aes_encrypt_ecb(const aes_key* k, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks);
void aes_decrypt_ecb(const aes_key* k, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks);
void aes_encrypt_cbc(const aes_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks);
void aes_decrypt_cbc(const aes_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks);
#if SC_HAVE_X86
void aesni_encrypt_ecb(const aes_key* k, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks);
void aesni_decrypt_ecb(const aes_key* k, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks);
void aesni_encrypt_cbc(const aes_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks);
void aesni_decrypt_cbc(const aes_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks);
#endif

// DES family: 16 rounds of subkeys, two 32-bit words per round.
struct des_key {
  std::uint32_t ks[3][32];  // one schedule per key (single DES uses [0])
  std::uint32_t nkeys;      // 1 or 3
};
void des_set_key(des_key* k, const std::uint8_t* key, std::uint32_t nkeys_in_key, bool ede2);
void des_encrypt_block(const des_key* k, const std::uint8_t* in, std::uint8_t* out);
void des_decrypt_block(const des_key* k, const std::uint8_t* in, std::uint8_t* out);
void des_encrypt_cbc(const des_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks);
void des_decrypt_cbc(const des_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks);

// RC2 and RC4.
void rc2_encrypt_block(const sc_rc2_key* k, const std::uint8_t* in, std::uint8_t* out);
void rc2_decrypt_block(const sc_rc2_key* k, const std::uint8_t* in, std::uint8_t* out);
void rc4_stream(sc_rc4_state* s, const std::uint8_t* in, std::uint8_t* out, std::size_t len);

}  // namespace sc
