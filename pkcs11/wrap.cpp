// Key wrapping, unwrapping and derivation: C_WrapKey (secret keys, and RSA
// private keys as PKCS#8 under the CBC_PAD mechanisms), C_UnwrapKey, and
// C_DeriveKey with the SSL 3.0 master-secret and key-block derivations. The
// cipher steps are those of C_Encrypt and C_Decrypt (crypt.cpp).
#include <cstring>
#include <vector>

#include "cardlayer.h"
#include "crypt.h"
#include "entry.h"
#include "key_alg.h"
#include "keyops.h"
#include "mech_params.h"
#include "pkcs8.h"
#include "softcrypto.h"

namespace p11 {

namespace {

// The attributes of an RSA private key in the order of its PKCS#8 parts.
constexpr CK_ATTRIBUTE_TYPE kP8Order[kP8Parts] = {CKA_MODULUS,    CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT,
                                                  CKA_PRIME_1,    CKA_PRIME_2,         CKA_EXPONENT_1,
                                                  CKA_EXPONENT_2, CKA_COEFFICIENT};

// The prologue of C_WrapKey and C_DeriveKey: a reader must be left, then
// the session and its token.
CK_RV wrap_prologue(CK_SESSION_HANDLE h, Slot** slot, Session** sess) {
  if (mod().slot_count == 0) return CKR_GENERAL_ERROR;
  return entry_open(h, slot, sess, Refresh::Wrap);
}

CK_ULONG class_of(const Object& o, bool* present) {
  CK_ULONG c = 0;
  *present = attr_ulong(o, CKA_CLASS, &c);
  return c;
}

// Creates a key object from a complete template (the caller's attributes
// and the computed values) as C_CreateObject does.
CK_RV create_key(Slot& slot, Session& sess, std::vector<CK_ATTRIBUTE>& full, CK_ULONG cls, CK_OBJECT_HANDLE* out) {
  CK_RV rv = key_checks(full.data(), full.size(), cls);
  if (rv != CKR_OK) return rv;
  Object fresh;
  rv = object_build(full.data(), full.size(), cls, &fresh.attrs);
  if (rv != CKR_OK) return rv;
  rv = store_write_access(sess, fresh);
  if (rv != CKR_OK) return rv;
  Object* place = nullptr;
  if (flag_of(fresh, CKA_TOKEN)) {
    if (slot.token.flags & CKF_WRITE_PROTECTED) return CKR_TOKEN_WRITE_PROTECTED;
    place = free_entry(slot.objects);
    if (place == nullptr) return CKR_HOST_MEMORY;
    if (cls == CKO_SECRET_KEY) {
      // Every secret key type, generic secrets included, goes to the card
      // under its algorithm code.
      const Value* v = attr_get(fresh, CKA_VALUE);
      CK_KEY_TYPE kt = 0;
      attr_ulong(fresh, CKA_KEY_TYPE, &kt);
      const std::uint8_t alg = v != nullptr ? key_alg(kt, v->size()) : 0;
      if (alg == 0) return CKR_ATTRIBUTE_VALUE_INVALID;
      rv = token_secret_store(slot, fresh, alg, v->data(), v->size());
    } else {
      rv = store_write(slot, fresh, cls);
    }
    if (rv != CKR_OK) return rv;
  } else {
    place = free_entry(sess.objects);
    if (place == nullptr) return CKR_HOST_MEMORY;
  }
  rv = store_new_handle(&fresh.handle);
  if (rv != CKR_OK) return rv;
  *place = std::move(fresh);
  *out = place->handle;
  return CKR_OK;
}

// Removes a key made earlier in the same call.
void destroy_key(Slot& slot, CK_OBJECT_HANDLE h) {
  Slot* s = nullptr;
  Object* o = nullptr;
  if (h == 0 || object_lookup(h, &s, &o) != CKR_OK) return;
  if (o->card_id != 0) {
    CardOperation op;
    if (slot_op_begin(op, slot) == VORN_OK && slot_op_open(op, slot, object_app(*o)) == CKR_OK)
      obj_delete(slot_key(slot), slot.card, o->card_id);
  }
  o->reset();
}

// The PKCS#8 encoding of a private key (its CRT values read from the card
// first for a card key).
CK_RV private_plaintext(Slot& slot, Object& key, SecureBytes* out) {
  if (key.card_id != 0 && attr_get(key, CKA_PRIME_1) == nullptr) {
    CK_RV rv = object_read_value(slot, key);
    if (rv != CKR_OK) return rv;
  }
  std::array<std::span<const std::uint8_t>, kP8Parts> parts;
  for (std::size_t i = 0; i < kP8Parts; ++i) {
    const Value* v = attr_get(key, kP8Order[i]);
    if (v == nullptr || v->size() == 0) return CKR_FUNCTION_FAILED;
    parts[i] = {v->data(), v->size()};
  }
  return pkcs8_encode(parts, out) ? CKR_OK : CKR_FUNCTION_FAILED;
}

// ---------------------------------------------------------------------------
// SSL 3.0: each 16-byte piece i (0, 1, 2, ...) is
// MD5(secret || SHA-1(label_i || secret || r1 || r2)), label_i being the
// letter 'A' + i written i + 1 times.
CK_RV ssl3_expand(const std::uint8_t* secret, std::size_t secret_len, const std::uint8_t* r1, std::size_t r1_len,
                  const std::uint8_t* r2, std::size_t r2_len, std::size_t want, SecureBytes* out) {
  if (want > 26 * 16) return CKR_MECHANISM_PARAM_INVALID;
  out->resize((want + 15) / 16 * 16);
  std::uint8_t label[26];
  std::uint8_t sha[20];
  vorn::WipeOnExit wipe(sha, sizeof sha);
  const auto s_len = static_cast<std::uint32_t>(secret_len);
  for (std::size_t i = 0; i * 16 < want; ++i) {
    std::memset(label, 'A' + static_cast<int>(i), i + 1);
    sc_digest_ctx c;
    std::uint32_t n = sizeof sha;
    bool ok = sc_digest_init(SC_ALG_SHA1, &c) == VORN_OK &&
              sc_digest_update(SC_ALG_SHA1, &c, label, static_cast<std::uint32_t>(i + 1)) == VORN_OK &&
              sc_digest_update(SC_ALG_SHA1, &c, secret, s_len) == VORN_OK &&
              sc_digest_update(SC_ALG_SHA1, &c, r1, static_cast<std::uint32_t>(r1_len)) == VORN_OK &&
              sc_digest_update(SC_ALG_SHA1, &c, r2, static_cast<std::uint32_t>(r2_len)) == VORN_OK &&
              sc_digest_final(SC_ALG_SHA1, &c, sha, &n) == VORN_OK;
    std::uint32_t m = 16;
    ok = ok && sc_digest_init(SC_ALG_MD5, &c) == VORN_OK && sc_digest_update(SC_ALG_MD5, &c, secret, s_len) == VORN_OK &&
         sc_digest_update(SC_ALG_MD5, &c, sha, 20) == VORN_OK &&
         sc_digest_final(SC_ALG_MD5, &c, out->data() + 16 * i, &m) == VORN_OK;
    plat_wipe(&c, sizeof c);
    if (!ok) return CKR_FUNCTION_FAILED;
  }
  out->resize(want);
  return CKR_OK;
}

// The value length of a secret key unwrapped with CKM_RSA_PKCS, known
// before the block is opened: CKA_VALUE_LEN, else the fixed length of the
// key type. Key types of several lengths need CKA_VALUE_LEN.
CK_RV unwrap_value_len(const CK_ATTRIBUTE* t, CK_ULONG n, std::size_t* want) {
  CK_ULONG v = 0;
  if (tmpl_find(t, n, CKA_VALUE_LEN) != nullptr) {
    if (!tmpl_ulong(t, n, CKA_VALUE_LEN, &v) || v == 0 || v > SC_RSA_MAX_LEN) return CKR_TEMPLATE_INCONSISTENT;
    *want = v;
    return CKR_OK;
  }
  CK_KEY_TYPE kt = 0;
  if (!tmpl_ulong(t, n, CKA_KEY_TYPE, &kt)) return CKR_TEMPLATE_INCOMPLETE;
  switch (kt) {
    case CKK_DES: *want = 8; return CKR_OK;
    case CKK_DES2: *want = 16; return CKR_OK;
    case CKK_DES3: *want = 24; return CKR_OK;
    default: return CKR_TEMPLATE_INCOMPLETE;
  }
}

bool random_ok(const Ssl3RandomData& r) {
  return (r.pClientRandom != nullptr || r.ulClientRandomLen == 0) &&
         (r.pServerRandom != nullptr || r.ulServerRandomLen == 0) && r.ulClientRandomLen <= 0x10000 &&
         r.ulServerRandomLen <= 0x10000;
}

// A derived secret key: the caller's template with the value, the key type
// (generic secret unless the template names one) and the length.
CK_RV derive_one(Slot& slot, Session& sess, CK_ATTRIBUTE_PTR t, CK_ULONG n, const std::uint8_t* value, std::size_t len,
                 bool force_generic, CK_OBJECT_HANDLE* out, const std::vector<CK_ATTRIBUTE>& extra = {}) {
  std::vector<CK_ATTRIBUTE> full;
  const CK_ULONG generic = CKK_GENERIC_SECRET;
  const CK_ULONG cls = CKO_SECRET_KEY;
  const CK_ULONG value_len = len;
  for (CK_ULONG i = 0; t != nullptr && i < n; ++i) {
    if (t[i].type == CKA_VALUE_LEN || (force_generic && t[i].type == CKA_KEY_TYPE)) continue;
    full.push_back(t[i]);
  }
  if (tmpl_find(full.data(), full.size(), CKA_CLASS) == nullptr)
    full.push_back({CKA_CLASS, const_cast<CK_ULONG*>(&cls), sizeof cls});
  if (tmpl_find(full.data(), full.size(), CKA_KEY_TYPE) == nullptr)
    full.push_back({CKA_KEY_TYPE, const_cast<CK_ULONG*>(&generic), sizeof generic});
  full.push_back({CKA_VALUE, const_cast<std::uint8_t*>(value), static_cast<CK_ULONG>(len)});
  full.push_back({CKA_VALUE_LEN, const_cast<CK_ULONG*>(&value_len), sizeof value_len});
  full.insert(full.end(), extra.begin(), extra.end());
  return create_key(slot, sess, full, CKO_SECRET_KEY, out);
}

// ---------------------------------------------------------------------------
// C_UnwrapKey steps.

// The unwrapping key by its handle, with the mechanism: usable for
// unwrapping, of the mechanism's key type and class, and open to the
// session's login state.
CK_RV unwrap_key_checks(Slot& slot, CK_OBJECT_HANDLE h, CK_MECHANISM_TYPE mech, Object** out) {
  Slot* uslot = nullptr;
  Object* ukey = nullptr;
  if (CK_RV lrv = key_lookup(h, &uslot, &ukey, CKR_UNWRAPPING_KEY_HANDLE_INVALID); lrv != CKR_OK) return lrv;
  if (uslot != &slot) return CKR_SESSION_HANDLE_INVALID;
  if (slot_mech(slot, mech, CKF_UNWRAP) == nullptr || !crypt_mechanism(mech)) return CKR_MECHANISM_INVALID;
  CK_KEY_TYPE ukt = 0;
  if (!attr_ulong(*ukey, CKA_KEY_TYPE, &ukt) || !key_type_fits(ukt, mech)) return CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT;
  bool is_private = false;
  if (!flag_of(*ukey, CKA_UNWRAP) || !attr_bool(*ukey, CKA_PRIVATE, &is_private))
    return CKR_UNWRAPPING_KEY_HANDLE_INVALID;
  if (is_private && !logged_in(slot)) return CKR_USER_NOT_LOGGED_IN;
  bool has = false;
  const CK_ULONG ucls = class_of(*ukey, &has);
  if (!has || ucls != (mech == CKM_RSA_PKCS ? CKO_PRIVATE_KEY : CKO_SECRET_KEY))
    return CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT;
  *out = ukey;
  return CKR_OK;
}

// The caller's wrapped block and template.
struct Unwrapped {
  const std::uint8_t* block;
  CK_ULONG block_len;
  CK_ATTRIBUTE_PTR t;
  CK_ULONG n;
};

// A secret key from its value: the template without CKA_VALUE_LEN, then the
// value and its length.
CK_RV unwrap_create_secret(Slot& slot, Session& sess, const Unwrapped& in, std::uint8_t* value, CK_ULONG len,
                           CK_OBJECT_HANDLE* out) {
  std::vector<CK_ATTRIBUTE> kept;
  for (CK_ULONG i = 0; i < in.n; ++i)
    if (in.t[i].type != CKA_VALUE_LEN) kept.push_back(in.t[i]);
  const CK_ULONG value_len = len;
  kept.push_back({CKA_VALUE, value, value_len});
  kept.push_back({CKA_VALUE_LEN, const_cast<CK_ULONG*>(&value_len), sizeof value_len});
  return create_key(slot, sess, kept, CKO_SECRET_KEY, out);
}

// CKM_RSA_PKCS: the key's length is fixed before the block is opened; the
// block then gives a key of that length whatever it holds (see rsa_unwrap).
CK_RV unwrap_rsa(Slot& slot, Session& sess, Object& ukey, const Unwrapped& in, CK_OBJECT_HANDLE* out) {
  const std::size_t k = rsa_modulus_len(slot, ukey);
  if (k == 0) return CKR_FUNCTION_FAILED;
  if (in.block_len != k) return CKR_WRAPPED_KEY_LEN_RANGE;
  std::size_t want = 0;
  CK_RV rv = unwrap_value_len(in.t, in.n, &want);
  if (rv != CKR_OK) return rv;
  SecureBytes plain;
  rv = rsa_unwrap(slot, ukey, in.block, k, want, &plain);
  if (rv != CKR_OK) return rv;
  return unwrap_create_secret(slot, sess, in, plain.data(), plain.size(), out);
}

// A secret key under a block cipher: CKA_VALUE_LEN, when given, cuts the
// value (unpadded modes return whole blocks); a length beyond the value is
// refused.
CK_RV unwrap_secret(Slot& slot, Session& sess, SecureBytes& plain, const Unwrapped& in, CK_OBJECT_HANDLE* out) {
  CK_ULONG want = plain.size();
  if (tmpl_find(in.t, in.n, CKA_VALUE_LEN) != nullptr) {
    if (!tmpl_ulong(in.t, in.n, CKA_VALUE_LEN, &want) || want == 0 || want > plain.size())
      return CKR_TEMPLATE_INCONSISTENT;
  }
  if (plain.empty()) return CKR_WRAPPED_KEY_INVALID;
  return unwrap_create_secret(slot, sess, in, plain.data(), want, out);
}

// An RSA private key from its PKCS#8 encoding.
CK_RV unwrap_private(Slot& slot, Session& sess, const SecureBytes& plain, const Unwrapped& in, CK_OBJECT_HANDLE* out) {
  Pkcs8Key parsed;
  if (!pkcs8_decode(plain.data(), plain.size(), &parsed)) return CKR_WRAPPED_KEY_INVALID;
  std::vector<CK_ATTRIBUTE> full(in.t, in.t + in.n);
  for (std::size_t i = 0; i < kP8Parts; ++i)
    full.push_back({kP8Order[i], parsed.parts[i].data(), static_cast<CK_ULONG>(parsed.parts[i].size())});
  return create_key(slot, sess, full, CKO_PRIVATE_KEY, out);
}

// ---------------------------------------------------------------------------
// C_DeriveKey steps.

// The base key of a derivation: a generic secret that may derive, with its
// value and the mechanism that made it.
struct DeriveBase {
  const Value* value = nullptr;
  bool have_gen = false;
  CK_ULONG gen = 0;
};

CK_RV derive_base(Slot& slot, CK_OBJECT_HANDLE h, DeriveBase* out) {
  Slot* bslot = nullptr;
  Object* base = nullptr;
  if (CK_RV lrv = key_lookup(h, &bslot, &base, CKR_KEY_HANDLE_INVALID); lrv != CKR_OK) return lrv;
  if (bslot != &slot) return CKR_SESSION_HANDLE_INVALID;
  CK_ULONG v = 0;
  if (!attr_ulong(*base, CKA_CLASS, &v) || v != CKO_SECRET_KEY) return CKR_KEY_TYPE_INCONSISTENT;
  if (!attr_ulong(*base, CKA_KEY_TYPE, &v) || v != CKK_GENERIC_SECRET) return CKR_KEY_TYPE_INCONSISTENT;
  if (!flag_of(*base, CKA_DERIVE)) return CKR_KEY_HANDLE_INVALID;
  if (flag_of(*base, CKA_PRIVATE) && !logged_in(slot)) return CKR_USER_NOT_LOGGED_IN;
  out->value = crypt_key_value(slot, *base);
  if (out->value == nullptr) return CKR_FUNCTION_FAILED;
  out->have_gen = attr_ulong(*base, CKA_KEY_GEN_MECHANISM, &out->gen);
  return CKR_OK;
}

// The caller's template and the handle it wants back (null for the key
// block, whose handles go into the parameters).
struct Derived {
  CK_ATTRIBUTE_PTR t;
  CK_ULONG n;
  CK_OBJECT_HANDLE_PTR h;
};

// CKM_SSL3_MASTER_KEY_DERIVE: the 48-byte master secret from the
// pre-master secret.
CK_RV derive_master(Slot& slot, Session& sess, const CK_MECHANISM& m, const DeriveBase& base, const Derived& out) {
  if (m.pParameter == nullptr || m.ulParameterLen != sizeof(Ssl3MasterKeyDeriveParams))
    return CKR_MECHANISM_PARAM_INVALID;
  Ssl3MasterKeyDeriveParams prm;
  std::memcpy(&prm, m.pParameter, sizeof prm);
  if (!random_ok(prm.RandomInfo)) return CKR_MECHANISM_PARAM_INVALID;
  const Value* value = base.value;
  if (!base.have_gen || base.gen != CKM_SSL3_PRE_MASTER_KEY_GEN || value->size() != 48) return CKR_KEY_HANDLE_INVALID;
  if (out.h == nullptr) return CKR_ARGUMENTS_BAD;
  SecureBytes master;
  CK_RV rv = ssl3_expand(value->data(), value->size(), prm.RandomInfo.pClientRandom, prm.RandomInfo.ulClientRandomLen,
                         prm.RandomInfo.pServerRandom, prm.RandomInfo.ulServerRandomLen, 48, &master);
  if (rv != CKR_OK) return rv;
  // The client learns the version carried by the pre-master secret.
  if (prm.pVersion != nullptr) {
    prm.pVersion->major = value->data()[0];
    prm.pVersion->minor = value->data()[1];
  }
  // The master secret is the base of the key block: it carries its
  // mechanism and may derive.
  CK_OBJECT_HANDLE h = 0;
  const CK_ULONG made_by = CKM_SSL3_MASTER_KEY_DERIVE;
  const CK_BBOOL yes = CK_TRUE;
  std::vector<CK_ATTRIBUTE> extra = {{CKA_KEY_GEN_MECHANISM, const_cast<CK_ULONG*>(&made_by), sizeof made_by}};
  if (tmpl_find(out.t, out.n, CKA_DERIVE) == nullptr) extra.push_back({CKA_DERIVE, const_cast<CK_BBOOL*>(&yes), 1});
  rv = derive_one(slot, sess, out.t, out.n, master.data(), 48, true, &h, extra);
  if (rv != CKR_OK) return rv;
  *out.h = h;
  return CKR_OK;
}

// The parameters of CKM_SSL3_KEY_AND_MAC_DERIVE: whole bytes, sizes the key
// block can hold, somewhere to put the IVs; no export ciphers.
CK_RV key_block_params(const CK_MECHANISM& m, Ssl3KeyMatParams* prm) {
  if (m.pParameter == nullptr || m.ulParameterLen != sizeof(Ssl3KeyMatParams)) return CKR_MECHANISM_PARAM_INVALID;
  std::memcpy(prm, m.pParameter, sizeof *prm);
  if (prm->ulMacSizeInBits % 8 != 0 || prm->ulKeySizeInBits % 8 != 0 || prm->ulIVSizeInBits % 8 != 0 ||
      !random_ok(prm->RandomInfo) || prm->pReturnedKeyMaterial == nullptr)
    return CKR_MECHANISM_PARAM_INVALID;
  // Export ciphers would need the final-key step of SSL 3.0; they are
  // refused rather than answered with the unexported keys.
  if (prm->bIsExport) return CKR_MECHANISM_PARAM_INVALID;
  // Each size is bounded before the sum: the key block has at most 26
  // pieces of 16 bytes.
  constexpr CK_ULONG kMaxBits = 8 * 26 * 16;
  if (prm->ulMacSizeInBits > kMaxBits || prm->ulKeySizeInBits > kMaxBits || prm->ulIVSizeInBits > kMaxBits)
    return CKR_MECHANISM_PARAM_INVALID;
  const Ssl3KeyMatOut* outp = prm->pReturnedKeyMaterial;
  if (prm->ulIVSizeInBits > 0 && (outp->pIVClient == nullptr || outp->pIVServer == nullptr))
    return CKR_MECHANISM_PARAM_INVALID;
  return CKR_OK;
}

// CKM_SSL3_KEY_AND_MAC_DERIVE: the two MAC secrets and two keys from the
// master secret, and the IVs; keys made before a failure are removed.
CK_RV derive_key_block(Slot& slot, Session& sess, const CK_MECHANISM& m, const DeriveBase& base, const Derived& out) {
  Ssl3KeyMatParams prm;
  CK_RV rv = key_block_params(m, &prm);
  if (rv != CKR_OK) return rv;
  const std::size_t mac = prm.ulMacSizeInBits / 8, klen = prm.ulKeySizeInBits / 8, ivlen = prm.ulIVSizeInBits / 8;
  const Value* value = base.value;
  if (!base.have_gen || base.gen != CKM_SSL3_MASTER_KEY_DERIVE || value->size() != 48) return CKR_KEY_HANDLE_INVALID;
  if (out.h != nullptr) return CKR_ARGUMENTS_BAD;
  const std::size_t total = 2 * (mac + klen + ivlen);
  SecureBytes block;
  rv = ssl3_expand(value->data(), value->size(), prm.RandomInfo.pServerRandom, prm.RandomInfo.ulServerRandomLen,
                   prm.RandomInfo.pClientRandom, prm.RandomInfo.ulClientRandomLen, total, &block);
  if (rv != CKR_OK) return rv;
  const std::uint8_t* p = block.data();
  CK_OBJECT_HANDLE made[4] = {0, 0, 0, 0};
  const std::size_t lens[4] = {mac, mac, klen, klen};
  for (int i = 0; i < 4; ++i) {
    if (lens[i] != 0) {
      rv = derive_one(slot, sess, out.t, out.n, p, lens[i], i < 2, &made[i]);
      if (rv != CKR_OK) {
        for (int j = 0; j < i; ++j) destroy_key(slot, made[j]);
        return rv;
      }
    }
    p += lens[i];
  }
  Ssl3KeyMatOut* outp = prm.pReturnedKeyMaterial;
  outp->hClientMacSecret = made[0];
  outp->hServerMacSecret = made[1];
  outp->hClientKey = made[2];
  outp->hServerKey = made[3];
  if (ivlen > 0) {
    std::memcpy(outp->pIVClient, p, ivlen);
    std::memcpy(outp->pIVServer, p + ivlen, ivlen);
  }
  return CKR_OK;
}

}  // namespace

}  // namespace p11

using namespace p11;

VORN_P11_EXPORT CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                                CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen) {
  return p11_module([&]() -> CK_RV {
    Slot* slot = nullptr;
    Session* sess = nullptr;
    CK_RV rv = wrap_prologue(hSession, &slot, &sess);
    if (rv != CKR_OK) return rv;
    if (pulWrappedKeyLen == nullptr || pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
    const CK_MECHANISM_TYPE mech = pMechanism->mechanism;
    if (slot_mech(*slot, mech, CKF_WRAP) == nullptr) return CKR_MECHANISM_INVALID;
    Guard wg(kLockWrap);
    Slot* wslot = nullptr;
    Slot* kslot = nullptr;
    Object* wkey = nullptr;
    Object* key = nullptr;
    if (CK_RV lrv = key_lookup(hWrappingKey, &wslot, &wkey, CKR_WRAPPING_KEY_HANDLE_INVALID); lrv != CKR_OK) return lrv;
    if (CK_RV lrv = key_lookup(hKey, &kslot, &key, CKR_KEY_HANDLE_INVALID); lrv != CKR_OK) return lrv;
    if (wslot != slot || kslot != slot) return CKR_SESSION_HANDLE_INVALID;
    CryptContext ctx;
    ctx.mechanism = mech;
    rv = crypt_params(*pMechanism, &ctx);
    if (rv != CKR_OK) return rv;
    if (!crypt_mechanism(mech) || mech == CKM_RC4) return CKR_MECHANISM_INVALID;
    bool has = false;
    const CK_ULONG wcls = class_of(*wkey, &has);
    if (!has) return CKR_FUNCTION_FAILED;
    const CK_ULONG kcls = class_of(*key, &has);
    if (!has) return CKR_FUNCTION_FAILED;
    const bool rsa = mech == CKM_RSA_PKCS;
    if (wcls != (rsa ? CKO_PUBLIC_KEY : CKO_SECRET_KEY)) return CKR_WRAPPING_KEY_TYPE_INCONSISTENT;
    const bool private_ok = crypt_padded(mech);
    if (kcls != CKO_SECRET_KEY && !(private_ok && kcls == CKO_PRIVATE_KEY)) return CKR_KEY_NOT_WRAPPABLE;
    CK_KEY_TYPE wkt = 0;
    if (!attr_ulong(*wkey, CKA_KEY_TYPE, &wkt) || !key_type_fits(wkt, mech)) return CKR_WRAPPING_KEY_TYPE_INCONSISTENT;
    if (!flag_of(*wkey, CKA_WRAP)) return CKR_WRAPPING_KEY_HANDLE_INVALID;
    if (!flag_of(*key, CKA_EXTRACTABLE)) return CKR_KEY_UNEXTRACTABLE;
    if ((flag_of(*wkey, CKA_PRIVATE) || flag_of(*key, CKA_PRIVATE)) && !logged_in(*slot)) return CKR_USER_NOT_LOGGED_IN;

    SecureBytes plain;
    if (kcls == CKO_PRIVATE_KEY) {
      rv = private_plaintext(*slot, *key, &plain);
      if (rv != CKR_OK) return rv;
    } else {
      const Value* v = attr_get(*key, CKA_VALUE);
      if ((v == nullptr || v->size() == 0) && key->card_id != 0) {
        rv = object_read_value(*slot, *key);
        if (rv != CKR_OK) return rv;
        v = attr_get(*key, CKA_VALUE);
      }
      if (v == nullptr || v->size() == 0) return CKR_FUNCTION_FAILED;
      plain.assign(v->data(), v->data() + v->size());
    }
    const std::size_t need = crypt_encrypt_len(*slot, *wkey, ctx, plain.size());
    if (need == 0) {
      if (rsa) return rsa_modulus_len(*slot, *wkey) == 0 ? CKR_FUNCTION_FAILED : CKR_KEY_SIZE_RANGE;
      return CKR_KEY_SIZE_RANGE;
    }
    if (pWrappedKey == nullptr) {
      *pulWrappedKeyLen = need;
      return CKR_OK;
    }
    if (*pulWrappedKeyLen < need) {
      *pulWrappedKeyLen = need;
      return CKR_BUFFER_TOO_SMALL;
    }
    SecureBytes wrapped;
    rv = crypt_single(*slot, *wkey, ctx, true, plain.data(), plain.size(), &wrapped);
    if (rv != CKR_OK) return rv;
    if (wrapped.size() != need) return CKR_FUNCTION_FAILED;
    std::memcpy(pWrappedKey, wrapped.data(), need);
    *pulWrappedKeyLen = need;
    return CKR_OK;
  });
}

VORN_P11_EXPORT CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_OBJECT_HANDLE hUnwrappingKey, CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen,
                                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
  return p11_module([&]() -> CK_RV {
    Slot* slot = nullptr;
    Session* sess = nullptr;
    CK_RV rv = session_lookup(hSession, &slot, &sess);
    if (rv != CKR_OK) return rv;
    if (pMechanism == nullptr || pWrappedKey == nullptr || pTemplate == nullptr || phKey == nullptr ||
        ulWrappedKeyLen == 0 || ulAttributeCount == 0)
      return CKR_ARGUMENTS_BAD;
    Object* ukey = nullptr;
    rv = unwrap_key_checks(*slot, hUnwrappingKey, pMechanism->mechanism, &ukey);
    if (rv != CKR_OK) return rv;
    if (!slot->in_use) return CKR_DEVICE_REMOVED;
    rv = token_refresh(*slot);
    if (rv == CKR_DEVICE_REMOVED) return rv;
    if (rv != CKR_OK || sess->handle != hSession) return CKR_SESSION_HANDLE_INVALID;
    const bool rsa = pMechanism->mechanism == CKM_RSA_PKCS;
    CK_ULONG cls = 0;
    if (!tmpl_ulong(pTemplate, ulAttributeCount, CKA_CLASS, &cls) || (cls != CKO_PRIVATE_KEY && cls != CKO_SECRET_KEY))
      return CKR_WRAPPED_KEY_INVALID;
    rv = template_check_ops(pTemplate, ulAttributeCount, cls, 0x03);
    if (rv != CKR_OK) return rv;
    if (rsa && cls == CKO_PRIVATE_KEY) return CKR_WRAPPED_KEY_INVALID;
    Guard ug(kLockUnwrap);
    CryptContext ctx;
    ctx.mechanism = pMechanism->mechanism;
    rv = crypt_params(*pMechanism, &ctx);
    if (rv != CKR_OK) return rv;
    if (ctx.mechanism == CKM_RC4) {
      const Value* v = attr_get(*ukey, CKA_VALUE);
      if (v == nullptr || sc_rc4_set_key(&ctx.rc4, v->data(), static_cast<std::uint32_t>(v->size())) != VORN_OK)
        return CKR_FUNCTION_FAILED;
    }
    const Unwrapped in{pWrappedKey, ulWrappedKeyLen, pTemplate, ulAttributeCount};
    if (rsa) return unwrap_rsa(*slot, *sess, *ukey, in, phKey);
    SecureBytes plain;
    if (ulWrappedKeyLen > kCryptMaxLen) return CKR_WRAPPED_KEY_LEN_RANGE;
    rv = crypt_single(*slot, *ukey, ctx, false, pWrappedKey, ulWrappedKeyLen, &plain);
    if (rv == CKR_ENCRYPTED_DATA_LEN_RANGE) return CKR_WRAPPED_KEY_LEN_RANGE;
    if (rv == CKR_ENCRYPTED_DATA_INVALID) return CKR_WRAPPED_KEY_INVALID;
    if (rv != CKR_OK) return rv;
    if (cls == CKO_SECRET_KEY) return unwrap_secret(*slot, *sess, plain, in, phKey);
    return unwrap_private(*slot, *sess, plain, in, phKey);
  });
}

VORN_P11_EXPORT CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
  return p11_module([&]() -> CK_RV {
    Slot* slot = nullptr;
    Session* sess = nullptr;
    CK_RV rv = wrap_prologue(hSession, &slot, &sess);
    if (rv != CKR_OK) return rv;
    if (pMechanism == nullptr) return CKR_MECHANISM_INVALID;
    if (pTemplate == nullptr && ulAttributeCount != 0) return CKR_ARGUMENTS_BAD;
    rv = template_check_ops(pTemplate, ulAttributeCount, CKO_SECRET_KEY, 0x0C);
    if (rv != CKR_OK) return rv;
    if (slot_mech(*slot, pMechanism->mechanism, CKF_DERIVE) == nullptr) return CKR_MECHANISM_INVALID;
    Guard dg(kLockDerive);
    DeriveBase base;
    rv = derive_base(*slot, hBaseKey, &base);
    if (rv != CKR_OK) return rv;
    const Derived out{pTemplate, ulAttributeCount, phKey};
    if (pMechanism->mechanism == CKM_SSL3_MASTER_KEY_DERIVE) return derive_master(*slot, *sess, *pMechanism, base, out);
    return derive_key_block(*slot, *sess, *pMechanism, base, out);  // CKM_SSL3_KEY_AND_MAC_DERIVE
  });
}
