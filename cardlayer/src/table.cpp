// The card state table: ten slots shared by every process of the same user
// that loads the same image. On Linux it is a file of the user's private
// directory mapped shared, on Windows a named mapping in Local\ that only the
// user may open. The platform's named lock (the table file itself on Linux)
// is held while a slot is claimed, joined, left or freed. This file only
// stores and looks up; it sends nothing to the card.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "internal.h"
#include "vorn/named_lock.h"
#include "vorn/secure.h"
#include "vorn/userdir.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#endif

namespace cardlayer {
namespace {

std::atomic<std::uint32_t> g_channelOpened{0};
std::mutex g_table_mutex;  // threads of this process
std::string g_image = "vorn";

// The table's cross-process lock; lives until the process ends.
vorn::NamedLock& table_lock() {
  static auto* lock = new vorn::NamedLock;
  return *lock;
}

// Holds the table lock for a scope (the caller holds g_table_mutex).
class CrossLock {
 public:
  CrossLock() { table_lock().lock(); }
  ~CrossLock() { table_lock().unlock(); }
  CrossLock(const CrossLock&) = delete;
  CrossLock& operator=(const CrossLock&) = delete;
};

bool image_name_ok(const char* image) {
  if (image == nullptr) return false;
  std::size_t n = std::strlen(image);
  if (n == 0 || n > 40) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = image[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// Layout of the shared table: a small header, then the ten slots.
struct SharedTable {
  std::uint32_t magic;
  std::uint32_t slot_size;
  std::uint8_t reserved[56];
  CardSlot slots[CARD_TABLE_SLOTS];
};
inline constexpr std::uint32_t kMagic = 0x564F524E;  // "VORN"

// Fills a new table (all zero) with ten free slots; false for a table of a
// build with another slot layout. Called under the cross-process lock.
bool table_init(SharedTable* t) {
  if (t->magic == kMagic) return t->slot_size == sizeof(CardSlot);
  std::memset(t, 0, sizeof *t);
  for (CardSlot& s : t->slots) s.readerKey = CARD_SLOT_FREE;
  t->slot_size = sizeof(CardSlot);
  t->magic = kMagic;
  return true;
}

#ifdef _WIN32

// A named mapping and a named mutex in the session's Local\ namespace, each
// with a DACL that grants the current user alone; an object of the same name
// made by anyone else (other owner, or access for others) is refused.
std::atomic<CardSlot*> g_slots{nullptr};
HANDLE g_section = nullptr;
SharedTable* g_map = nullptr;

vorn_rv table_map_locked() {
  if (g_slots != nullptr) return VORN_OK;
  PlatUserSecurity sec;
  if (!plat_user_security(sec)) return CARDERR_UNKNOWN;
  const std::string name = "vorn-cardtable-" + g_image;
  vorn::NamedLock& lock = table_lock();
  if (lock.open((name + "-lock").c_str(), vorn::LockScope::user_only) != VORN_OK) return CARDERR_UNKNOWN;
  if (lock.lock() != VORN_OK) {
    lock.close();
    return CARDERR_UNKNOWN;
  }
  vorn_rv rv = VORN_OK;
  const std::string local = "Local\\" + name;
  const std::wstring wname(local.begin(), local.end());
  HANDLE section =
      CreateFileMappingW(INVALID_HANDLE_VALUE, &sec.sa, PAGE_READWRITE, 0, sizeof(SharedTable), wname.c_str());
  SharedTable* map = nullptr;
  if (section == nullptr || (GetLastError() == ERROR_ALREADY_EXISTS && !plat_object_is_users(section, sec))) {
    rv = CARDERR_UNKNOWN;
  } else {
    map = static_cast<SharedTable*>(MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(SharedTable)));
    if (map == nullptr || !table_init(map)) rv = CARDERR_UNKNOWN;
  }
  lock.unlock();
  if (rv != VORN_OK) {
    if (map != nullptr) UnmapViewOfFile(map);
    if (section != nullptr) CloseHandle(section);
    lock.close();
    return rv;
  }
  g_section = section;
  g_map = map;
  g_slots = map->slots;
  return VORN_OK;
}

void table_unmap_locked() {
  if (g_map != nullptr) UnmapViewOfFile(g_map);
  if (g_section != nullptr) CloseHandle(g_section);
  table_lock().close();
  g_map = nullptr;
  g_section = nullptr;
  g_slots = nullptr;
}

#else

SharedTable* g_map = nullptr;
std::atomic<CardSlot*> g_slots{nullptr};

// The table's file in the user's private directory.
std::string object_name(const std::string& image) {
  std::string name = "cardtable-" + image;
  // A private PC/SC service has its own readers; its reader keys must not
  // meet those of another service in the same table.
  const char* sock = std::getenv("PCSCLITE_CSOCK_NAME");
  if (sock != nullptr && *sock != '\0') {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char* p = sock; *p != '\0'; ++p) {
      h ^= static_cast<unsigned char>(*p);
      h *= 0x100000001b3ULL;
    }
    char tag[20];
    std::snprintf(tag, sizeof tag, "-%016llx", static_cast<unsigned long long>(h));
    name += tag;
  }
  return name;
}

vorn_rv table_map_locked() {
  if (g_slots != nullptr) return VORN_OK;
  // Only a file of the user's own directory, the user's alone: session keys
  // and the PIN-cache copy are never shared through anything else. The file
  // is its own lock.
  vorn::NamedLock& lock = table_lock();
  if (lock.open(object_name(g_image).c_str(), vorn::LockScope::user_only) != VORN_OK) return CARDERR_UNKNOWN;
  const int fd = lock.fd();
  struct stat st {};
  vorn_rv rv = VORN_OK;
  void* p = MAP_FAILED;
  // Creation and initialisation happen under the lock, so a second process
  // never sees a half-initialised table.
  if (lock.lock() != VORN_OK) {
    rv = CARDERR_UNKNOWN;
  } else {
    if (fstat(fd, &st) != 0) {
      rv = CARDERR_UNKNOWN;
    } else if (st.st_size == 0) {
      if (ftruncate(fd, sizeof(SharedTable)) != 0) rv = CARDERR_UNKNOWN;
    } else if (static_cast<std::size_t>(st.st_size) != sizeof(SharedTable)) {
      rv = CARDERR_UNKNOWN;
    }
    if (rv == VORN_OK) {
      p = mmap(nullptr, sizeof(SharedTable), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (p == MAP_FAILED) rv = CARDERR_UNKNOWN;
    }
    if (rv == VORN_OK) {
      if (!table_init(static_cast<SharedTable*>(p))) rv = CARDERR_UNKNOWN;  // another slot layout
    }
    lock.unlock();
  }
  if (rv != VORN_OK) {
    if (p != MAP_FAILED) munmap(p, sizeof(SharedTable));
    lock.close();
    return rv;
  }
  g_map = static_cast<SharedTable*>(p);
  g_slots = g_map->slots;
  return VORN_OK;
}

void table_unmap_locked() {
  if (g_map != nullptr) munmap(g_map, sizeof(SharedTable));
  table_lock().close();
  g_map = nullptr;
  g_slots = nullptr;
}

// Child side of fork(): the inherited descriptor is the parent's open file,
// so a flock through it would be the parent's lock and an unlock would let
// others in while the parent holds it. The child drops descriptor and
// mapping (the parent keeps both) and maps the table anew on first use, with
// a lock of its own; its attaches then count as its own.
void table_after_fork_child() {
  new (&g_table_mutex) std::mutex;  // may have been held by a thread not copied
  if (g_map != nullptr) munmap(g_map, sizeof(SharedTable));
  table_lock().forget_after_fork();
  g_map = nullptr;
  g_slots = nullptr;
  g_channelOpened = 0;
}

[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, table_after_fork_child);

#endif

CardSlot* table() {
  if (CardSlot* t = g_slots.load()) return t;
  std::lock_guard<std::mutex> guard(g_table_mutex);
  if (table_map_locked() != VORN_OK) return nullptr;
  return g_slots.load();
}

bool slot_has_handle(const CardSlot& s, std::uintptr_t h) {
  for (std::uintptr_t e : s.handles) {
    if (e == h) return true;
  }
  return false;
}

std::uintptr_t handle_value(SCARDHANDLE handle) {
  return static_cast<std::uintptr_t>(handle);
}

void slot_free(CardSlot& s) {
  plat_wipe(&s, sizeof s);
  s.readerKey = CARD_SLOT_FREE;
}

// One user less: the count drops and the handle's entry is emptied.
void slot_drop_handle(CardSlot& s, std::uintptr_t h) {
  --s.refCount;
  for (std::uintptr_t& e : s.handles) {
    if (e == h && h != 0) {
      e = 0;
      break;
    }
  }
}

}  // namespace

void set_channel_opened(std::uint32_t value) { g_channelOpened.store(value); }

CardSlot* slot_lookup(std::uint32_t reader_key, SCARDHANDLE handle) {
  std::uintptr_t h = handle_value(handle);
  if (h == 0) return nullptr;  // 0 marks empty entries, never a handle
  CardSlot* t = table();
  if (t == nullptr) return nullptr;
  for (unsigned i = 0; i < CARD_TABLE_SLOTS; ++i) {
    CardSlot& s = t[i];
    if (*static_cast<volatile std::uint32_t*>(&s.readerKey) == reader_key &&
        reader_key != CARD_SLOT_FREE && slot_has_handle(s, h)) {
      return &s;
    }
  }
  return nullptr;
}

CardSlot* slot_by_key(std::uint32_t reader_key) {
  if (reader_key == CARD_SLOT_FREE) return nullptr;
  CardSlot* t = table();
  if (t == nullptr) return nullptr;
  for (unsigned i = 0; i < CARD_TABLE_SLOTS; ++i) {
    if (*static_cast<volatile std::uint32_t*>(&t[i].readerKey) == reader_key) return &t[i];
  }
  return nullptr;
}

void slot_close_channel(CardSlot* slot) {
  if (slot == nullptr) return;
  shared_store(slot->channelState, CARD_CHANNEL_CLOSED);
  shared_store(slot->channelApp, CARD_APP_NONE);
  plat_wipe(slot->sessionKey, sizeof slot->sessionKey);
}

SlotJoin slot_join(std::uint32_t reader_key, SCARDHANDLE handle) {
  CardSlot* t = table();
  std::uintptr_t h = handle_value(handle);
  if (t == nullptr || h == 0 || reader_key == CARD_SLOT_FREE) return SlotJoin::none;
  std::lock_guard<std::mutex> guard(g_table_mutex);
  CrossLock lock;
  for (unsigned i = 0; i < CARD_TABLE_SLOTS; ++i) {
    CardSlot& s = t[i];
    if (s.readerKey == reader_key) {
      ++s.refCount;
      for (std::uintptr_t& e : s.handles) {
        if (e == 0) {
          e = h;
          break;
        }
      }
      return SlotJoin::joined;
    }
  }
  for (unsigned i = 0; i < CARD_TABLE_SLOTS; ++i) {
    CardSlot& s = t[i];
    if (s.readerKey == CARD_SLOT_FREE) {
      slot_free(s);
      s.handles[0] = h;
      s.readerKey = reader_key;
      s.refCount = 1;
      return SlotJoin::claimed;
    }
  }
  return SlotJoin::none;
}

bool slot_leave(std::uint32_t reader_key, SCARDHANDLE handle) {
  if (table() == nullptr || reader_key == CARD_SLOT_FREE) return false;
  CardSlot* slot = slot_by_key(reader_key);
  if (slot == nullptr) return false;
  std::lock_guard<std::mutex> guard(g_table_mutex);
  CrossLock lock;
  if (slot->readerKey != reader_key) return false;
  if (slot->refCount < 2) return true;
  slot_drop_handle(*slot, handle_value(handle));
  return false;
}

void slot_release(std::uint32_t reader_key, SCARDHANDLE handle) {
  CardSlot* slot = slot_by_key(reader_key);
  if (slot == nullptr) return;
  std::lock_guard<std::mutex> guard(g_table_mutex);
  CrossLock lock;
  if (slot->readerKey != reader_key) return;
  if (slot->refCount < 2) {
    slot_free(*slot);
  } else {
    slot_drop_handle(*slot, handle_value(handle));  // someone joined while the card was being closed
  }
}

}  // namespace cardlayer

using namespace cardlayer;

vorn_rv card_table_open(const char* image) {
  if (!image_name_ok(image)) return CARDERR_BAD_ARG;
  std::lock_guard<std::mutex> guard(g_table_mutex);
  if (g_slots != nullptr && g_image == image) return VORN_OK;
  table_unmap_locked();
  g_image = image;
  return table_map_locked();
}

void card_table_close() {
  std::lock_guard<std::mutex> guard(g_table_mutex);
  table_unmap_locked();
}

vorn_rv card_table_unlink(const char* image) {
  if (!image_name_ok(image)) return CARDERR_BAD_ARG;
#ifdef _WIN32
  return VORN_OK;
#else
  return plat_user_file_unlink(object_name(image).c_str());
#endif
}

vorn_rv card_table_hold(bool wait) {
  if (table() == nullptr) return CARDERR_UNKNOWN;
  g_table_mutex.lock();
  vorn_rv rv = wait ? table_lock().lock() : table_lock().try_lock();
  if (rv == VORN_OK) return VORN_OK;
  g_table_mutex.unlock();
  return rv == PLATERR_LOCK_BUSY ? static_cast<vorn_rv>(SCARD_E_TIMEOUT) : CARDERR_UNKNOWN;
}

void card_table_release() {
  table_lock().unlock();
  g_table_mutex.unlock();
}

vorn_rv card_table_read(unsigned index, CardSlot* out) {
  if (out == nullptr || index >= CARD_TABLE_SLOTS) return CARDERR_BAD_ARG;
  CardSlot* t = table();
  if (t == nullptr) return CARDERR_UNKNOWN;
  std::lock_guard<std::mutex> guard(g_table_mutex);
  CrossLock lock;
  std::memcpy(out, &t[index], sizeof *out);
  return VORN_OK;
}

std::uint32_t card_channel_opened() { return g_channelOpened.load(); }

std::uint8_t sm_state_get(std::uint32_t reader_key, SCARDHANDLE handle) {
  CardSlot* s = slot_lookup(reader_key, handle);
  return s == nullptr ? 0 : shared_load(s->channelState);
}

void sm_state_set(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t value) {
  if (CardSlot* s = slot_lookup(reader_key, handle)) shared_store(s->channelState, value);
}

std::uint8_t sm_app_get(std::uint32_t reader_key, SCARDHANDLE handle) {
  CardSlot* s = slot_lookup(reader_key, handle);
  return s == nullptr ? 0 : shared_load(s->channelApp);
}

void sm_app_set(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t value) {
  if (CardSlot* s = slot_lookup(reader_key, handle)) shared_store(s->channelApp, value);
}

std::uint8_t* sm_key_get(std::uint32_t reader_key, SCARDHANDLE handle) {
  CardSlot* s = slot_lookup(reader_key, handle);
  return s == nullptr ? nullptr : s->sessionKey;
}

void sm_key_set(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* key16) {
  if (key16 == nullptr) return;
  if (CardSlot* s = slot_lookup(reader_key, handle)) std::memcpy(s->sessionKey, key16, 16);
}

std::uint8_t* pin_cache_get(std::uint32_t reader_key, SCARDHANDLE handle) {
  CardSlot* s = slot_lookup(reader_key, handle);
  return s == nullptr ? nullptr : s->pinCache;
}

void pin_cache_set(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* value8) {
  if (value8 == nullptr) return;
  if (CardSlot* s = slot_lookup(reader_key, handle)) std::memcpy(s->pinCache, value8, 8);
}
