// The reader watch threads of platforms before version 6: one per reader
// slot, blocked in SCardGetStatusChangeA until the card leaves the reader,
// then closing every context of that reader and forgetting its PIN.
#include <cstring>

#include "csp.h"

namespace csp {

namespace {

// Rebuilds the PC/SC contexts after the smart-card service went away; the
// provider lock is not taken here (the thread runs outside it), this lock
// only keeps two watch threads from rebuilding at once.
HANDLE g_rebuild_lock = nullptr;

const char* card_types() {
  static char buf[sizeof(kCardTypeName) + 1] = {};
  std::memcpy(buf, kCardTypeName, sizeof(kCardTypeName));
  return buf;
}

void rebuild(unsigned slot, Provider::Watch& w) {
  Provider& p = provider();
  if (g_rebuild_lock == nullptr) g_rebuild_lock = CreateMutexA(nullptr, FALSE, nullptr);
  if (g_rebuild_lock == nullptr || WaitForSingleObject(g_rebuild_lock, INFINITE) != WAIT_OBJECT_0) return;
  SCardReleaseContext(w.ctx);
  w.ctx = 0;
  if (p.readers[slot].ctx != 0) SCardReleaseContext(p.readers[slot].ctx);
  for (ReaderSlot& s : p.readers) s.ctx = 0;
  p.shared_ctx = 0;
  HANDLE started = SCardAccessStartedEvent();
  if (started != nullptr) {
    WaitForSingleObject(started, INFINITE);
    SCardReleaseStartedEvent();
  }
  SCARDCONTEXT shared = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &shared) == SCARD_S_SUCCESS) {
    p.shared_ctx = shared;
    for (unsigned i = 0; i < kReaders; ++i) {
      ReaderSlot& s = p.readers[i];
      if (!s.present) continue;
      s.ctx = shared;
      if (s.card == 0) continue;
      SCARDHANDLE h = 0;
      s.card = card_connect(shared, s.name, &h) == 0 ? h : 0;
      for (ContextRecord& c : p.contexts)
        if (c.in_use && c.slot == i) c.card = s.card;
    }
  }
  SCARDCONTEXT own = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &own) == SCARD_S_SUCCESS) w.ctx = own;
  ReleaseMutex(g_rebuild_lock);
}

DWORD WINAPI watch_body(LPVOID arg) {
  const unsigned slot = static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(arg));
  Provider& p = provider();
  Provider::Watch& w = p.watch[slot];
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) == SCARD_S_SUCCESS) {
    w.ctx = ctx;
    SCARD_READERSTATEA st{};
    st.szReader = p.readers[slot].name;
    st.dwCurrentState = SCARD_STATE_UNAWARE;
    const LONG r = SCardLocateCardsA(w.ctx, card_types(), &st, 1);
    if (r != SCARD_S_SUCCESS || !(st.dwEventState & SCARD_STATE_ATRMATCH)) {
      InterlockedExchange(&w.removal_reported, 1);
    } else {
      for (;;) {
        st.dwCurrentState = st.dwEventState & ~SCARD_STATE_CHANGED;
        const LONG g = SCardGetStatusChangeA(w.ctx, INFINITE, &st, 1);
        if (g == SCARD_S_SUCCESS) {
          if (!w.removal_reported && (st.dwEventState & SCARD_STATE_EMPTY)) {
            InterlockedExchange(&w.removal_reported, 1);
            break;
          }
          continue;
        }
        if (g == SCARD_E_SYSTEM_CANCELLED && !p.shutdown) {
          rebuild(slot, w);
          if (w.ctx == 0) break;
          continue;
        }
        break;
      }
    }
  }
  if (!p.shutdown) {
    if (p.pins[slot].verified) pin_cache_clear(slot);
    p.readers[slot].open_contexts = 0;
    slot_close(slot);
    p.readers[slot].transaction_held = 0;
    p.readers[slot].pin_verified_on_card = 0;
  }
  if (w.ctx != 0) SCardReleaseContext(w.ctx);
  w.ctx = 0;
  InterlockedExchange(&w.running, 0);
  return 0;
}

void suspend_all(bool suspend) {
  for (Provider::Watch& w : provider().watch)
    if (w.running && w.thread != nullptr) suspend ? SuspendThread(w.thread) : ResumeThread(w.thread);
}

}  // namespace

DWORD watch_start(unsigned slot) {
  Provider::Watch& w = provider().watch[slot];
  if (w.running) return 0;
  if (w.thread != nullptr) {  // a finished thread's handle
    CloseHandle(w.thread);
    w.thread = nullptr;
  }
  InterlockedExchange(&w.removal_reported, 0);
  suspend_all(true);
  HANDLE t = CreateThread(nullptr, 0, watch_body, reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(slot)), 0,
                          nullptr);
  if (t != nullptr) {
    Sleep(100);
    w.thread = t;
    InterlockedExchange(&w.running, 1);
  }
  suspend_all(false);
  return t != nullptr ? 0 : ERROR_OPERATION_ABORTED;
}

void watch_stop_all() {
  for (Provider::Watch& w : provider().watch) {
    if (w.ctx != 0) SCardCancel(w.ctx);
    if (w.thread != nullptr) {
      WaitForSingleObject(w.thread, 500);
      CloseHandle(w.thread);
      w.thread = nullptr;
    }
  }
  if (g_rebuild_lock != nullptr) CloseHandle(g_rebuild_lock);
  g_rebuild_lock = nullptr;
}

}  // namespace csp
