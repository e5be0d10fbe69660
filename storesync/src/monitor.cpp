// The card monitor: the refresh of the reader list, one thread per watched
// reader blocked in the status-change wait, and the reading and removal of
// a card's certificates.
#include <cstring>
#include <new>

#include "kestrelink.h"
#include "res/resource.h"

std::function<void()> g_kestrelink_thread_start_hook;
std::atomic<int> g_kestrelink_live_start_blocks{0};

namespace {

constexpr DWORD kStateChangedMark = 0x400;

void clear_slot(CMainFrame* f, unsigned s) {
  ReaderSlot& slot = f->slots_[s];
  slot.name[0] = 0;
  slot.rs = SCARD_READERSTATEA{};
  slot.rs.szReader = slot.name;
  slot.thread = nullptr;
  slot.thread_id = 0;
  f->reader_index_[s] = 0;
  f->cancel_ctx_[s] = 0;
}

bool slot_holds(const CMainFrame* f, const char* name) {
  for (const ReaderSlot& slot : f->slots_) {
    if (slot.name[0] != 0 && std::strcmp(slot.name, name) == 0) return true;
  }
  return false;
}

// The smart-card service stopped or restarted: a context made before stays
// dead for good, every call on it fails like this.
bool context_lost(LONG rv) {
  return rv == static_cast<LONG>(SCARD_E_NO_SERVICE) || rv == static_cast<LONG>(SCARD_E_SERVICE_STOPPED) ||
         rv == static_cast<LONG>(SCARD_E_INVALID_HANDLE) || rv == static_cast<LONG>(SCARD_F_COMM_ERROR);
}

LONG renew_main_context(CMainFrame* f) {
  if (f->main_ctx_ != 0) SCardReleaseContext(f->main_ctx_);
  f->main_ctx_ = 0;
  SCARDCONTEXT c = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &c);
  if (rv == SCARD_S_SUCCESS) f->main_ctx_ = c;
  return rv;
}

// A thread that has ended (its context failed: the service went away, say)
// frees its slot, so the reader is watched again while it is listed.
void free_ended_slots(CMainFrame* f) {
  for (unsigned s = 0; s < KL_READERS; ++s) {
    HANDLE h = f->slots_[s].thread;
    DWORD code = 0;
    if (h != nullptr && GetExitCodeThread(h, &code) && code != STILL_ACTIVE) {
      CloseHandle(h);
      clear_slot(f, s);
    }
  }
}

}  // namespace

LONG RefreshReaders(CMainFrame* f) {
  EnterCriticalSection(&f->sync_lock_);
  free_ended_slots(f);
  SCARD_READERSTATEA local[KL_READERS];
  char names[KL_READERS][KL_NAME_LEN];
  std::memset(local, 0, sizeof local);
  std::memset(names, 0, sizeof names);
  for (unsigned i = 0; i < KL_READERS; ++i) local[i].szReader = names[i];

  DWORD size = 0;
  LONG rv = SCardListReadersA(f->main_ctx_, nullptr, nullptr, &size);
  if (context_lost(rv)) {
    rv = renew_main_context(f);
    if (rv == SCARD_S_SUCCESS) rv = SCardListReadersA(f->main_ctx_, nullptr, nullptr, &size);
  }
  if (rv != SCARD_S_SUCCESS) {
    if (rv == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) {
      for (unsigned s = 0; s < KL_READERS; ++s) {
        if (f->slots_[s].thread != nullptr) CloseHandle(f->slots_[s].thread);  // the threads end on their own
        clear_slot(f, s);
      }
    }
    LeaveCriticalSection(&f->sync_lock_);
    return rv;
  }
  std::vector<char> list(size + 2, 0);
  rv = SCardListReadersA(f->main_ctx_, nullptr, list.data(), &size);
  if (rv != SCARD_S_SUCCESS) {
    LeaveCriticalSection(&f->sync_lock_);
    return rv;
  }
  DWORD count = 0;
  for (const char* p = list.data(); *p != 0 && count < KL_READERS; p += std::strlen(p) + 1) {
    lstrcpynA(names[count], p, KL_NAME_LEN);
    local[count].dwCurrentState = SCARD_STATE_UNAWARE;
    ++count;
  }
  if (count == 0) {
    LeaveCriticalSection(&f->sync_lock_);
    return SCARD_E_NO_READERS_AVAILABLE;
  }
  rv = SCardLocateCardsA(f->main_ctx_, KL_CARD_TYPES, local, count);
  if (rv != SCARD_S_SUCCESS) {  // e.g. the card type is not registered
    LeaveCriticalSection(&f->sync_lock_);
    return rv;
  }
  for (unsigned s = 0; s < KL_READERS; ++s) {
    if (f->slots_[s].name[0] == 0) continue;
    unsigned i = 0;
    while (i < KL_READERS && std::strcmp(names[i], f->slots_[s].name) != 0) ++i;
    if (i < KL_READERS) {
      f->reader_index_[s] = i;
    } else {
      // The reader has gone; its thread ends on its own when its wait fails.
      if (f->slots_[s].thread != nullptr) CloseHandle(f->slots_[s].thread);
      clear_slot(f, s);
    }
  }
  LeaveCriticalSection(&f->sync_lock_);

  for (unsigned i = 0; i < KL_READERS; ++i) {
    EnterCriticalSection(&f->sync_lock_);
    if (names[i][0] == 0 || slot_holds(f, names[i])) {
      LeaveCriticalSection(&f->sync_lock_);
      continue;
    }
    rv = StartReaderThread(f, local[i], i);
    LeaveCriticalSection(&f->sync_lock_);
    if (rv != SCARD_S_SUCCESS) return rv;
  }
  return SCARD_S_SUCCESS;
}

// The other monitor threads touch the slot table only under the
// synchroniser lock, which the caller holds for the whole registration: that
// is the pause they make while a thread is registered (no thread is
// suspended, so none can be stopped inside a lock or the allocator). The
// start block belongs to the new thread, which frees it after its copy.
LONG StartReaderThread(CMainFrame* f, const SCARD_READERSTATEA& rs, std::uint32_t i) {
  unsigned s = 0;
  while (s < KL_READERS && f->slots_[s].name[0] != 0) ++s;
  if (s == KL_READERS) return SCARD_E_NO_MEMORY;
  f->reader_index_[s] = i;
  auto* b = new StartBlock;
  ++g_kestrelink_live_start_blocks;
  b->reader_index = i;
  b->slot = s;
  b->frame = f;
  b->rs = rs;
  lstrcpynA(b->name, rs.szReader, KL_NAME_LEN);
  b->rs.szReader = b->name;
  b->main_ctx = f->main_ctx_;
  b->icon_lock = &f->icon_lock_;
  b->sync_lock = &f->sync_lock_;
  b->cancel_ctx = f->cancel_ctx_.data();
  b->reader_index_array = f->reader_index_.data();
  DWORD tid = 0;
  HANDLE h = CreateThread(nullptr, 0, ReaderThreadMain, b, 0, &tid);
  if (h == nullptr) {
    delete b;
    --g_kestrelink_live_start_blocks;
    return static_cast<LONG>(GetLastError());
  }
  ReaderSlot& slot = f->slots_[s];
  slot.thread = h;
  slot.thread_id = tid;
  lstrcpynA(slot.name, rs.szReader, KL_NAME_LEN);
  slot.rs.szReader = slot.name;
  slot.rs.dwCurrentState = rs.dwCurrentState;
  slot.rs.dwEventState = rs.dwEventState;
  slot.rs.cbAtr = rs.cbAtr;
  std::memcpy(slot.rs.rgbAtr, rs.rgbAtr, 10);
  return SCARD_S_SUCCESS;
}

DWORD WINAPI ReaderThreadMain(LPVOID param) {
  if (g_kestrelink_thread_start_hook) g_kestrelink_thread_start_hook();
  auto* b = static_cast<StartBlock*>(param);
  auto* w = new Icono;
  EnterCriticalSection(b->sync_lock);
  w->frame_ = b->frame;
  w->frame_window_ = b->frame->hwnd_;
  w->rs_ = b->rs;
  lstrcpynA(w->reader_, b->name, KL_NAME_LEN);
  w->rs_.szReader = w->reader_;
  if (w->rs_.cbAtr > sizeof w->rs_.rgbAtr) w->rs_.cbAtr = sizeof w->rs_.rgbAtr;
  w->slot_ = b->slot;
  w->main_ctx_ = b->main_ctx;
  w->icon_lock_ = b->icon_lock;
  w->sync_lock_ = b->sync_lock;
  w->reader_index_ = b->reader_index_array;
  LeaveCriticalSection(b->sync_lock);
  delete b;
  --g_kestrelink_live_start_blocks;
  WatchReader(w);
  FinishWatch(w);
  return 1;
}

BOOL SwitchToDefaultDesktop() {
  HDESK desk = OpenDesktopA("default", 0, FALSE, DESKTOP_SWITCHDESKTOP);
  if (desk == nullptr) return FALSE;
  BOOL ok = SwitchDesktop(desk);
  if (!ok) Sleep(500);
  CloseDesktop(desk);
  return ok;
}

void WatchReader(Icono* w) {
  CRITICAL_SECTION* icon_lock = w->icon_lock_;
  EnterCriticalSection(icon_lock);
  w->InitIcon(KL_FIRST_ICON_ID + w->slot_, icon_lock);
  w->SetNotifyWindow(w->frame_window_);
  w->SetDisplayText(w->reader_);
  w->SetIcon(IDI_KL_EMPTY);
  LeaveCriticalSection(icon_lock);

  CMainFrame* f = w->frame_;
  bool have_ctx = false, fatal = false, busy = false, skip = false, present = false, empty = false;
  for (;;) {
    if (w->own_ctx_ == 0 && !skip) {
      LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &w->own_ctx_);
      if (rv == SCARD_S_SUCCESS) {
        have_ctx = true;
        EnterCriticalSection(w->sync_lock_);
        f->cancel_ctx_[w->slot_] = w->own_ctx_;
        LeaveCriticalSection(w->sync_lock_);
        if (f->stopping_) fatal = true;  // the exit began before our wait could be cancelled
      } else {
        w->own_ctx_ = 0;
        if (rv == static_cast<LONG>(SCARD_E_SHARING_VIOLATION)) busy = true;
        else fatal = true;
      }
    }
    if (have_ctx && !skip) {
      present = (w->rs_.dwEventState & SCARD_STATE_PRESENT) != 0;
      busy = (w->rs_.dwEventState & SCARD_STATE_EXCLUSIVE) != 0;
      empty = (w->rs_.dwEventState & SCARD_STATE_EMPTY) != 0;
    }
    if (have_ctx && !fatal && !busy && !skip) {
      LONG result = 0;
      if (present) {
        while (!SwitchToDefaultDesktop() && !f->stopping_) Sleep(500);
        if (f->stopping_) {
          // the exit cancels the wait below
        } else if (card_atr_match(w->rs_.rgbAtr, w->rs_.cbAtr)) {
          result = OnCardInserted(w, w->reader_index_[w->slot_]);
          if (result != 0) w->ShowIcon(IDI_KL_FAILED);
        } else {
          w->ShowIcon(IDI_KL_FAILED);
        }
      } else if (empty) {
        result = OnCardRemoved(w);
      }
      if (result == static_cast<LONG>(SCARD_E_SHARING_VIOLATION)) busy = true;
    }
    if (fatal || w->own_ctx_ == 0) {
      if (!fatal) Sleep(1000);
    } else {
      w->rs_.dwCurrentState = w->rs_.dwEventState;
      LONG rv = SCardGetStatusChangeA(w->own_ctx_, INFINITE, &w->rs_, 1);
      if (rv == static_cast<LONG>(SCARD_E_SHARING_VIOLATION)) busy = true;
      else if (rv != SCARD_S_SUCCESS) fatal = true;
      const DWORD ev = w->rs_.dwEventState;
      skip = !((present && (ev & SCARD_STATE_EMPTY) != 0) || (empty && (ev & SCARD_STATE_PRESENT) != 0));
    }
    if (fatal) break;
  }
}

LONG OnCardInserted(Icono* w, std::uint32_t reader_index) {
  EnterCriticalSection(w->icon_lock_);
  std::string reading = std::string("Leyendo\n") + w->reader_;
  w->SetDisplayText(reading.c_str());
  w->SetIcon(IDI_KL_READING);
  w->SetDisplayText(w->reader_);
  LeaveCriticalSection(w->icon_lock_);
  w->rs_.dwEventState |= kStateChangedMark;  // the next wait returns at once with the fresh state

  SCARDHANDLE card = 0;
  LONG rv = card_connect(w->own_ctx_, w->reader_, &card);
  if (rv != SCARD_S_SUCCESS) return rv;
  rv = static_cast<LONG>(card_begin(card));
  if (rv != SCARD_S_SUCCESS) return rv;
  card_attach(card, reader_index);
  EnterCriticalSection(w->sync_lock_);
  if (!ReconcileContainerMap(*w, card, reader_index)) {
    LeaveCriticalSection(w->sync_lock_);
    card_detach(card, reader_index);
    card_end(card);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    return SCARD_E_CARD_UNSUPPORTED;
  }
  DWORD result = ReadCardCertificates(*w, card, reader_index);
  sm_channel_reset(card, reader_index);
  card_detach(card, reader_index);
  card_end(card);
  if (result == 0) result = ImportCertificates(*w);
  LeaveCriticalSection(w->sync_lock_);
  w->ShowIcon(result == 0 ? IDI_KL_DONE : IDI_KL_FAILED);
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  return static_cast<LONG>(result);
}

LONG OnCardRemoved(Icono* w) {
  RemoveAddedCertificates(w->reader_, "MY", &w->imported_);
  RemoveAddedCertificates(w->reader_, "AddressBook", &w->imported_);
  w->ShowIcon(IDI_KL_EMPTY);
  return 0;
}

void FinishWatch(Icono* w) {
  EnterCriticalSection(w->sync_lock_);
  if (w->frame_->cancel_ctx_[w->slot_] == w->own_ctx_) w->frame_->cancel_ctx_[w->slot_] = 0;
  LeaveCriticalSection(w->sync_lock_);
  if (w->own_ctx_ != 0) {
    SCardReleaseContext(w->own_ctx_);
    w->own_ctx_ = 0;
  }
  RemoveAddedCertificates(w->reader_, "MY", &w->imported_);
  RemoveAddedCertificates(w->reader_, "AddressBook", &w->imported_);
  delete w;  // removes the tray icon under the icon lock
}

void StopReaderThreads(CMainFrame* f) {
  f->stopping_ = true;
  EnterCriticalSection(&f->sync_lock_);
  for (SCARDCONTEXT c : f->cancel_ctx_) {
    if (c != 0) SCardCancel(c);
  }
  LeaveCriticalSection(&f->sync_lock_);
  if (f->main_ctx_ != 0) {
    SCardReleaseContext(f->main_ctx_);
    f->main_ctx_ = 0;
  }
  for (;;) {
    bool running = false;
    for (unsigned s = 0; s < KL_READERS; ++s) {
      EnterCriticalSection(&f->sync_lock_);
      HANDLE h = f->slots_[s].thread;
      DWORD code = 0;
      if (h != nullptr && GetExitCodeThread(h, &code) && code == STILL_ACTIVE) {
        running = true;
        if (f->cancel_ctx_[s] != 0) SCardCancel(f->cancel_ctx_[s]);
      }
      LeaveCriticalSection(&f->sync_lock_);
    }
    if (!running) break;
    Sleep(100);
  }
  EnterCriticalSection(&f->sync_lock_);
  for (unsigned s = 0; s < KL_READERS; ++s) {
    if (f->slots_[s].thread != nullptr) CloseHandle(f->slots_[s].thread);
    clear_slot(f, s);
  }
  LeaveCriticalSection(&f->sync_lock_);
}
