// The cipher engine behind C_Encrypt*/C_Decrypt*, shared with wrapping and
// unwrapping (wrap.cpp) and the helpers of the key operations.
#pragma once
#include <cstdint>
#include <vector>

#include "crypt_state.h"
#include "module.h"

namespace p11 {

// Buffers of plaintext, key values and padded blocks.
using SecureBytes = vorn::SecureBytes;

// Ends an operation's context (cipher, sign, verify, digest) when the scope
// ends, unless told to keep it.
template <class Ctx>
struct EndOp {
  Ctx& ctx;
  bool keep = false;
  ~EndOp() {
    if (!keep) ctx = Ctx{};
  }
};

// The slot's row of a mechanism when it carries `flag`, else null.
const MechRow* slot_mech(const Slot& slot, CK_MECHANISM_TYPE type, CK_FLAGS flag);
// The module table's key type of a mechanism (~0 when unknown).
CK_KEY_TYPE mech_key_type(CK_MECHANISM_TYPE type);
// Whether a key of type t may be used with a cipher mechanism: the
// mechanism's own key type, and two-key triple DES under the 3DES rows.
bool key_type_fits(CK_KEY_TYPE t, CK_MECHANISM_TYPE mech);
// Cipher mechanisms the engine knows (RSA, RC2, RC4, DES, 3DES, AES).
bool crypt_mechanism(CK_MECHANISM_TYPE type);
// Block size (1 for RC4, 0 for RSA) and padding of a cipher mechanism.
std::uint32_t crypt_block_size(CK_MECHANISM_TYPE type);
bool crypt_padded(CK_MECHANISM_TYPE type);
// Parameter checks of the init step: IV and RC2 effective bits go into ctx.
// CKR_MECHANISM_PARAM_INVALID on a mismatch.
CK_RV crypt_params(const CK_MECHANISM& m, CryptContext* ctx);
// A token key that lives on the card.
bool key_on_card(const Object& key);
// RSA modulus length of a key (reads a card public key's value when its
// modulus is not loaded yet); 0 when it cannot be found.
std::size_t rsa_modulus_len(Slot& slot, Object& key);

// The key value of a key that is used in software; a card key's value is
// read from the card when it is not loaded yet. Null when there is none.
const Value* crypt_key_value(Slot& slot, Object& key);
// An RSA key of k bytes in the software layout: the eight values of a
// private key, or modulus and exponent of a public key; false when one is
// missing or does not fit.
bool rsa_private_record(const Object& key, std::size_t k, sc_rsa_private_key* rec);
bool rsa_public_record(const Object& key, std::size_t k, sc_rsa_public_key* rec);

// Feeds a digest context any length, in pieces the 32-bit software
// interface takes (digest.cpp).
vorn_rv digest_feed(std::uint8_t id, sc_digest_ctx* ctx, const std::uint8_t* p, CK_ULONG len);

// Largest input of one cipher call. Sums of it with pending bytes and
// padding, and the 32-bit lengths of the software ciphers and the card
// layer, stay far from wrapping; longer inputs are refused with the
// length-range code of the direction.
inline constexpr std::size_t kCryptMaxLen = 0x7FFFFFE0;

// Single-part operation with an initialised context, as C_Encrypt and
// C_Decrypt run it: padding added or removed, IV and RC4 state advanced in
// ctx. Length rules give CKR_DATA_LEN_RANGE (encrypt) or
// CKR_ENCRYPTED_DATA_LEN_RANGE (decrypt); a bad CBC_PAD pad byte gives
// CKR_ENCRYPTED_DATA_INVALID.
CK_RV crypt_single(Slot& slot, Object& key, CryptContext& ctx, bool encrypt, const std::uint8_t* in,
                   std::size_t len, SecureBytes* out);
// Output length of a single-part encryption of len bytes (0 when the length
// breaks the mechanism's rule).
std::size_t crypt_encrypt_len(Slot& slot, Object& key, const CryptContext& ctx, std::size_t len);

// Opens an RSA-wrapped secret key of exactly `want` bytes (1 to k - 11) from
// one block of k bytes. A block that is not PKCS#1 type 2 around a message
// of `want` bytes yields a stand-in value of `want` bytes instead, derived
// from the block under a secret of this process, so that the caller sees the
// same answer for a good and a bad block. CKR_WRAPPED_KEY_LEN_RANGE when len
// is not k; card and key-material failures CKR_FUNCTION_FAILED or
// CKR_DEVICE_ERROR.
CK_RV rsa_unwrap(Slot& slot, Object& key, const std::uint8_t* in, std::size_t len, std::size_t want,
                 SecureBytes* out);

}  // namespace p11
