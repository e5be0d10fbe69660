// Object store: the attribute table, the per-class templates and creation
// rules, loading the token objects, the value read, writing objects to the
// card, and C_FindObjects*, C_Get/SetAttributeValue, C_Create/DestroyObject.
//
// Numeric attributes (class, key type, certificate type, bit counts,
// mechanisms) are CK_ULONG in memory and 4 bytes little-endian on the card,
// the form every build of the module writes whatever its CK_ULONG width;
// FF FF FF FF on the card is CK_UNAVAILABLE_INFORMATION in memory.
//
// Private objects belong to the logged-in user: while nobody is, the object
// lookup refuses them (so no entry point serves or uses them), and the
// logout wipes the values read for them and destroys private session objects.
#include <openssl/bn.h>

#include <algorithm>
#include <cstring>

#include "cardlayer.h"
#include "entry.h"
#include "key_alg.h"
#include "keyops.h"
#include "module.h"
#include "objects_internal.h"

namespace p11 {

namespace {

constexpr std::uint8_t C(int c) { return static_cast<std::uint8_t>(1u << c); }
constexpr std::uint8_t kAll = 0x7F;
constexpr std::uint8_t kNoHw = C(0) | C(1) | C(2) | C(3) | C(4) | C(6);

// The 63 rows: type, fixed length (0 any, 'U' a CK_ULONG), classes.
constexpr std::uint8_t U = 0xFF;
const AttrRow kRows[kAttrRows] = {
    {0x8001, 0, C(1) | C(2) | C(3)},
    {0x8002, 0, C(1) | C(2) | C(3)},
    {0x8003, 0, C(1) | C(2) | C(3)},
    {kAttrKeyId, 0, C(1) | C(2) | C(3)},
    {CKA_CLASS, U, kAll},
    {CKA_TOKEN, 1, kNoHw},
    {CKA_PRIVATE, 1, kNoHw},
    {CKA_MODIFIABLE, 1, kNoHw},
    {CKA_LABEL, 0, kNoHw},
    {CKA_APPLICATION, 0, C(0)},
    {CKA_OBJECT_ID, 0, C(0)},
    {CKA_VALUE, 0, C(0) | C(1) | C(2) | C(3) | C(4) | C(5)},
    {CKA_CERTIFICATE_TYPE, U, C(1)},
    {CKA_TRUSTED, 1, C(1) | C(2)},
    {CKA_SUBJECT, 0, C(1) | C(2) | C(3)},
    {CKA_ID, 0, C(1) | C(2) | C(3) | C(4)},
    {CKA_ISSUER, 0, C(1)},
    {CKA_SERIAL_NUMBER, 0, C(1)},
    {CKA_OWNER, 0, C(1)},
    {CKA_AC_ISSUER, 0, C(1)},
    {CKA_ATTR_TYPES, 0, C(1)},
    {CKA_KEY_TYPE, U, C(2) | C(3) | C(4) | C(6)},
    {CKA_START_DATE, 8, C(2) | C(3) | C(4)},
    {CKA_END_DATE, 8, C(2) | C(3) | C(4)},
    {CKA_DERIVE, 1, C(2) | C(3) | C(4)},
    {CKA_LOCAL, 1, C(2) | C(3) | C(4) | C(6)},
    {CKA_KEY_GEN_MECHANISM, U, C(2) | C(3) | C(4)},
    {CKA_ENCRYPT, 1, C(2) | C(4)},
    {CKA_VERIFY, 1, C(2) | C(4)},
    {CKA_VERIFY_RECOVER, 1, C(2)},
    {CKA_WRAP, 1, C(2) | C(4)},
    {CKA_MODULUS, 0, C(2) | C(3)},
    {CKA_MODULUS_BITS, U, C(2)},
    {CKA_PUBLIC_EXPONENT, 0, C(2) | C(3)},
    {CKA_PRIME, 0, C(2) | C(3) | C(6)},
    {CKA_SUBPRIME, 0, C(2) | C(3) | C(6)},
    {CKA_BASE, 0, C(2) | C(3) | C(6)},
    {CKA_EC_PARAMS, 0, C(2) | C(3)},
    {CKA_EC_PARAMS, 0, C(2) | C(3)},
    {CKA_EC_POINT, 0, C(2) | C(3)},
    {CKA_SENSITIVE, 1, C(3) | C(4)},
    {CKA_SECONDARY_AUTH, 0, C(3)},
    {CKA_AUTH_PIN_FLAGS, 0, C(3)},
    {CKA_DECRYPT, 1, C(3) | C(4)},
    {CKA_SIGN, 1, C(3) | C(4)},
    {CKA_SIGN_RECOVER, 1, C(3)},
    {CKA_UNWRAP, 1, C(3) | C(4)},
    {CKA_EXTRACTABLE, 1, C(3) | C(4)},
    {CKA_ALWAYS_SENSITIVE, 1, C(3) | C(4)},
    {CKA_NEVER_EXTRACTABLE, 1, C(3) | C(4)},
    {CKA_PRIVATE_EXPONENT, 0, C(3)},
    {CKA_PRIME_1, 0, C(3)},
    {CKA_PRIME_2, 0, C(3)},
    {CKA_EXPONENT_1, 0, C(3)},
    {CKA_EXPONENT_2, 0, C(3)},
    {CKA_COEFFICIENT, 0, C(3)},
    {CKA_VALUE_BITS, U, C(3)},
    {CKA_VALUE_LEN, U, C(4)},
    {CKA_PRIME_BITS, 0, C(6)},
    {CKA_SUB_PRIME_BITS, 0, C(6)},
    {CKA_HW_FEATURE_TYPE, 0, C(5)},
    {CKA_RESET_ON_INIT, 0, C(5)},
    {CKA_HAS_RESET, 0, C(5)},
};

// Per-class templates: the attribute part (kept on the card as the object's
// attribute list) and the value part (the object's card value).
// kEmpty: present with no bytes, the default of labels, identifiers, names
// and dates (the demo card stores them so too).
enum DefKind : std::uint8_t { kNone, kFalse, kTrue, kUlong, kDefE65537, kEmpty };
struct TplEntry {
  CK_ATTRIBUTE_TYPE type;
  DefKind def;
  CK_ULONG num;
};

constexpr CK_ULONG kNoMech = CK_UNAVAILABLE_INFORMATION;

const TplEntry kDataAttrs[] = {{CKA_CLASS, kUlong, CKO_DATA}, {CKA_TOKEN, kFalse, 0},
                               {CKA_PRIVATE, kFalse, 0},      {CKA_MODIFIABLE, kTrue, 0},
                               {CKA_LABEL, kEmpty, 0},        {CKA_APPLICATION, kEmpty, 0},
                               {CKA_OBJECT_ID, kEmpty, 0}};
const TplEntry kDataValue[] = {{CKA_VALUE, kNone, 0}};
const TplEntry kCertAttrs[] = {
    {kAttrKeyId, kNone, 0},          {CKA_CLASS, kUlong, CKO_CERTIFICATE}, {CKA_TOKEN, kTrue, 0},
    {CKA_PRIVATE, kFalse, 0},        {CKA_MODIFIABLE, kTrue, 0},           {CKA_LABEL, kEmpty, 0},
    {CKA_CERTIFICATE_TYPE, kNone, 0}, {CKA_TRUSTED, kFalse, 0},            {CKA_SUBJECT, kEmpty, 0},
    {CKA_ID, kEmpty, 0},             {CKA_ISSUER, kEmpty, 0},              {CKA_SERIAL_NUMBER, kEmpty, 0}};
const TplEntry kCertValue[] = {{CKA_VALUE, kNone, 0}};
const TplEntry kPubAttrs[] = {
    {kAttrKeyId, kNone, 0},      {CKA_CLASS, kUlong, CKO_PUBLIC_KEY}, {CKA_TOKEN, kTrue, 0},
    {CKA_PRIVATE, kFalse, 0},    {CKA_MODIFIABLE, kTrue, 0},          {CKA_LABEL, kEmpty, 0},
    {CKA_KEY_TYPE, kNone, 0},    {CKA_ID, kEmpty, 0},                 {CKA_START_DATE, kEmpty, 0},
    {CKA_END_DATE, kEmpty, 0},   {CKA_DERIVE, kFalse, 0},             {CKA_LOCAL, kFalse, 0},
    {CKA_KEY_GEN_MECHANISM, kUlong, kNoMech}, {CKA_SUBJECT, kEmpty, 0}, {CKA_TRUSTED, kFalse, 0},
    {CKA_ENCRYPT, kTrue, 0},     {CKA_VERIFY, kTrue, 0},              {CKA_VERIFY_RECOVER, kFalse, 0},
    {CKA_WRAP, kTrue, 0},        {CKA_MODULUS_BITS, kNone, 0}};
const TplEntry kPubValue[] = {{CKA_MODULUS, kNone, 0}, {CKA_PUBLIC_EXPONENT, kDefE65537, 0}};
const TplEntry kPrivAttrs[] = {
    {kAttrKeyId, kNone, 0},        {CKA_CLASS, kUlong, CKO_PRIVATE_KEY}, {CKA_TOKEN, kTrue, 0},
    {CKA_PRIVATE, kTrue, 0},       {CKA_MODIFIABLE, kTrue, 0},           {CKA_LABEL, kEmpty, 0},
    {CKA_KEY_TYPE, kNone, 0},      {CKA_ID, kEmpty, 0},                  {CKA_START_DATE, kEmpty, 0},
    {CKA_END_DATE, kEmpty, 0},     {CKA_DERIVE, kFalse, 0},              {CKA_LOCAL, kFalse, 0},
    {CKA_KEY_GEN_MECHANISM, kUlong, kNoMech}, {CKA_SUBJECT, kEmpty, 0},  {CKA_SENSITIVE, kTrue, 0},
    {CKA_DECRYPT, kTrue, 0},       {CKA_SIGN, kTrue, 0},                 {CKA_SIGN_RECOVER, kFalse, 0},
    {CKA_UNWRAP, kTrue, 0},        {CKA_EXTRACTABLE, kFalse, 0},         {CKA_ALWAYS_SENSITIVE, kFalse, 0},
    {CKA_NEVER_EXTRACTABLE, kFalse, 0}, {CKA_MODULUS, kNone, 0},          {CKA_PUBLIC_EXPONENT, kDefE65537, 0}};
const TplEntry kPrivValue[] = {{CKA_PRIME_1, kNone, 0},     {CKA_PRIME_2, kNone, 0},
                               {CKA_EXPONENT_1, kNone, 0},  {CKA_EXPONENT_2, kNone, 0},
                               {CKA_COEFFICIENT, kNone, 0}, {CKA_PRIVATE_EXPONENT, kNone, 0}};
const TplEntry kSecretAttrs[] = {
    {CKA_CLASS, kUlong, CKO_SECRET_KEY}, {CKA_TOKEN, kFalse, 0},     {CKA_PRIVATE, kFalse, 0},
    {CKA_MODIFIABLE, kTrue, 0},          {CKA_LABEL, kEmpty, 0},     {CKA_KEY_TYPE, kNone, 0},
    {CKA_ID, kEmpty, 0},                 {CKA_START_DATE, kEmpty, 0}, {CKA_END_DATE, kEmpty, 0},
    {CKA_DERIVE, kFalse, 0},             {CKA_LOCAL, kFalse, 0},     {CKA_KEY_GEN_MECHANISM, kUlong, kNoMech},
    {CKA_SENSITIVE, kFalse, 0},          {CKA_ENCRYPT, kTrue, 0},    {CKA_DECRYPT, kTrue, 0},
    {CKA_SIGN, kFalse, 0},               {CKA_VERIFY, kFalse, 0},    {CKA_WRAP, kTrue, 0},
    {CKA_UNWRAP, kTrue, 0},              {CKA_EXTRACTABLE, kTrue, 0}, {CKA_ALWAYS_SENSITIVE, kFalse, 0},
    {CKA_NEVER_EXTRACTABLE, kFalse, 0},  {CKA_VALUE_LEN, kNone, 0}};
const TplEntry kSecretValue[] = {{CKA_VALUE, kNone, 0}};

struct ClassTpl {
  std::span<const TplEntry> attrs;
  std::span<const TplEntry> value;
};
const ClassTpl kTemplates[5] = {
    {kDataAttrs, kDataValue}, {kCertAttrs, kCertValue}, {kPubAttrs, kPubValue},
    {kPrivAttrs, kPrivValue}, {kSecretAttrs, kSecretValue}};

// Creation rules: type and mask; with the creation bits 0x30 all set the
// attribute is required, none set forbidden, one set optional.
struct Rule {
  CK_ATTRIBUTE_TYPE type;
  std::uint8_t mask;
};
const Rule kDataRules[] = {{CKA_CLASS, 0x30}};
const Rule kCertRules[] = {{CKA_CLASS, 0x30}, {CKA_CERTIFICATE_TYPE, 0x30}, {CKA_SUBJECT, 0x30}, {CKA_VALUE, 0x30}};
const Rule kPubRules[] = {{CKA_CLASS, 0x37},        {CKA_KEY_TYPE, 0x37}, {CKA_LOCAL, 0},
                          {CKA_KEY_GEN_MECHANISM, 0}, {CKA_MODULUS, 0x31}, {CKA_MODULUS_BITS, 0x0D},
                          {CKA_PUBLIC_EXPONENT, 0x3D}};
const Rule kPrivRules[] = {{CKA_CLASS, 0x37},          {CKA_KEY_TYPE, 0x37},         {CKA_LOCAL, 0},
                           {CKA_KEY_GEN_MECHANISM, 0}, {CKA_AUTH_PIN_FLAGS, 0},      {CKA_ALWAYS_SENSITIVE, 0},
                           {CKA_NEVER_EXTRACTABLE, 0}, {CKA_MODULUS, 0x30},          {CKA_PUBLIC_EXPONENT, 0x10},
                           {CKA_PRIVATE_EXPONENT, 0x30}, {CKA_PRIME_1, 0x30},        {CKA_PRIME_2, 0x30},
                           {CKA_EXPONENT_1, 0x30},     {CKA_EXPONENT_2, 0x30},       {CKA_COEFFICIENT, 0x30}};
const Rule kSecretRules[] = {{CKA_CLASS, 0x37},     {CKA_KEY_TYPE, 0x37},       {CKA_LOCAL, 0},
                             {CKA_KEY_GEN_MECHANISM, 0}, {CKA_ALWAYS_SENSITIVE, 0}, {CKA_NEVER_EXTRACTABLE, 0},
                             {CKA_VALUE, 0x30},     {CKA_VALUE_LEN, 0x05}};
const std::span<const Rule> kRules[5] = {kDataRules, kCertRules, kPubRules, kPrivRules, kSecretRules};

// Attributes C_SetAttributeValue may change, per class.
const CK_ATTRIBUTE_TYPE kSetData[] = {CKA_LABEL, CKA_APPLICATION, CKA_OBJECT_ID, CKA_VALUE};
const CK_ATTRIBUTE_TYPE kSetCert[] = {CKA_LABEL, CKA_ID, CKA_ISSUER, CKA_SERIAL_NUMBER};
const CK_ATTRIBUTE_TYPE kSetKey[] = {CKA_LABEL,   CKA_ID,         CKA_START_DATE, CKA_END_DATE,
                                     CKA_DERIVE,  CKA_SUBJECT,    CKA_ENCRYPT,    CKA_VERIFY,
                                     CKA_VERIFY_RECOVER, CKA_WRAP, CKA_SENSITIVE, CKA_DECRYPT,
                                     CKA_SIGN,    CKA_SIGN_RECOVER, CKA_UNWRAP,   CKA_EXTRACTABLE};

const CK_ATTRIBUTE_TYPE kSecretParts[] = {CKA_VALUE,      CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2,
                                          CKA_EXPONENT_1, CKA_EXPONENT_2,       CKA_COEFFICIENT};

bool is_ulong_row(int row) { return row >= 0 && kRows[row].len == U; }

std::size_t fixed_len(int row) {
  if (kRows[row].len == U) return sizeof(CK_ULONG);
  return kRows[row].len;
}

bool class_allows(int row, CK_ULONG cls) { return cls <= 6 && (kRows[row].classes & C(static_cast<int>(cls))); }

template <typename T, std::size_t N>
bool contains(const T (&arr)[N], CK_ATTRIBUTE_TYPE t) {
  return std::find(std::begin(arr), std::end(arr), t) != std::end(arr);
}

// Card form of a numeric value: 4 bytes little-endian; "unavailable" (all
// bits of a CK_ULONG, 8 bytes on 64-bit Linux) is FF FF FF FF there.
constexpr std::uint32_t kCardUnavailable = 0xFFFFFFFFu;

void ulong_to_card(CK_ULONG v, std::uint8_t out[4]) {
  const std::uint32_t c = v == CK_UNAVAILABLE_INFORMATION ? kCardUnavailable : static_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(c >> (8 * i));
}

CK_ULONG ulong_from_card(const std::uint8_t* p, std::size_t n) {
  CK_ULONG v = 0;
  for (std::size_t i = 0; i < n && i < sizeof(CK_ULONG); ++i) v |= static_cast<CK_ULONG>(p[i]) << (8 * i);
  if (n == 4 && v == kCardUnavailable) return CK_UNAVAILABLE_INFORMATION;
  return v;
}

void set_ulong(AttrSet& set, int row, CK_ULONG v) { set.rows[row].assign(&v, sizeof v); }

void set_bool(AttrSet& set, int row, bool b) {
  CK_BBOOL v = b ? CK_TRUE : CK_FALSE;
  set.rows[row].assign(&v, 1);
}

const std::uint8_t kE65537[3] = {0x01, 0x00, 0x01};

void apply_default(AttrSet& set, const TplEntry& e) {
  int row = attr_row(e.type);
  switch (e.def) {
    case kFalse: set_bool(set, row, false); break;
    case kTrue: set_bool(set, row, true); break;
    case kUlong: set_ulong(set, row, e.num); break;
    case kDefE65537: set.rows[row].assign(kE65537, 3); break;
    case kEmpty: set.rows[row].assign(nullptr, 0); break;
    case kNone: break;
  }
}

CK_ULONG class_of_kind(std::uint8_t c) {
  if ((c & 3) == 3) return CKO_PRIVATE_KEY;
  if (c & 2) return CKO_PUBLIC_KEY;
  if (c & 1) return CKO_CERTIFICATE;
  if (c & 4) return CKO_SECRET_KEY;
  return CKO_DATA;
}

// Strips leading zero bytes of a big-endian number.
std::span<const std::uint8_t> strip(const Value& v) {
  std::size_t i = 0;
  while (i < v.size() && v.data()[i] == 0) ++i;
  return {v.data() + i, v.size() - i};
}

CK_RV new_object_handle(CK_OBJECT_HANDLE* out) {
  Guard g(kLockObjectHandle);
  Module& m = mod();
  if (m.object_counter >= 0xFFFFFFFFUL) return CKR_GENERAL_ERROR;
  *out = ++m.object_counter;
  return CKR_OK;
}

// d = e^-1 mod (p-1)(q-1), as many bytes as the modulus.
CK_RV private_exponent(const Value& e, const Value& p, const Value& q, std::size_t k, Value* out) {
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* bp = BN_bin2bn(p.data(), static_cast<int>(p.size()), nullptr);
  BIGNUM* bq = BN_bin2bn(q.data(), static_cast<int>(q.size()), nullptr);
  BIGNUM* be = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
  BIGNUM* phi = BN_new();
  BIGNUM* d = BN_new();
  CK_RV rv = CKR_HOST_MEMORY;
  if (ctx && bp && bq && be && phi && d) {
    BN_set_flags(d, BN_FLG_CONSTTIME);
    rv = CKR_GENERAL_ERROR;
    if (BN_sub_word(bp, 1) && BN_sub_word(bq, 1) && BN_mul(phi, bp, bq, ctx) &&
        BN_mod_inverse(d, be, phi, ctx) != nullptr && static_cast<std::size_t>(BN_num_bytes(d)) <= k) {
      vorn::SecureBytes buf(k);
      if (BN_bn2binpad(d, buf.data(), static_cast<int>(k)) == static_cast<int>(k)) {
        out->assign(buf.data(), k);
        rv = CKR_OK;
      }
    }
  }
  BN_clear_free(d);
  BN_free(phi);
  BN_free(be);
  BN_clear_free(bq);
  BN_clear_free(bp);
  BN_CTX_free(ctx);
  return rv;
}

// CKA_PRIVATE_EXPONENT of a private key, when the public exponent, the
// modulus and both primes are known: the card keeps the CRT parts only.
void fill_private_exponent(AttrSet& a) {
  const Value& e = a.rows[attr_row(CKA_PUBLIC_EXPONENT)];
  const Value& n = a.rows[attr_row(CKA_MODULUS)];
  const Value& p = a.rows[attr_row(CKA_PRIME_1)];
  const Value& q = a.rows[attr_row(CKA_PRIME_2)];
  if (!e.present() || !n.present() || !p.present() || !q.present()) return;
  Value d;
  if (private_exponent(e, p, q, n.size(), &d) == CKR_OK) a.rows[attr_row(CKA_PRIVATE_EXPONENT)] = std::move(d);
}

// Loads one listed object's attribute part from the card.
CK_RV object_load(Slot& slot, Object& obj) {
  const std::uint32_t key = slot_key(slot);
  const CK_ULONG cls = class_of_kind(obj.kind);
  const ClassTpl& tpl = kTemplates[cls];
  const std::size_t n = tpl.attrs.size();
  std::vector<CardAttr> t(n);
  for (std::size_t i = 0; i < n; ++i) t[i] = CardAttr{tpl.attrs[i].type, nullptr, 0};
  if (obj_read_attrs(key, slot.card, obj.card_id, t.data(), static_cast<DWORD>(n)) != VORN_OK)
    return CKR_DEVICE_ERROR;
  std::vector<vorn::SecureBytes> bufs(n);
  for (std::size_t i = 0; i < n; ++i) {
    bufs[i].resize(t[i].len);
    t[i].value = t[i].len != 0 ? bufs[i].data() : nullptr;
  }
  bool any = std::any_of(t.begin(), t.end(), [](const CardAttr& a) { return a.len != 0; });
  if (any) {
    vorn_rv rv = obj_read_attrs(key, slot.card, obj.card_id, t.data(), static_cast<DWORD>(n));
    if (rv != VORN_OK && rv != CARDERR_BUFFER_TOO_SMALL) return CKR_DEVICE_ERROR;
  }
  auto set = std::make_unique<AttrSet>();
  for (const auto& e : tpl.attrs) apply_default(*set, e);
  for (const auto& e : tpl.value) apply_default(*set, e);
  for (std::size_t i = 0; i < n; ++i) {
    if (t[i].value == nullptr || t[i].len == 0 || t[i].len > bufs[i].size()) continue;
    int row = attr_row(t[i].type);
    if (is_ulong_row(row)) {
      set_ulong(*set, row, ulong_from_card(bufs[i].data(), t[i].len));
    } else {
      set->rows[row].assign(bufs[i].data(), t[i].len);
    }
  }
  set_ulong(*set, kRowClass, cls);  // the kind byte decides the class
  obj.attrs = std::move(set);
  return CKR_OK;
}

// One application's object map into the next free token entries.
CK_RV list_app(CardOperation& op, Slot& slot, std::uint8_t app, std::size_t* next) {
  const std::uint32_t key = slot_key(slot);
  if (op.open(app, card_no_pin()) != VORN_OK) return CKR_DEVICE_ERROR;
  std::uint8_t map[40] = {};
  DWORD len = sizeof map;
  if (card_get_data(key, slot.card, CARD_DATA_OBJ_MAP, map, &len) != VORN_OK) return CKR_DEVICE_ERROR;
  // Object 40 of AP-CIPH holds the container map, never a PKCS#11 object.
  const DWORD last = std::min<DWORD>(len, app == CARD_APP_CIPH ? 39 : 40);
  const std::size_t first = *next;
  for (DWORD i = 0; i < last; ++i) {
    const std::uint8_t c = map[i];
    if (c == 0 || c >= 0x80) continue;
    if (*next >= kTokenObjects) break;
    Object& o = slot.objects[(*next)++];
    o.reset();
    if (new_object_handle(&o.handle) != CKR_OK) return CKR_GENERAL_ERROR;
    o.card_id = (app == CARD_APP_SIGN ? OBJ_PREFIX_SIGN : OBJ_PREFIX_CIPH) |
                (static_cast<std::uint32_t>(c) << 16) | (i + 1);
    o.kind = c;
  }
  for (std::size_t i = first; i < *next; ++i) {
    CK_RV rv = object_load(slot, slot.objects[i]);
    if (rv != CKR_OK) return rv;
  }
  return CKR_OK;
}

// Builds the card's attribute list for the attribute part of an object.
struct CardList {
  std::vector<CardAttr> attrs;
  std::vector<std::array<std::uint8_t, 4>> nums;
};

void card_list(const Object& obj, CK_ULONG cls, CardList* out) {
  const ClassTpl& tpl = kTemplates[cls];
  out->nums.reserve(tpl.attrs.size());
  for (const auto& e : tpl.attrs) {
    int row = attr_row(e.type);
    if (row < 0) continue;
    const Value& v = obj.attrs->rows[static_cast<std::size_t>(row)];
    if (!v.present()) continue;
    if (is_ulong_row(row)) {
      CK_ULONG num = 0;
      std::memcpy(&num, v.data(), sizeof num);
      out->nums.emplace_back();
      ulong_to_card(num, out->nums.back().data());
      out->attrs.push_back(CardAttr{e.type, out->nums.back().data(), 4});
    } else {
      out->attrs.push_back(CardAttr{e.type, const_cast<std::uint8_t*>(v.data()),
                                    static_cast<unsigned long>(v.size())});
    }
  }
}

// Access byte of a new card object of class cls: type, access class,
// extractable keys, and the mark on private data objects.
std::uint8_t access_byte(const Object& obj, CK_ULONG cls) {
  std::uint8_t access = VORN_KIND_ACCESS;
  if (flag_of(obj, CKA_PRIVATE)) access |= VORN_KIND_PRIVATE;
  if (flag_of(obj, CKA_PRIVATE) && cls == CKO_DATA) access |= VORN_KIND_MARK;
  if ((cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY) && flag_of(obj, CKA_EXTRACTABLE))
    access |= VORN_KIND_EXTRACTABLE;
  static const std::uint8_t kClassBits[5] = {VORN_KIND_DATA, VORN_KIND_CERTIFICATE, VORN_KIND_PUBLIC_KEY,
                                             VORN_KIND_PRIVATE_KEY, VORN_KIND_SECRET_KEY};
  return access | kClassBits[cls];
}

// Where a new object of class cls goes and how the card keeps it: the
// application (a certificate joins its private key's), the algorithm code
// and, for RSA keys, the modulus length k.
struct WriteTarget {
  std::uint8_t app = CARD_APP_CIPH;
  std::uint8_t alg = 0;
  std::size_t k = 0;
};

CK_RV write_target(const Slot& slot, const Object& obj, CK_ULONG cls, WriteTarget* out) {
  std::uint8_t& alg = out->alg;
  CK_ULONG key_type = 0;
  const bool have_type = attr_ulong(obj, CKA_KEY_TYPE, &key_type);
  if (cls == CKO_CERTIFICATE) {
    const Value* id = attr_get(obj, kAttrKeyId);
    for (const auto& o : slot.objects) {
      if (!o.attrs || class_of_kind(o.kind) != CKO_PRIVATE_KEY || o.card_id == 0) continue;
      const Value* oid = attr_get(o, kAttrKeyId);
      if (id && oid && id->size() == oid->size() && std::memcmp(id->data(), oid->data(), id->size()) == 0) {
        out->app = object_app(o);
        break;
      }
    }
  } else if (cls == CKO_PUBLIC_KEY || cls == CKO_PRIVATE_KEY) {
    if (!have_type || key_type != CKK_RSA) return CKR_ATTRIBUTE_VALUE_INVALID;
    out->k = strip(obj.attrs->rows[attr_row(CKA_MODULUS)]).size();
    alg = vorn_alg_rsa(out->k);
  } else if (cls == CKO_SECRET_KEY) {
    // An AES key of either length is kept under the AES-128 code; generic
    // secrets are not created this way.
    if (have_type && key_type != CKK_GENERIC_SECRET) alg = key_alg(key_type, 0);
    if (alg == 0) return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  return CKR_OK;
}

// The card value of a new object. The five CRT values are each left-padded
// to half the modulus length k: the card value is later cut into five
// equal parts.
CK_RV value_block(const AttrSet& a, CK_ULONG cls, std::size_t k, vorn::SecureBytes* out) {
  vorn::SecureBytes& block = *out;
  for (const auto& e : kTemplates[cls].value) {
    if (e.type == CKA_PRIVATE_EXPONENT) continue;
    if (e.type == CKA_PUBLIC_EXPONENT && cls == CKO_PUBLIC_KEY) {
      static const std::uint8_t kE8[8] = {0, 0, 0, 0, 0, 1, 0, 1};
      block.insert(block.end(), kE8, kE8 + 8);
      continue;
    }
    const Value& v = a.rows[attr_row(e.type)];
    if (cls == CKO_PRIVATE_KEY) {
      auto s = strip(v);
      const std::size_t half = k / 2;
      if (s.size() > half) return CKR_ATTRIBUTE_VALUE_INVALID;
      block.insert(block.end(), half - s.size(), 0);
      block.insert(block.end(), s.begin(), s.end());
    } else if (cls == CKO_PUBLIC_KEY) {
      auto s = strip(v);
      block.insert(block.end(), s.begin(), s.end());
    } else {
      block.insert(block.end(), v.data(), v.data() + v.size());
    }
  }
  return CKR_OK;
}

// Inside the open channel: a new card object with its value and attribute
// list. *made: the card holds the object (also when the list failed).
CK_RV card_object_new(const Slot& slot, std::uint8_t access, std::uint8_t alg, std::span<const std::uint8_t> value,
                      const CardList& list, std::uint32_t* id, bool* made) {
  const std::uint32_t key = slot_key(slot);
  vorn_rv crv = key_store(key, slot.card, access, alg, 0, value.data(), static_cast<DWORD>(value.size()), id);
  *made = crv == VORN_OK;
  if (*made) crv = obj_write_attrs(key, slot.card, *id, list.attrs.data(), static_cast<DWORD>(list.attrs.size()));
  return ckr_of(Fail::Store, crv);
}

// Writes a new object to the card; on success obj.card_id / kind are set.
CK_RV object_write(Slot& slot, Object& obj, CK_ULONG cls) {
  const std::uint8_t access = access_byte(obj, cls);
  WriteTarget to;
  CK_RV rv = write_target(slot, obj, cls, &to);
  if (rv != CKR_OK) return rv;
  vorn::SecureBytes block;
  rv = value_block(*obj.attrs, cls, to.k, &block);
  if (rv != CKR_OK) return rv;

  CardList list;
  card_list(obj, cls, &list);
  {
    CardOperation op;
    if (slot_op_begin(op, slot) != VORN_OK) return CKR_DEVICE_ERROR;
    rv = slot_op_open(op, slot, to.app);
    std::uint32_t id = 0;
    bool made = false;
    if (rv == CKR_OK) rv = card_object_new(slot, access, to.alg, block, list, &id, &made);
    if (rv == CKR_OK) {
      const bool keyish = cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY;
      if (!keyish || flag_of(obj, CKA_EXTRACTABLE)) id |= VORN_HANDLE_EXTRACTABLE;
      obj.card_id = id;
      obj.kind = static_cast<std::uint8_t>(id >> 16);
    }
    CK_RV lrv = slot_op_close(op);
    if (rv == CKR_OK) rv = lrv;
  }
  return rv;
}

// Write-access rule for the session state and the object.
CK_RV write_access(const Session& sess, const Object& obj) {
  bool priv = false, token = false;
  const bool has_priv = attr_bool(obj, CKA_PRIVATE, &priv);
  const bool has_token = attr_bool(obj, CKA_TOKEN, &token);
  if (!has_priv || !has_token) return CKR_OK;
  switch (sess.info.state) {
    case CKS_RO_PUBLIC_SESSION: return (priv || token) ? CKR_USER_NOT_LOGGED_IN : CKR_OK;
    case CKS_RO_USER_FUNCTIONS: return token ? CKR_SESSION_READ_ONLY : CKR_OK;
    case CKS_RW_PUBLIC_SESSION: return priv ? CKR_USER_NOT_LOGGED_IN : CKR_OK;
    default: return CKR_OK;
  }
}

// The object store's lookup: a private object without the user's login is
// no object at all here.
CK_RV lookup_in_slot(CK_OBJECT_HANDLE h, const Slot* slot, Object** obj) {
  Slot* oslot = nullptr;
  CK_RV rv = object_lookup(h, &oslot, obj);
  if (rv == CKR_USER_NOT_LOGGED_IN) return CKR_OBJECT_HANDLE_INVALID;
  if (rv != CKR_OK) return rv;
  return oslot == slot ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

std::uint8_t app_of_id(std::uint32_t id) { return id >= OBJ_PREFIX_SIGN ? CARD_APP_SIGN : CARD_APP_CIPH; }

// The card deletes private objects, private keys and secret keys only
// under a verified PIN.
bool delete_needs_pin(const Object& obj) {
  const CK_ULONG cls = class_of_kind(obj.kind);
  return flag_of(obj, CKA_PRIVATE) || (obj.kind & VORN_KIND_PRIVATE) != 0 || cls == CKO_PRIVATE_KEY ||
         cls == CKO_SECRET_KEY;
}

// Inside a transaction: deletes card object `id` under its application's
// channel (the held PIN verified there). *gone: the card no longer holds
// it, also when only the logout afterwards failed; a number the card
// reports free (6A88) is gone already.
CK_RV delete_on_card(CardOperation& op, Slot& slot, std::uint32_t id, bool* gone) {
  *gone = false;
  CK_RV rv = slot_op_open(op, slot, app_of_id(id));
  if (rv == CKR_OK) {
    rv = ckr_of(Fail::Delete, obj_delete(slot_key(slot), slot.card, id));
    *gone = rv == CKR_OK;
  }
  const CK_RV lrv = slot_op_close(op);
  return rv != CKR_OK ? rv : lrv;
}

// A data object's new value goes into a new card object carrying the
// object's attribute list; the old card object is deleted once the new one
// is complete. When a step fails the new object is taken off the card
// again, so that the card holds the old object alone; obj.card_id names
// the object the card keeps.
CK_RV value_rewrite(Slot& slot, Object& obj) {
  const Value& v = obj.attrs->rows[attr_row(CKA_VALUE)];
  const std::uint8_t access = access_byte(obj, CKO_DATA);
  CardList list;
  card_list(obj, CKO_DATA, &list);
  CardOperation op;
  if (slot_op_begin(op, slot) != VORN_OK) return CKR_DEVICE_ERROR;
  std::uint32_t id = 0;
  bool made = false;
  CK_RV rv = slot_op_open(op, slot, CARD_APP_CIPH);
  if (rv == CKR_OK) rv = card_object_new(slot, access, 0, {v.data(), v.size()}, list, &id, &made);
  const CK_RV lrv = slot_op_close(op);
  if (rv == CKR_OK) rv = lrv;
  bool old_gone = false;
  if (rv == CKR_OK) rv = delete_on_card(op, slot, obj.card_id, &old_gone);
  if (!old_gone) {
    bool undone = false;
    if (made) delete_on_card(op, slot, id, &undone);
    return rv;
  }
  obj.card_id = id | VORN_HANDLE_EXTRACTABLE;
  obj.kind = static_cast<std::uint8_t>(obj.card_id >> 16);
  return rv;
}

bool object_matches(const Object& obj, const std::vector<SearchAttr>& templ) {
  if (!obj.attrs) return false;
  for (const auto& a : templ) {
    int row = attr_row(a.type);
    const Value& v = obj.attrs->rows[row];
    if (!v.present() || v.size() != a.value.size()) return false;
    if (v.size() != 0 && std::memcmp(v.data(), a.value.data(), v.size()) != 0) return false;
  }
  return true;
}

}  // namespace

int attr_row(CK_ATTRIBUTE_TYPE type) {
  for (std::size_t i = 0; i < kAttrRows; ++i)
    if (kRows[i].type == type) return static_cast<int>(i);
  return -1;
}

const Value* attr_get(const Object& obj, CK_ATTRIBUTE_TYPE type) {
  int row = attr_row(type);
  if (row < 0 || !obj.attrs || !obj.attrs->rows[row].present()) return nullptr;
  return &obj.attrs->rows[row];
}

bool attr_bool(const Object& obj, CK_ATTRIBUTE_TYPE type, bool* value) {
  const Value* v = attr_get(obj, type);
  if (v == nullptr || v->size() < 1) return false;
  *value = v->data()[0] != 0;
  return true;
}

bool attr_ulong(const Object& obj, CK_ATTRIBUTE_TYPE type, CK_ULONG* value) {
  const Value* v = attr_get(obj, type);
  if (v == nullptr || v->size() != sizeof(CK_ULONG)) return false;
  std::memcpy(value, v->data(), sizeof(CK_ULONG));
  return true;
}

std::uint8_t object_app(const Object& obj) {
  return obj.card_id >= OBJ_PREFIX_SIGN ? CARD_APP_SIGN : CARD_APP_CIPH;
}

CK_RV objects_load(Slot& slot) {
  CK_RV rv;
  {
    CardOperation op;
    if (slot_op_begin(op, slot) != VORN_OK) return CKR_DEVICE_ERROR;
    std::size_t next = 0;
    rv = list_app(op, slot, CARD_APP_SIGN, &next);
    if (rv == CKR_OK) rv = list_app(op, slot, CARD_APP_CIPH, &next);
  }
  return rv;
}

void objects_drop_token(Slot& slot) {
  for (auto& o : slot.objects) o.reset();
}

void objects_drop_session(Session& sess) {
  for (auto& o : sess.objects) o.reset();
  sess.search = Search{};
}

CK_RV object_lookup(CK_OBJECT_HANDLE h, Slot** slot, Object** obj) {
  Guard g(kLockObjectLookup);
  if (h == 0) return CKR_OBJECT_HANDLE_INVALID;
  // A private object only for the slot's logged-in user.
  auto found = [&](Slot& sl, Object& o) {
    if (sl.login != CKU_USER && flag_of(o, CKA_PRIVATE)) return CKR_USER_NOT_LOGGED_IN;
    *slot = &sl;
    *obj = &o;
    return CKR_OK;
  };
  for (auto& sl : mod().slots) {
    for (auto& o : sl.objects) {
      if (o.handle == h) return found(sl, o);
    }
  }
  for (auto& sl : mod().slots) {
    for (auto& s : sl.sessions) {
      if (s.handle == 0) continue;
      for (auto& o : s.objects) {
        if (o.handle == h) return found(sl, o);
      }
    }
  }
  return CKR_OBJECT_HANDLE_INVALID;
}

void objects_forget_private(Slot& slot) {
  for (auto& o : slot.objects) {
    if (!o.used() || !o.attrs || !flag_of(o, CKA_PRIVATE)) continue;
    // Values the card gives back under the PIN are read again when needed;
    // a key's value the card never gives back stays (it is never served).
    const CK_ULONG cls = class_of_kind(o.kind);
    const bool readable =
        (cls != CKO_PRIVATE_KEY && cls != CKO_SECRET_KEY) || (o.card_id & VORN_HANDLE_EXTRACTABLE) != 0;
    if (o.card_id == 0 || !readable) continue;
    for (const auto& e : kTemplates[cls].value) o.attrs->rows[attr_row(e.type)].clear();
  }
  for (auto& s : slot.sessions) {
    if (s.handle == 0) continue;
    for (auto& o : s.objects)
      if (o.used() && flag_of(o, CKA_PRIVATE)) o.reset();
  }
}

CK_RV object_read_value(Slot& slot, Object& obj) {
  const std::uint32_t key = slot_key(slot);
  CK_ULONG cls = 0;
  if (!attr_ulong(obj, CKA_CLASS, &cls) || cls > CKO_SECRET_KEY) return CKR_GENERAL_ERROR;
  vorn::SecureBytes buf;
  CK_RV rv;
  {
    CardOperation op;
    if (slot_op_begin(op, slot) != VORN_OK) return CKR_DEVICE_ERROR;
    rv = slot_op_open(op, slot, object_app(obj));
    if (rv == CKR_OK) {
      DWORD size = 0;
      vorn_rv crv = obj_read_value(key, slot.card, obj.card_id, 0, nullptr, &size);
      if (crv == VORN_OK && size != 0) {
        buf.resize(size);
        DWORD len = size;
        crv = obj_read_value(key, slot.card, obj.card_id, 0, buf.data(), &len);
        if (crv == VORN_OK) buf.resize(len);
      }
      if (crv != VORN_OK) rv = CKR_DEVICE_ERROR;
    }
    CK_RV lrv = slot_op_close(op);
    if (rv == CKR_OK) rv = lrv;
  }
  if (rv != CKR_OK) return rv;
  AttrSet& a = *obj.attrs;
  if (cls == CKO_PUBLIC_KEY) {
    if (buf.size() < 8 + 3) return CKR_DEVICE_ERROR;
    a.rows[attr_row(CKA_MODULUS)].assign(buf.data(), buf.size() - 8);
    a.rows[attr_row(CKA_PUBLIC_EXPONENT)].assign(buf.data() + buf.size() - 3, 3);
  } else if (cls == CKO_PRIVATE_KEY) {
    if (buf.empty() || buf.size() % 5 != 0) return CKR_DEVICE_ERROR;
    const std::size_t part = buf.size() / 5;
    static const CK_ATTRIBUTE_TYPE kParts[5] = {CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                                                CKA_COEFFICIENT};
    for (int i = 0; i < 5; ++i) a.rows[attr_row(kParts[i])].assign(buf.data() + i * part, part);
    fill_private_exponent(a);
  } else {
    a.rows[attr_row(CKA_VALUE)].assign(buf.data(), buf.size());
  }
  return CKR_OK;
}

CK_RV template_check(CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_ULONG* cls_out) {
  // Class first: it decides which types are allowed.
  CK_ULONG cls = ~0UL;
  for (CK_ULONG i = 0; i < n; ++i) {
    if (t[i].type == CKA_CLASS) {
      if (t[i].pValue == nullptr || t[i].ulValueLen != sizeof(CK_ULONG)) return CKR_TEMPLATE_INCONSISTENT;
      std::memcpy(&cls, t[i].pValue, sizeof cls);
    }
  }
  if (cls == ~0UL) return CKR_TEMPLATE_INCOMPLETE;
  if (cls > CKO_SECRET_KEY) return CKR_ATTRIBUTE_VALUE_INVALID;
  const CK_RV rv = template_check_ops(t, n, cls, 0x30);
  if (rv == CKR_OK) *cls_out = cls;
  return rv;
}

// Builds an object's attribute set from a creation template of class cls.
CK_RV object_build(CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_ULONG cls, std::unique_ptr<AttrSet>* out) {
  Guard g(kLockObjectBuild);
  auto set = std::make_unique<AttrSet>();
  for (const auto& e : kTemplates[cls].attrs) apply_default(*set, e);
  for (const auto& e : kTemplates[cls].value) apply_default(*set, e);
  for (CK_ULONG i = 0; i < n; ++i) set->rows[attr_row(t[i].type)].assign(t[i].pValue, t[i].ulValueLen);
  Value& modulus = set->rows[attr_row(CKA_MODULUS)];
  Value& key_id = set->rows[attr_row(kAttrKeyId)];
  if (cls == CKO_PUBLIC_KEY && !set->rows[attr_row(CKA_MODULUS_BITS)].present()) {
    set_ulong(*set, attr_row(CKA_MODULUS_BITS), 8 * strip(modulus).size());
  }
  if ((cls == CKO_PUBLIC_KEY || cls == CKO_PRIVATE_KEY) && !key_id.present()) {
    std::uint8_t id[20];
    auto m = strip(modulus);
    if (key_id_of_modulus(m.data(), static_cast<DWORD>(m.size()), id) != VORN_OK) return CKR_GENERAL_ERROR;
    key_id.assign(id, 20);
  }
  if (cls == CKO_CERTIFICATE && !key_id.present()) {
    const Value& v = set->rows[attr_row(CKA_VALUE)];
    std::uint8_t id[20];
    if (cert_key_id(v.data(), static_cast<DWORD>(v.size()), id) != VORN_OK) return CKR_GENERAL_ERROR;
    key_id.assign(id, 20);
  }
  *out = std::move(set);
  return CKR_OK;
}

// Key checks of C_CreateObject: exponent, key type and size.
CK_RV key_checks(CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_ULONG cls) {
  auto find = [&](CK_ATTRIBUTE_TYPE type) -> const CK_ATTRIBUTE* {
    for (CK_ULONG i = 0; i < n; ++i)
      if (t[i].type == type) return &t[i];
    return nullptr;
  };
  if (cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY && cls != CKO_SECRET_KEY) return CKR_OK;
  const CK_ATTRIBUTE* e = find(CKA_PUBLIC_EXPONENT);
  if (cls == CKO_PUBLIC_KEY && e != nullptr) {
    // 65537, with or without leading zero bytes.
    const auto* p = static_cast<const std::uint8_t*>(e->pValue);
    CK_ULONG i = 0;
    while (i < e->ulValueLen && p[i] == 0) ++i;
    if (e->ulValueLen - i != 3 || std::memcmp(p + i, kE65537, 3) != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  CK_ULONG kt = 0;
  const CK_ATTRIBUTE* kta = find(CKA_KEY_TYPE);
  std::memcpy(&kt, kta->pValue, sizeof kt);
  bool known = false;
  for (const auto& m : mechanism_table())
    if (m.key_type == kt && (kt != CKK_VENDOR_DEFINED)) known = true;
  if (!known) return CKR_ATTRIBUTE_VALUE_INVALID;
  if (cls != CKO_SECRET_KEY) {
    if (kt != CKK_RSA) return CKR_ATTRIBUTE_VALUE_INVALID;
    const CK_ATTRIBUTE* m = find(CKA_MODULUS);
    const auto* p = static_cast<const std::uint8_t*>(m->pValue);
    CK_ULONG i = 0;
    while (i < m->ulValueLen && p[i] == 0) ++i;
    const CK_ULONG len = m->ulValueLen - i;
    return (len == 128 || len == 256) ? CKR_OK : CKR_ATTRIBUTE_VALUE_INVALID;
  }
  const CK_ATTRIBUTE* v = find(CKA_VALUE);
  const CK_ULONG len = v->ulValueLen;
  bool ok = false;
  switch (kt) {
    case CKK_RC2: ok = len >= 1 && len <= 128; break;
    case CKK_RC4: ok = len >= 1 && len <= 24; break;
    case CKK_DES: ok = len == 8; break;
    case CKK_DES2: ok = len == 16; break;
    case CKK_DES3: ok = len == 24; break;
    case CKK_AES: ok = len == 16 || len == 32; break;
    case CKK_GENERIC_SECRET: ok = len >= 1; break;
    default: ok = false;
  }
  return ok ? CKR_OK : CKR_ATTRIBUTE_VALUE_INVALID;
}

// Store steps shared with key generation, unwrapping and derivation
// (keygen.cpp, wrap.cpp; declared in keyops.h).

// Template check of a known class with other operation bits than creation's
// 0x30 (generation 0x0C, unwrapping 0x03).
CK_RV template_check_ops(CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_ULONG cls, std::uint8_t ops) {
  if (cls > CKO_SECRET_KEY) return CKR_TEMPLATE_INCONSISTENT;
  for (CK_ULONG i = 0; i < n; ++i) {
    int row = attr_row(t[i].type);
    if (row < 3 || row > 59 || !class_allows(row, cls)) return CKR_ATTRIBUTE_TYPE_INVALID;
    if (t[i].pValue == nullptr && t[i].ulValueLen != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
    const std::size_t fl = fixed_len(row);
    if (fl != 0 && t[i].ulValueLen != fl) return CKR_TEMPLATE_INCONSISTENT;
  }
  for (const Rule& r : kRules[cls]) {
    const bool given = std::any_of(t, t + n, [&](const CK_ATTRIBUTE& a) { return a.type == r.type; });
    const std::uint8_t bits = r.mask & ops;
    if (bits == ops && !given) return CKR_TEMPLATE_INCOMPLETE;
    if (bits == 0 && given) return CKR_TEMPLATE_INCONSISTENT;
  }
  return CKR_OK;
}

CK_RV store_write(Slot& slot, Object& obj, CK_ULONG cls) { return object_write(slot, obj, cls); }
CK_RV store_write_access(const Session& sess, const Object& obj) { return write_access(sess, obj); }
CK_RV store_new_handle(CK_OBJECT_HANDLE* out) { return new_object_handle(out); }

// Writes the attribute part of a key the card has just made; the channel of
// the object's application is open.
CK_RV store_write_attrs(Slot& slot, const Object& obj, CK_ULONG cls) {
  CardList list;
  card_list(obj, cls, &list);
  vorn_rv rv = obj_write_attrs(slot_key(slot), slot.card, obj.card_id, list.attrs.data(),
                               static_cast<DWORD>(list.attrs.size()));
  return ckr_of(Fail::Store, rv);
}

namespace {

// What RSA keys may be used with: the RSA rows of the mechanism table.
const CK_MECHANISM_TYPE kRsaMechanisms[] = {CKM_RSA_PKCS,           CKM_RSA_X_509,          CKM_RSA_PKCS_PSS,
                                            CKM_SHA1_RSA_PKCS,      CKM_SHA256_RSA_PKCS,    CKM_SHA384_RSA_PKCS,
                                            CKM_SHA512_RSA_PKCS,    CKM_SHA256_RSA_PKCS_PSS, CKM_SHA384_RSA_PKCS_PSS,
                                            CKM_SHA512_RSA_PKCS_PSS};

// Attributes answered from the object's kind rather than its attribute
// list, for clients that ask before they use a key: CKA_ALWAYS_AUTHENTICATE
// of a private key (false: the login covers every use) and
// CKA_ALLOWED_MECHANISMS of an RSA key. False for any other attribute.
bool derived_attr(const Object& obj, CK_ULONG cls, CK_ATTRIBUTE& a, CK_RV* result) {
  const void* src = nullptr;
  std::size_t n = 0;
  static const CK_BBOOL kFalseValue = CK_FALSE;
  CK_ULONG kt = 0;
  if (a.type == CKA_ALWAYS_AUTHENTICATE && cls == CKO_PRIVATE_KEY) {
    src = &kFalseValue;
    n = sizeof kFalseValue;
  } else if (a.type == CKA_ALLOWED_MECHANISMS && (cls == CKO_PRIVATE_KEY || cls == CKO_PUBLIC_KEY) &&
             attr_ulong(obj, CKA_KEY_TYPE, &kt) && kt == CKK_RSA) {
    src = kRsaMechanisms;
    n = sizeof kRsaMechanisms;
  } else {
    return false;
  }
  if (a.pValue == nullptr) {
    a.ulValueLen = n;
  } else if (a.ulValueLen < n) {
    a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
    *result = CKR_BUFFER_TOO_SMALL;
  } else {
    std::memcpy(a.pValue, src, n);
    a.ulValueLen = n;
  }
  return true;
}

// The start of C_GetAttributeValue and C_SetAttributeValue: the session,
// the template, the token, and hObject an object of the session's slot.
struct ObjectAt {
  Slot* slot = nullptr;
  Session* sess = nullptr;
  Object* obj = nullptr;
};
CK_RV attr_entry(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE ho, CK_ATTRIBUTE_PTR t, CK_ULONG n, ObjectAt* at) {
  CK_RV rv = session_lookup(h, &at->slot, &at->sess);
  if (rv != CKR_OK) return rv;
  if (t == nullptr || n == 0) return CKR_ARGUMENTS_BAD;
  rv = entry_token(h, *at->slot, *at->sess, Refresh::Store);
  if (rv != CKR_OK) return rv;
  rv = lookup_in_slot(ho, at->slot, &at->obj);
  if (rv != CKR_OK) return rv;
  return at->obj->attrs ? CKR_OK : CKR_GENERAL_ERROR;
}

}  // namespace

}  // namespace p11

using namespace p11;

static CK_RV C_FindObjectsInit_body(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  Slot* slot = nullptr;
  Session* sess = nullptr;
  CK_RV rv = session_lookup(hSession, &slot, &sess);
  if (rv != CKR_OK) return rv;
  if (pTemplate == nullptr && ulCount > 0) return CKR_ARGUMENTS_BAD;
  rv = entry_token(hSession, *slot, *sess, Refresh::Store);
  if (rv != CKR_OK) return rv;
  if (sess->search.active) return CKR_OPERATION_ACTIVE;
  for (CK_ULONG i = 0; i < ulCount; ++i) {
    int row = attr_row(pTemplate[i].type);
    if (row < 0) return CKR_ATTRIBUTE_TYPE_INVALID;
    const std::size_t fl = fixed_len(row);
    if (fl != 0 && pTemplate[i].ulValueLen != fl) return CKR_ATTRIBUTE_VALUE_INVALID;
    if (pTemplate[i].pValue == nullptr && pTemplate[i].ulValueLen != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  Search& s = sess->search;
  {
    Guard tg(kLockTemplateCopy);
    s.templ.clear();
    for (CK_ULONG i = 0; i < ulCount; ++i) {
      SearchAttr a;
      a.type = pTemplate[i].type;
      a.value.assign(pTemplate[i].pValue, pTemplate[i].ulValueLen);
      s.templ.push_back(std::move(a));
    }
  }
  s.active = true;
  s.results.clear();
  for (const auto& o : slot->objects)
    if (o.used() && object_matches(o, s.templ)) s.results.push_back(o.handle);
  for (const auto& o : sess->objects)
    if (o.used() && object_matches(o, s.templ)) s.results.push_back(o.handle);
  s.pos = 0;
  return CKR_OK;
}

static CK_RV C_FindObjects_body(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                                    CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
  if (phObject == nullptr || ulMaxObjectCount == 0 || pulObjectCount == nullptr) return CKR_ARGUMENTS_BAD;
  *pulObjectCount = 0;
  Slot* slot = nullptr;
  Session* sess = nullptr;
  const CK_RV rv = entry_open(hSession, &slot, &sess, Refresh::Store);
  if (rv != CKR_OK) return rv;
  Search& s = sess->search;
  if (!s.active) return CKR_OPERATION_NOT_INITIALIZED;
  const CK_STATE st = sess->info.state;
  const bool hide_private = st == CKS_RO_PUBLIC_SESSION || st == CKS_RW_PUBLIC_SESSION || st == CKS_RW_SO_FUNCTIONS;
  CK_ULONG n = 0;
  while (s.pos < s.results.size() && n < ulMaxObjectCount) {
    const CK_OBJECT_HANDLE h = s.results[s.pos++];
    Slot* oslot = nullptr;
    Object* obj = nullptr;
    if (object_lookup(h, &oslot, &obj) != CKR_OK) continue;  // destroyed meanwhile
    bool priv = false;
    if (hide_private && attr_bool(*obj, CKA_PRIVATE, &priv) && priv) continue;
    phObject[n++] = h;
  }
  *pulObjectCount = n;
  return CKR_OK;
}

static CK_RV C_FindObjectsFinal_body(CK_SESSION_HANDLE hSession) {
  Slot* slot = nullptr;
  Session* sess = nullptr;
  const CK_RV rv = entry_open(hSession, &slot, &sess, Refresh::Store);
  if (rv != CKR_OK) return rv;
  if (!sess->search.active) return CKR_OPERATION_NOT_INITIALIZED;
  sess->search = Search{};
  return CKR_OK;
}

static CK_RV C_GetAttributeValue_body(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  ObjectAt at;
  CK_RV rv = attr_entry(hSession, hObject, pTemplate, ulCount, &at);
  if (rv != CKR_OK) return rv;
  Slot* const slot = at.slot;
  Object* const obj = at.obj;
  bool b = false;
  const bool withhold = (attr_bool(*obj, CKA_SENSITIVE, &b) && b) || (attr_bool(*obj, CKA_EXTRACTABLE, &b) && !b);
  CK_ULONG cls = 0;
  if (!attr_ulong(*obj, CKA_CLASS, &cls)) return CKR_GENERAL_ERROR;
  const bool keyish = cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY;
  CK_RV result = CKR_OK;
  for (CK_ULONG i = 0; i < ulCount; ++i) {
    CK_ATTRIBUTE& a = pTemplate[i];
    if (derived_attr(*obj, cls, a, &result)) continue;
    const int row = attr_row(a.type);
    if (row < 3 || row > 59 || !class_allows(row, cls)) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_ATTRIBUTE_TYPE_INVALID;
      continue;
    }
    const bool secret = keyish && contains(kSecretParts, a.type);
    if (secret && withhold) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_ATTRIBUTE_SENSITIVE;
      continue;
    }
    Value* v = &obj->attrs->rows[row];
    const bool lazy = secret || a.type == CKA_VALUE || a.type == CKA_MODULUS || a.type == CKA_PUBLIC_EXPONENT;
    if (!v->present() && lazy && obj->card_id != 0) {
      rv = object_read_value(*slot, *obj);
      if (rv != CKR_OK) return rv;
    }
    if (!v->present() && cls == CKO_PRIVATE_KEY && a.type == CKA_PRIVATE_EXPONENT) fill_private_exponent(*obj->attrs);
    if (!v->present()) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_ATTRIBUTE_TYPE_INVALID;
      continue;
    }
    if (a.pValue == nullptr) {
      a.ulValueLen = v->size();
      continue;
    }
    if (a.ulValueLen < v->size()) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_BUFFER_TOO_SMALL;
      continue;
    }
    if (v->size() != 0) std::memcpy(a.pValue, v->data(), v->size());
    a.ulValueLen = v->size();
  }
  return result;
}

static CK_RV C_SetAttributeValue_body(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  ObjectAt at;
  CK_RV rv = attr_entry(hSession, hObject, pTemplate, ulCount, &at);
  if (rv != CKR_OK) return rv;
  Slot* const slot = at.slot;
  Object* const obj = at.obj;
  rv = write_access(*at.sess, *obj);
  if (rv != CKR_OK) return rv;
  bool b = false;
  if (!attr_bool(*obj, CKA_MODIFIABLE, &b) || !b) return CKR_TEMPLATE_INCONSISTENT;
  for (CK_ULONG i = 0; i < ulCount; ++i) {
    const CK_ATTRIBUTE& a = pTemplate[i];
    if (a.type != CKA_SENSITIVE && a.type != CKA_EXTRACTABLE) continue;
    const bool val = a.pValue != nullptr && a.ulValueLen >= 1 && *static_cast<const CK_BBOOL*>(a.pValue) != 0;
    if (a.type == CKA_SENSITIVE && !val) return CKR_ATTRIBUTE_READ_ONLY;
    if (a.type == CKA_EXTRACTABLE && val) return CKR_ATTRIBUTE_READ_ONLY;
  }
  bool token = false;
  CK_ULONG cls = 0;
  if (!attr_bool(*obj, CKA_TOKEN, &token) || !attr_ulong(*obj, CKA_CLASS, &cls)) return CKR_OK;
  if (cls > CKO_SECRET_KEY) return CKR_TEMPLATE_INCONSISTENT;
  for (CK_ULONG i = 0; i < ulCount; ++i) {
    const CK_ATTRIBUTE& a = pTemplate[i];
    const int row = attr_row(a.type);
    if (row < 3 || row > 59 || !class_allows(row, cls)) return CKR_TEMPLATE_INCONSISTENT;
    const std::size_t fl = fixed_len(row);
    if (fl != 0 && a.ulValueLen != fl) return CKR_TEMPLATE_INCONSISTENT;
    if (a.pValue == nullptr && a.ulValueLen != 0) return CKR_TEMPLATE_INCONSISTENT;
  }
  for (CK_ULONG i = 0; i < ulCount; ++i) {
    const CK_ATTRIBUTE_TYPE t = pTemplate[i].type;
    const bool ok = cls == CKO_DATA ? contains(kSetData, t) : cls == CKO_CERTIFICATE ? contains(kSetCert, t)
                                                                                    : contains(kSetKey, t);
    if (!ok) return CKR_ATTRIBUTE_READ_ONLY;
  }
  bool new_value = false;
  for (CK_ULONG i = 0; i < ulCount; ++i) {
    obj->attrs->rows[attr_row(pTemplate[i].type)].assign(pTemplate[i].pValue, pTemplate[i].ulValueLen);
    if (cls == CKO_DATA && pTemplate[i].type == CKA_VALUE && pTemplate[i].ulValueLen != 0) new_value = true;
  }
  if (!token || obj->card_id == 0) return CKR_OK;
  if (slot->token.flags & CKF_WRITE_PROTECTED) return CKR_TOKEN_WRITE_PROTECTED;
  if (new_value) return value_rewrite(*slot, *obj);
  const std::uint32_t key = slot_key(*slot);
  CardOperation op;
  if (slot_op_begin(op, *slot) != VORN_OK) return CKR_DEVICE_ERROR;
  CardList list;
  card_list(*obj, cls, &list);
  rv = slot_op_open(op, *slot, object_app(*obj));
  if (rv == CKR_OK && obj_write_attrs(key, slot->card, obj->card_id, list.attrs.data(),
                                      static_cast<DWORD>(list.attrs.size())) != VORN_OK)
    rv = CKR_DEVICE_ERROR;
  CK_RV lrv = slot_op_close(op);
  return rv != CKR_OK ? rv : lrv;
}

static CK_RV C_CreateObject_body(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                                     CK_OBJECT_HANDLE_PTR phObject) {
  Slot* slot = nullptr;
  Session* sess = nullptr;
  CK_RV rv = session_lookup(hSession, &slot, &sess);
  if (rv != CKR_OK) return rv;
  if (pTemplate == nullptr || ulCount == 0 || phObject == nullptr) return CKR_ARGUMENTS_BAD;
  CK_ULONG cls = 0;
  rv = template_check(pTemplate, ulCount, &cls);
  if (rv != CKR_OK) return rv;
  rv = entry_token(hSession, *slot, *sess, Refresh::Store);
  if (rv != CKR_OK) return rv;
  rv = key_checks(pTemplate, ulCount, cls);
  if (rv != CKR_OK) return rv;
  Object fresh;
  rv = object_build(pTemplate, ulCount, cls, &fresh.attrs);
  if (rv != CKR_OK) return rv;
  rv = write_access(*sess, fresh);
  if (rv != CKR_OK) return rv;
  const bool token = flag_of(fresh, CKA_TOKEN);
  if (token && (slot->token.flags & CKF_WRITE_PROTECTED)) return CKR_TOKEN_WRITE_PROTECTED;
  Object* place = token ? free_entry(slot->objects) : free_entry(sess->objects);
  if (place == nullptr) return CKR_HOST_MEMORY;
  if (token) {
    rv = object_write(*slot, fresh, cls);
    if (rv != CKR_OK) return rv;
  }
  rv = new_object_handle(&fresh.handle);
  if (rv != CKR_OK) return rv;
  *place = std::move(fresh);
  *phObject = place->handle;
  return CKR_OK;
}

static CK_RV C_DestroyObject_body(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  Slot* slot = nullptr;
  Session* sess = nullptr;
  CK_RV rv = entry_open(hSession, &slot, &sess, Refresh::Store);
  if (rv != CKR_OK) return rv;
  Object* obj = nullptr;
  rv = lookup_in_slot(hObject, slot, &obj);
  if (rv != CKR_OK) return rv;
  if (write_access(*sess, *obj) != CKR_OK) return CKR_SESSION_READ_ONLY;
  bool token = false;
  if (!attr_bool(*obj, CKA_TOKEN, &token)) return CKR_OK;
  rv = CKR_OK;
  if (token || obj->card_id != 0) {
    if (slot->token.flags & CKF_WRITE_PROTECTED) return CKR_TOKEN_WRITE_PROTECTED;
    // Refused here, not by the card: the object must outlive the refusal.
    if (delete_needs_pin(*obj) && !logged_in(*slot)) return CKR_USER_NOT_LOGGED_IN;
    if (obj->card_id != 0) {
      CardOperation op;
      if (slot_op_begin(op, *slot) != VORN_OK) return CKR_DEVICE_ERROR;
      bool gone = false;
      rv = delete_on_card(op, *slot, obj->card_id, &gone);
      if (!gone) return rv;  // the card keeps the object, and so does the module
    }
  }
  obj->reset();
  return rv;
}

// The exported functions: the body of each behind the boundary of entry.h.
VORN_P11_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  return p11_module([&] { return C_FindObjectsInit_body(hSession, pTemplate, ulCount); });
}

VORN_P11_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
  return p11_module([&] { return C_FindObjects_body(hSession, phObject, ulMaxObjectCount, pulObjectCount); });
}

VORN_P11_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  return p11_module([&] { return C_FindObjectsFinal_body(hSession); });
}

VORN_P11_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  return p11_module([&] { return C_GetAttributeValue_body(hSession, hObject, pTemplate, ulCount); });
}

VORN_P11_EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  return p11_module([&] { return C_SetAttributeValue_body(hSession, hObject, pTemplate, ulCount); });
}

VORN_P11_EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phObject) {
  return p11_module([&] { return C_CreateObject_body(hSession, pTemplate, ulCount, phObject); });
}

VORN_P11_EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  return p11_module([&] { return C_DestroyObject_body(hSession, hObject); });
}
