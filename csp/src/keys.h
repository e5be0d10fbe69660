// Key handles of a context and the session-key helpers the key, cipher,
// export/import and parameter code share.
//
// A key handle is the address of the context's signature or exchange pair
// record (valid while its handle count is nonzero) or of one of its 50
// session key slots. key_of turns it into an internal index:
//   kKeySig (0x80000000) signature pair, kKeyExch (0x80000001) exchange
//   pair, 0..49 session key slot.
#pragma once

#include <cstdint>
#include <span>

#include "csp.h"

namespace csp {

inline constexpr DWORD kKeySig = 0x80000000;
inline constexpr DWORD kKeyExch = 0x80000001;
inline constexpr DWORD kPermsSession = 0xCB;  // CRYPT_ENCRYPT|DECRYPT|READ|WRITE|MAC

// The internal index of h: ERROR_INVALID_HANDLE for 0 or all bits set,
// NTE_BAD_KEY for a handle that is neither a pair of c with a nonzero
// handle count nor an in-use slot of c.
DWORD key_of(ContextRecord& c, HCRYPTKEY h, DWORD* index);
// The handle of an index (pair record or slot address).
HCRYPTKEY key_handle(ContextRecord& c, DWORD index);
// The pair record of kKeySig / kKeyExch, null for a slot index.
CmapKeyPair* key_pair(ContextRecord& c, DWORD index);
// The container record (card-backed, same reader slot and map index) of an
// issued context; null when there is none any more.
ContextRecord* key_container_of(ContextRecord& c);

// The in-use hash slot of h: ERROR_INVALID_HANDLE for 0 or all bits set,
// NTE_BAD_HASH for anything else that is not an in-use slot of c.
DWORD hash_of(ContextRecord& c, HCRYPTHASH h, HashSlot** out);
// Finishes the hash when it has no value yet (NTE_BAD_HASH for an SSL3
// SHA-MD5 hash without one); the value is then in h.value.
DWORD hash_finish(HashSlot& h);

// The first free session key slot (NTE_NO_MEMORY when all 50 are used).
DWORD key_slot_free(ContextRecord& c, DWORD* index);
// A new session key in the first free slot from raw material: len must be
// the algorithm's stored length in bytes (DES 8, 3DES-112 16, 3DES 24,
// AES-128 16, RC2/RC4 5..16). The RC2 effective length follows the
// platform version. NTE_NO_MEMORY, NTE_BAD_ALGID, NTE_BAD_LEN.
DWORD key_session_new(ContextRecord& c, ALG_ID alg, const std::uint8_t* material, DWORD len, bool exportable,
                      HCRYPTKEY* out);
// A new slot holding an RSA public key (alg CALG_RSA_SIGN or CALG_RSA_KEYX):
// the modulus big-endian (128 or 256 bytes, else NTE_BAD_LEN) and exponent.
DWORD key_public_new(ContextRecord& c, ALG_ID alg, std::span<const std::uint8_t> modulus, DWORD exponent,
                     HCRYPTKEY* out);
// The RC2 effective key length for new keys: 40 on platform versions
// 3.51..5.0, else 128.
DWORD key_rc2_effective_default();

// Random bytes for c: the card's generator when c was switched to it
// (PP_USE_HARDWARE_RNG) and is not verify-only, else the OS CSPRNG.
DWORD key_random(ContextRecord& c, std::uint8_t* buf, DWORD len);

// Writes the attribute list of a key object the card made or took
// (private or public RSA key of the pair of side sig) from its modulus:
// class, key type, token, private, the use flags, modulus, exponent 65537
// and the key identifier 0x8004. Inside a card operation with the object's
// application open.
DWORD key_write_attrs(unsigned slot, SCARDHANDLE card, std::uint32_t id, bool is_private, bool sig,
                      std::span<const std::uint8_t> modulus);

// Writes a certificate object's attribute list from the certificate (DER).
// Inside a card operation with the object's application open.
DWORD key_write_cert_attrs(unsigned slot, SCARDHANDLE card, std::uint32_t id, const BYTE* der, DWORD len);

// RSA public key encryption (PKCS#1 v1.5 type 2) of data (at most m - 11
// bytes) into out (m bytes, least significant byte first, as the platform
// wants them). modulus big-endian. NTE_BAD_LEN for data too long.
DWORD key_rsa_encrypt(std::span<const std::uint8_t> modulus, DWORD exponent, const std::uint8_t* data, DWORD len,
                      std::uint8_t* out);
// Deciphers one block (m bytes least significant first) with c's exchange
// private key on the card, making sure of the PIN (cached allowed) first;
// the plaintext goes to out, *out_len its length. The card operation ends
// with PIN logout.
DWORD key_exch_decrypt(ContextRecord& c, const std::uint8_t* block, DWORD len, std::uint8_t* out, DWORD* out_len);

}  // namespace csp
