// The key-container map on the card: object 0xC0000028 of AP-CIPH, an
// attribute list of ten entries (tags 0..9, size 0 = free), each entry
//   name length N (2, LE) | name (N, the NUL included) | flags (1, bit 0:
//   default) | sig key bits | sig priv id | sig pub id | sig cert id |
//   exch key bits | exch priv id | exch pub id | exch cert id   (4 each, LE)
// and the records that mirror it in memory. The provider (CSP_VORN) and the
// synchroniser (Kestrelink) both read and rewrite the map with these
// functions, so containers named by one are the ones the other opens.
//
// Every cmap_* function that talks to the card runs inside a card operation
// its caller has begun (PC/SC transaction held); the functions open the
// application channels they need themselves and leave the channel of
// AP-CIPH open. Reader key = reader-slot index.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cardlayer.h"

inline constexpr std::uint32_t CMAP_OBJECT = 0xC0000028;
inline constexpr unsigned CMAP_ENTRIES = 10;
inline constexpr unsigned CMAP_NAME_MAX = 260;
inline constexpr std::uint32_t CMAP_FIXED_LEN = 35;  // entry length = N + 35
inline constexpr std::uint32_t CMAP_NO_SLOT = 0xFFFFFFFF;
inline constexpr std::uint8_t CMAP_NO_INDEX = 255;
inline constexpr unsigned CMAP_MAX_OBJECTS = 80;

// CryptoAPI values kept in the records (the synchroniser has them too).
inline constexpr std::uint32_t CMAP_ALG_RSA_SIGN = 0x2400;  // CALG_RSA_SIGN
inline constexpr std::uint32_t CMAP_ALG_RSA_KEYX = 0xA400;  // CALG_RSA_KEYX
inline constexpr std::uint32_t CMAP_PERMS_SIGN = 0x08;      // CRYPT_READ
inline constexpr std::uint32_t CMAP_PERMS_KEYX = 0xCB;

// Object identifiers as the map reads them.
inline constexpr std::uint32_t cmap_side(std::uint32_t id) { return id >> 28; }  // 0xF sign, 0xC ciph
inline constexpr std::uint32_t cmap_kind(std::uint32_t id) { return (id >> 16) & 3; }
inline constexpr std::uint32_t CMAP_KIND_CERT = 1, CMAP_KIND_PUB = 2, CMAP_KIND_PRIV = 3;

// One key pair of a container (signature or exchange side).
struct CmapKeyPair {
  std::uint32_t present = 0;
  std::uint32_t handle_count = 0;  // provider: handles handed out for the pair
  std::uint8_t key_id[20] = {};    // attribute 0x8004 of the key's objects
  std::uint32_t alg = 0;           // CMAP_ALG_RSA_SIGN / CMAP_ALG_RSA_KEYX
  std::uint32_t permissions = 0;
  std::uint32_t key_len = 0;       // bits
  std::uint32_t user_protected = 0;
  std::uint32_t priv_id = 0, pub_id = 0, cert_id = 0;
  // Public key value, read when needed (cmap_read_public): the modulus
  // big-endian (key_len / 8 bytes) and the public exponent big-endian
  // without leading zeros. Empty until read.
  std::vector<std::uint8_t> modulus;
  std::vector<std::uint8_t> exponent;
};

// The container fields of a record. The provider's context record and the
// synchroniser's container record both start with these.
struct CmapRecord {
  std::uint32_t in_use = 0;
  std::uint32_t handle_issued = 0;  // provider: address handed out as HCRYPTPROV
  SCARDHANDLE card = 0;
  std::uint32_t slot = CMAP_NO_SLOT;
  const char* reader_name = nullptr;  // points at the reader slot's name
  std::uint8_t map_index = CMAP_NO_INDEX;
  char name[CMAP_NAME_MAX] = {};
  std::uint32_t name_len = 0;  // bytes as stored (normally with the NUL)
  std::uint8_t is_default = 0;
  std::uint32_t machine_keyset = 0;
  std::uint32_t silent = 0;
  std::uint32_t verify_only = 0;
  std::uint32_t card_random = 0;
  std::uint32_t card_backed = 0;  // 1: a container record (mirror of a map entry)
  CmapKeyPair sig;
  CmapKeyPair exch;
};

// The map of one reader slot as cached in memory: cell i holds tag i and a
// copy of the entry (empty = free entry).
struct CmapCell {
  std::uint8_t tag = 0;
  std::vector<std::uint8_t> entry;
};
struct CmapCache {
  std::array<CmapCell, CMAP_ENTRIES> cells;
  CmapCache() { clear(); }
  void clear() {
    for (unsigned i = 0; i < CMAP_ENTRIES; ++i) {
      cells[i].tag = static_cast<std::uint8_t>(i);
      cells[i].entry.clear();
    }
  }
};

// A decoded entry.
struct CmapEntry {
  std::uint16_t name_len = 0;
  const std::uint8_t* name = nullptr;  // into the entry bytes
  std::uint8_t flags = 0;
  std::uint32_t sig_bits = 0, sig_priv = 0, sig_pub = 0, sig_cert = 0;
  std::uint32_t exch_bits = 0, exch_priv = 0, exch_pub = 0, exch_cert = 0;
};
// CARDERR_UNKNOWN when the entry is shorter than its name length + 35.
vorn_rv cmap_entry_decode(std::span<const std::uint8_t> entry, CmapEntry* out);
// A new entry: name (name_len bytes, as stored), flags, 32 zero bytes.
std::vector<std::uint8_t> cmap_entry_new(const char* name, std::uint32_t name_len, bool is_default);

// The table of records the map functions work on. The provider's is its 100
// context records (which also hold issued contexts, session keys and
// hashes); the synchroniser's its 100 container records.
class CmapTable {
 public:
  virtual ~CmapTable() = default;
  virtual std::size_t size() const = 0;
  virtual CmapRecord& at(std::size_t i) = 0;
  // Frees record i: its owner clears whatever it adds (session keys,
  // hashes) and the record goes back to its zero state.
  virtual void release(std::size_t i) = 0;
  // True while the record has a session key or hash in use (adoption does
  // not delete such a record even when it lost all its objects).
  virtual bool busy(std::size_t) const { return false; }
};

// What a reader slot's map work needs to know.
struct CmapSlot {
  std::uint32_t slot;        // reader-slot index, also the reader key
  SCARDHANDLE card;          // the slot's current card handle
  const char* reader_name;   // the slot's reader name
  CmapCache* cache;          // the slot's cells
};

// Reads object 0xC0000028 (sizes first, then contents) into the slot's
// cells. When discard_stale is set (the provider on platform version 6 or
// later), records of the slot whose name is in no entry are released and
// *discarded says whether any was. Each non-empty entry i then gets a record:
// an existing record of the slot with map index i takes the slot's card
// handle; otherwise the first free record becomes a container record of it
// (key ids read from the first nonzero private/public id of each side).
vorn_rv cmap_load(CmapTable& t, const CmapSlot& s, bool discard_stale, bool* discarded);

// Adopts the card's objects (ids, count: the card's object list) into the
// slot's records, as both programs do after each load: drops ids that are
// gone (ignore_writeback_failure: a failed write-back of that step is not an
// error, as the synchroniser wants), gives every orphan private key a new
// container named by a fresh UUID string, attaches public keys and
// certificates by key identifier and applies the default rule for
// smart-card-logon certificates. Stops at the first failing step.
vorn_rv cmap_adopt(CmapTable& t, const CmapSlot& s, const std::uint32_t* ids, DWORD count,
                   bool ignore_writeback_failure);

// Creates a container named name (name_len bytes without the NUL; stored with
// it) as a record of the slot and an entry in the first free cell, and writes
// the map back. *index: the new record. The default when no record of the
// slot was in use. No free record: NTE_TOKEN_KEYSET_STORAGE_FULL
// (0x8009002B); no free cell: ERROR_NOT_ENOUGH_MEMORY (8).
vorn_rv cmap_create(CmapTable& t, const CmapSlot& s, const char* name, std::uint32_t name_len,
                    std::size_t* index);
// Deletes record r's entry: the default passes on to the first other
// container record of the slot that is not verify-only; the cell is emptied
// and the map written back. The record itself is not released.
vorn_rv cmap_delete(CmapTable& t, const CmapSlot& s, std::size_t r);
// Sets or clears the default flag of record r, in memory and in its entry,
// and writes the map back.
vorn_rv cmap_set_default(CmapTable& t, const CmapSlot& s, std::size_t r, bool is_default);
// Records object id in record r's entry (side from the top nibble, field
// from the kind; the record's key length of that side too) and writes back.
vorn_rv cmap_record_object(CmapTable& t, const CmapSlot& s, std::size_t r, std::uint32_t id);
// Writes the slot's ten cells back to the card.
vorn_rv cmap_write_back(const CmapSlot& s);
// Reads the public key value of a pair from object id (private key: its
// modulus attribute 0x120; public key: its value; certificate: the
// certificate's own subject public key) into pair->modulus/exponent and
// pair->key_len.
vorn_rv cmap_read_public(const CmapSlot& s, std::uint32_t id, CmapKeyPair* pair);
// The default rule: when cert carries the smart-card-logon
// (1.3.6.1.4.1.311.20.2.2) or enrollment-agent (1.3.6.1.4.1.311.20.2.1)
// identifier and record r is not the default, the current default of the
// slot loses the flag and r gains it (memory and map, written back).
vorn_rv cmap_default_rule(CmapTable& t, const CmapSlot& s, std::size_t r,
                          std::span<const std::uint8_t> cert);
// A fresh container name: a UUID in string form (36 characters and a NUL).
// UuidCreate/UuidToStringA on Windows, a random (version 4) UUID from the
// OS CSPRNG elsewhere.
vorn_rv cmap_new_uuid_name(char out[37]);
