// The key-container map of the card (object 0xC0000028 of AP-CIPH) and the
// records that mirror it. See containers.h for the entry layout.
#include "containers.h"

#include <algorithm>
#include <cstring>

#include "vorn/secure.h"

#ifdef _WIN32
#include <rpc.h>
#endif

namespace {

constexpr vorn_rv kStorageFull = 0x8009002B;  // NTE_TOKEN_KEYSET_STORAGE_FULL
constexpr vorn_rv kNoMemory = 8;              // ERROR_NOT_ENOUGH_MEMORY
constexpr vorn_rv kNoObject = 0x20006A88;     // 6A 88: free object number
constexpr unsigned long kAttrModulus = 0x120;
constexpr unsigned long kAttrExponent = 0x122;
constexpr unsigned long kAttrKeyId = 0x8004;
constexpr unsigned long kAttrLocal = 0x163;  // generated on the card

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool of_slot(const CmapRecord& r, const CmapSlot& s) { return r.in_use != 0 && r.slot == s.slot; }
bool container_of_slot(const CmapRecord& r, const CmapSlot& s) {
  return of_slot(r, s) && r.card_backed != 0;
}

// Offset of the field block (flags byte) in a valid entry.
std::size_t fields_at(const std::vector<std::uint8_t>& e) {
  return 2 + (static_cast<std::size_t>(e[0]) | (static_cast<std::size_t>(e[1]) << 8));
}

// The record's entry, or null when its cell is empty or malformed.
std::vector<std::uint8_t>* entry_of(const CmapSlot& s, const CmapRecord& r) {
  if (s.cache == nullptr || r.map_index >= CMAP_ENTRIES) return nullptr;
  std::vector<std::uint8_t>& e = s.cache->cells[r.map_index].entry;
  CmapEntry d;
  if (cmap_entry_decode(e, &d) != VORN_OK) return nullptr;
  return &e;
}

// Field offsets after the flags byte: side 0 signature, 1 exchange; field 0
// bits, 1 private, 2 public, 3 certificate.
std::size_t field_off(int side, int field) { return 1 + 16 * static_cast<std::size_t>(side) + 4 * static_cast<std::size_t>(field); }

void entry_set(std::vector<std::uint8_t>* e, int side, int field, std::uint32_t v) {
  if (e == nullptr) return;
  put_le32(e->data() + fields_at(*e) + field_off(side, field), v);
}

void entry_set_default(std::vector<std::uint8_t>* e, bool on) {
  if (e == nullptr) return;
  std::uint8_t& f = (*e)[fields_at(*e)];
  f = static_cast<std::uint8_t>(on ? (f | 1) : (f & ~1));
}

int side_of(std::uint32_t id) {
  if (cmap_side(id) == 0xF) return 0;
  if (cmap_side(id) == 0xC) return 1;
  return -1;
}

CmapKeyPair& pair_of(CmapRecord& r, int side) { return side == 0 ? r.sig : r.exch; }

void pair_init(CmapKeyPair& p, int side) {
  p.alg = side == 0 ? CMAP_ALG_RSA_SIGN : CMAP_ALG_RSA_KEYX;
  p.permissions = side == 0 ? CMAP_PERMS_SIGN : CMAP_PERMS_KEYX;
}

void pair_clear(CmapKeyPair& p) {
  p = CmapKeyPair{};
}

// One attribute of an object, sizes first then contents.
vorn_rv read_attr(const CmapSlot& s, std::uint32_t id, unsigned long type,
                  std::vector<std::uint8_t>* out) {
  CardAttr a{type, nullptr, 0};
  vorn_rv rv = obj_read_attrs(s.slot, s.card, id, &a, 1);
  if (rv != VORN_OK) return rv;
  out->assign(a.len, 0);
  if (a.len == 0) return VORN_OK;
  const unsigned long want = a.len;
  a.value = out->data();
  rv = obj_read_attrs(s.slot, s.card, id, &a, 1);
  if (rv == VORN_OK && a.len != want) rv = CARDERR_UNKNOWN;  // changed between the reads
  return rv;
}

vorn_rv read_key_id(const CmapSlot& s, std::uint32_t id, std::uint8_t* id20) {
  std::vector<std::uint8_t> v;
  vorn_rv rv = read_attr(s, id, kAttrKeyId, &v);
  if (rv != VORN_OK) return rv;
  if (v.size() != 20) return CARDERR_UNKNOWN;
  std::memcpy(id20, v.data(), 20);
  return VORN_OK;
}

vorn_rv read_value(const CmapSlot& s, std::uint32_t id, std::vector<std::uint8_t>* out) {
  DWORD len = 0;
  vorn_rv rv = obj_read_value(s.slot, s.card, id, 0, nullptr, &len);
  if (rv != VORN_OK) return rv;
  if (len == 0) return CARDERR_UNKNOWN;
  out->assign(len, 0);
  DWORD got = len;
  rv = obj_read_value(s.slot, s.card, id, 0, out->data(), &got);
  if (rv != VORN_OK) return rv;
  if (got != len) return CARDERR_UNKNOWN;
  return VORN_OK;
}

std::vector<std::uint8_t> strip_zeros(const std::uint8_t* p, std::size_t n) {
  while (n > 1 && *p == 0) {
    ++p;
    --n;
  }
  return std::vector<std::uint8_t>(p, p + n);
}

// The public exponent INTEGER that follows the modulus in a certificate's
// subject public key.
vorn_rv cert_exponent(const std::uint8_t* cert, DWORD cert_len, const std::uint8_t* mod_end,
                      std::vector<std::uint8_t>* e) {
  const std::size_t at = static_cast<std::size_t>(mod_end - cert);
  if (at + 2 > cert_len || mod_end[0] != 0x02) return CARDERR_UNKNOWN;
  const std::size_t n = mod_end[1];
  if (n == 0 || n > 8 || at + 2 + n > cert_len) return CARDERR_UNKNOWN;
  *e = strip_zeros(mod_end + 2, n);
  return VORN_OK;
}

std::size_t first_free(CmapTable& t) {
  for (std::size_t i = 0; i < t.size(); ++i)
    if (t.at(i).in_use == 0) return i;
  return t.size();
}

void fill_container(CmapRecord& r, const CmapSlot& s) {
  r.handle_issued = 0;
  r.in_use = 1;
  r.card = s.card;
  r.slot = s.slot;
  r.reader_name = s.reader_name;
  r.card_random = 0;
  r.card_backed = 1;
  pair_init(r.sig, 0);
  pair_init(r.exch, 1);
}

bool has_id(const std::uint32_t* ids, DWORD count, std::uint32_t id) {
  return std::find(ids, ids + count, id) != ids + count;
}

}  // namespace

vorn_rv cmap_entry_decode(std::span<const std::uint8_t> entry, CmapEntry* out) {
  if (out == nullptr) return CARDERR_BAD_ARG;
  if (entry.size() < 2) return CARDERR_UNKNOWN;
  const std::uint16_t n = static_cast<std::uint16_t>(entry[0] | (entry[1] << 8));
  if (n > CMAP_NAME_MAX || entry.size() < static_cast<std::size_t>(n) + CMAP_FIXED_LEN)
    return CARDERR_UNKNOWN;
  const std::uint8_t* f = entry.data() + 2 + n;
  out->name_len = n;
  out->name = entry.data() + 2;
  out->flags = f[0];
  out->sig_bits = le32(f + 1);
  out->sig_priv = le32(f + 5);
  out->sig_pub = le32(f + 9);
  out->sig_cert = le32(f + 13);
  out->exch_bits = le32(f + 17);
  out->exch_priv = le32(f + 21);
  out->exch_pub = le32(f + 25);
  out->exch_cert = le32(f + 29);
  return VORN_OK;
}

std::vector<std::uint8_t> cmap_entry_new(const char* name, std::uint32_t name_len, bool is_default) {
  if (name == nullptr || name_len > CMAP_NAME_MAX) return {};
  std::vector<std::uint8_t> e(name_len + CMAP_FIXED_LEN, 0);
  e[0] = static_cast<std::uint8_t>(name_len);
  e[1] = static_cast<std::uint8_t>(name_len >> 8);
  if (name_len != 0) std::memcpy(e.data() + 2, name, name_len);
  e[2 + name_len] = is_default ? 1 : 0;
  return e;
}

vorn_rv cmap_write_back(const CmapSlot& s) {
  if (s.cache == nullptr) return CARDERR_BAD_ARG;
  CardAttr t[CMAP_ENTRIES];
  for (unsigned i = 0; i < CMAP_ENTRIES; ++i) {
    CmapCell& c = s.cache->cells[i];
    t[i] = CardAttr{c.tag, c.entry.empty() ? nullptr : c.entry.data(),
                    static_cast<unsigned long>(c.entry.size())};
  }
  return obj_write_attrs(s.slot, s.card, CMAP_OBJECT, t, CMAP_ENTRIES);
}

vorn_rv cmap_load(CmapTable& t, const CmapSlot& s, bool discard_stale, bool* discarded) {
  if (s.cache == nullptr) return CARDERR_BAD_ARG;
  if (discarded != nullptr) *discarded = false;
  s.cache->clear();
  // Sizes first. The card keeps the map object without a list until the
  // first write: that reads as ten free entries.
  CardAttr a[CMAP_ENTRIES];
  for (unsigned i = 0; i < CMAP_ENTRIES; ++i) a[i] = CardAttr{i, nullptr, 0};
  vorn_rv rv = obj_read_attrs(s.slot, s.card, CMAP_OBJECT, a, CMAP_ENTRIES);
  if (rv != VORN_OK) return rv;
  CmapCache fresh;
  bool any = false;
  for (unsigned i = 0; i < CMAP_ENTRIES; ++i) {
    if (a[i].len == 0) continue;
    if (a[i].len > CMAP_NAME_MAX + 2 + CMAP_FIXED_LEN) return CARDERR_UNKNOWN;
    fresh.cells[i].entry.assign(a[i].len, 0);
    a[i].value = fresh.cells[i].entry.data();
    any = true;
  }
  if (any) {
    // Absent entries are asked for with a zero-length buffer of their own.
    std::uint8_t dummy = 0;
    for (unsigned i = 0; i < CMAP_ENTRIES; ++i)
      if (a[i].value == nullptr) a[i].value = &dummy;
    unsigned long want[CMAP_ENTRIES];
    for (unsigned i = 0; i < CMAP_ENTRIES; ++i) want[i] = a[i].len;
    rv = obj_read_attrs(s.slot, s.card, CMAP_OBJECT, a, CMAP_ENTRIES);
    if (rv != VORN_OK) return rv;
    for (unsigned i = 0; i < CMAP_ENTRIES; ++i)
      if (a[i].len != want[i]) return CARDERR_UNKNOWN;
  }
  CmapEntry d[CMAP_ENTRIES];
  for (unsigned i = 0; i < CMAP_ENTRIES; ++i) {
    if (fresh.cells[i].entry.empty()) continue;
    rv = cmap_entry_decode(fresh.cells[i].entry, &d[i]);
    if (rv != VORN_OK) return rv;  // a malformed entry: nothing taken over
  }
  *s.cache = std::move(fresh);

  if (discard_stale) {
    for (std::size_t r = 0; r < t.size(); ++r) {
      CmapRecord& rec = t.at(r);
      if (!of_slot(rec, s)) continue;
      bool found = false;
      for (unsigned i = 0; i < CMAP_ENTRIES && !found; ++i) {
        if (s.cache->cells[i].entry.empty()) continue;
        found = d[i].name_len == rec.name_len &&
                std::memcmp(d[i].name, rec.name, rec.name_len) == 0;
      }
      if (!found) {
        t.release(r);
        if (discarded != nullptr) *discarded = true;
      }
    }
  }

  for (unsigned i = 0; i < CMAP_ENTRIES; ++i) {
    if (s.cache->cells[i].entry.empty()) continue;
    bool known = false;
    for (std::size_t r = 0; r < t.size(); ++r) {
      CmapRecord& rec = t.at(r);
      if (container_of_slot(rec, s) && rec.map_index == i) {
        rec.card = s.card;
        known = true;
      }
    }
    if (known) continue;
    const std::size_t r = first_free(t);
    if (r == t.size()) return kStorageFull;
    CmapRecord& rec = t.at(r);
    fill_container(rec, s);
    rec.map_index = static_cast<std::uint8_t>(i);
    rec.name_len = d[i].name_len;
    std::memset(rec.name, 0, sizeof rec.name);
    std::memcpy(rec.name, d[i].name, d[i].name_len);
    rec.is_default = d[i].flags & 1;
    const std::uint32_t f[2][4] = {{d[i].sig_bits, d[i].sig_priv, d[i].sig_pub, d[i].sig_cert},
                                   {d[i].exch_bits, d[i].exch_priv, d[i].exch_pub, d[i].exch_cert}};
    for (int side = 0; side < 2; ++side) {
      CmapKeyPair& p = pair_of(rec, side);
      p.handle_count = 0;
      p.key_len = f[side][0];
      p.priv_id = f[side][1];
      p.pub_id = f[side][2];
      p.cert_id = f[side][3];
      const std::uint32_t key_obj = p.priv_id != 0 ? p.priv_id : p.pub_id;
      if (key_obj != 0) {
        p.present = 1;
        rv = read_key_id(s, key_obj, p.key_id);
        // An object deleted behind the map is cleared by the adoption.
        if (rv == kNoObject) rv = VORN_OK;
        if (rv != VORN_OK) return rv;
      } else if (p.cert_id != 0) {
        p.present = 1;
      }
    }
  }
  return VORN_OK;
}

vorn_rv cmap_create(CmapTable& t, const CmapSlot& s, const char* name, std::uint32_t name_len,
                    std::size_t* index) {
  if (s.cache == nullptr || name == nullptr || index == nullptr || name_len + 1 > CMAP_NAME_MAX)
    return CARDERR_BAD_ARG;
  bool any = false;
  for (std::size_t r = 0; r < t.size(); ++r) any = any || of_slot(t.at(r), s);
  const std::size_t r = first_free(t);
  if (r == t.size()) return kStorageFull;
  unsigned cell = CMAP_ENTRIES;
  for (unsigned i = 0; i < CMAP_ENTRIES && cell == CMAP_ENTRIES; ++i)
    if (s.cache->cells[i].entry.empty()) cell = i;
  if (cell == CMAP_ENTRIES) return kNoMemory;
  CmapRecord& rec = t.at(r);
  rec = CmapRecord{};
  fill_container(rec, s);
  std::memcpy(rec.name, name, name_len);
  rec.name[name_len] = '\0';
  rec.name_len = name_len + 1;
  rec.is_default = any ? 0 : 1;
  rec.map_index = static_cast<std::uint8_t>(cell);
  s.cache->cells[cell].entry = cmap_entry_new(rec.name, rec.name_len, rec.is_default != 0);
  vorn_rv rv = cmap_write_back(s);
  if (rv != VORN_OK) {
    s.cache->cells[cell].entry.clear();
    t.release(r);
    return rv;
  }
  *index = r;
  return VORN_OK;
}

vorn_rv cmap_set_default(CmapTable& t, const CmapSlot& s, std::size_t r, bool is_default) {
  if (r >= t.size()) return CARDERR_BAD_ARG;
  CmapRecord& rec = t.at(r);
  rec.is_default = is_default ? 1 : 0;
  entry_set_default(entry_of(s, rec), is_default);
  return cmap_write_back(s);
}

vorn_rv cmap_delete(CmapTable& t, const CmapSlot& s, std::size_t r) {
  if (r >= t.size() || s.cache == nullptr) return CARDERR_BAD_ARG;
  CmapRecord& rec = t.at(r);
  if (rec.is_default != 0) {
    rec.is_default = 0;
    bool passed = false;
    for (std::size_t i = 0; i < t.size(); ++i) {
      if (i == r) continue;
      CmapRecord& o = t.at(i);
      if (!container_of_slot(o, s)) continue;
      if (o.is_default != 0) {
        o.is_default = 0;
        entry_set_default(entry_of(s, o), false);
      } else if (!passed && o.verify_only == 0) {
        o.is_default = 1;
        entry_set_default(entry_of(s, o), true);
        passed = true;
      }
    }
  }
  if (rec.map_index < CMAP_ENTRIES) s.cache->cells[rec.map_index].entry.clear();
  rec.map_index = CMAP_NO_INDEX;
  return cmap_write_back(s);
}

vorn_rv cmap_record_object(CmapTable& t, const CmapSlot& s, std::size_t r, std::uint32_t id) {
  if (r >= t.size()) return CARDERR_BAD_ARG;
  const int side = side_of(id);
  const std::uint32_t kind = cmap_kind(id);
  if (side < 0 || kind == 0) return VORN_OK;  // nothing to record
  CmapRecord& rec = t.at(r);
  CmapKeyPair& p = pair_of(rec, side);
  p.present = 1;
  if (kind == CMAP_KIND_PRIV) p.priv_id = id;
  if (kind == CMAP_KIND_PUB) p.pub_id = id;
  if (kind == CMAP_KIND_CERT) p.cert_id = id;
  std::vector<std::uint8_t>* e = entry_of(s, rec);
  if (e == nullptr) return CARDERR_BAD_ARG;
  entry_set(e, side, 0, p.key_len);
  entry_set(e, side, static_cast<int>(4 - kind), id);  // 3 private, 2 public, 1 certificate
  return cmap_write_back(s);
}

vorn_rv cmap_read_public(const CmapSlot& s, std::uint32_t id, CmapKeyPair* pair) {
  if (pair == nullptr) return CARDERR_BAD_ARG;
  std::vector<std::uint8_t> mod, exp;
  vorn_rv rv = VORN_OK;
  switch (cmap_kind(id)) {
    case CMAP_KIND_PRIV: {
      rv = read_attr(s, id, kAttrModulus, &mod);
      if (rv != VORN_OK) return rv;
      // The card keeps the CRT parts only; the exponent is the list's
      // attribute when the writer put one there. Without it only a key
      // generated on the card (attribute 0x163 = 1) is known: the card
      // generates with 65537. Any other key's exponent is unknown.
      rv = read_attr(s, id, kAttrExponent, &exp);
      if (rv != VORN_OK) return rv;
      if (exp.empty()) {
        std::vector<std::uint8_t> local;
        rv = read_attr(s, id, kAttrLocal, &local);
        if (rv != VORN_OK) return rv;
        const bool generated = std::any_of(local.begin(), local.end(), [](std::uint8_t b) { return b != 0; });
        if (!generated) return CARDERR_UNKNOWN;
        exp = {0x01, 0x00, 0x01};
      }
      exp = strip_zeros(exp.data(), exp.size());
      break;
    }
    case CMAP_KIND_PUB: {
      // Value: the modulus and the exponent in 8 bytes big-endian.
      std::vector<std::uint8_t> v;
      rv = read_value(s, id, &v);
      if (rv != VORN_OK) return rv;
      if (v.size() <= 8) return CARDERR_UNKNOWN;
      mod.assign(v.begin(), v.end() - 8);
      exp = strip_zeros(v.data() + v.size() - 8, 8);
      break;
    }
    case CMAP_KIND_CERT: {
      std::vector<std::uint8_t> v;
      rv = read_value(s, id, &v);
      if (rv != VORN_OK) return rv;
      const std::uint8_t* m = nullptr;
      DWORD mlen = 0;
      rv = cert_modulus(v.data(), static_cast<DWORD>(v.size()), &m, &mlen);
      if (rv != VORN_OK) return CARDERR_UNKNOWN;
      rv = cert_exponent(v.data(), static_cast<DWORD>(v.size()), m + mlen, &exp);
      if (rv != VORN_OK) return rv;
      mod.assign(m, m + mlen);
      break;
    }
    default:
      return CARDERR_BAD_ARG;
  }
  if (mod.empty() || mod.size() > 512 || exp.empty() || (exp.size() == 1 && exp[0] == 0))
    return CARDERR_UNKNOWN;
  pair->key_len = static_cast<std::uint32_t>(mod.size() * 8);
  pair->modulus = std::move(mod);
  pair->exponent = std::move(exp);
  return VORN_OK;
}

vorn_rv cmap_default_rule(CmapTable& t, const CmapSlot& s, std::size_t r,
                          std::span<const std::uint8_t> cert) {
  if (r >= t.size()) return CARDERR_BAD_ARG;
  static constexpr std::uint8_t kLogon[10] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x14, 0x02, 0x02};
  static constexpr std::uint8_t kAgent[10] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x14, 0x02, 0x01};
  auto has = [&](const std::uint8_t* oid) {
    return std::search(cert.begin(), cert.end(), oid, oid + 10) != cert.end();
  };
  if (!has(kLogon) && !has(kAgent)) return VORN_OK;
  CmapRecord& rec = t.at(r);
  if (rec.is_default != 0) return VORN_OK;
  for (std::size_t i = 0; i < t.size(); ++i) {
    CmapRecord& o = t.at(i);
    if (i == r || !of_slot(o, s) || o.is_default == 0) continue;
    o.is_default = 0;
    entry_set_default(entry_of(s, o), false);
    break;
  }
  rec.is_default = 1;
  entry_set_default(entry_of(s, rec), true);
  return cmap_write_back(s);
}

vorn_rv cmap_new_uuid_name(char out[37]) {
  if (out == nullptr) return CARDERR_BAD_ARG;
#ifdef _WIN32
  UUID u;
  if (UuidCreate(&u) != RPC_S_OK) return CARDERR_UNKNOWN;
  RPC_CSTR str = nullptr;
  if (UuidToStringA(&u, &str) != RPC_S_OK || str == nullptr) return kNoMemory;
  const std::size_t n = std::strlen(reinterpret_cast<const char*>(str));
  if (n != 36) {
    RpcStringFreeA(&str);
    return CARDERR_UNKNOWN;
  }
  std::memcpy(out, str, 37);
  RpcStringFreeA(&str);
  return VORN_OK;
#else
  std::uint8_t b[16];
  vorn_rv rv = plat_random(b, sizeof b);
  if (rv != VORN_OK) return rv;
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t o = 0;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[o++] = '-';
    out[o++] = kHex[b[i] >> 4];
    out[o++] = kHex[b[i] & 15];
  }
  out[o] = '\0';
  return VORN_OK;
#endif
}

vorn_rv cmap_adopt(CmapTable& t, const CmapSlot& s, const std::uint32_t* ids, DWORD count,
                   bool ignore_writeback_failure) {
  if (s.cache == nullptr || (ids == nullptr && count != 0) || count > CMAP_MAX_OBJECTS)
    return CARDERR_BAD_ARG;
  // 1. Identifiers the card no longer has.
  bool removed_any = false;
  std::vector<std::size_t> emptied;
  for (std::size_t r = 0; r < t.size(); ++r) {
    CmapRecord& rec = t.at(r);
    if (!container_of_slot(rec, s)) continue;
    bool lost = false;
    std::vector<std::uint8_t>* e = entry_of(s, rec);
    for (int side = 0; side < 2; ++side) {
      CmapKeyPair& p = pair_of(rec, side);
      std::uint32_t* f[3] = {&p.priv_id, &p.pub_id, &p.cert_id};
      for (int k = 0; k < 3; ++k) {
        if (*f[k] == 0 || has_id(ids, count, *f[k])) continue;
        *f[k] = 0;
        entry_set(e, side, k + 1, 0);
        lost = true;
      }
      if (p.priv_id == 0 && p.pub_id == 0 && p.cert_id == 0 && (lost || p.present == 0)) {
        pair_clear(p);
        pair_init(p, side);
        entry_set(e, side, 0, 0);
      }
    }
    if (lost) {
      removed_any = true;
      if (rec.sig.present == 0 && rec.exch.present == 0 && !t.busy(r)) emptied.push_back(r);
    }
  }
  if (removed_any) {
    vorn_rv rv = cmap_write_back(s);
    if (rv != VORN_OK && !ignore_writeback_failure) return rv;
  }
  for (std::size_t r : emptied) {
    vorn_rv rv = cmap_delete(t, s, r);
    if (rv != VORN_OK) return rv;
    t.release(r);
  }

  auto used = [&](std::uint32_t id) {
    for (std::size_t r = 0; r < t.size(); ++r) {
      const CmapRecord& rec = t.at(r);
      if (!container_of_slot(rec, s)) continue;
      for (const CmapKeyPair* p : {&rec.sig, &rec.exch})
        if (p->priv_id == id || p->pub_id == id || p->cert_id == id) return true;
    }
    return false;
  };

  // 2. Private keys without a container.
  for (DWORD i = 0; i < count; ++i) {
    const std::uint32_t id = ids[i];
    const int side = side_of(id);
    if (cmap_kind(id) != CMAP_KIND_PRIV || side < 0 || used(id)) continue;
    char name[37];
    vorn_rv rv = cmap_new_uuid_name(name);
    std::size_t r = 0;
    if (rv == VORN_OK) rv = cmap_create(t, s, name, 36, &r);
    if (rv != VORN_OK) return rv;
    CmapKeyPair& p = pair_of(t.at(r), side);
    pair_init(p, side);
    p.present = 1;
    p.priv_id = id;
    rv = cmap_read_public(s, id, &p);
    if (rv == VORN_OK) rv = read_key_id(s, id, p.key_id);
    if (rv == VORN_OK) rv = cmap_record_object(t, s, r, id);
    if (rv != VORN_OK) return rv;
  }

  // 3. and 4. Public keys, then certificates, by key identifier; a pair of
  // the object's own side takes it.
  for (std::uint32_t kind : {CMAP_KIND_PUB, CMAP_KIND_CERT}) {
    for (DWORD i = 0; i < count; ++i) {
      const std::uint32_t id = ids[i];
      const int side = side_of(id);
      if (cmap_kind(id) != kind || side < 0 || used(id)) continue;
      std::uint8_t kid[20];
      vorn_rv rv = read_key_id(s, id, kid);
      if (rv != VORN_OK) return rv;
      std::size_t owner = t.size();
      for (std::size_t r = 0; r < t.size() && owner == t.size(); ++r) {
        CmapRecord& rec = t.at(r);
        const CmapKeyPair& p = pair_of(rec, side);
        if (container_of_slot(rec, s) && p.present != 0 && (p.priv_id != 0 || p.pub_id != 0) &&
            std::memcmp(p.key_id, kid, 20) == 0)
          owner = r;
      }
      if (owner == t.size()) continue;
      rv = cmap_record_object(t, s, owner, id);
      if (rv != VORN_OK) return rv;
      if (kind == CMAP_KIND_CERT) {
        std::vector<std::uint8_t> cert;
        rv = read_value(s, id, &cert);
        if (rv == VORN_OK) rv = cmap_default_rule(t, s, owner, cert);
        if (rv != VORN_OK) return rv;
      }
    }
  }
  return VORN_OK;
}
