// Single-part RSA signing and verification with CKM_RSA_PKCS: on the card
// for token keys, in software for session keys; verification in software.
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

// The steps of C_Sign and C_Verify after their argument checks: the token,
// the active context and its key, the one mechanism.
CK_RV op_key(CK_SESSION_HANDLE h, Slot* slot, Session* sess, const OpContext& ctx, Object** key) {
  CK_RV rv = entry_token(h, *slot, *sess, Refresh::Sign);
  if (rv != CKR_OK) return rv;
  if (!ctx.active) return CKR_OPERATION_NOT_INITIALIZED;
  rv = context_key(slot, ctx, key);
  if (rv != CKR_OK) return rv;
  return ctx.mechanism == CKM_RSA_PKCS ? CKR_OK : CKR_FUNCTION_FAILED;
}

// A card key signs on the card; the caller's buffer holds at least k bytes.
CK_RV card_sign(Slot& slot, const Object& key, std::size_t k, const CK_BYTE* data, CK_ULONG len, CK_BYTE* sig,
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

CK_RV software_sign(const Object& key, std::size_t k, const CK_BYTE* data, CK_ULONG len, CK_BYTE* sig,
                    CK_ULONG* sig_len) {
  auto rec = std::make_unique<sc_rsa_private_key>();
  vorn::WipeOnExit wipe(rec.get(), sizeof *rec);
  if (!rsa_private_record(key, k, rec.get())) return CKR_FUNCTION_FAILED;
  std::uint32_t out_len = static_cast<std::uint32_t>(k);
  if (sc_rsa_private_encrypt(sig, &out_len, data, static_cast<std::uint32_t>(len), rec.get()) != VORN_OK ||
      out_len != k)
    return CKR_FUNCTION_FAILED;
  *sig_len = out_len;
  return CKR_OK;
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
  ctx = OpContext{true, mech->mechanism, hKey};
  return CKR_OK;
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
      if (ulDataLen == 0) return CKR_DATA_LEN_RANGE;
      Object* key = nullptr;
      CK_RV rv = op_key(hSession, slot, sess, sess->sign, &key);
      if (rv != CKR_OK) return rv;
      const Value* modulus = attr_get(*key, CKA_MODULUS);
      const std::size_t k = modulus ? modulus->size() : 0;
      if (k != 128 && k != 256) return CKR_FUNCTION_FAILED;
      if (ulDataLen > k - 11) return CKR_DATA_LEN_RANGE;
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
      bool token = false;
      attr_bool(*key, CKA_TOKEN, &token);
      CK_ULONG out_len = 0;
      if (token && key->card_id != 0)
        rv = card_sign(*slot, *key, k, pData, ulDataLen, pSignature, &out_len);
      else
        rv = software_sign(*key, k, pData, ulDataLen, pSignature, &out_len);
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
      if (pData == nullptr || ulDataLen == 0 || pSignature == nullptr) return CKR_ARGUMENTS_BAD;
      if (ulSignatureLen == 0) return CKR_SIGNATURE_LEN_RANGE;
      Object* key = nullptr;
      CK_RV rv = op_key(hSession, slot, sess, sess->verify, &key);
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
      std::uint8_t out[256];
      std::uint32_t out_len = sizeof out;
      const vorn_rv srv =
          sc_rsa_public_decrypt(out, &out_len, pSignature, static_cast<std::uint32_t>(ulSignatureLen), pub.get());
      // A block that does not open as a signature is an invalid signature.
      if (srv == RSAERR_DATA || srv == RSAERR_LEN) return CKR_SIGNATURE_INVALID;
      if (srv != VORN_OK) return CKR_FUNCTION_FAILED;
      if (out_len != ulDataLen || !plat_ct_equal(out, pData, out_len)) return CKR_SIGNATURE_INVALID;
      return CKR_OK;
    });
  });
}
