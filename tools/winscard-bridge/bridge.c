/* winscard.dll for Wine, backed by the Linux PC/SC stack.
 *
 * Wine's own winscard is only stubs, so the test platform replaces it with
 * this Winelib DLL: every entry point converts the Win32 arguments to
 * pcsc-lite's (8-byte DWORD and LONG, 33-byte ATR, raw protocol 4), calls
 * libpcsclite.so.1 through dlopen'd pointers, and converts the answers back.
 * The exports map to brg_* names in winscard.spec so none of these symbols
 * ever shadows one of pcsc-lite's. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <windef.h>
#include <winbase.h>
#include <winreg.h>
#include <winscard.h>

#include "convert.h"

/* Win32 records must be what Wine's header says they are. */
_Static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4, "Win32 DWORD/LONG are 32-bit");
_Static_assert(sizeof(SCARD_READERSTATEA) == sizeof(w_readerstate), "SCARD_READERSTATEA size");
_Static_assert(sizeof(SCARD_READERSTATEA) == 64, "Win32 SCARD_READERSTATEA is 64 bytes");
_Static_assert(offsetof(SCARD_READERSTATEA, dwCurrentState) == offsetof(w_readerstate, dwCurrentState), "");
_Static_assert(offsetof(SCARD_READERSTATEA, dwEventState) == offsetof(w_readerstate, dwEventState), "");
_Static_assert(offsetof(SCARD_READERSTATEA, cbAtr) == offsetof(w_readerstate, cbAtr), "");
_Static_assert(offsetof(SCARD_READERSTATEA, rgbAtr) == offsetof(w_readerstate, rgbAtr), "");
_Static_assert(sizeof(SCARD_IO_REQUEST) == sizeof(w_io_request) && sizeof(SCARD_IO_REQUEST) == 8, "");
_Static_assert(SCARD_PROTOCOL_RAW == W_PROTOCOL_RAW && SCARD_AUTOALLOCATE == W_AUTOALLOCATE, "");
_Static_assert(sizeof(SCARDCONTEXT) == sizeof(long) && sizeof(SCARDHANDLE) == sizeof(long), "");

/* ---- libpcsclite, loaded on first use ---- */

typedef long (*lx_establish_fn)(unsigned long, const void*, const void*, long*);
typedef long (*lx_ctx_fn)(long);
typedef long (*lx_list_fn)(long, const char*, char*, unsigned long*);
typedef long (*lx_connect_fn)(long, const char*, unsigned long, unsigned long, long*, unsigned long*);
typedef long (*lx_reconnect_fn)(long, unsigned long, unsigned long, unsigned long, unsigned long*);
typedef long (*lx_disp_fn)(long, unsigned long);
typedef long (*lx_status_fn)(long, char*, unsigned long*, unsigned long*, unsigned long*, unsigned char*,
                             unsigned long*);
typedef long (*lx_gsc_fn)(long, unsigned long, lx_readerstate*, unsigned long);
typedef long (*lx_transmit_fn)(long, const lx_io_request*, const unsigned char*, unsigned long, lx_io_request*,
                               unsigned char*, unsigned long*);
typedef long (*lx_attr_fn)(long, unsigned long, unsigned char*, unsigned long*);

static struct {
  void* lib;
  lx_establish_fn establish;
  lx_ctx_fn release, is_valid, begin, cancel;
  lx_list_fn list;
  lx_connect_fn connect;
  lx_reconnect_fn reconnect;
  lx_disp_fn disconnect, end;
  lx_status_fn status;
  lx_gsc_fn get_status_change;
  lx_transmit_fn transmit;
  lx_attr_fn get_attrib;
} lx;

static pthread_once_t lx_once = PTHREAD_ONCE_INIT;

static void lx_load(void) {
  void* lib = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return;
#define LX_SYM(field, name) *(void**)(&lx.field) = dlsym(lib, name)
  LX_SYM(establish, "SCardEstablishContext");
  LX_SYM(release, "SCardReleaseContext");
  LX_SYM(is_valid, "SCardIsValidContext");
  LX_SYM(list, "SCardListReaders");
  LX_SYM(connect, "SCardConnect");
  LX_SYM(reconnect, "SCardReconnect");
  LX_SYM(disconnect, "SCardDisconnect");
  LX_SYM(begin, "SCardBeginTransaction");
  LX_SYM(end, "SCardEndTransaction");
  LX_SYM(status, "SCardStatus");
  LX_SYM(get_status_change, "SCardGetStatusChange");
  LX_SYM(cancel, "SCardCancel");
  LX_SYM(transmit, "SCardTransmit");
  LX_SYM(get_attrib, "SCardGetAttrib");
#undef LX_SYM
  if (!lx.establish || !lx.release || !lx.is_valid || !lx.list || !lx.connect || !lx.reconnect ||
      !lx.disconnect || !lx.begin || !lx.end || !lx.status || !lx.get_status_change || !lx.cancel ||
      !lx.transmit || !lx.get_attrib) {
    memset(&lx, 0, sizeof lx);
    dlclose(lib);
    return;
  }
  lx.lib = lib;
}

static int lx_ready(void) {
  pthread_once(&lx_once, lx_load);
  return lx.lib != NULL;
}

#define LX_REQUIRE() \
  do {               \
    if (!lx_ready()) return SCARD_E_NO_SERVICE; \
  } while (0)

static LONG w_rv(long rv) { return (LONG)brg_rv_to_w(rv); }

/* Hands data of len bytes to a Win32 caller: size query with a null buffer,
 * SCARD_AUTOALLOCATE (the buffer argument then points to a pointer that gets
 * a HeapAlloc'd block for SCardFreeMemory), or a caller buffer that must be
 * large enough. */
static LONG w_put_out(const void* data, DWORD len, void* buf, DWORD* pcb) {
  if (*pcb == SCARD_AUTOALLOCATE) {
    if (!buf) return SCARD_E_INVALID_PARAMETER;
    void* block = HeapAlloc(GetProcessHeap(), 0, len ? len : 1);
    if (!block) return SCARD_E_NO_MEMORY;
    memcpy(block, data, len);
    *(void**)buf = block;
    *pcb = len;
    return SCARD_S_SUCCESS;
  }
  if (!buf) {
    *pcb = len;
    return SCARD_S_SUCCESS;
  }
  if (*pcb < len) {
    *pcb = len;
    return SCARD_E_INSUFFICIENT_BUFFER;
  }
  memcpy(buf, data, len);
  *pcb = len;
  return SCARD_S_SUCCESS;
}

/* ---- contexts ---- */

LONG WINAPI brg_SCardEstablishContext(DWORD scope, const void* r1, const void* r2, SCARDCONTEXT* ctx) {
  LX_REQUIRE();
  if (!ctx) return SCARD_E_INVALID_PARAMETER;
  long c = 0;
  long rv = lx.establish(scope, r1, r2, &c);
  if (rv == 0) *ctx = (SCARDCONTEXT)c;
  return w_rv(rv);
}

LONG WINAPI brg_SCardReleaseContext(SCARDCONTEXT ctx) {
  LX_REQUIRE();
  return w_rv(lx.release((long)ctx));
}

LONG WINAPI brg_SCardIsValidContext(SCARDCONTEXT ctx) {
  LX_REQUIRE();
  return w_rv(lx.is_valid((long)ctx));
}

LONG WINAPI brg_SCardCancel(SCARDCONTEXT ctx) {
  LX_REQUIRE();
  return w_rv(lx.cancel((long)ctx));
}

LONG WINAPI brg_SCardFreeMemory(SCARDCONTEXT ctx, LPCVOID mem) {
  (void)ctx;
  if (mem && !HeapFree(GetProcessHeap(), 0, (void*)mem)) return SCARD_E_INVALID_PARAMETER;
  return SCARD_S_SUCCESS;
}

/* ---- readers ---- */

/* pcsc-lite's reader list in a malloc'd block; retried when a reader comes
 * or goes between the size query and the fetch. */
static long lx_reader_list(long ctx, const char* groups, char** out, unsigned long* out_len) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    unsigned long n = 0;
    long rv = lx.list(ctx, groups, NULL, &n);
    if (rv != 0) return rv;
    char* buf = calloc(1, n + 2);
    if (!buf) return (long)(unsigned long)(DWORD)SCARD_E_NO_MEMORY;
    rv = lx.list(ctx, groups, buf, &n);
    if (rv == 0) {
      *out = buf;
      *out_len = n;
      return 0;
    }
    free(buf);
    if ((DWORD)rv != (DWORD)SCARD_E_INSUFFICIENT_BUFFER) return rv;
  }
  return (long)(unsigned long)(DWORD)SCARD_E_INSUFFICIENT_BUFFER;
}

LONG WINAPI brg_SCardListReadersA(SCARDCONTEXT ctx, LPCSTR groups, LPSTR readers, LPDWORD pcch) {
  LX_REQUIRE();
  if (!pcch) return SCARD_E_INVALID_PARAMETER;
  char* list = NULL;
  unsigned long len = 0;
  long rv = lx_reader_list((long)ctx, groups, &list, &len);
  if (rv != 0) return w_rv(rv);
  size_t ms = brg_multistring_len(list, len);
  LONG out = ms ? w_put_out(list, (DWORD)ms, readers, pcch) : SCARD_F_INTERNAL_ERROR;
  free(list);
  return out;
}

/* ---- connections ---- */

LONG WINAPI brg_SCardConnectA(SCARDCONTEXT ctx, LPCSTR reader, DWORD share, DWORD protocols, SCARDHANDLE* card,
                              LPDWORD active) {
  LX_REQUIRE();
  if (!reader || !card || !active) return SCARD_E_INVALID_PARAMETER;
  int bad = 0;
  unsigned long lx_protocols = brg_protocol_to_lx(protocols, &bad);
  if (bad) return SCARD_E_INVALID_VALUE;
  long h = 0;
  unsigned long act = 0;
  long rv = lx.connect((long)ctx, reader, share, lx_protocols, &h, &act);
  if (rv == 0) {
    *card = (SCARDHANDLE)h;
    *active = brg_protocol_to_w(act);
  }
  return w_rv(rv);
}

LONG WINAPI brg_SCardReconnect(SCARDHANDLE card, DWORD share, DWORD protocols, DWORD init, LPDWORD active) {
  LX_REQUIRE();
  int bad = 0;
  unsigned long lx_protocols = brg_protocol_to_lx(protocols, &bad);
  if (bad) return SCARD_E_INVALID_VALUE;
  unsigned long act = 0;
  long rv = lx.reconnect((long)card, share, lx_protocols, init, &act);
  if (rv == 0 && active) *active = brg_protocol_to_w(act);
  return w_rv(rv);
}

LONG WINAPI brg_SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
  LX_REQUIRE();
  return w_rv(lx.disconnect((long)card, disposition));
}

LONG WINAPI brg_SCardBeginTransaction(SCARDHANDLE card) {
  LX_REQUIRE();
  return w_rv(lx.begin((long)card));
}

LONG WINAPI brg_SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
  LX_REQUIRE();
  return w_rv(lx.end((long)card, disposition));
}

LONG WINAPI brg_SCardStatusA(SCARDHANDLE card, LPSTR name, LPDWORD pcch_name, LPDWORD state, LPDWORD protocol,
                             LPBYTE atr, LPDWORD pcb_atr) {
  LX_REQUIRE();
  if ((name && !pcch_name) || (atr && !pcb_atr)) return SCARD_E_INVALID_PARAMETER;
  /* Reader name with room for the second NUL Win32 adds (a multi-string). */
  char lx_name[512 + 2];
  unsigned long lx_name_len = 512;
  unsigned long lx_state = 0, lx_protocol = 0;
  unsigned char lx_atr[LX_MAX_ATR_SIZE];
  unsigned long lx_atr_len = sizeof lx_atr;
  memset(lx_name, 0, sizeof lx_name);
  long rv = lx.status((long)card, lx_name, &lx_name_len, &lx_state, &lx_protocol, lx_atr, &lx_atr_len);
  if (rv != 0) return w_rv(rv);
  if (lx_atr_len > sizeof lx_atr) return SCARD_F_INTERNAL_ERROR;
  size_t n = strnlen(lx_name, 512);
  lx_name[n] = '\0';
  lx_name[n + 1] = '\0';
  if (state) *state = brg_card_state_to_w(lx_state, lx_protocol);
  if (protocol) *protocol = brg_protocol_to_w(lx_protocol);
  LONG out = SCARD_S_SUCCESS;
  if (pcch_name) {
    out = w_put_out(lx_name, (DWORD)(n + 2), name, pcch_name);
    if (out != SCARD_S_SUCCESS) return out;
  }
  if (pcb_atr) out = w_put_out(lx_atr, (DWORD)lx_atr_len, atr, pcb_atr);
  return out;
}

LONG WINAPI brg_SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST* send_pci, LPCBYTE send, DWORD send_len,
                              SCARD_IO_REQUEST* recv_pci, LPBYTE recv, LPDWORD recv_len) {
  LX_REQUIRE();
  if (!send_pci || !send || !recv_len) return SCARD_E_INVALID_PARAMETER;
  /* No auto-allocation for answers: the buffer argument would be a pointer's
   * 8 bytes, and pcsc-lite would take the length as its capacity. */
  if (*recv_len == SCARD_AUTOALLOCATE) return SCARD_E_INVALID_PARAMETER;
  int bad = 0;
  (void)brg_protocol_to_lx(send_pci->dwProtocol, &bad);
  if (bad) return SCARD_E_INVALID_VALUE;
  lx_io_request lx_send, lx_recv;
  brg_io_request_to_lx((const w_io_request*)send_pci, &lx_send);
  if (recv_pci) brg_io_request_to_lx((const w_io_request*)recv_pci, &lx_recv);
  unsigned long lx_len = *recv_len;
  long rv = lx.transmit((long)card, &lx_send, send, send_len, recv_pci ? &lx_recv : NULL, recv, &lx_len);
  *recv_len = (DWORD)lx_len;
  if (rv == 0 && recv_pci) brg_io_request_from_lx(&lx_recv, (w_io_request*)recv_pci);
  return w_rv(rv);
}

/* The Windows resource manager answers the ATR attribute itself; vpcd and
 * other pcsc-lite drivers may not know it, so it falls back to the ATR of
 * SCardStatus (which also fails for a handle that no longer reaches the
 * card). */
static LONG atr_attrib_from_status(SCARDHANDLE card, LPBYTE attr, LPDWORD pcb) {
  char name[512];
  unsigned long name_len = sizeof name, state = 0, protocol = 0;
  unsigned char atr[LX_MAX_ATR_SIZE];
  unsigned long atr_len = sizeof atr;
  long rv = lx.status((long)card, name, &name_len, &state, &protocol, atr, &atr_len);
  if (rv != 0) return w_rv(rv);
  if (atr_len > sizeof atr) return SCARD_F_INTERNAL_ERROR;
  return w_put_out(atr, (DWORD)atr_len, attr, pcb);
}

LONG WINAPI brg_SCardGetAttrib(SCARDHANDLE card, DWORD id, LPBYTE attr, LPDWORD pcb) {
  LX_REQUIRE();
  if (!pcb) return SCARD_E_INVALID_PARAMETER;
  for (int attempt = 0; attempt < 3; ++attempt) {
    /* pcsc-lite refuses buffers above its message size, so ask the size
     * first and fetch into a buffer of exactly that size. */
    unsigned long n = 0;
    long rv = lx.get_attrib((long)card, id, NULL, &n);
    if ((DWORD)rv == LX_E_UNSUPPORTED_FEATURE) {
      if (id == X_ATTR_ATR_STRING) return atr_attrib_from_status(card, attr, pcb);
      return SCARD_E_UNSUPPORTED_FEATURE;
    }
    if (rv != 0) return w_rv(rv);
    unsigned char* buf = malloc(n ? n : 1);
    if (!buf) return SCARD_E_NO_MEMORY;
    unsigned long got = n;
    rv = lx.get_attrib((long)card, id, buf, &got);
    if (rv == 0) {
      LONG out = got <= n ? w_put_out(buf, (DWORD)got, attr, pcb) : SCARD_F_INTERNAL_ERROR;
      free(buf);
      return out;
    }
    free(buf);
    if ((DWORD)rv != (DWORD)SCARD_E_INSUFFICIENT_BUFFER) return w_rv(rv);
  }
  return SCARD_E_INSUFFICIENT_BUFFER;
}

/* ---- waiting for readers ---- */

static LONG lx_status_change(SCARDCONTEXT ctx, DWORD timeout, lx_readerstate* states, DWORD count) {
  /* pcsc-lite's INFINITE is the 32-bit all-ones value widened, as is Win32's. */
  return w_rv(lx.get_status_change((long)ctx, timeout, count ? states : NULL, count));
}

LONG WINAPI brg_SCardGetStatusChangeA(SCARDCONTEXT ctx, DWORD timeout, SCARD_READERSTATEA* states, DWORD count) {
  LX_REQUIRE();
  if (count && !states) return SCARD_E_INVALID_PARAMETER;
  lx_readerstate* lx_states = count ? calloc(count, sizeof *lx_states) : NULL;
  if (count && !lx_states) return SCARD_E_NO_MEMORY;
  for (DWORD i = 0; i < count; ++i) brg_readerstate_to_lx((const w_readerstate*)&states[i], &lx_states[i]);
  LONG rv = lx_status_change(ctx, timeout, lx_states, count);
  if (rv == SCARD_S_SUCCESS || rv == SCARD_E_TIMEOUT) {
    for (DWORD i = 0; i < count; ++i) brg_readerstate_from_lx(&lx_states[i], (w_readerstate*)&states[i]);
  }
  free(lx_states);
  return rv;
}

/* ---- the card database in the registry ---- */

static const char kCardsKey[] = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards";

typedef struct {
  unsigned char atr[W_MAX_ATR_SIZE];
  unsigned char mask[W_MAX_ATR_SIZE];
  DWORD len;
} card_type;

/* Reads the ATR and mask of one registered card type; a type without a mask
 * compares every byte. Returns SCARD_E_UNKNOWN_CARD when it is not there. */
static LONG card_type_read(const char* name, card_type* t) {
  HKEY cards, key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCardsKey, 0, KEY_READ, &cards) != ERROR_SUCCESS) return SCARD_E_UNKNOWN_CARD;
  LONG err = RegOpenKeyExA(cards, name, 0, KEY_READ, &key);
  RegCloseKey(cards);
  if (err != ERROR_SUCCESS) return SCARD_E_UNKNOWN_CARD;
  DWORD type = 0, len = sizeof t->atr;
  err = RegQueryValueExA(key, "ATR", NULL, &type, t->atr, &len);
  if (err != ERROR_SUCCESS || type != REG_BINARY || len == 0) {
    RegCloseKey(key);
    return SCARD_E_UNKNOWN_CARD;
  }
  t->len = len;
  DWORD mask_len = sizeof t->mask;
  err = RegQueryValueExA(key, "ATRMask", NULL, &type, t->mask, &mask_len);
  if (err != ERROR_SUCCESS) {
    memset(t->mask, 0xFF, sizeof t->mask);
  } else if (type != REG_BINARY || mask_len != len) {
    RegCloseKey(key);
    return SCARD_E_UNKNOWN_CARD;
  }
  RegCloseKey(key);
  return SCARD_S_SUCCESS;
}

LONG WINAPI brg_SCardLocateCardsA(SCARDCONTEXT ctx, LPCSTR cards, SCARD_READERSTATEA* states, DWORD count) {
  LX_REQUIRE();
  if (!cards || (count && !states)) return SCARD_E_INVALID_PARAMETER;
  enum { kMaxTypes = 32 };
  card_type types[kMaxTypes];
  size_t ntypes = 0;
  for (const char* p = cards; *p; p += strlen(p) + 1) {
    if (ntypes == kMaxTypes) return SCARD_E_INVALID_VALUE;
    LONG rv = card_type_read(p, &types[ntypes]);
    if (rv != SCARD_S_SUCCESS) return rv;
    ++ntypes;
  }
  if (count == 0) return SCARD_S_SUCCESS;
  lx_readerstate* lx_states = calloc(count, sizeof *lx_states);
  if (!lx_states) return SCARD_E_NO_MEMORY;
  for (DWORD i = 0; i < count; ++i) {
    brg_readerstate_to_lx((const w_readerstate*)&states[i], &lx_states[i]);
    lx_states[i].dwCurrentState = X_STATE_UNAWARE; /* ask for the present state */
  }
  LONG rv = lx_status_change(ctx, 0, lx_states, count);
  if (rv == SCARD_S_SUCCESS || rv == SCARD_E_TIMEOUT) {
    for (DWORD i = 0; i < count; ++i) {
      const lx_readerstate* s = &lx_states[i];
      int match = 0;
      for (size_t t = 0; t < ntypes && !match; ++t)
        match = brg_atr_match(s->rgbAtr, s->cbAtr, types[t].atr, types[t].mask, types[t].len);
      uint32_t event = brg_locate_event_state(states[i].dwCurrentState, s->dwEventState, match);
      brg_readerstate_from_lx(s, (w_readerstate*)&states[i]);
      states[i].dwEventState = event;
    }
    rv = SCARD_S_SUCCESS;
  }
  free(lx_states);
  return rv;
}

LONG WINAPI brg_SCardForgetCardTypeA(SCARDCONTEXT ctx, LPCSTR name) {
  (void)ctx;
  if (!name || !*name) return SCARD_E_INVALID_PARAMETER;
  HKEY cards, key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCardsKey, 0, KEY_ALL_ACCESS, &cards) != ERROR_SUCCESS)
    return SCARD_E_UNKNOWN_CARD;
  if (RegOpenKeyExA(cards, name, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    RegCloseKey(cards);
    return SCARD_E_UNKNOWN_CARD;
  }
  RegCloseKey(key);
  LONG err = RegDeleteTreeA(cards, name);
  if (err == ERROR_SUCCESS) err = RegDeleteKeyA(cards, name);
  RegCloseKey(cards);
  /* RegDeleteTree may already have removed the key itself. */
  return (err == ERROR_SUCCESS || err == ERROR_FILE_NOT_FOUND) ? SCARD_S_SUCCESS : SCARD_F_INTERNAL_ERROR;
}

/* ---- the resource manager's started event ---- */

static CRITICAL_SECTION started_lock;
static CRITICAL_SECTION_DEBUG started_lock_debug = {
    0, 0, &started_lock, {&started_lock_debug.ProcessLocksList, &started_lock_debug.ProcessLocksList}, 0, 0, {0}};
static CRITICAL_SECTION started_lock = {&started_lock_debug, -1, 0, 0, 0, 0};
static HANDLE started_event;
static LONG started_refs;

/* pcscd is running whenever a context can be established, so the event is
 * created signalled; it is shared by every caller of the process. */
HANDLE WINAPI brg_SCardAccessStartedEvent(void) {
  HANDLE ev;
  EnterCriticalSection(&started_lock);
  if (!started_event) started_event = CreateEventA(NULL, TRUE, TRUE, NULL);
  if (started_event) ++started_refs;
  ev = started_event;
  LeaveCriticalSection(&started_lock);
  return ev;
}

void WINAPI brg_SCardReleaseStartedEvent(void) {
  EnterCriticalSection(&started_lock);
  if (started_refs > 0 && --started_refs == 0) {
    CloseHandle(started_event);
    started_event = NULL;
  }
  LeaveCriticalSection(&started_lock);
}

/* ---- protocol control information ---- */

const SCARD_IO_REQUEST brg_t0_pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST brg_t1_pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST brg_raw_pci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
