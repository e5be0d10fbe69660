// Key generation: C_GenerateKey (RC2, RC4, DES, DES2, DES3, AES and the SSL 3
// pre-master secret) and C_GenerateKeyPair (RSA-1024 and RSA-2048). Token
// keys are made by the card where its generator knows the algorithm;
// session keys in software, their bytes from the operating system's CSPRNG.
#include <cstring>
#include <vector>

#include "cardlayer.h"
#include "crypt.h"
#include "entry.h"
#include "key_alg.h"
#include "keyops.h"
#include "softcrypto.h"

namespace p11 {

namespace {

struct SecretSpec {
  std::size_t len;
  std::uint8_t alg;  // code for the card and for key_store
};

// Key length and algorithm code from the key type and CKA_VALUE_LEN.
CK_RV secret_spec(CK_KEY_TYPE kt, bool have_len, CK_ULONG len, SecretSpec* out) {
  auto fixed = [&](std::size_t n) {
    if (have_len && len != n) return CKR_ATTRIBUTE_VALUE_INVALID;
    *out = SecretSpec{n, key_alg(kt, n)};
    return CKR_OK;
  };
  switch (kt) {
    case CKK_GENERIC_SECRET: return fixed(48);
    case CKK_RC2:
    case CKK_RC4: {
      if (!have_len) return CKR_TEMPLATE_INCONSISTENT;
      const CK_ULONG max = kt == CKK_RC2 ? 128 : 24;
      if (len < 1 || len > max) return CKR_ATTRIBUTE_VALUE_INVALID;
      *out = SecretSpec{len, key_alg(kt, len)};
      return CKR_OK;
    }
    case CKK_DES: return fixed(8);
    case CKK_DES2: return fixed(16);
    case CKK_DES3: return fixed(24);
    case CKK_AES:
      if (!have_len || len == 16 || len == 32) {
        const std::size_t n = have_len ? len : 16;
        *out = SecretSpec{n, key_alg(kt, n)};
        return CKR_OK;
      }
      return CKR_ATTRIBUTE_VALUE_INVALID;
    default: return CKR_ATTRIBUTE_VALUE_INVALID;
  }
}

// Copies a big-endian number of a software key record without its leading
// zero bytes.
void put_number(AttrSet& set, CK_ATTRIBUTE_TYPE t, const std::uint8_t* p, std::size_t width) {
  std::size_t i = 0;
  while (i + 1 < width && p[i] == 0) ++i;
  set_attr(set, t, p + i, width - i);
}

bool exponent_is_f4(const CK_ATTRIBUTE* e) {
  if (e == nullptr) return true;
  const auto* p = static_cast<const std::uint8_t*>(e->pValue);
  CK_ULONG i = 0;
  while (i < e->ulValueLen && p[i] == 0) ++i;
  return e->ulValueLen - i == 3 && p[i] == 0x01 && p[i + 1] == 0x00 && p[i + 2] == 0x01;
}

}  // namespace

// A token secret key: made by the card, or made here and stored with
// key_store when the card's generator does not know the algorithm (the
// attribute part follows in the same transaction).
CK_RV token_secret_store(Slot& slot, Object& obj, std::uint8_t alg, const std::uint8_t* value, std::size_t len) {
  std::uint8_t access = VORN_KIND_ACCESS | VORN_KIND_SECRET_KEY;
  if (flag_of(obj, CKA_PRIVATE)) access |= VORN_KIND_PRIVATE;
  if (flag_of(obj, CKA_EXTRACTABLE)) access |= VORN_KIND_EXTRACTABLE;
  const std::uint32_t key = slot_key(slot);
  CardOperation op;
  if (slot_op_begin(op, slot) != VORN_OK) return CKR_DEVICE_ERROR;
  CK_RV rv = slot_op_open(op, slot, CARD_APP_CIPH);
  std::uint32_t id = 0;
  if (rv == CKR_OK) {
    vorn_rv crv = value == nullptr
                      ? key_gen_secret(key, slot.card, alg, access, &id)
                      : key_store(key, slot.card, access, alg, 0, value, static_cast<DWORD>(len), &id);
    if (crv != VORN_OK) rv = ckr_of(Fail::Store, crv);
  }
  if (rv == CKR_OK) {
    if (flag_of(obj, CKA_EXTRACTABLE)) id |= VORN_HANDLE_EXTRACTABLE;
    obj.card_id = id;
    obj.kind = static_cast<std::uint8_t>(id >> 16);
    // The generator selects the application again: the held PIN is
    // verified anew before the attribute list goes to the card.
    rv = slot_op_open(op, slot, CARD_APP_CIPH);
    if (rv == CKR_OK) rv = store_write_attrs(slot, obj, CKO_SECRET_KEY);
    if (rv != CKR_OK) {
      // No key without its attributes stays on the card.
      obj_delete(key, slot.card, id & ~VORN_HANDLE_EXTRACTABLE);
      obj.card_id = 0;
      obj.kind = 0;
    }
  }
  CK_RV lrv = slot_op_close(op);
  if (rv == CKR_OK && lrv != CKR_OK) rv = CKR_DEVICE_ERROR;
  return rv;
}


namespace {

// A template's CKA_CLASS and CKA_KEY_TYPE, when given, must be the ones of
// the key being made.
bool tmpl_kind_bad(CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_ULONG cls, CK_KEY_TYPE kt) {
  CK_ULONG v = 0;
  if (tmpl_find(t, n, CKA_CLASS) != nullptr && (!tmpl_ulong(t, n, CKA_CLASS, &v) || v != cls)) return true;
  return tmpl_find(t, n, CKA_KEY_TYPE) != nullptr && (!tmpl_ulong(t, n, CKA_KEY_TYPE, &v) || v != kt);
}

// Two free entries of a table (public key first), both null when there are
// not two.
template <std::size_t N>
bool free_pair(std::array<Object, N>& table, Object** pub, Object** priv) {
  *pub = nullptr;
  *priv = nullptr;
  for (auto& o : table) {
    if (o.used()) continue;
    if (*pub == nullptr) {
      *pub = &o;
    } else {
      *priv = &o;
      return true;
    }
  }
  *pub = nullptr;
  return false;
}

// ---------------------------------------------------------------------------
// C_GenerateKey steps.

// The secret key's attribute set from the template with the generation's
// own values, its length and algorithm; the session must be allowed to
// write it.
CK_RV secret_build(const Session& sess, CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_MECHANISM_TYPE mech, CK_KEY_TYPE kt,
                   Object* fresh, SecretSpec* spec) {
  CK_RV rv = object_build(t, n, CKO_SECRET_KEY, &fresh->attrs);
  if (rv != CKR_OK) return rv;
  AttrSet& set = *fresh->attrs;
  if (attr_get(*fresh, CKA_KEY_TYPE) == nullptr) set_attr_ulong(set, CKA_KEY_TYPE, kt);
  set_attr_bool(set, CKA_LOCAL, true);
  set_attr_ulong(set, CKA_KEY_GEN_MECHANISM, mech);
  if (mech == CKM_SSL3_PRE_MASTER_KEY_GEN) set_attr_bool(set, CKA_DERIVE, true);
  set_attr_bool(set, CKA_NEVER_EXTRACTABLE, !flag_of(*fresh, CKA_EXTRACTABLE));
  set_attr_bool(set, CKA_ALWAYS_SENSITIVE, flag_of(*fresh, CKA_SENSITIVE));
  CK_ULONG len = 0;
  const bool have_len = attr_ulong(*fresh, CKA_VALUE_LEN, &len);
  rv = secret_spec(kt, have_len, len, spec);
  if (rv != CKR_OK) return rv;
  rv = store_write_access(sess, *fresh);
  if (rv != CKR_OK) return rv;
  set_attr_ulong(set, CKA_VALUE_LEN, spec->len);
  return CKR_OK;
}

// The value, when it is made here (session keys, and token keys the card's
// generator does not know): CSPRNG bytes; a pre-master secret starts with
// the version it was asked for, 03 00. Empty when the card makes it.
CK_RV secret_value(const SecretSpec& spec, bool token, bool pre_master, SecureBytes* value) {
  if (token && vorn_alg_on_card(spec.alg)) return CKR_OK;
  value->resize(spec.len);
  if (plat_random(value->data(), value->size()) != VORN_OK) return CKR_FUNCTION_FAILED;
  if (pre_master) {
    value->data()[0] = 3;
    value->data()[1] = 0;
  }
  return CKR_OK;
}

// Puts the new secret key in place: on the card and in the slot's table for
// a token key, else in the session's table.
CK_RV secret_place(Slot& slot, Session& sess, Object& fresh, const SecretSpec& spec, const SecureBytes& value,
                   CK_OBJECT_HANDLE* out) {
  Object* place = nullptr;
  if (flag_of(fresh, CKA_TOKEN)) {
    if (slot.token.flags & CKF_WRITE_PROTECTED) return CKR_TOKEN_WRITE_PROTECTED;
    place = free_entry(slot.objects);
    if (place == nullptr) return CKR_HOST_MEMORY;
    CK_RV rv = token_secret_store(slot, fresh, spec.alg, value.empty() ? nullptr : value.data(), value.size());
    if (rv != CKR_OK) return rv;
  } else {
    place = free_entry(sess.objects);
    if (place == nullptr) return CKR_HOST_MEMORY;
  }
  if (!value.empty()) set_attr(*fresh.attrs, CKA_VALUE, value.data(), value.size());
  CK_RV rv = store_new_handle(&fresh.handle);
  if (rv != CKR_OK) return rv;
  *place = std::move(fresh);
  *out = place->handle;
  return CKR_OK;
}

// ---------------------------------------------------------------------------
// C_GenerateKeyPair steps.

struct PairRequest {
  CK_ATTRIBUTE_PTR pub_t;
  CK_ULONG pub_n;
  CK_ATTRIBUTE_PTR priv_t;
  CK_ULONG priv_n;
  CK_MECHANISM_TYPE mech;
};

// The templates' class, key type, modulus size and exponent; the size in
// bits on success.
CK_RV pair_template_checks(const PairRequest& r, CK_ULONG* bits) {
  if (tmpl_kind_bad(r.priv_t, r.priv_n, CKO_PRIVATE_KEY, CKK_RSA) ||
      tmpl_kind_bad(r.pub_t, r.pub_n, CKO_PUBLIC_KEY, CKK_RSA))
    return CKR_TEMPLATE_INCONSISTENT;
  if (!tmpl_ulong(r.pub_t, r.pub_n, CKA_MODULUS_BITS, bits) || (*bits != 1024 && *bits != 2048))
    return CKR_ATTRIBUTE_VALUE_INVALID;
  // Both generators make keys with exponent 65537; another exponent asked
  // for would be written into the objects without being the keys'.
  if (!exponent_is_f4(tmpl_find(r.pub_t, r.pub_n, CKA_PUBLIC_EXPONENT))) return CKR_ATTRIBUTE_VALUE_INVALID;
  return CKR_OK;
}

// The attribute sets from the templates, to learn the flags first: a
// stand-in modulus lets them be built before the keys exist. Both keys go
// to the same place and, for a cipher pair, decrypt with what encrypts.
CK_RV pair_draft(const Session& sess, const PairRequest& r, Object* pub, Object* priv) {
  static const std::uint8_t kStandIn[128] = {0xFF};
  std::vector<CK_ATTRIBUTE> a(r.pub_t, r.pub_t + r.pub_n);
  std::vector<CK_ATTRIBUTE> b;
  if (r.priv_n != 0) b.assign(r.priv_t, r.priv_t + r.priv_n);
  a.push_back({CKA_MODULUS, const_cast<std::uint8_t*>(kStandIn), sizeof kStandIn});
  b.push_back({CKA_MODULUS, const_cast<std::uint8_t*>(kStandIn), sizeof kStandIn});
  CK_RV rv = object_build(b.data(), b.size(), CKO_PRIVATE_KEY, &priv->attrs);
  if (rv == CKR_OK) rv = object_build(a.data(), a.size(), CKO_PUBLIC_KEY, &pub->attrs);
  if (rv != CKR_OK) return CKR_GENERAL_ERROR;
  if (flag_of(*priv, CKA_DECRYPT) != flag_of(*pub, CKA_ENCRYPT)) return CKR_TEMPLATE_INCONSISTENT;
  if (flag_of(*priv, CKA_TOKEN) != flag_of(*pub, CKA_TOKEN)) return CKR_TEMPLATE_INCONSISTENT;
  rv = store_write_access(sess, *priv);
  if (rv == CKR_OK) rv = store_write_access(sess, *pub);
  return rv;
}

// The templates with the generation's values (key type, CKA_LOCAL, the
// mechanism); the generated numbers are appended to them so that the sets
// carry the modulus hash and bit count computed from them.
struct PairTemplates {
  std::vector<CK_ATTRIBUTE> pub;
  std::vector<CK_ATTRIBUTE> priv;
  CK_ULONG gen_mech = 0;
};

void pair_templates(const PairRequest& r, PairTemplates* full) {
  static const CK_ULONG kRsa = CKK_RSA;
  static const CK_BBOOL kYes = CK_TRUE;
  full->gen_mech = r.mech;
  full->pub.assign(r.pub_t, r.pub_t + r.pub_n);
  if (r.priv_n != 0) full->priv.assign(r.priv_t, r.priv_t + r.priv_n);
  for (auto* t : {&full->pub, &full->priv}) {
    if (tmpl_find(t->data(), t->size(), CKA_KEY_TYPE) == nullptr)
      t->push_back({CKA_KEY_TYPE, const_cast<CK_ULONG*>(&kRsa), sizeof kRsa});
    t->push_back({CKA_LOCAL, const_cast<CK_BBOOL*>(&kYes), 1});
    t->push_back({CKA_KEY_GEN_MECHANISM, &full->gen_mech, sizeof full->gen_mech});
  }
}

// Both numbers of the pair, appended to both templates, and the sets built
// again from them.
CK_RV pair_rebuild(PairTemplates& full, const CK_ATTRIBUTE* numbers, std::size_t count, Object* pub, Object* priv) {
  full.pub.insert(full.pub.end(), numbers, numbers + count);
  full.priv.insert(full.priv.end(), numbers, numbers + count);
  pub->attrs.reset();
  priv->attrs.reset();
  CK_RV rv = object_build(full.pub.data(), full.pub.size(), CKO_PUBLIC_KEY, &pub->attrs);
  if (rv == CKR_OK) rv = object_build(full.priv.data(), full.priv.size(), CKO_PRIVATE_KEY, &priv->attrs);
  return rv == CKR_OK ? CKR_OK : CKR_GENERAL_ERROR;
}

void pair_never_extracted(Object& priv) {
  set_attr_bool(*priv.attrs, CKA_NEVER_EXTRACTABLE, !flag_of(priv, CKA_EXTRACTABLE));
  set_attr_bool(*priv.attrs, CKA_ALWAYS_SENSITIVE, flag_of(priv, CKA_SENSITIVE));
}

// The card's generator, in the application of the pair's use; the modulus
// of `bits` / 8 bytes comes back.
CK_RV pair_card_generate(CardOperation& op, Slot& slot, const Object& pub, const Object& priv, CK_ULONG bits,
                         std::uint32_t* pub_id, std::uint32_t* priv_id, std::uint8_t* modulus) {
  const bool ciph = flag_of(pub, CKA_ENCRYPT);
  std::uint8_t priv_access = VORN_KIND_ACCESS | VORN_KIND_PRIVATE_KEY;
  if (flag_of(priv, CKA_PRIVATE)) priv_access |= VORN_KIND_PRIVATE;
  if (ciph && flag_of(priv, CKA_EXTRACTABLE)) priv_access |= VORN_KIND_EXTRACTABLE;
  std::uint8_t pub_access = VORN_KIND_ACCESS | VORN_KIND_PUBLIC_KEY;
  if (flag_of(pub, CKA_PRIVATE)) pub_access |= VORN_KIND_PRIVATE;
  if (slot_op_begin(op, slot) != VORN_OK) return CKR_DEVICE_ERROR;
  CK_RV rv = slot_op_open(op, slot, ciph ? CARD_APP_CIPH : CARD_APP_SIGN);
  if (rv != CKR_OK) return rv;
  DWORD mod_len = 256;
  vorn_rv crv = key_gen_pair(slot_key(slot), slot.card, vorn_alg_rsa(bits / 8), priv_access, pub_access, priv_id,
                             pub_id, modulus, &mod_len);
  if (crv != VORN_OK) return ckr_of(Fail::Store, crv);
  return mod_len == bits / 8 ? CKR_OK : CKR_DEVICE_ERROR;
}

// A token pair: made by the card, then both attribute lists written; a pair
// whose lists could not be written is of no use, and both keys leave the
// card again.
CK_RV pair_on_card(Slot& slot, PairTemplates& full, CK_ULONG bits, Object& pub, Object& priv) {
  std::uint8_t modulus[256];
  std::uint32_t priv_id = 0, pub_id = 0;
  CardOperation op;
  CK_RV rv = pair_card_generate(op, slot, pub, priv, bits, &pub_id, &priv_id, modulus);
  if (rv != CKR_OK) return rv;  // the operation closes with the scope
  const CK_ATTRIBUTE n = {CKA_MODULUS, modulus, static_cast<CK_ULONG>(bits / 8)};
  rv = pair_rebuild(full, &n, 1, &pub, &priv);
  if (rv == CKR_OK) {
    pub.card_id = pub_id;
    pub.kind = static_cast<std::uint8_t>(pub_id >> 16);
    priv.card_id = priv_id;
    priv.kind = static_cast<std::uint8_t>(priv_id >> 16);
    pair_never_extracted(priv);
    rv = store_write_attrs(slot, pub, CKO_PUBLIC_KEY);
    if (rv == CKR_OK) rv = store_write_attrs(slot, priv, CKO_PRIVATE_KEY);
  }
  if (rv != CKR_OK) {
    obj_delete(slot_key(slot), slot.card, pub_id);
    obj_delete(slot_key(slot), slot.card, priv_id);
  }
  CK_RV lrv = slot_op_close(op);
  if (rv == CKR_OK && lrv != CKR_OK) rv = CKR_DEVICE_ERROR;
  return rv;
}

// A session pair, made by the software generator.
CK_RV pair_in_software(PairTemplates& full, CK_ULONG bits, Object& pub, Object& priv) {
  static const std::uint8_t kF4[3] = {0x01, 0x00, 0x01};
  auto pub_rec = std::make_unique<sc_rsa_public_key>();
  auto priv_rec = std::make_unique<sc_rsa_private_key>();
  vorn::WipeOnExit wipe(priv_rec.get(), sizeof *priv_rec);
  if (sc_rsa_generate_keypair(static_cast<std::uint32_t>(bits), true, pub_rec.get(), priv_rec.get()) != VORN_OK)
    return CKR_FUNCTION_FAILED;
  const std::size_t k = bits / 8;
  const std::size_t h = k / 2;
  const CK_ATTRIBUTE numbers[2] = {
      {CKA_MODULUS, priv_rec->modulus + SC_RSA_MAX_LEN - k, static_cast<CK_ULONG>(k)},
      {CKA_PUBLIC_EXPONENT, const_cast<std::uint8_t*>(kF4), 3},
  };
  CK_RV rv = pair_rebuild(full, numbers, 2, &pub, &priv);
  if (rv != CKR_OK) return rv;
  AttrSet& ps = *priv.attrs;
  set_attr(ps, CKA_PRIVATE_EXPONENT, priv_rec->exponent + SC_RSA_MAX_LEN - k, k);
  put_number(ps, CKA_PRIME_1, priv_rec->prime[0] + SC_RSA_MAX_PRIME_LEN - h, h);
  put_number(ps, CKA_PRIME_2, priv_rec->prime[1] + SC_RSA_MAX_PRIME_LEN - h, h);
  put_number(ps, CKA_EXPONENT_1, priv_rec->prime_exponent[0] + SC_RSA_MAX_PRIME_LEN - h, h);
  put_number(ps, CKA_EXPONENT_2, priv_rec->prime_exponent[1] + SC_RSA_MAX_PRIME_LEN - h, h);
  put_number(ps, CKA_COEFFICIENT, priv_rec->coefficient + SC_RSA_MAX_PRIME_LEN - h, h);
  pair_never_extracted(priv);
  return CKR_OK;
}

// Makes the pair where its CKA_TOKEN says and files both objects.
CK_RV pair_make(Slot& slot, Session& sess, const PairRequest& r, CK_ULONG bits, Object& pub, Object& priv,
                CK_OBJECT_HANDLE* pub_h, CK_OBJECT_HANDLE* priv_h) {
  PairTemplates full;
  pair_templates(r, &full);
  Object* pub_place = nullptr;
  Object* priv_place = nullptr;
  CK_RV rv = CKR_OK;
  if (flag_of(pub, CKA_TOKEN)) {
    if (slot.token.flags & CKF_WRITE_PROTECTED) return CKR_TOKEN_WRITE_PROTECTED;
    if (!free_pair(slot.objects, &pub_place, &priv_place)) return CKR_HOST_MEMORY;
    rv = pair_on_card(slot, full, bits, pub, priv);
  } else {
    if (!free_pair(sess.objects, &pub_place, &priv_place)) return CKR_HOST_MEMORY;
    rv = pair_in_software(full, bits, pub, priv);
  }
  if (rv != CKR_OK) return rv;
  rv = store_new_handle(&pub.handle);
  if (rv == CKR_OK) rv = store_new_handle(&priv.handle);
  if (rv != CKR_OK) return rv;
  *pub_place = std::move(pub);
  *priv_place = std::move(priv);
  *pub_h = pub_place->handle;
  *priv_h = priv_place->handle;
  return CKR_OK;
}

}  // namespace

}  // namespace p11

using namespace p11;

VORN_P11_EXPORT CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                                    CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey) {
  return p11_module([&]() -> CK_RV {
    Slot* slot = nullptr;
    Session* sess = nullptr;
    CK_RV rv = session_lookup(hSession, &slot, &sess);
    if (rv != CKR_OK) return rv;
    if (pMechanism == nullptr || phKey == nullptr || (pTemplate == nullptr && ulCount > 0)) return CKR_ARGUMENTS_BAD;
    const CK_MECHANISM_TYPE mech = pMechanism->mechanism;
    if (slot_mech(*slot, mech, CKF_GENERATE) == nullptr) return CKR_MECHANISM_INVALID;
    const CK_KEY_TYPE kt = mech_key_type(mech);
    const bool pre_master = mech == CKM_SSL3_PRE_MASTER_KEY_GEN;
    if (pre_master) {
      const auto* v = static_cast<const CK_VERSION*>(pMechanism->pParameter);
      if (v == nullptr || pMechanism->ulParameterLen != sizeof(CK_VERSION) || v->major != 3 || v->minor != 0)
        return CKR_MECHANISM_PARAM_INVALID;
    }
    rv = template_check_ops(pTemplate, ulCount, CKO_SECRET_KEY, 0x0C);
    if (rv != CKR_OK) return rv;
    rv = entry_token(hSession, *slot, *sess, Refresh::SessionMapped);
    if (rv != CKR_OK) return rv;
    if (tmpl_kind_bad(pTemplate, ulCount, CKO_SECRET_KEY, kt)) return CKR_TEMPLATE_INCONSISTENT;
    Guard kg(kLockKeyGen);
    Object fresh;
    SecretSpec spec{};
    rv = secret_build(*sess, pTemplate, ulCount, mech, kt, &fresh, &spec);
    if (rv != CKR_OK) return rv;
    SecureBytes value;
    rv = secret_value(spec, flag_of(fresh, CKA_TOKEN), pre_master, &value);
    if (rv != CKR_OK) return rv;
    return secret_place(*slot, *sess, fresh, spec, value, phKey);
  });
}

VORN_P11_EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                        CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                                        CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                                        CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
  return p11_module([&]() -> CK_RV {
    Slot* slot = nullptr;
    Session* sess = nullptr;
    CK_RV rv = session_lookup(hSession, &slot, &sess);
    if (rv != CKR_OK) return rv;
    const PairRequest r{pPublicKeyTemplate, ulPublicKeyAttributeCount, pPrivateKeyTemplate,
                        ulPrivateKeyAttributeCount, pMechanism != nullptr ? pMechanism->mechanism : 0};
    if (pMechanism == nullptr || r.pub_t == nullptr || r.pub_n == 0 || (r.priv_t == nullptr && r.priv_n != 0) ||
        phPublicKey == nullptr || phPrivateKey == nullptr)
      return CKR_ARGUMENTS_BAD;
    if (slot_mech(*slot, r.mech, CKF_GENERATE_KEY_PAIR) == nullptr) return CKR_MECHANISM_INVALID;
    rv = template_check_ops(r.priv_t, r.priv_n, CKO_PRIVATE_KEY, 0x0C);
    if (rv != CKR_OK) return rv;
    rv = template_check_ops(r.pub_t, r.pub_n, CKO_PUBLIC_KEY, 0x0C);
    if (rv != CKR_OK) return rv;
    rv = entry_token(hSession, *slot, *sess, Refresh::SessionMapped);
    if (rv != CKR_OK) return rv;
    CK_ULONG bits = 0;
    rv = pair_template_checks(r, &bits);
    if (rv != CKR_OK) return rv;
    Guard kg(kLockKeyGen);
    Object pub, priv;
    rv = pair_draft(*sess, r, &pub, &priv);
    if (rv != CKR_OK) return rv;
    return pair_make(*slot, *sess, r, bits, pub, priv, phPublicKey, phPrivateKey);
  });
}
