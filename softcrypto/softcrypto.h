// Software cryptography computed on the host: digests, symmetric ciphers,
// the RSA toolkit with PKCS#1 v1.5, RSA key-pair generation and the random
// structure. Every function works on caller-owned contexts and buffers and
// returns a 32-bit result code (0 for success).
#pragma once
#include <cstdint>

#include "vorn/alg.h"
#include "vorn/result.h"

// ---------------------------------------------------------------------------
// Algorithm identifiers (vorn/alg.h, shared with the card layer) and modes.
inline constexpr std::uint8_t SC_ALG_AES128 = VORN_ALG_AES128;
inline constexpr std::uint8_t SC_ALG_DES = VORN_ALG_DES;
inline constexpr std::uint8_t SC_ALG_DES2 = VORN_ALG_DES2;
inline constexpr std::uint8_t SC_ALG_RSA1024 = VORN_ALG_RSA1024;
inline constexpr std::uint8_t SC_ALG_RSA2048 = VORN_ALG_RSA2048;
inline constexpr std::uint8_t SC_ALG_RC2 = VORN_ALG_RC2;
inline constexpr std::uint8_t SC_ALG_RC4 = VORN_ALG_RC4;
inline constexpr std::uint8_t SC_ALG_DES3 = VORN_ALG_DES3;
inline constexpr std::uint8_t SC_ALG_GENERIC = VORN_ALG_GENERIC;
inline constexpr std::uint8_t SC_ALG_SHA1 = VORN_ALG_SHA1;
inline constexpr std::uint8_t SC_ALG_MD5 = VORN_ALG_MD5;
inline constexpr std::uint8_t SC_ALG_SHA256 = VORN_ALG_SHA256;
inline constexpr std::uint8_t SC_ALG_SHA384 = VORN_ALG_SHA384;
inline constexpr std::uint8_t SC_ALG_SHA512 = VORN_ALG_SHA512;

inline constexpr std::uint8_t SC_MODE_CBC = 1;   // IV buffer receives the last ciphertext block
inline constexpr std::uint8_t SC_MODE_CFB8 = 2;  // 8-bit feedback, register written back to the IV
inline constexpr std::uint8_t SC_MODE_CFB = 3;   // full-block feedback, register written back
inline constexpr std::uint8_t SC_MODE_ECB = 4;   // no IV

// ---------------------------------------------------------------------------
// Digests (MD5, SHA-1, SHA-256, SHA-384, SHA-512). One record for every id:
// MD5, SHA-1 and SHA-256 use the 32-bit state words and the first 64 bytes
// of the buffer, SHA-384 and SHA-512 the 64-bit words and all 128 bytes.
inline constexpr std::uint32_t SC_DIGEST_MAX = 64;  // largest digest size
struct sc_digest_ctx {
  std::uint32_t count[2];        // byte count, low word first
  union {
    std::uint32_t state[8];      // MD5, SHA-1, SHA-256 (4, 5 or 8 words used)
    std::uint64_t state64[8];    // SHA-384, SHA-512
  };
  std::uint8_t buffer[128];      // partial block
  std::uint8_t id;               // digest the context was initialised for
};

// 0, or CARDERR_BAD_HASH for an id that is not a digest.
vorn_rv sc_digest_init(std::uint8_t id, sc_digest_ctx* ctx);
// 0; CARDERR_BAD_ARG when data is null but len is not 0 (or ctx is null);
// CARDERR_BAD_HASH for another id than the one the context was set up for.
vorn_rv sc_digest_update(std::uint8_t id, sc_digest_ctx* ctx, const std::uint8_t* data, std::uint32_t len);
// out null: only *len = digest size (16, 20, 32, 48, 64). Otherwise *len must
// be at least the digest size (else CARDERR_BUFFER_TOO_SMALL with *len =
// size); the digest is written, *len set, and the context wiped.
vorn_rv sc_digest_final(std::uint8_t id, sc_digest_ctx* ctx, std::uint8_t* out, std::uint32_t* len);
// One shot, same output rules as sc_digest_final.
vorn_rv sc_digest(std::uint8_t id, const std::uint8_t* data, std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen);
// Digest size for a digest id, 0 for any other id.
std::uint32_t sc_digest_size(std::uint8_t id);

// ---------------------------------------------------------------------------
// Prepared key records for the stream and RC2 ciphers.
struct sc_rc2_key {
  std::uint16_t k[64];
};
struct sc_rc4_state {
  std::uint8_t x;
  std::uint8_t y;
  std::uint8_t perm[256];
};

// RC2 key expansion: key length in bytes (capped at 128), effective key bits
// (below 1 means 1024, above 1024 capped at 1024). CARDERR_BAD_ARG for a null
// record or a null or empty key.
vorn_rv sc_rc2_set_key(sc_rc2_key* rc2, const std::uint8_t* key, std::uint32_t keylen, std::int32_t effective_bits);
// RC4 key setup with any key length of at least one byte (an empty key is
// refused with CARDERR_BAD_ARG).
vorn_rv sc_rc4_set_key(sc_rc4_state* rc4, const std::uint8_t* key, std::uint32_t keylen);

// ---------------------------------------------------------------------------
// Symmetric ciphers and the RSA ids behind one call.
//  key: raw key bytes for ids 1 (16), 13 (8), 17 (16), 50 (24); sc_rc2_key*
//       for 48; sc_rc4_state* for 49 (advanced by the call); for 27 and 28 an
//       sc_rsa_public_key* to encrypt and an sc_rsa_private_key* to decrypt.
//  iv: block-size buffer for modes 1-3, updated so consecutive calls chain.
//  out may equal in; on success *outlen = len (RSA: the RSA call's length;
//  out must then hold the modulus length).
// Errors: CARDERR_BAD_ALGORITHM for an id without a cipher or a mode the
// cipher does not know; CARDERR_BAD_LENGTH for a length that is not a whole
// number of blocks (modes 1, 3, 4); CARDERR_BAD_ARG for a missing key, IV,
// buffer or length pointer. RSA ids return the RSAERR_* codes.
vorn_rv sc_encrypt(std::uint8_t id, void* key, std::uint8_t mode, std::uint8_t* iv, const std::uint8_t* in,
                   std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen);
vorn_rv sc_decrypt(std::uint8_t id, void* key, std::uint8_t mode, std::uint8_t* iv, const std::uint8_t* in,
                   std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen);

// AES through OpenSSL (for the PKCS#11 module): keysel 1 = 128-bit key,
// anything else 256-bit; mode SC_MODE_CBC (the IV is not updated) or
// SC_MODE_ECB. Errors: CARDERR_BAD_LENGTH, CARDERR_BAD_ARG (CBC without IV,
// null buffers), CARDERR_BAD_ALGORITHM (other modes).
vorn_rv sc_ossl_aes_encrypt(std::uint8_t keysel, const std::uint8_t* key, std::uint8_t mode, const std::uint8_t* iv,
                            const std::uint8_t* in, std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen);
vorn_rv sc_ossl_aes_decrypt(std::uint8_t keysel, const std::uint8_t* key, std::uint8_t mode, const std::uint8_t* iv,
                            const std::uint8_t* in, std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen);

// ---------------------------------------------------------------------------
// Random structure (MD5-based generator). random-create seeds it from the
// operating system's generator.
struct sc_random {
  std::uint32_t bytes_needed;   // starts at 512
  std::uint8_t state[16];
  std::uint32_t output_available;
  std::uint8_t output[16];
};

vorn_rv sc_random_init(sc_random* rnd);
vorn_rv sc_random_update(sc_random* rnd, const std::uint8_t* data, std::uint32_t len);
vorn_rv sc_random_bytes_needed(const sc_random* rnd, std::uint32_t* needed);
// RSAERR_NEED_RANDOM while bytes are still needed.
vorn_rv sc_random_generate(sc_random* rnd, std::uint8_t* out, std::uint32_t len);
// random-init, then fed from the OS CSPRNG until no bytes are needed.
vorn_rv sc_random_create(sc_random* rnd);
// Wipes the structure.
void sc_random_final(sc_random* rnd);
// The 32-bit mixing function; remembers -x of the last negative argument
// (process-global, not locked).
std::uint32_t sc_mix(std::int32_t x);

// ---------------------------------------------------------------------------
// RSA toolkit (RSAREF-compatible codes). Byte strings big-endian,
// right-aligned, zero-filled on the left. Modulus length in bytes is
// (bits + 7) / 8, bits from 16 to 2048 (else RSAERR_MODULUS_LEN).
inline constexpr std::uint32_t SC_RSA_MAX_BITS = 2048;
inline constexpr std::uint32_t SC_RSA_MAX_LEN = 256;
inline constexpr std::uint32_t SC_RSA_MAX_PRIME_LEN = 128;

struct sc_rsa_public_key {
  std::uint16_t bits;
  std::uint8_t modulus[SC_RSA_MAX_LEN];
  std::uint8_t exponent[SC_RSA_MAX_LEN];
};

struct sc_rsa_private_key {
  std::uint16_t bits;
  std::uint8_t modulus[SC_RSA_MAX_LEN];
  std::uint8_t public_exponent[SC_RSA_MAX_LEN];
  std::uint8_t exponent[SC_RSA_MAX_LEN];
  std::uint8_t prime[2][SC_RSA_MAX_PRIME_LEN];           // p, q
  std::uint8_t prime_exponent[2][SC_RSA_MAX_PRIME_LEN];  // d mod (p-1), d mod (q-1)
  std::uint8_t coefficient[SC_RSA_MAX_PRIME_LEN];        // q^-1 mod p
};

// Raw blocks: in (at most the modulus length) must be below the modulus,
// else RSAERR_DATA; out receives the modulus length. The private block uses
// the Chinese remainder theorem with blinding.
vorn_rv sc_rsa_public_block(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                            const sc_rsa_public_key* key);
vorn_rv sc_rsa_private_block(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                             const sc_rsa_private_key* key);

// PKCS#1 v1.5. Encryption outputs the modulus length; decryption outputs the
// recovered data (at most modulus length - 11 bytes).
//  public encrypt (type 2): RSAERR_LEN when inlen > k - 11, RSAERR_NEED_RANDOM
//    when rnd is not seeded; the padding bytes come from the OS CSPRNG.
vorn_rv sc_rsa_public_encrypt(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                              const sc_rsa_public_key* key, sc_random* rnd);
//  public decrypt (checks a type 1 block)
vorn_rv sc_rsa_public_decrypt(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                              const sc_rsa_public_key* key);
//  private encrypt (type 1)
vorn_rv sc_rsa_private_encrypt(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                               const sc_rsa_private_key* key);
//  private decrypt (type 2)
vorn_rv sc_rsa_private_decrypt(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                               const sc_rsa_private_key* key);

// Signature check: public decrypt of sig, whose data must equal expected
// (same length, compared in constant time); a difference gives
// CARDERR_SW_SIGNATURE. Malformed blocks return the RSA codes.
vorn_rv sc_rsa_check_signature(const std::uint8_t* sig, std::uint32_t siglen, const std::uint8_t* expected,
                               std::uint32_t explen, const sc_rsa_public_key* key);

// ---------------------------------------------------------------------------
// EMSA-PSS and MGF1 (the probabilistic signature encoding). hash_id and
// mgf_hash_id are SHA-1, SHA-256, SHA-384 or SHA-512 (anything else, MD5
// included, gives CARDERR_BAD_HASH). mhash is the message digest; hlen must
// be the digest size of hash_id (else CARDERR_BAD_LENGTH).
//
// mod_bits is the modulus length in bits (9 .. SC_RSA_MAX_BITS) and
// em_len must be (mod_bits - 1 + 7) / 8; anything else gives
// CARDERR_BAD_LENGTH. The top 8 * em_len - (mod_bits - 1) bits of em are zero.
// The raw RSA operation works on k = (mod_bits + 7) / 8 bytes:
//  - (mod_bits - 1) a multiple of 8 (e.g. 1025 bits): em_len = k - 1
//    and the k-byte block is one zero byte followed by em;
//  - otherwise (e.g. 1024 or 2048 bits): em_len = k and the block is em.
// A verifier does the reverse with the recovered k-byte block: when em_len is
// k - 1 its first byte must be zero (else the signature is wrong) and em is
// the rest; otherwise em is the whole block.
//
// A salt that does not fit (em_len < hlen + salt_len + 2) gives
// CARDERR_BAD_LENGTH; null buffers give CARDERR_BAD_ARG. Intermediate buffers
// are wiped; on failure the encoders leave em zeroed.
inline constexpr std::uint32_t SC_PSS_SALT_ANY = 0xFFFFFFFFu;  // verify: any salt length

// mask = the first mask_len bytes of MGF1 over seed.
vorn_rv sc_mgf1(std::uint8_t hash_id, const std::uint8_t* seed, std::uint32_t seed_len, std::uint8_t* mask,
                std::uint32_t mask_len);
// Encoding with salt_len bytes of salt from the OS CSPRNG (its failure code
// passes through).
vorn_rv sc_pss_encode(std::uint8_t hash_id, std::uint8_t mgf_hash_id, const std::uint8_t* mhash, std::uint32_t hlen,
                      std::uint32_t salt_len, std::uint32_t mod_bits, std::uint8_t* em, std::uint32_t em_len);
// Encoding with the given salt (may be null when salt_len is 0).
vorn_rv sc_pss_encode_salt(std::uint8_t hash_id, std::uint8_t mgf_hash_id, const std::uint8_t* mhash,
                           std::uint32_t hlen, std::uint32_t salt_len, std::uint32_t mod_bits, std::uint8_t* em,
                           std::uint32_t em_len, const std::uint8_t* salt);
// Checks em against mhash: 0 when consistent; CARDERR_SW_SIGNATURE for an
// inconsistent encoding (last byte not 0xBC, top bits set, padding not zeros
// then 01, a salt of another length than salt_len, digest mismatch). salt_len
// may be SC_PSS_SALT_ANY. Parameter errors as for the encoders.
vorn_rv sc_pss_verify(std::uint8_t hash_id, std::uint8_t mgf_hash_id, const std::uint8_t* mhash, std::uint32_t hlen,
                      std::uint32_t salt_len, std::uint32_t mod_bits, const std::uint8_t* em, std::uint32_t em_len);

// DigestInfo prefix for a PKCS#1 v1.5 signature (the DER of the algorithm
// identifier and the header of the digest's OCTET STRING, the digest follows)
// for MD5, SHA-1, SHA-256, SHA-384, SHA-512: the bytes and *len; null with
// *len = 0 for another id.
const std::uint8_t* sc_digest_info_prefix(std::uint8_t id, std::uint32_t* len);

// Key-pair generation: bits 508..2048 (else RSAERR_MODULUS_LEN before any
// random number is drawn); e = 65537 when use_f4, else 3. Primes come from
// the OS CSPRNG and pass trial division, the base-2 Fermat test and
// Miller-Rabin rounds. Fills both records.
vorn_rv sc_rsa_generate_keypair(std::uint32_t bits, bool use_f4, sc_rsa_public_key* pub, sc_rsa_private_key* priv);

// ---------------------------------------------------------------------------
// Software symmetric key generation: 16 bytes for ids 1 and 17, 8 for 13, 24
// for 50, any length for 48, 49 and 52 (else CARDERR_BAD_ALGORITHM). Bytes
// from the OS CSPRNG.
vorn_rv sc_generate_key(std::uint8_t id, std::uint8_t* key, std::uint32_t len);

// ---------------------------------------------------------------------------
// CPU instruction use (SHA-NI, AES-NI). Enabled by default when the CPU has
// them; tests switch them off to cover the portable code. Returns the
// previous setting.
bool sc_set_cpu_extensions(bool enabled);
// True when the SHA or AES instructions are available on this CPU.
bool sc_cpu_has_sha();
bool sc_cpu_has_aes();
