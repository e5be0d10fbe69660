// Object-store steps that key generation, unwrapping and derivation share
// with C_CreateObject (defined in objects.cpp).
#pragma once
#include <cstring>
#include <memory>

#include "vorn/result.h"

#include "module.h"

namespace p11 {

// Template check of a class with operation bits (0x30 creation, 0x0C
// generation, 0x03 unwrapping): allowed types and lengths, then required
// and forbidden attributes.
CK_RV template_check_ops(CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_ULONG cls, std::uint8_t ops);
// Attribute set from a template: class defaults, then the template's values
// in order (a later entry wins), the modulus hash and bits.
CK_RV object_build(CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_ULONG cls, std::unique_ptr<AttrSet>* out);
// Key checks of C_CreateObject (key type, sizes, public exponent).
CK_RV key_checks(CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_ULONG cls);
// Writes a new object to the card (key_store and its attribute list).
CK_RV store_write(Slot& slot, Object& obj, CK_ULONG cls);
CK_RV store_write_access(const Session& sess, const Object& obj);
CK_RV store_new_handle(CK_OBJECT_HANDLE* out);
// Attribute part of an object that already exists on the card; the channel
// of its application must be open.
CK_RV store_write_attrs(Slot& slot, const Object& obj, CK_ULONG cls);

// A token secret key on the card (keygen.cpp): made by the card's generator
// when value is null (an algorithm vorn_alg_on_card takes), else stored with
// key_store under the algorithm code; its access byte from the object's
// CKA_PRIVATE and CKA_EXTRACTABLE; then its attribute part. Sets obj.card_id.
CK_RV token_secret_store(Slot& slot, Object& obj, std::uint8_t alg, const std::uint8_t* value, std::size_t len);

// Attribute setters on a built set.
inline void set_attr(AttrSet& s, CK_ATTRIBUTE_TYPE t, const void* p, std::size_t n) {
  s.rows[static_cast<std::size_t>(attr_row(t))].assign(p, n);
}
inline void set_attr_ulong(AttrSet& s, CK_ATTRIBUTE_TYPE t, CK_ULONG v) { set_attr(s, t, &v, sizeof v); }
inline void set_attr_bool(AttrSet& s, CK_ATTRIBUTE_TYPE t, bool b) {
  const CK_BBOOL v = b ? CK_TRUE : CK_FALSE;
  set_attr(s, t, &v, 1);
}
inline bool flag_of(const Object& o, CK_ATTRIBUTE_TYPE t) {
  bool b = false;
  return attr_bool(o, t, &b) && b;
}
// First free entry of a table, or null.
template <std::size_t N>
Object* free_entry(std::array<Object, N>& table) {
  for (auto& o : table)
    if (!o.used()) return &o;
  return nullptr;
}
// The value of a template attribute, or null.
inline const CK_ATTRIBUTE* tmpl_find(const CK_ATTRIBUTE* t, CK_ULONG n, CK_ATTRIBUTE_TYPE type) {
  for (CK_ULONG i = 0; t != nullptr && i < n; ++i)
    if (t[i].type == type) return &t[i];
  return nullptr;
}
// A CK_ULONG template attribute; false when absent or of another size.
inline bool tmpl_ulong(const CK_ATTRIBUTE* t, CK_ULONG n, CK_ATTRIBUTE_TYPE type, CK_ULONG* v) {
  const CK_ATTRIBUTE* a = tmpl_find(t, n, type);
  if (a == nullptr || a->pValue == nullptr || a->ulValueLen != sizeof(CK_ULONG)) return false;
  std::memcpy(v, a->pValue, sizeof *v);
  return true;
}

}  // namespace p11
