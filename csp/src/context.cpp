// Contexts, container records and reader slots: CPAcquireContext,
// CPReleaseContext, the reader table (enumeration, refresh, locating the
// card, choosing among several cards), card operations and reconnection.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "csp.h"
#include "dialogs.h"

namespace csp {

namespace {

constexpr DWORD kAllowedFlags = ~0x0FFFFF07u;  // bits 0x0FFFFF07 are refused
constexpr DWORD kSilentBits = CRYPT_SILENT | CRYPT_DEFAULT_CONTAINER_OPTIONAL | 0xF0000000u;
constexpr char kPrefix[] = "\\\\.\\";  // \\.\ before a reader name


class ProviderTable final : public CmapTable {
 public:
  std::size_t size() const override { return kContexts; }
  CmapRecord& at(std::size_t i) override { return provider().contexts[i]; }
  void release(std::size_t i) override { record_free(i); }
  bool busy(std::size_t i) const override {
    const ContextRecord& c = provider().contexts[i];
    for (const KeySlot& k : c.keys)
      if (k.in_use) return true;
    for (const HashSlot& h : c.hashes)
      if (h.in_use) return true;
    return false;
  }
};
ProviderTable g_table;

// A multi-string holding the card type's name.
const char* card_types() {
  static char buf[sizeof(kCardTypeName) + 1] = {};
  std::memcpy(buf, kCardTypeName, sizeof(kCardTypeName));
  return buf;
}

// The names given in pszContainer.
struct Names {
  std::string reader;
  std::string container;
  bool has_reader = false;
  bool has_container = false;
};

DWORD parse_names(const char* s, Names* out) {
  if (s == nullptr || *s == '\0') return 0;
  std::string rest;
  if (std::strncmp(s, kPrefix, 4) == 0) {
    const char* r = s + 4;
    const char* bs = std::strchr(r, '\\');
    out->has_reader = true;
    if (bs == nullptr) {
      out->reader.assign(r);
    } else {
      out->reader.assign(r, static_cast<std::size_t>(bs - r));
      rest.assign(bs + 1);
    }
  } else {
    rest.assign(s);
  }
  if (!rest.empty()) {
    if (rest.size() > CMAP_NAME_MAX) return static_cast<DWORD>(NTE_BAD_KEYSET_PARAM);
    out->container = rest;
    out->has_container = true;
  }
  return 0;
}

// Gives a new shared PC/SC context to every present slot.
DWORD shared_context_renew() {
  Provider& p = provider();
  SCARDCONTEXT ctx = 0;
  const LONG r = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
  if (r != SCARD_S_SUCCESS) return static_cast<DWORD>(r);
  if (p.shared_ctx != 0) SCardReleaseContext(p.shared_ctx);
  p.shared_ctx = ctx;
  for (ReaderSlot& s : p.readers)
    if (s.present) s.ctx = ctx;
  return 0;
}

// Hands a slot's new card handle to every record of that reader.
void handle_to_records(unsigned slot, SCARDHANDLE card) {
  for (ContextRecord& c : provider().contexts)
    if (c.in_use && c.slot == slot) c.card = card;
}

void slot_init(unsigned i, const char* name, SCARDCONTEXT ctx) {
  ReaderSlot& s = provider().readers[i];
  s.map.clear();
  s.card = 0;
  s.pin_verified_on_card = 0;
  s.transaction_held = 0;
  s.open_contexts = 0;
  std::memset(s.name, 0, sizeof(s.name));
  std::strncpy(s.name, name, sizeof(s.name) - 1);
  s.ctx = ctx;
  s.present = 1;
}

bool name_begins(const char* full, const char* start) {
  return std::strncmp(full, start, std::strlen(start)) == 0;
}

DWORD readers_enumerate() {
  Provider& p = provider();
  DWORD rc = shared_context_renew();
  if (rc != 0) return rc;
  std::vector<std::string> names;
  rc = card_list_readers(p.shared_ctx, &names);
  if (rc != 0) return rc;
  unsigned n = 0;
  for (const std::string& name : names) {
    if (n >= kReaders) break;
    slot_init(n, name.c_str(), p.shared_ctx);
    ++n;
  }
  p.reader_count = n;
  p.readers_enumerated = true;
  return 0;
}

DWORD readers_refresh() {
  Provider& p = provider();
  if (SCardIsValidContext(p.shared_ctx) != SCARD_S_SUCCESS) {
    const DWORD rc = shared_context_renew();
    if (rc != 0) return rc;
  }
  std::vector<std::string> names;
  const DWORD rc = card_list_readers(p.shared_ctx, &names);
  if (rc != 0 && rc != static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE)) return rc;
  for (unsigned i = 0; i < kReaders; ++i) {
    ReaderSlot& s = p.readers[i];
    if (!s.present) continue;
    bool listed = false;
    for (const std::string& n : names) listed = listed || name_begins(n.c_str(), s.name);
    if (!listed) {
      s.open_contexts = 0;
      slot_close(i);
      s.present = 0;
      s.name[0] = '\0';
    }
  }
  for (const std::string& n : names) {
    bool known = false;
    for (const ReaderSlot& s : p.readers) known = known || (s.present && name_begins(n.c_str(), s.name));
    if (known) continue;
    unsigned free_slot = kReaders;
    for (unsigned i = 0; i < kReaders && free_slot == kReaders; ++i)
      if (!p.readers[i].present) free_slot = i;
    if (free_slot == kReaders) break;
    slot_init(free_slot, n.c_str(), p.shared_ctx);
  }
  unsigned count = 0;
  for (const ReaderSlot& s : p.readers) count += s.present;
  p.reader_count = count;
  return 0;
}

// Is a VORN card in the slot's reader (the resource manager matches the
// registered ATR and mask)?
DWORD card_locate(unsigned slot) {
  Provider& p = provider();
  ReaderSlot& s = p.readers[slot];
  if (SCardIsValidContext(s.ctx) != SCARD_S_SUCCESS) {
    const DWORD rc = shared_context_renew();
    if (rc != 0) return rc;
  }
  SCARD_READERSTATEA st{};
  st.szReader = s.name;
  st.dwCurrentState = SCARD_STATE_UNAWARE;
  const LONG r = SCardLocateCardsA(s.ctx, card_types(), &st, 1);
  if (r != SCARD_S_SUCCESS) return static_cast<DWORD>(r);
  return (st.dwEventState & SCARD_STATE_ATRMATCH) ? 0 : static_cast<DWORD>(SCARD_W_REMOVED_CARD);
}

// Reads the slot's container map and adopts the card's objects; inside a
// card operation.
DWORD map_reload(unsigned slot) {
  const CmapSlot cs = cmap_slot(slot);
  bool discarded = false;
  DWORD rc = cmap_load(g_table, cs, version_6(), &discarded);
  if (rc != 0) return rc;
  if (discarded && provider().pins[slot].verified) {
    pin_cache_clear(slot);
    card_op_end(slot, true);
    rc = card_op_begin(slot);
    if (rc != 0) return rc;
  }
  std::uint32_t ids[CMAP_MAX_OBJECTS] = {};
  DWORD count = CMAP_MAX_OBJECTS;
  rc = obj_list(slot, cs.card, ids, &count);
  if (rc != 0) return rc;
  return cmap_adopt(g_table, cs, ids, count, false);
}

// Connects the slot's card anew, reads its identification data and reloads
// its container map.
DWORD slot_reconnect(unsigned slot) {
  ReaderSlot& s = provider().readers[slot];
  if (s.card != 0) {
    card_detach(s.card, slot);
    SCardDisconnect(s.card, SCARD_LEAVE_CARD);
    s.card = 0;
    s.transaction_held = 0;
    s.pin_verified_on_card = 0;
  }
  SCARDHANDLE h = 0;
  DWORD rc = card_connect(s.ctx, s.name, &h);
  if (rc != 0) return rc;
  s.card = h;
  handle_to_records(slot, h);
  rc = card_op_begin(slot);
  if (rc != 0) return rc;
  card_attach(h, slot);
  std::uint8_t id[16];
  DWORD len = sizeof(id);
  rc = card_get_data(slot, h, CARD_DATA_ID, id, &len);
  if (rc == 0) rc = map_reload(slot);
  card_op_end(slot, false);
  return rc;
}

// The slot's card handle still reaches the card; else reconnect.
DWORD slot_check(unsigned slot) {
  ReaderSlot& s = provider().readers[slot];
  BYTE atr[100];
  DWORD len = sizeof(atr);
  if (s.card != 0 && SCardGetAttrib(s.card, SCARD_ATTR_ATR_STRING, atr, &len) == SCARD_S_SUCCESS) return 0;
  return slot_reconnect(slot);
}

// Choosing among several cards by the container map of each.
DWORD choose_by_map(const Names& n, unsigned* chosen) {
  Provider& p = provider();
  unsigned candidate = kReaders;
  for (unsigned i = 0; i < kReaders; ++i) {
    if (!p.readers[i].present || card_locate(i) != 0) continue;
    SCARDHANDLE h = 0;
    if (card_connect(p.shared_ctx, p.readers[i].name, &h) != 0) continue;
    if (card_begin(h) != 0) {
      SCardDisconnect(h, SCARD_LEAVE_CARD);
      continue;
    }
    card_attach(h, i);
    CmapCache cache;
    const CmapSlot cs{i, h, p.readers[i].name, &cache};
    // A throw-away table for this look at the map: the provider's own
    // records stay as they are.
    struct LookTable final : CmapTable {
      std::size_t size() const override { return CMAP_ENTRIES; }
      CmapRecord& at(std::size_t i) override { return recs[i]; }
      void release(std::size_t i) override { recs[i] = CmapRecord{}; }
      std::array<CmapRecord, CMAP_ENTRIES> recs;
    } none;
    bool discarded = false;
    const vorn_rv rc = cmap_load(none, cs, false, &discarded);
    sm_channel_reset(h, i);
    card_detach(h, i);
    card_end(h);
    SCardDisconnect(h, SCARD_LEAVE_CARD);
    if (rc != 0) continue;
    bool qualifies = false;
    for (const CmapCell& cell : cache.cells) {
      CmapEntry e;
      if (cell.entry.empty() || cmap_entry_decode(cell.entry, &e) != 0) continue;
      if (n.has_container) {
        qualifies = e.name_len <= n.container.size() + 1 &&
                    std::memcmp(e.name, n.container.c_str(), e.name_len) == 0;
      } else {
        qualifies = (e.flags & 1) != 0;
      }
      if (qualifies) break;
    }
    if (!qualifies) continue;
    if (candidate != kReaders) return static_cast<DWORD>(NTE_BAD_KEYSET);  // ambiguous
    candidate = i;
  }
  if (candidate == kReaders) return static_cast<DWORD>(NTE_BAD_KEYSET);
  *chosen = candidate;
  return 0;
}

// The reader of this acquisition.
DWORD choose_reader(const Names& n, DWORD flags, bool silent, unsigned* chosen) {
  Provider& p = provider();
  if (n.has_reader) {
    for (unsigned i = 0; i < kReaders; ++i) {
      if (!p.readers[i].present || !name_begins(p.readers[i].name, n.reader.c_str())) continue;
      if (card_locate(i) != 0) return static_cast<DWORD>(SCARD_E_UNKNOWN_CARD);
      *chosen = i;
      return 0;
    }
    return static_cast<DWORD>(SCARD_E_UNKNOWN_READER);
  }
  unsigned found[2] = {kReaders, kReaders};
  unsigned count = 0;
  for (unsigned i = 0; i < kReaders; ++i) {
    if (!p.readers[i].present || card_locate(i) != 0) continue;
    if (count < 2) found[count] = i;
    ++count;
  }
  if (count == 0) return static_cast<DWORD>(SCARD_E_NO_SMARTCARD);
  if (count == 1) {
    *chosen = found[0];
    return 0;
  }
  if (flags & CRYPT_NEWKEYSET) {
    if (silent) return ERROR_BAD_ENVIRONMENT;
    bool cancelled = false;
    const int sel = dlg_readers(nullptr, p.readers[found[0]].name, p.readers[found[1]].name, &cancelled);
    // Cancel ends the acquisition: nothing is created on any card.
    if (cancelled) return static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER);
    *chosen = sel == 0 ? found[0] : found[1];
    return 0;
  }
  return choose_by_map(n, chosen);
}

std::size_t first_free_record() {
  for (std::size_t i = 0; i < kContexts; ++i)
    if (!provider().contexts[i].in_use) return i;
  return kContexts;
}

// Fills issued record h from container record r.
void issue_from(ContextRecord& h, const ContextRecord& r, unsigned slot) {
  ReaderSlot& s = provider().readers[slot];
  h.reader_name = s.name;
  h.card = s.card;
  h.slot = slot;
  std::memcpy(h.name, r.name, sizeof(h.name));
  h.name_len = r.name_len;
  h.is_default = r.is_default;
  h.map_index = r.map_index;
  h.sig = r.sig;
  h.exch = r.exch;
  h.card_random = 0;
  h.card_backed = 0;
  ++s.open_contexts;
}

bool stored_name_equals(const ContextRecord& r, const std::string& name) {
  return r.name_len == name.size() + 1 && std::memcmp(r.name, name.c_str(), name.size() + 1) == 0;
}

struct Acquire {
  DWORD flags;
  bool silent;
  bool machine;
  bool verify_only;
};

DWORD new_keyset(const Names& n, const Acquire& a, unsigned slot, unsigned records_before, ContextRecord** out) {
  Provider& p = provider();
  // Only this slot's container records are discarded and reloaded; issued
  // contexts (other callers' handles) stay as they are.
  for (std::size_t i = 0; i < kContexts; ++i) {
    const ContextRecord& c = p.contexts[i];
    if (c.in_use && !c.handle_issued && c.card_backed && c.slot == slot) record_free(i);
  }
  DWORD rc = card_op_begin(slot);
  if (rc != 0) return rc;
  rc = map_reload(slot);
  if (rc != 0) {
    card_op_end(slot, false);
    return rc;
  }
  const char* name = nullptr;
  DWORD name_len = 0;
  if (!n.has_container) {
    for (const ContextRecord& c : p.contexts)
      if (c.in_use && c.card_backed && c.slot == slot && c.is_default) rc = static_cast<DWORD>(NTE_EXISTS);
    if (rc == 0) rc = user_name(&name, &name_len);
    if (rc == 0 && name_len > 0) --name_len;  // cmap_create stores the NUL itself
  } else {
    for (const ContextRecord& c : p.contexts)
      if (c.in_use && c.card_backed && c.slot == slot && stored_name_equals(c, n.container))
        rc = static_cast<DWORD>(NTE_EXISTS);
    name = n.container.c_str();
    name_len = static_cast<DWORD>(n.container.size());
  }
  if (rc != 0) {
    card_op_end(slot, false);
    return rc;
  }
  (void)records_before;  // cmap_create makes the first container of the slot the default
  // The PIN, then the entry on the card.
  std::size_t hi = first_free_record();
  if (hi == kContexts) {
    card_op_end(slot, false);
    return static_cast<DWORD>(NTE_TOKEN_KEYSET_STORAGE_FULL);
  }
  ContextRecord& probe = p.contexts[hi];
  probe.slot = slot;
  probe.machine_keyset = a.machine;
  probe.silent = a.silent;
  probe.in_use = 1;  // held while the PIN is asked
  rc = pin_ensure(probe, true);
  probe.in_use = 0;
  record_free(hi);
  if (rc != 0) return rc;
  std::size_t ci = 0;
  rc = cmap_create(g_table, cmap_slot(slot), name, name_len, &ci);
  if (rc == 0) {
    ContextRecord& r = p.contexts[ci];
    r.silent = a.silent;
    r.machine_keyset = a.machine;
    hi = first_free_record();
    if (hi == kContexts) {
      rc = static_cast<DWORD>(NTE_TOKEN_KEYSET_STORAGE_FULL);
    } else {
      ContextRecord& h = p.contexts[hi];
      h.in_use = 1;
      issue_from(h, r, slot);
      *out = &h;
    }
  }
  card_op_end(slot, true);
  return rc;
}

DWORD delete_keyset(const Names& n, const Acquire& a, unsigned slot) {
  Provider& p = provider();
  const char* reader = p.readers[slot].name;
  std::size_t last = kContexts;
  bool op = false;
  DWORD rc = 0;
  for (std::size_t i = 0; i < kContexts && rc == 0; ++i) {
    ContextRecord& c = p.contexts[i];
    if (!c.in_use) continue;
    if (c.reader_name != nullptr && !name_begins(c.reader_name, reader)) continue;
    if (c.slot != slot) continue;
    const bool match = n.has_container ? stored_name_equals(c, n.container) : c.is_default != 0;
    if (!match) continue;
    c.machine_keyset = a.machine;
    c.silent = a.silent;
    if (c.card_backed) {
      rc = pin_ensure(c, false);
      if (rc != 0) break;
      op = true;
      const std::uint32_t ids[6] = {c.exch.priv_id, c.exch.pub_id, c.exch.cert_id,
                                    c.sig.priv_id,  c.sig.pub_id,  c.sig.cert_id};
      for (std::uint32_t id : ids)
        if (rc == 0 && id != 0) rc = obj_delete(slot, p.readers[slot].card, id);
      last = i;
    } else if (c.handle_issued) {
      if (p.readers[slot].open_contexts > 0) --p.readers[slot].open_contexts;
      record_free(i);
    }
  }
  if (rc == 0 && last == kContexts) rc = static_cast<DWORD>(NTE_BAD_KEYSET);
  if (rc == 0) {
    rc = cmap_delete(g_table, cmap_slot(slot), last);
    if (rc == 0) record_free(last);
  }
  if (op) card_op_end(slot, true);
  return rc;
}

DWORD acquire(HCRYPTPROV* phProv, const char* container, DWORD flags) {
  if (phProv == nullptr) return ERROR_INVALID_PARAMETER;
  if (flags & ~kAllowedFlags) return static_cast<DWORD>(NTE_BAD_FLAGS);
  version_refresh();
  Acquire a{flags, !version_legacy() && (flags & kSilentBits) != 0, (flags & CRYPT_MACHINE_KEYSET) != 0,
            (flags & (CRYPT_VERIFYCONTEXT | CRYPT_DEFAULT_CONTAINER_OPTIONAL)) != 0};
  const DWORD create_delete = flags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET);
  if (create_delete != 0 && a.verify_only) return static_cast<DWORD>(NTE_BAD_FLAGS);
  if (create_delete == (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) return static_cast<DWORD>(NTE_BAD_FLAGS);
  Names n;
  DWORD rc = parse_names(container, &n);
  if (rc != 0) return rc;

  Provider& p = provider();
  ContextRecord* issued = nullptr;
  const bool no_reader = (flags & CRYPT_DEFAULT_CONTAINER_OPTIONAL) ||
                         ((flags & CRYPT_VERIFYCONTEXT) && !n.has_container);
  if (no_reader) {
    const std::size_t i = first_free_record();
    if (i == kContexts) return static_cast<DWORD>(NTE_TOKEN_KEYSET_STORAGE_FULL);
    ContextRecord& c = p.contexts[i];
    c.slot = CMAP_NO_SLOT;
    c.map_index = CMAP_NO_INDEX;
    issued = &c;
  } else {
    if (!p.readers_enumerated) {
      if (readers_enumerate() != 0) return ERROR_INTERNAL_ERROR;
    } else {
      rc = readers_refresh();
      if (rc != 0) return rc;
    }
    unsigned slot = kReaders;
    rc = choose_reader(n, flags, a.silent, &slot);
    if (rc != 0) return rc;
    if (version_pre6() && !(flags & CRYPT_VERIFYCONTEXT)) {
      rc = watch_start(slot);
      if (rc != 0) return rc;
    }
    rc = slot_check(slot);
    if (rc != 0) return rc;
    unsigned records = 0;
    for (const ContextRecord& c : p.contexts) records += (c.in_use && c.card_backed && c.slot == slot);
    if (flags & CRYPT_NEWKEYSET) {
      rc = new_keyset(n, a, slot, records, &issued);
      if (rc != 0) return rc;
    } else if (flags & CRYPT_DELETEKEYSET) {
      return delete_keyset(n, a, slot);
    } else {
      const ContextRecord* found = nullptr;
      for (const ContextRecord& c : p.contexts) {
        if (found || !c.in_use || !c.card_backed || c.slot != slot) continue;
        if (n.has_container ? stored_name_equals(c, n.container) : c.is_default != 0) found = &c;
      }
      if (found == nullptr) return static_cast<DWORD>(NTE_BAD_KEYSET);
      const std::size_t i = first_free_record();
      if (i == kContexts) return static_cast<DWORD>(NTE_TOKEN_KEYSET_STORAGE_FULL);
      issued = &p.contexts[i];
      issue_from(*issued, *found, slot);
    }
  }
  issued->in_use = 1;
  issued->handle_issued = 1;
  issued->machine_keyset = a.machine;
  issued->silent = a.silent;
  issued->verify_only = a.verify_only;
  *phProv = reinterpret_cast<HCRYPTPROV>(issued);
  return 0;
}

DWORD release(HCRYPTPROV hProv, DWORD flags) {
  if (bad_handle(hProv)) return ERROR_INVALID_HANDLE;
  if (flags != 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
  ContextRecord* c = nullptr;
  const DWORD rc = context_of(hProv, &c);
  if (rc != 0) return rc;
  const std::size_t i = context_index(c);
  const unsigned slot = c->slot;
  if (!c->card_backed && slot < kReaders) {
    ReaderSlot& s = provider().readers[slot];
    if (!(c->verify_only && c->name_len == 0) && s.open_contexts > 0) --s.open_contexts;
    if (s.open_contexts == 0 && !c->verify_only) {
      provider().pins[slot].asked_since_release = 0;
      record_free(i);
      slot_close(slot);
      return 0;
    }
  }
  record_free(i);
  return 0;
}

}  // namespace

CmapTable& context_table() { return g_table; }

CmapSlot cmap_slot(unsigned slot) {
  ReaderSlot& s = provider().readers[slot];
  return CmapSlot{slot, s.card, s.name, &s.map};
}

void record_free(std::size_t i) {
  ContextRecord& c = provider().contexts[i];
  c.~ContextRecord();  // wipes the session keys' material
  new (&c) ContextRecord();
}

DWORD context_of(HCRYPTPROV h, ContextRecord** out) {
  if (bad_handle(h)) return ERROR_INVALID_HANDLE;
  auto& recs = provider().contexts;
  const auto base = reinterpret_cast<std::uintptr_t>(recs.data());
  const auto addr = static_cast<std::uintptr_t>(h);
  if (addr < base || addr >= base + sizeof(ContextRecord) * kContexts ||
      (addr - base) % sizeof(ContextRecord) != 0)
    return static_cast<DWORD>(NTE_BAD_UID);
  ContextRecord& c = recs[(addr - base) / sizeof(ContextRecord)];
  if (!c.in_use || !c.handle_issued) return static_cast<DWORD>(NTE_BAD_UID);
  *out = &c;
  return 0;
}

std::size_t context_index(const ContextRecord* c) {
  return static_cast<std::size_t>(c - provider().contexts.data());
}

DWORD card_op_begin(unsigned slot) {
  Provider& p = provider();
  if (slot >= kReaders) return static_cast<DWORD>(SCARD_E_INVALID_HANDLE);
  ReaderSlot& s = p.readers[slot];
  if (s.transaction_held) return 0;
  if (SCardIsValidContext(s.ctx) != SCARD_S_SUCCESS) {
    const DWORD rc = shared_context_renew();
    if (rc != 0) return rc;
    for (unsigned i = 0; i < kReaders; ++i) {
      ReaderSlot& o = p.readers[i];
      if (!o.present || o.card == 0) continue;
      SCARDHANDLE h = 0;
      if (card_connect(o.ctx, o.name, &h) != 0) {
        o.card = 0;
        continue;
      }
      o.card = h;
      if (card_begin(h) == 0) {
        card_attach(h, i);
        sm_channel_reset(h, i);
        card_end(h);
      }
      handle_to_records(i, h);
    }
  }
  if (s.card == 0) return static_cast<DWORD>(SCARD_E_INVALID_HANDLE);
  LONG r = SCardBeginTransaction(s.card);
  if (r != SCARD_S_SUCCESS) {
    DWORD proto = 0;
    if (SCardReconnect(s.card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_LEAVE_CARD, &proto) ==
        SCARD_S_SUCCESS) {
      handle_to_records(slot, s.card);
      r = SCardBeginTransaction(s.card);
    }
  }
  if (r == SCARD_S_SUCCESS) s.transaction_held = 1;
  return static_cast<DWORD>(r);
}

void card_op_end(unsigned slot, bool pin_logout_asked) {
  if (slot >= kReaders) return;
  ReaderSlot& s = provider().readers[slot];
  if (s.card == 0) return;
  sm_channel_reset(s.card, slot);
  if (pin_logout_asked && s.pin_verified_on_card && pin_logout(slot, s.card, PIN_REF_USER) == 0)
    s.pin_verified_on_card = 0;
  if (s.transaction_held) {
    const LONG r = SCardEndTransaction(s.card, SCARD_LEAVE_CARD);
    if (r == SCARD_S_SUCCESS || r == SCARD_W_REMOVED_CARD) s.transaction_held = 0;
  }
}

void slot_close(unsigned slot) {
  Provider& p = provider();
  ReaderSlot& s = p.readers[slot];
  if (s.card != 0) {
    card_op_end(slot, true);
    card_detach(s.card, slot);
    SCardDisconnect(s.card, SCARD_LEAVE_CARD);
    s.card = 0;
  }
  s.transaction_held = 0;
  s.pin_verified_on_card = 0;
  s.map.clear();
  for (std::size_t i = 0; i < kContexts; ++i)
    if (p.contexts[i].in_use && p.contexts[i].slot == slot) record_free(i);
}

void readers_close_all() {
  Provider& p = provider();
  for (unsigned i = 0; i < kReaders; ++i) {
    p.readers[i].open_contexts = 0;
    slot_close(i);
  }
  if (p.shared_ctx != 0) SCardReleaseContext(p.shared_ctx);
  p.shared_ctx = 0;
  for (ReaderSlot& s : p.readers) {
    s.present = 0;
    s.ctx = 0;
    s.name[0] = '\0';
  }
  p.reader_count = 0;
  p.readers_enumerated = false;
}

DWORD pair_public(ContextRecord& c, bool sig) {
  CmapKeyPair& pair = sig ? c.sig : c.exch;
  if (!pair.modulus.empty()) return 0;
  const std::uint32_t id = pair.priv_id != 0 ? pair.priv_id : (pair.pub_id != 0 ? pair.pub_id : pair.cert_id);
  if (id == 0 || c.slot >= kReaders) return static_cast<DWORD>(NTE_NO_KEY);
  DWORD rc = card_op_begin(c.slot);
  if (rc != 0) return rc;
  rc = cmap_read_public(cmap_slot(c.slot), id, &pair);
  card_op_end(c.slot, false);
  return rc;
}

}  // namespace csp

BOOL WINAPI CPAcquireContext(HCRYPTPROV* phProv, LPSTR pszContainer, DWORD dwFlags, PCspVTableProvStruc) {
  return csp::csp_entry([&] { return csp::acquire(phProv, pszContainer, dwFlags); });
}

BOOL WINAPI CPReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  return csp::csp_entry([&] { return csp::release(hProv, dwFlags); });
}
