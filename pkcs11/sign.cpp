// Single-part RSA signing and verification with CKM_RSA_PKCS: on the card
// for token keys, in software for session keys; verification in software.
#include <cstring>

#include "cardlayer.h"
#include "entry.h"
#include "module.h"
#include "softcrypto.h"

namespace p11 {

namespace {

bool mech_has(const Slot& slot, CK_MECHANISM_TYPE type, CK_FLAGS flag) {
  for (std::uint32_t i = 0; i < slot.mech_count; ++i)
    if (slot.mechs[i].type == type) return (slot.mechs[i].info.flags & flag) != 0;
  return false;
}

// Right-aligns a big-endian number into a field; false when it does not fit.
bool put(std::uint8_t* field, std::size_t width, const Value* v) {
  if (v == nullptr) return false;
  std::size_t i = 0;
  while (i < v->size() && v->data()[i] == 0) ++i;
  const std::size_t n = v->size() - i;
  if (n > width) return false;
  std::memset(field, 0, width - n);
  std::memcpy(field + width - n, v->data() + i, n);
  return true;
}

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

CK_RV software_sign(const Object& key, std::size_t k, const CK_BYTE* data, CK_ULONG len, CK_BYTE* sig,
                    CK_ULONG* sig_len) {
  auto rec = std::make_unique<sc_rsa_private_key>();
  vorn::WipeOnExit wipe(rec.get(), sizeof *rec);
  rec->bits = static_cast<std::uint16_t>(8 * k);
  const bool ok = put(rec->modulus, 256, attr_get(key, CKA_MODULUS)) &&
                  put(rec->public_exponent, 256, attr_get(key, CKA_PUBLIC_EXPONENT)) &&
                  put(rec->exponent, 256, attr_get(key, CKA_PRIVATE_EXPONENT)) &&
                  put(rec->prime[0], 128, attr_get(key, CKA_PRIME_1)) &&
                  put(rec->prime[1], 128, attr_get(key, CKA_PRIME_2)) &&
                  put(rec->prime_exponent[0], 128, attr_get(key, CKA_EXPONENT_1)) &&
                  put(rec->prime_exponent[1], 128, attr_get(key, CKA_EXPONENT_2)) &&
                  put(rec->coefficient, 128, attr_get(key, CKA_COEFFICIENT));
  if (!ok) return CKR_FUNCTION_FAILED;
  std::uint32_t out_len = static_cast<std::uint32_t>(k);
  if (sc_rsa_private_encrypt(sig, &out_len, data, static_cast<std::uint32_t>(len), rec.get()) != VORN_OK ||
      out_len != k)
    return CKR_FUNCTION_FAILED;
  *sig_len = out_len;
  return CKR_OK;
}

}  // namespace

}  // namespace p11

using namespace p11;

VORN_P11_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return p11_module([&]() -> CK_RV {
    Slot* slot = nullptr;
    Session* sess = nullptr;
    CK_RV rv = session_lookup(hSession, &slot, &sess);
    if (rv != CKR_OK) return rv;
    if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
    rv = entry_token(hSession, *slot, *sess, Refresh::Sign);
    if (rv != CKR_OK) return rv;
    if (!mech_has(*slot, pMechanism->mechanism, CKF_SIGN)) return CKR_MECHANISM_INVALID;
    Guard og(kLockSignOp);
    if (sess->sign.active) return CKR_OPERATION_ACTIVE;
    Slot* kslot = nullptr;
    Object* key = nullptr;
    if (CK_RV lrv = key_lookup(hKey, &kslot, &key, CKR_KEY_HANDLE_INVALID); lrv != CKR_OK) return lrv;
    if (kslot != slot) return CKR_SESSION_HANDLE_INVALID;
    CK_ULONG cls = 0;
    if (!attr_ulong(*key, CKA_CLASS, &cls) || cls != CKO_PRIVATE_KEY) return CKR_KEY_TYPE_INCONSISTENT;
    bool b = false;
    if (!attr_bool(*key, CKA_SIGN, &b)) return CKR_KEY_TYPE_INCONSISTENT;
    if (!b) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    if (!attr_bool(*key, CKA_PRIVATE, &b)) return CKR_KEY_TYPE_INCONSISTENT;
    if (b && !logged_in(*slot)) return CKR_USER_NOT_LOGGED_IN;
    sess->sign = OpContext{true, pMechanism->mechanism, hKey};
    return CKR_OK;
  });
}

VORN_P11_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                             CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
  return p11_module([&]() -> CK_RV {
    Slot* slot = nullptr;
    Session* sess = nullptr;
    CK_RV rv = session_lookup(hSession, &slot, &sess);
    if (rv != CKR_OK) return rv;
    Guard og(kLockSignOp);
    OpContext& ctx = sess->sign;
    // Every outcome but a length answer ends the operation.
    struct End {
      OpContext& c;
      bool keep = false;
      ~End() {
        if (!keep) c = OpContext{};
      }
    } end{ctx};
    if (pData == nullptr || pulSignatureLen == nullptr) return CKR_ARGUMENTS_BAD;
    if (ulDataLen == 0) return CKR_DATA_LEN_RANGE;
    rv = entry_token(hSession, *slot, *sess, Refresh::Sign);
    if (rv != CKR_OK) return rv;
    if (!ctx.active) return CKR_OPERATION_NOT_INITIALIZED;
    Object* key = nullptr;
    rv = context_key(slot, ctx, &key);
    if (rv != CKR_OK) return rv;
    if (ctx.mechanism != CKM_RSA_PKCS) return CKR_FUNCTION_FAILED;
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
    if (token && key->card_id != 0) {
      CardOperation op;
      if (slot_op_begin(op, *slot) != VORN_OK) return CKR_FUNCTION_FAILED;
      rv = slot_op_open(op, *slot, object_app(*key));
      DWORD sig_len = static_cast<DWORD>(k);  // the caller's buffer holds at least k bytes
      if (rv == CKR_OK && key_sign(slot_key(*slot), slot->card, key->card_id, pData, static_cast<DWORD>(ulDataLen),
                                   pSignature, &sig_len) != VORN_OK)
        rv = CKR_FUNCTION_FAILED;
      CK_RV lrv = slot_op_close(op);
      if (rv != CKR_OK || lrv != CKR_OK || sig_len != k) return CKR_FUNCTION_FAILED;
      *pulSignatureLen = sig_len;
      return CKR_OK;
    }
    CK_ULONG out_len = 0;
    rv = software_sign(*key, k, pData, ulDataLen, pSignature, &out_len);
    if (rv != CKR_OK) return rv;
    *pulSignatureLen = out_len;
    return CKR_OK;
  });
}

VORN_P11_EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return p11_module([&]() -> CK_RV {
    Slot* slot = nullptr;
    Session* sess = nullptr;
    CK_RV rv = session_lookup(hSession, &slot, &sess);
    if (rv != CKR_OK) return rv;
    if (pMechanism == nullptr) return CKR_MECHANISM_INVALID;
    rv = entry_token(hSession, *slot, *sess, Refresh::Sign);
    if (rv != CKR_OK) return rv;
    if (!mech_has(*slot, pMechanism->mechanism, CKF_VERIFY)) return CKR_MECHANISM_INVALID;
    Guard og(kLockVerifyOp);
    if (sess->verify.active) return CKR_OPERATION_ACTIVE;
    Slot* kslot = nullptr;
    Object* key = nullptr;
    if (CK_RV lrv = key_lookup(hKey, &kslot, &key, CKR_KEY_HANDLE_INVALID); lrv != CKR_OK) return lrv;
    if (kslot != slot) return CKR_SESSION_HANDLE_INVALID;
    bool b = false;
    if (!attr_bool(*key, CKA_VERIFY, &b)) return CKR_KEY_TYPE_INCONSISTENT;
    if (!b) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    if (!attr_bool(*key, CKA_PRIVATE, &b)) return CKR_KEY_TYPE_INCONSISTENT;
    if (b && !logged_in(*slot)) return CKR_USER_NOT_LOGGED_IN;
    CK_ULONG cls = 0;
    if (!attr_ulong(*key, CKA_CLASS, &cls) || cls != CKO_PUBLIC_KEY) return CKR_KEY_TYPE_INCONSISTENT;
    sess->verify = OpContext{true, pMechanism->mechanism, hKey};
    return CKR_OK;
  });
}

VORN_P11_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                               CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
  return p11_module([&]() -> CK_RV {
    Slot* slot = nullptr;
    Session* sess = nullptr;
    CK_RV rv = session_lookup(hSession, &slot, &sess);
    if (rv != CKR_OK) return rv;
    Guard og(kLockVerifyOp);
    OpContext& ctx = sess->verify;
    struct End {
      OpContext& c;
      ~End() { c = OpContext{}; }
    } end{ctx};
    if (pData == nullptr || ulDataLen == 0 || pSignature == nullptr) return CKR_ARGUMENTS_BAD;
    if (ulSignatureLen == 0) return CKR_SIGNATURE_LEN_RANGE;
    rv = entry_token(hSession, *slot, *sess, Refresh::Sign);
    if (rv != CKR_OK) return rv;
    if (!ctx.active) return CKR_OPERATION_NOT_INITIALIZED;
    Object* key = nullptr;
    rv = context_key(slot, ctx, &key);
    if (rv != CKR_OK) return rv;
    if (ctx.mechanism != CKM_RSA_PKCS) return CKR_FUNCTION_FAILED;
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
    pub->bits = static_cast<std::uint16_t>(bits);
    if (!put(pub->modulus, 256, attr_get(*key, CKA_MODULUS)) ||
        !put(pub->exponent, 256, attr_get(*key, CKA_PUBLIC_EXPONENT)))
      return CKR_FUNCTION_FAILED;
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
}
