// The provider's process-wide state and the internal operations its entry
// points share. One copy per process that loads CSP_VORN.dll; everything
// here is guarded by the provider lock (csp_lock / CspEntry) except where a
// comment says otherwise (the watch threads).
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <winscard.h>

#include <array>
#include <cstdint>
#include <cstring>

#include <vorn/result.h>
#include <vorn/secure.h>

#include "cardlayer.h"
#include "containers.h"
#include "cspdk.h"
#include "session.h"

namespace csp {

inline constexpr unsigned kReaders = 10;
inline constexpr unsigned kContexts = 100;
inline constexpr unsigned kHashSlots = 50;
inline constexpr unsigned kKeySlots = 50;
inline constexpr char kProviderName[] = "VORN_CSP";
inline constexpr char kCardTypeName[] = "Grupo K.ROS VORN";

// A context record: a container record (mirror of a map entry, never handed
// out) or an issued context (its address is the HCRYPTPROV).
struct ContextRecord : CmapRecord {
  std::array<KeySlot, kKeySlots> keys;
  std::array<HashSlot, kHashSlots> hashes;
};

struct ReaderSlot {
  SCARDCONTEXT ctx = 0;
  std::uint8_t present = 0;
  char name[64] = {};
  SCARDHANDLE card = 0;
  std::uint32_t pin_verified_on_card = 0;
  std::uint32_t transaction_held = 0;
  std::uint32_t open_contexts = 0;
  CmapCache map;
};

struct PinCacheEntry {
  std::uint32_t verified = 0;
  std::uint32_t asked_since_release = 0;
  vorn::Secret<8> pin;  // 8-byte block, 0xFF when cleared
  char user[260] = {};
};

// The platform version classes (from GetVersionExA, refreshed on demand).
bool version_legacy();  // 3.51, 4.0, 4.10, 4.90
bool version_pre6();    // up to 5.2
bool version_6();       // major > 5
void version_refresh();

// The twelve algorithms of PP_ENUMALGS / PP_ENUMALGS_EX, in enumeration order.
inline constexpr unsigned kAlgTableSize = 12;
const std::array<PROV_ENUMALGS_EX, kAlgTableSize>& alg_table();

// The Windows user name (GetUserNameA, with its NUL) in a buffer kept until
// unload: 0 or the system's error. *len counts the NUL.
DWORD user_name(const char** name, DWORD* len);

struct Provider {
  std::array<ReaderSlot, kReaders> readers;
  unsigned reader_count = 0;
  bool readers_enumerated = false;
  SCARDCONTEXT shared_ctx = 0;
  std::array<ContextRecord, kContexts> contexts;
  std::array<PinCacheEntry, kReaders> pins;
  vorn::Secret<8> pin_handover;  // 0xFF when empty
  std::uint8_t alg_cursor = 0;
  std::uint8_t container_cursor = 0;
  volatile LONG shutdown = 0;
  // The reader watch threads (platforms before version 6), per reader slot.
  struct Watch {
    HANDLE thread = nullptr;
    volatile LONG running = 0;
    SCARDCONTEXT ctx = 0;
    volatile LONG removal_reported = 1;
  };
  std::array<Watch, kReaders> watch;
};
Provider& provider();

// The provider's CmapTable over the 100 context records (releasing a record
// also clears its session keys and hashes).
CmapTable& context_table();
CmapSlot cmap_slot(unsigned slot);

// --- entry-point envelope -------------------------------------------------
// Every CP* entry point (except CPHashSessionKey) runs its body through
// csp_entry: wait for the provider lock (NTE_FAIL when the wait fails),
// run the body, which returns the outcome code (0 success), release the
// lock, SetLastError(code), return code == 0. The lock is re-entrant.
bool csp_lock();
bool csp_unlock();
template <class Body>
BOOL csp_entry(Body&& body) {
  DWORD code = NTE_FAIL;
  if (csp_lock()) code = static_cast<DWORD>(body());
  else code = static_cast<DWORD>(NTE_FAIL);
  if (!csp_unlock()) return FALSE;
  SetLastError(code);
  return code == 0 ? TRUE : FALSE;
}

// A provider, key or hash handle of 0 or all bits set (ERROR_INVALID_HANDLE).
inline bool bad_handle(ULONG_PTR h) { return h == 0 || h == static_cast<ULONG_PTR>(-1); }

// The two-call output rule: a null buffer gets the size, a short one the
// size and ERROR_MORE_DATA, otherwise the n bytes and the size.
inline DWORD put_bytes(const void* v, DWORD n, BYTE* out, DWORD* len) {
  if (out == nullptr) {
    *len = n;
    return 0;
  }
  if (*len < n) {
    *len = n;
    return ERROR_MORE_DATA;
  }
  std::memcpy(out, v, n);
  *len = n;
  return 0;
}
inline DWORD put_dword(DWORD v, BYTE* out, DWORD* len) { return put_bytes(&v, 4, out, len); }

// The issued context record of a handle: ERROR_INVALID_HANDLE for 0 or all
// bits set, NTE_BAD_UID for anything that is not an issued record.
DWORD context_of(HCRYPTPROV h, ContextRecord** out);
std::size_t context_index(const ContextRecord* c);

// --- card operations on a reader slot -------------------------------------
// Begin: transaction on the slot's card (reconnecting when the handle or
// the PC/SC context went stale, handing the new handle to the slot's
// records). End: close the channel, log PIN 0x11 out when asked and
// verified, end the transaction.
DWORD card_op_begin(unsigned slot);
void card_op_end(unsigned slot, bool pin_logout);

// Closing a reader slot (its open-context count 0): card operation ended
// with PIN logout, card detached, map cache and the slot's records freed.
void slot_close(unsigned slot);
// Unload: every slot closed, the shared PC/SC context released, the reader
// table cleared.
void readers_close_all();
// Watch threads (platforms before version 6): start one for a slot, stop
// them all at unload (cancel, bounded wait).
DWORD watch_start(unsigned slot);
void watch_stop_all();
// Frees record i (wiping its session keys and hashes).
void record_free(std::size_t i);

// --- PIN (dialogs, cache, parameter) ---------------------------------------
// Makes sure PIN 0x11 is verified on the card of c's reader slot (cache,
// else the PIN dialog unless silent). On success the card operation is
// begun with AP-CIPH open; the caller ends it.
DWORD pin_ensure(ContextRecord& c, bool cached_allowed);
// PIN given as a parameter (PP_KEYEXCHANGE_PIN / PP_SIGNATURE_PIN).
DWORD pin_param(ContextRecord& c, const char* pin, std::size_t len);
// PIN logout (PP_*_PIN with null): clear the slot's cache entry.
void pin_cache_clear(unsigned slot);

// --- container records ------------------------------------------------------
// Reads the public key value of c's pair (signature when sig) when not read
// yet; inside a card operation of its own.
DWORD pair_public(ContextRecord& c, bool sig);

}  // namespace csp
