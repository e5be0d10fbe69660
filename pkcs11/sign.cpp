// Single-part RSA signing and verification: CKM_RSA_PKCS and the extension
// mechanisms (raw RSA, RSA-PSS, hash-and-sign). Private-key operations run
// on the card for card keys and in software for session keys; verification
// runs in software.
#include <cstring>

#include "cardlayer.h"
#include "crypt.h"
#include "entry.h"
#include "module.h"
#include "softcrypto.h"

namespace p11 {

namespace {

// The key of an active context, checked against the session's slot and the
// login state.
CK_RV context_key(const Slot* slot, const OpContext& ctx, Object** key) {
  Slot* kslot = nullptr;
  if (object_lookup(ctx.key, &kslot, key) != CKR_OK) return CKR_GENERAL_ERROR;
  bool priv = false;
  if (kslot != slot || (attr_bool(**key, CKA_PRIVATE, &priv) && priv && !logged_in(*slot)))
    return CKR_SESSION_HANDLE_INVALID;
  return CKR_OK;
}

// What a signing mechanism does with the caller's data before the RSA
// private-key operation: PKCS#1 v1.5 type 1 around the data or around the
// DigestInfo of its digest (the card pads; software pads), the raw k-byte
// block, or EMSA-PSS of the given digest or of the data's digest.
enum class Form : std::uint8_t { Pkcs1, Raw, Pss };
struct SignMech {
  CK_MECHANISM_TYPE type;
  Form form;
  std::uint8_t hash;  // digest the module takes of the data; 0: the data is used as given
};
constexpr SignMech kSignMechs[] = {
    {CKM_RSA_PKCS, Form::Pkcs1, 0},
    {CKM_RSA_X_509, Form::Raw, 0},
    {CKM_RSA_PKCS_PSS, Form::Pss, 0},
    {CKM_SHA1_RSA_PKCS, Form::Pkcs1, SC_ALG_SHA1},
    {CKM_SHA256_RSA_PKCS, Form::Pkcs1, SC_ALG_SHA256},
    {CKM_SHA384_RSA_PKCS, Form::Pkcs1, SC_ALG_SHA384},
    {CKM_SHA512_RSA_PKCS, Form::Pkcs1, SC_ALG_SHA512},
    {CKM_SHA256_RSA_PKCS_PSS, Form::Pss, SC_ALG_SHA256},
    {CKM_SHA384_RSA_PKCS_PSS, Form::Pss, SC_ALG_SHA384},
    {CKM_SHA512_RSA_PKCS_PSS, Form::Pss, SC_ALG_SHA512},
};

const SignMech* sign_mech(CK_MECHANISM_TYPE type) {
  for (const auto& m : kSignMechs)
    if (m.type == type) return &m;
  return nullptr;
}

// The PSS parameters' digests: CKM_SHA_1 .. CKM_SHA512 and CKG_MGF1_*.
struct PssHash {
  CK_MECHANISM_TYPE mech;
  CK_RSA_PKCS_MGF_TYPE mgf;
  std::uint8_t id;
};
constexpr PssHash kPssHashes[] = {{CKM_SHA_1, CKG_MGF1_SHA1, SC_ALG_SHA1},
                                  {CKM_SHA256, CKG_MGF1_SHA256, SC_ALG_SHA256},
                                  {CKM_SHA384, CKG_MGF1_SHA384, SC_ALG_SHA384},
                                  {CKM_SHA512, CKG_MGF1_SHA512, SC_ALG_SHA512}};

// Bit length of a big-endian number (0 for none or zero).
std::uint32_t bit_length(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n && p[i] == 0) ++i;
  if (i == n) return 0;
  std::uint32_t bits = static_cast<std::uint32_t>(8 * (n - i));
  for (std::uint8_t top = p[i]; (top & 0x80) == 0; top = static_cast<std::uint8_t>(top << 1)) --bits;
  return bits;
}

// The key's modulus length in bits: from its modulus when loaded, else from
// CKA_MODULUS_BITS (a card public key before its value is read).
std::uint32_t key_mod_bits(const Object& key) {
  const Value* m = attr_get(key, CKA_MODULUS);
  if (m != nullptr && m->size() != 0) return bit_length(m->data(), m->size());
  CK_ULONG bits = 0;
  return attr_ulong(key, CKA_MODULUS_BITS, &bits) && bits <= SC_RSA_MAX_BITS ? static_cast<std::uint32_t>(bits)
                                                                               : 0;
}

// EMSA-PSS encodes into em_len = (mod_bits - 1 + 7) / 8 bytes: one byte less
// than the k-byte block when mod_bits - 1 is a multiple of 8.
std::uint32_t pss_em_len(std::uint32_t mod_bits) { return (mod_bits - 1 + 7) / 8; }

// CK_RSA_PKCS_PSS_PARAMS of a PSS mechanism into the context: a digest of
// the four, MGF1 over the same digest, the digest the mechanism names (for
// the hash-and-sign rows), and a salt that fits the key's modulus.
CK_RV pss_params(const CK_MECHANISM& m, const SignMech& sm, std::uint32_t mod_bits, OpContext* ctx) {
  if (m.pParameter == nullptr || m.ulParameterLen != sizeof(CK_RSA_PKCS_PSS_PARAMS))
    return CKR_MECHANISM_PARAM_INVALID;
  CK_RSA_PKCS_PSS_PARAMS p;
  std::memcpy(&p, m.pParameter, sizeof p);  // the caller's block need not be aligned
  const PssHash* h = nullptr;
  for (const auto& e : kPssHashes)
    if (e.mech == p.hash_alg) h = &e;
  if (h == nullptr || p.mgf != h->mgf || (sm.hash != 0 && sm.hash != h->id)) return CKR_MECHANISM_PARAM_INVALID;
  if (mod_bits < 1024) return CKR_KEY_SIZE_RANGE;
  const std::uint32_t em_len = pss_em_len(mod_bits), hlen = sc_digest_size(h->id);
  if (p.s_len > em_len || em_len - p.s_len < hlen + 2) return CKR_MECHANISM_PARAM_INVALID;
  ctx->pss_hash = h->id;
  ctx->pss_mgf_hash = h->id;
  ctx->pss_salt = static_cast<std::uint32_t>(p.s_len);
  return CKR_OK;
}

// The digest of the caller's data.
bool digest_of(std::uint8_t id, const CK_BYTE* data, CK_ULONG len, std::uint8_t* out, std::uint32_t* out_len) {
  sc_digest_ctx c;
  vorn::WipeOnExit wipe(&c, sizeof c);
  *out_len = SC_DIGEST_MAX;
  return sc_digest_init(id, &c) == VORN_OK && digest_feed(id, &c, data, len) == VORN_OK &&
         sc_digest_final(id, &c, out, out_len) == VORN_OK;
}

// The bytes a PKCS#1 v1.5 mechanism puts into the type 1 block: the data,
// or the DigestInfo of its digest.
bool pkcs1_input(const SignMech& sm, const CK_BYTE* data, CK_ULONG len, SecureBytes* out) {
  if (sm.hash == 0) {
    out->assign(data, data + len);
    return true;
  }
  std::uint32_t plen = 0;
  const std::uint8_t* prefix = sc_digest_info_prefix(sm.hash, &plen);
  std::uint8_t md[SC_DIGEST_MAX];
  std::uint32_t mdlen = 0;
  if (prefix == nullptr || !digest_of(sm.hash, data, len, md, &mdlen)) return false;
  out->assign(prefix, prefix + plen);
  out->insert(out->end(), md, md + mdlen);
  return true;
}

// The message digest a PSS mechanism encodes: the caller's digest for
// CKM_RSA_PKCS_PSS (its length checked by the caller), else the data's.
bool pss_mhash(const SignMech& sm, const OpContext& ctx, const CK_BYTE* data, CK_ULONG len, std::uint8_t* md,
               std::uint32_t* mdlen) {
  if (sm.hash == 0) {
    std::memcpy(md, data, len);
    *mdlen = static_cast<std::uint32_t>(len);
    return true;
  }
  return digest_of(ctx.pss_hash, data, len, md, mdlen);
}

// The length rule of the caller's data: at most k - 11 bytes for raw
// PKCS#1 v1.5, at most k for the raw block, exactly the digest for
// CKM_RSA_PKCS_PSS; the hash-and-sign rows take any length.
bool data_len_fits(const SignMech& sm, const OpContext& ctx, std::size_t k, CK_ULONG len) {
  if (sm.hash != 0) return true;
  switch (sm.form) {
    case Form::Pkcs1: return len <= k - 11;
    case Form::Raw: return len <= k;
    case Form::Pss: return len == sc_digest_size(ctx.pss_hash);
  }
  return false;
}

// The steps of C_Sign and C_Verify after their argument checks: the token,
// the active context and its key, a signing mechanism.
CK_RV op_key(CK_SESSION_HANDLE h, Slot* slot, Session* sess, const OpContext& ctx, Object** key,
             const SignMech** sm) {
  CK_RV rv = entry_token(h, *slot, *sess, Refresh::Sign);
  if (rv != CKR_OK) return rv;
  if (!ctx.active) return CKR_OPERATION_NOT_INITIALIZED;
  rv = context_key(slot, ctx, key);
  if (rv != CKR_OK) return rv;
  *sm = sign_mech(ctx.mechanism);
  return *sm != nullptr ? CKR_OK : CKR_FUNCTION_FAILED;
}

// A card key signs on the card; the caller's buffer holds at least k bytes.
// The card pads data shorter than k (PKCS#1 v1.5 type 1) and signs a k-byte
// block raw.
CK_RV card_sign(Slot& slot, const Object& key, std::size_t k, const CK_BYTE* data, std::size_t len, CK_BYTE* sig,
                CK_ULONG* sig_len) {
  CardOperation op;
  if (slot_op_begin(op, slot) != VORN_OK) return CKR_FUNCTION_FAILED;
  CK_RV rv = slot_op_open(op, slot, object_app(key));
  DWORD n = static_cast<DWORD>(k);
  if (rv == CKR_OK &&
      key_sign(slot_key(slot), slot.card, key.card_id, data, static_cast<DWORD>(len), sig, &n) != VORN_OK)
    rv = CKR_FUNCTION_FAILED;
  CK_RV lrv = slot_op_close(op);
  if (rv != CKR_OK || lrv != CKR_OK || n != k) return CKR_FUNCTION_FAILED;
  *sig_len = n;
  return CKR_OK;
}

// A session key in software: PKCS#1 v1.5 type 1 around data shorter than
// k, the raw private-key operation on a k-byte block.
CK_RV software_sign(const Object& key, std::size_t k, const CK_BYTE* data, std::size_t len, CK_BYTE* sig,
                    CK_ULONG* sig_len) {
  auto rec = std::make_unique<sc_rsa_private_key>();
  vorn::WipeOnExit wipe(rec.get(), sizeof *rec);
  if (!rsa_private_record(key, k, rec.get())) return CKR_FUNCTION_FAILED;
  std::uint32_t out_len = static_cast<std::uint32_t>(k);
  const auto in_len = static_cast<std::uint32_t>(len);
  const vorn_rv srv = len == k ? sc_rsa_private_block(sig, &out_len, data, in_len, rec.get())
                               : sc_rsa_private_encrypt(sig, &out_len, data, in_len, rec.get());
  if (srv != VORN_OK || out_len != k) return CKR_FUNCTION_FAILED;
  *sig_len = out_len;
  return CKR_OK;
}

// The input of the private-key operation for the context's mechanism: at
// most k - 11 bytes to pad (PKCS#1 v1.5), or the k-byte block (raw, PSS).
// A raw block not below the modulus is CKR_DATA_INVALID.
CK_RV sign_input(const SignMech& sm, const OpContext& ctx, const Value& modulus, const CK_BYTE* data,
                 CK_ULONG len, SecureBytes* in) {
  const std::size_t k = modulus.size();
  switch (sm.form) {
    case Form::Pkcs1:
      return pkcs1_input(sm, data, len, in) ? CKR_OK : CKR_FUNCTION_FAILED;
    case Form::Raw:
      in->assign(k - len, 0);
      in->insert(in->end(), data, data + len);
      return std::memcmp(in->data(), modulus.data(), k) < 0 ? CKR_OK : CKR_DATA_INVALID;
    case Form::Pss: {
      std::uint8_t md[SC_DIGEST_MAX];
      std::uint32_t mdlen = 0;
      if (!pss_mhash(sm, ctx, data, len, md, &mdlen)) return CKR_FUNCTION_FAILED;
      const std::uint32_t bits = bit_length(modulus.data(), k), em_len = pss_em_len(bits);
      in->assign(k, 0);
      // The k-byte block is em, or a zero byte and em when em is one byte shorter.
      if (sc_pss_encode(ctx.pss_hash, ctx.pss_mgf_hash, md, mdlen, ctx.pss_salt, bits, in->data() + (k - em_len),
                        em_len) != VORN_OK)
        return CKR_FUNCTION_FAILED;
      return CKR_OK;
    }
  }
  return CKR_FUNCTION_FAILED;
}

// Verification of a signature block of k bytes with the public key record.
CK_RV verify_block(const SignMech& sm, const OpContext& ctx, const sc_rsa_public_key& pub, std::size_t k,
                   const CK_BYTE* data, CK_ULONG len, const CK_BYTE* sig) {
  const auto sig_len = static_cast<std::uint32_t>(k);
  if (sm.form == Form::Pkcs1) {
    SecureBytes want;
    if (!pkcs1_input(sm, data, len, &want)) return CKR_FUNCTION_FAILED;
    std::uint8_t out[SC_RSA_MAX_LEN];
    std::uint32_t out_len = sizeof out;
    const vorn_rv srv = sc_rsa_public_decrypt(out, &out_len, sig, sig_len, &pub);
    // A block that does not open as a signature is an invalid signature.
    if (srv == RSAERR_DATA || srv == RSAERR_LEN) return CKR_SIGNATURE_INVALID;
    if (srv != VORN_OK) return CKR_FUNCTION_FAILED;
    if (out_len != want.size() || !plat_ct_equal(out, want.data(), out_len)) return CKR_SIGNATURE_INVALID;
    return CKR_OK;
  }
  std::uint8_t block[SC_RSA_MAX_LEN];
  std::uint32_t block_len = sizeof block;
  const vorn_rv srv = sc_rsa_public_block(block, &block_len, sig, sig_len, &pub);
  if (srv == RSAERR_DATA) return CKR_SIGNATURE_INVALID;  // not below the modulus
  if (srv != VORN_OK || block_len != k) return CKR_FUNCTION_FAILED;
  if (sm.form == Form::Raw) {
    std::uint8_t want[SC_RSA_MAX_LEN] = {};
    std::memcpy(want + (k - len), data, len);
    return plat_ct_equal(block, want, k) ? CKR_OK : CKR_SIGNATURE_INVALID;
  }
  std::uint8_t md[SC_DIGEST_MAX];
  std::uint32_t mdlen = 0;
  if (!pss_mhash(sm, ctx, data, len, md, &mdlen)) return CKR_FUNCTION_FAILED;
  const std::uint32_t bits = bit_length(pub.modulus, SC_RSA_MAX_LEN), em_len = pss_em_len(bits);
  if (em_len < k && block[0] != 0) return CKR_SIGNATURE_INVALID;
  const vorn_rv prv = sc_pss_verify(ctx.pss_hash, ctx.pss_mgf_hash, md, mdlen, ctx.pss_salt, bits,
                                    block + (k - em_len), em_len);
  if (prv == CARDERR_SW_SIGNATURE) return CKR_SIGNATURE_INVALID;
  return prv == VORN_OK ? CKR_OK : CKR_FUNCTION_FAILED;
}

// What C_SignInit and C_VerifyInit differ in: the mechanism flag and the
// answer to a missing mechanism, the operation's lock and context, the key's
// class and use, and whether the class is checked before or after the use.
struct SignDir {
  CK_RV no_mechanism;
  CK_FLAGS mech_flag;
  LockId lock;
  OpContext Session::*ctx;
  CK_ULONG key_class;
  CK_ATTRIBUTE_TYPE use;
  bool class_first;
};
constexpr SignDir kSignDir{CKR_ARGUMENTS_BAD,  CKF_SIGN, kLockSignOp, &Session::sign, CKO_PRIVATE_KEY, CKA_SIGN, true};
constexpr SignDir kVerifyDir{CKR_MECHANISM_INVALID, CKF_VERIFY,   kLockVerifyOp, &Session::verify,
                             CKO_PUBLIC_KEY,        CKA_VERIFY,   false};

// The key's class, its use flag and the login its CKA_PRIVATE asks for.
CK_RV sign_key_checks(const SignDir& d, const Slot& slot, const Object& key) {
  CK_ULONG cls = 0;
  if (d.class_first && (!attr_ulong(key, CKA_CLASS, &cls) || cls != d.key_class)) return CKR_KEY_TYPE_INCONSISTENT;
  bool b = false;
  if (!attr_bool(key, d.use, &b)) return CKR_KEY_TYPE_INCONSISTENT;
  if (!b) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  if (!attr_bool(key, CKA_PRIVATE, &b)) return CKR_KEY_TYPE_INCONSISTENT;
  if (b && !logged_in(slot)) return CKR_USER_NOT_LOGGED_IN;
  if (!d.class_first && (!attr_ulong(key, CKA_CLASS, &cls) || cls != d.key_class)) return CKR_KEY_TYPE_INCONSISTENT;
  return CKR_OK;
}

CK_RV sign_init(const SignDir& d, CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE hKey) {
  Slot* slot = nullptr;
  Session* sess = nullptr;
  CK_RV rv = session_lookup(h, &slot, &sess);
  if (rv != CKR_OK) return rv;
  if (mech == nullptr) return d.no_mechanism;
  rv = entry_token(h, *slot, *sess, Refresh::Sign);
  if (rv != CKR_OK) return rv;
  if (slot_mech(*slot, mech->mechanism, d.mech_flag) == nullptr) return CKR_MECHANISM_INVALID;
  Guard og(d.lock);
  OpContext& ctx = sess->*d.ctx;
  if (ctx.active) return CKR_OPERATION_ACTIVE;
  Slot* kslot = nullptr;
  Object* key = nullptr;
  if (CK_RV lrv = key_lookup(hKey, &kslot, &key, CKR_KEY_HANDLE_INVALID); lrv != CKR_OK) return lrv;
  if (kslot != slot) return CKR_SESSION_HANDLE_INVALID;
  rv = sign_key_checks(d, *slot, *key);
  if (rv != CKR_OK) return rv;
  OpContext fresh{true, mech->mechanism, hKey};
  const SignMech* sm = sign_mech(mech->mechanism);
  if (sm == nullptr) return CKR_MECHANISM_INVALID;
  // CKM_RSA_PKCS keeps ignoring parameters; the PSS rows need theirs.
  if (sm->form == Form::Pss) {
    rv = pss_params(*mech, *sm, key_mod_bits(*key), &fresh);
    if (rv != CKR_OK) return rv;
  }
  ctx = fresh;
  return CKR_OK;
}

// Hash-and-sign rows sign any message, the empty one too.
bool hashes_data(CK_MECHANISM_TYPE type) {
  const SignMech* sm = sign_mech(type);
  return sm != nullptr && sm->hash != 0;
}

}  // namespace

}  // namespace p11

using namespace p11;

VORN_P11_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return p11_module([&] { return sign_init(kSignDir, hSession, pMechanism, hKey); });
}

VORN_P11_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                             CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
  return p11_module([&] {
    return entry_locked(hSession, kLockSignOp, [&](Slot* slot, Session* sess) -> CK_RV {
      // Every outcome but a length answer ends the operation.
      EndOp end{sess->sign};
      if (pData == nullptr || pulSignatureLen == nullptr) return CKR_ARGUMENTS_BAD;
      if (ulDataLen == 0 && !hashes_data(sess->sign.mechanism)) return CKR_DATA_LEN_RANGE;
      Object* key = nullptr;
      const SignMech* sm = nullptr;
      CK_RV rv = op_key(hSession, slot, sess, sess->sign, &key, &sm);
      if (rv != CKR_OK) return rv;
      const Value* modulus = attr_get(*key, CKA_MODULUS);
      const std::size_t k = modulus ? modulus->size() : 0;
      if (k != 128 && k != 256) return CKR_FUNCTION_FAILED;
      if (!data_len_fits(*sm, sess->sign, k, ulDataLen)) return CKR_DATA_LEN_RANGE;
      if (pSignature == nullptr) {
        *pulSignatureLen = k;
        end.keep = true;
        return CKR_OK;
      }
      if (*pulSignatureLen < k) {
        *pulSignatureLen = k;
        end.keep = true;
        return CKR_BUFFER_TOO_SMALL;
      }
      SecureBytes in;
      rv = sign_input(*sm, sess->sign, *modulus, pData, ulDataLen, &in);
      if (rv != CKR_OK) return rv;
      bool token = false;
      attr_bool(*key, CKA_TOKEN, &token);
      CK_ULONG out_len = 0;
      if (token && key->card_id != 0)
        rv = card_sign(*slot, *key, k, in.data(), in.size(), pSignature, &out_len);
      else
        rv = software_sign(*key, k, in.data(), in.size(), pSignature, &out_len);
      if (rv != CKR_OK) return rv;
      *pulSignatureLen = out_len;
      return CKR_OK;
    });
  });
}

VORN_P11_EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return p11_module([&] { return sign_init(kVerifyDir, hSession, pMechanism, hKey); });
}

VORN_P11_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                               CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
  return p11_module([&] {
    return entry_locked(hSession, kLockVerifyOp, [&](Slot* slot, Session* sess) -> CK_RV {
      // Every outcome ends the operation.
      EndOp end{sess->verify};
      if (pData == nullptr || (ulDataLen == 0 && !hashes_data(sess->verify.mechanism)) || pSignature == nullptr)
        return CKR_ARGUMENTS_BAD;
      if (ulSignatureLen == 0) return CKR_SIGNATURE_LEN_RANGE;
      Object* key = nullptr;
      const SignMech* sm = nullptr;
      CK_RV rv = op_key(hSession, slot, sess, sess->verify, &key, &sm);
      if (rv != CKR_OK) return rv;
      CK_ULONG bits = 0;
      attr_ulong(*key, CKA_MODULUS_BITS, &bits);
      if (bits == 1024 || bits == 2048) {
        if (ulSignatureLen != bits / 8) return CKR_SIGNATURE_LEN_RANGE;
      } else {
        return CKR_FUNCTION_FAILED;
      }
      bool token = false;
      attr_bool(*key, CKA_TOKEN, &token);
      if (token && key->card_id != 0) {
        rv = object_read_value(*slot, *key);
        if (rv != CKR_OK) return rv;
      }
      auto pub = std::make_unique<sc_rsa_public_key>();
      if (!rsa_public_record(*key, bits / 8, pub.get())) return CKR_FUNCTION_FAILED;
      // Raw PKCS#1 v1.5 data of another length than the signed data simply
      // does not match; the raw block and a given PSS digest have length rules.
      if (sm->form != Form::Pkcs1 && !data_len_fits(*sm, sess->verify, bits / 8, ulDataLen))
        return CKR_DATA_LEN_RANGE;
      return verify_block(*sm, sess->verify, *pub, bits / 8, pData, ulDataLen, pSignature);
    });
  });
}
