// The card state table: ten slots shared by every process of the same user
// that loads the same image. On Linux it is a file of the user's private
// directory mapped shared, on Windows a named mapping in Local\ that only the
// user may open. A cross-process lock is held while a slot is claimed,
// joined, left or freed.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "internal.h"
#include "vorn/secure.h"

#ifdef _WIN32
#include <windows.h>
// after windows.h
#include <aclapi.h>

#include <vector>
#else
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "vorn/userdir.h"
#endif

namespace cardlayer {
namespace {

std::atomic<std::uint32_t> g_channelOpened{0};
std::mutex g_table_mutex;  // threads of this process
std::string g_image = "vorn";

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
HANDLE g_lock = nullptr;
HANDLE g_section = nullptr;
SharedTable* g_map = nullptr;

// The token user's SID, copied into `buf`.
PSID user_sid(std::vector<std::uint8_t>& buf) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD len = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &len);
  std::vector<std::uint8_t> info(len);
  bool ok = len != 0 && GetTokenInformation(token, TokenUser, info.data(), len, &len);
  CloseHandle(token);
  if (!ok) return nullptr;
  PSID sid = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
  buf.assign(GetLengthSid(sid), 0);
  if (!CopySid(static_cast<DWORD>(buf.size()), buf.data(), sid)) return nullptr;
  return buf.data();
}

// Owner and every ACE of the object's DACL are the user's.
bool object_is_users(HANDLE h, PSID sid) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                      nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS) {
    return false;
  }
  bool ok = owner != nullptr && EqualSid(owner, sid) && dacl != nullptr && dacl->AceCount > 0;
  for (DWORD i = 0; ok && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    ok = GetAce(dacl, i, &ace) && static_cast<ACE_HEADER*>(ace)->AceType == ACCESS_ALLOWED_ACE_TYPE &&
         EqualSid(reinterpret_cast<PSID>(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart), sid);
  }
  LocalFree(sd);
  return ok;
}

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

vorn_rv table_map_locked() {
  if (g_slots != nullptr) return VORN_OK;
  std::vector<std::uint8_t> sid_buf;
  PSID sid = user_sid(sid_buf);
  if (sid == nullptr) return CARDERR_UNKNOWN;
  DWORD acl_len = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
  std::vector<std::uint8_t> acl_buf(acl_len);
  auto* acl = reinterpret_cast<PACL>(acl_buf.data());
  SECURITY_DESCRIPTOR sd;
  if (!InitializeAcl(acl, acl_len, ACL_REVISION) || !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid) ||
      !InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) || !SetSecurityDescriptorOwner(&sd, sid, FALSE)) {
    return CARDERR_UNKNOWN;
  }
  SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
  std::wstring name = wide("Local\\vorn-cardtable-" + g_image);
  HANDLE lock = CreateMutexW(&sa, FALSE, (name + L"-lock").c_str());
  if (lock == nullptr) return CARDERR_UNKNOWN;
  if (GetLastError() == ERROR_ALREADY_EXISTS && !object_is_users(lock, sid)) {
    CloseHandle(lock);
    return CARDERR_UNKNOWN;
  }
  DWORD w = WaitForSingleObject(lock, INFINITE);
  if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) {
    CloseHandle(lock);
    return CARDERR_UNKNOWN;
  }
  vorn_rv rv = VORN_OK;
  HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, sizeof(SharedTable), name.c_str());
  SharedTable* map = nullptr;
  if (section == nullptr || (GetLastError() == ERROR_ALREADY_EXISTS && !object_is_users(section, sid))) {
    rv = CARDERR_UNKNOWN;
  } else {
    map = static_cast<SharedTable*>(MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(SharedTable)));
    if (map == nullptr || !table_init(map)) rv = CARDERR_UNKNOWN;
  }
  ReleaseMutex(lock);
  if (rv != VORN_OK) {
    if (map != nullptr) UnmapViewOfFile(map);
    if (section != nullptr) CloseHandle(section);
    CloseHandle(lock);
    return rv;
  }
  g_lock = lock;
  g_section = section;
  g_map = map;
  g_slots = map->slots;
  return VORN_OK;
}

void table_unmap_locked() {
  if (g_map != nullptr) UnmapViewOfFile(g_map);
  if (g_section != nullptr) CloseHandle(g_section);
  if (g_lock != nullptr) CloseHandle(g_lock);
  g_map = nullptr;
  g_section = nullptr;
  g_lock = nullptr;
  g_slots = nullptr;
}

class CrossLock {
 public:
  CrossLock() {
    if (g_lock != nullptr) WaitForSingleObject(g_lock, INFINITE);
  }
  ~CrossLock() {
    if (g_lock != nullptr) ReleaseMutex(g_lock);
  }
  CrossLock(const CrossLock&) = delete;
  CrossLock& operator=(const CrossLock&) = delete;
};

#else

int g_fd = -1;
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

class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    if (fd_ >= 0) {
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) flock(fd_, LOCK_UN);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

vorn_rv table_map_locked() {
  if (g_slots != nullptr) return VORN_OK;
  // Only a file of the user's own directory, the user's alone: session keys
  // and the PIN-cache copy are never shared through anything else.
  std::string name = object_name(g_image);
  int fd = plat_user_file_open(name.c_str());
  if (fd < 0) return CARDERR_UNKNOWN;
  struct stat st {};
  vorn_rv rv = VORN_OK;
  void* p = MAP_FAILED;
  {
    // Creation and initialisation happen under the lock, so a second
    // process never sees a half-initialised table.
    FileLock lock(fd);
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
  }
  if (rv != VORN_OK) {
    if (p != MAP_FAILED) munmap(p, sizeof(SharedTable));
    close(fd);
    return rv;
  }
  g_fd = fd;
  g_map = static_cast<SharedTable*>(p);
  g_slots = g_map->slots;
  return VORN_OK;
}

void table_unmap_locked() {
  if (g_map != nullptr) munmap(g_map, sizeof(SharedTable));
  if (g_fd >= 0) close(g_fd);
  g_map = nullptr;
  g_slots = nullptr;
  g_fd = -1;
}

class CrossLock {
 public:
  CrossLock() : lock_(g_fd) {}

 private:
  FileLock lock_;
};

// Child side of fork(): the inherited descriptor is the parent's open file,
// so a flock through it would be the parent's lock and an unlock would let
// others in while the parent holds it. The child drops descriptor and
// mapping (the parent keeps both) and maps the table anew on first use, with
// a lock of its own; its attaches then count as its own.
void table_after_fork_child() {
  new (&g_table_mutex) std::mutex;  // may have been held by a thread not copied
  if (g_map != nullptr) munmap(g_map, sizeof(SharedTable));
  if (g_fd >= 0) close(g_fd);
  g_map = nullptr;
  g_fd = -1;
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
#ifdef _WIN32
  DWORD r = WaitForSingleObject(g_lock, wait ? INFINITE : 0);
  if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) return VORN_OK;
  g_table_mutex.unlock();
  return r == WAIT_TIMEOUT ? static_cast<vorn_rv>(SCARD_E_TIMEOUT) : CARDERR_UNKNOWN;
#else
  int rv;
  while ((rv = flock(g_fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
  }
  if (rv == 0) return VORN_OK;
  int err = errno;
  g_table_mutex.unlock();
  return err == EWOULDBLOCK ? static_cast<vorn_rv>(SCARD_E_TIMEOUT) : CARDERR_UNKNOWN;
#endif
}

void card_table_release() {
#ifdef _WIN32
  ReleaseMutex(g_lock);
#else
  flock(g_fd, LOCK_UN);
#endif
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

void card_attach(SCARDHANDLE handle, std::uint32_t reader_key) {
  CardSlot* t = table();
  std::uintptr_t h = handle_value(handle);
  if (t == nullptr || h == 0 || reader_key == CARD_SLOT_FREE) return;
  bool claimed = false;
  {
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
        return;
      }
    }
    for (unsigned i = 0; i < CARD_TABLE_SLOTS; ++i) {
      CardSlot& s = t[i];
      if (s.readerKey == CARD_SLOT_FREE) {
        slot_free(s);
        s.handles[0] = h;
        s.readerKey = reader_key;
        s.refCount = 1;
        claimed = true;
        break;
      }
    }
  }
  if (!claimed) return;  // full table: the card works in plain mode
  // Load the PIN cache; its errors are not the caller's concern.
  sm_channel_reset(handle, reader_key);
  std::uint8_t cache[8];
  DWORD len = sizeof cache;
  if (card_read_binary(reader_key, handle, CARD_FILE_PIN_CACHE, 0, sizeof cache, cache, &len) ==
          VORN_OK &&
      len == sizeof cache) {
    pin_cache_set(reader_key, handle, cache);
  }
  plat_wipe(cache, sizeof cache);
}

void card_detach(SCARDHANDLE handle, std::uint32_t reader_key) {
  CardSlot* t = table();
  std::uintptr_t h = handle_value(handle);
  if (t == nullptr || reader_key == CARD_SLOT_FREE) return;
  CardSlot* slot = slot_by_key(reader_key);
  if (slot == nullptr) return;
  bool last;
  {
    std::lock_guard<std::mutex> guard(g_table_mutex);
    CrossLock lock;
    if (slot->readerKey != reader_key) return;
    last = slot->refCount < 2;
    if (!last) {
      --slot->refCount;
      for (std::uintptr_t& e : slot->handles) {
        if (e == h && h != 0) {
          e = 0;
          break;
        }
      }
      return;
    }
  }
  // Last user: leave the card with its channel closed and 3F00 selected.
  std::uint8_t app = shared_load(slot->channelApp);
  if (app == CARD_APP_CIPH) {
    card_select_aid_sm(reader_key, handle, kAidCiph.data(), kAidCiph.size());
  } else if (app == CARD_APP_SIGN) {
    card_select_aid_sm(reader_key, handle, kAidSign.data(), kAidSign.size());
  }
  card_select_file(reader_key, handle, CARD_FILE_MF, nullptr, nullptr);
  std::lock_guard<std::mutex> guard(g_table_mutex);
  CrossLock lock;
  if (slot->readerKey != reader_key) return;
  if (slot->refCount < 2) {
    slot_free(*slot);
  } else {
    // Someone joined while the card was being closed.
    --slot->refCount;
    for (std::uintptr_t& e : slot->handles) {
      if (e == h && h != 0) {
        e = 0;
        break;
      }
    }
  }
}

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
