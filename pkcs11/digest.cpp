// Digests (C_DigestInit/Digest/DigestUpdate/DigestFinal: MD5, SHA-1,
// SHA-256, SHA-384 and SHA-512 in software) and the card's random numbers
// (C_GenerateRandom).
#include <algorithm>
#include <cstring>

#include "cardlayer.h"
#include "crypt.h"
#include "entry.h"
#include "softcrypto.h"

namespace p11 {

namespace {

std::uint8_t digest_id(CK_MECHANISM_TYPE m) {
  switch (m) {
    case CKM_MD5: return SC_ALG_MD5;
    case CKM_SHA_1: return SC_ALG_SHA1;
    case CKM_SHA256: return SC_ALG_SHA256;
    case CKM_SHA384: return SC_ALG_SHA384;
    case CKM_SHA512: return SC_ALG_SHA512;
    default: return 0;
  }
}

}  // namespace

vorn_rv digest_feed(std::uint8_t id, sc_digest_ctx* ctx, const std::uint8_t* p, CK_ULONG len) {
  while (len > 0) {
    const auto n = static_cast<std::uint32_t>(std::min<CK_ULONG>(len, 0x40000000UL));
    vorn_rv rv = sc_digest_update(id, ctx, p, n);
    if (rv != VORN_OK) return rv;
    p += n;
    len -= n;
  }
  return VORN_OK;
}

namespace {

// The common steps of C_Digest and C_DigestFinal after the session lookup.
CK_RV digest_out(Slot* slot, Session* sess, CK_SESSION_HANDLE h, const std::uint8_t* data, CK_ULONG len,
                 CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
  DigestContext& ctx = sess->digest;
  EndOp end{ctx};
  CK_RV rv = entry_token(h, *slot, *sess, Refresh::Digest);
  if (rv != CKR_OK) return rv;
  if (!ctx.active) return CKR_OPERATION_NOT_INITIALIZED;
  const std::uint8_t id = digest_id(ctx.mechanism);
  const std::uint32_t size = sc_digest_size(id);
  if (size == 0) return CKR_FUNCTION_FAILED;
  if (out == nullptr || *out_len < size) {
    *out_len = size;
    end.keep = true;
    return out == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
  }
  if (data != nullptr && digest_feed(id, &ctx.state, data, len) != VORN_OK) return CKR_FUNCTION_FAILED;
  std::uint32_t n = size;
  if (sc_digest_final(id, &ctx.state, out, &n) != VORN_OK || n != size) return CKR_FUNCTION_FAILED;
  *out_len = n;
  return CKR_OK;
}

// A call refused for its arguments ends the operation.
CK_RV digest_refuse(Session& sess) {
  sess.digest = DigestContext{};
  return CKR_ARGUMENTS_BAD;
}

}  // namespace

}  // namespace p11

using namespace p11;

VORN_P11_EXPORT CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
  return p11_module([&]() -> CK_RV {
    if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
    Slot* slot = nullptr;
    Session* sess = nullptr;
    CK_RV rv = session_lookup(hSession, &slot, &sess);
    if (rv != CKR_OK) return rv;
    rv = entry_token(hSession, *slot, *sess, Refresh::Digest);
    if (rv != CKR_OK) return rv;
    const std::uint8_t id = digest_id(pMechanism->mechanism);
    if (id == 0 || slot_mech(*slot, pMechanism->mechanism, CKF_DIGEST) == nullptr) return CKR_MECHANISM_INVALID;
    Guard og(kLockDigestOp);
    DigestContext& ctx = sess->digest;
    if (ctx.active) return CKR_OPERATION_ACTIVE;
    DigestContext fresh;
    if (sc_digest_init(id, &fresh.state) != VORN_OK) return CKR_FUNCTION_FAILED;
    fresh.active = true;
    fresh.mechanism = pMechanism->mechanism;
    ctx = fresh;
    return CKR_OK;
  });
}

VORN_P11_EXPORT CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                               CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
  return p11_module([&] {
    return entry_locked(hSession, kLockDigestOp, [&](Slot* slot, Session* sess) {
      if (pulDigestLen == nullptr || (pData == nullptr && ulDataLen > 0)) return digest_refuse(*sess);
      return digest_out(slot, sess, hSession, pData, ulDataLen, pDigest, pulDigestLen);
    });
  });
}

VORN_P11_EXPORT CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  return p11_module([&] {
    return entry_locked(hSession, kLockDigestOp, [&](Slot* slot, Session* sess) -> CK_RV {
      DigestContext& ctx = sess->digest;
      EndOp end{ctx};
      if (pPart == nullptr && ulPartLen > 0) return CKR_ARGUMENTS_BAD;
      CK_RV rv = entry_token(hSession, *slot, *sess, Refresh::Digest);
      if (rv != CKR_OK) return rv;
      if (!ctx.active) return CKR_OPERATION_NOT_INITIALIZED;
      if (pPart != nullptr && digest_feed(digest_id(ctx.mechanism), &ctx.state, pPart, ulPartLen) != VORN_OK)
        return CKR_FUNCTION_FAILED;
      end.keep = true;
      return CKR_OK;
    });
  });
}

VORN_P11_EXPORT CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
  return p11_module([&] {
    return entry_locked(hSession, kLockDigestOp, [&](Slot* slot, Session* sess) {
      if (pulDigestLen == nullptr) return digest_refuse(*sess);
      return digest_out(slot, sess, hSession, nullptr, 0, pDigest, pulDigestLen);
    });
  });
}

VORN_P11_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
  return p11_module([&]() -> CK_RV {
    Slot* slot = nullptr;
    Session* sess = nullptr;
    CK_RV rv = session_lookup(hSession, &slot, &sess);
    if (rv != CKR_OK) return rv;
    if (!slot->in_use) return CKR_DEVICE_REMOVED;
    rv = token_refresh(*slot);
    if (rv == CKR_DEVICE_REMOVED) return rv;
    if (rv != CKR_OK || sess->handle != hSession) return CKR_SESSION_HANDLE_INVALID;
    if (pRandomData == nullptr || ulRandomLen == 0) return CKR_ARGUMENTS_BAD;
    if ((slot->token.flags & CKF_RNG) == 0) return CKR_RANDOM_NO_RNG;
    Guard rg(kLockRandom);
    CardOperation op;
    if (slot_op_begin(op, *slot) != VORN_OK) return CKR_DEVICE_ERROR;
    const std::uint32_t key = slot_key(*slot);
    for (CK_ULONG off = 0; off < ulRandomLen; off += 256) {
      const auto n = static_cast<DWORD>(std::min<CK_ULONG>(256, ulRandomLen - off));
      if (card_get_challenge(key, slot->card, pRandomData + off, n) != VORN_OK) return CKR_FUNCTION_FAILED;
    }
    return CKR_OK;
  });
}
