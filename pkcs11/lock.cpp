// Named recursive lock shared by every process of the same user.
//
// Windows: CreateMutexA with the name; the system mutex is recursive for its
// owning thread. Linux: an in-process recursive mutex plus flock() on a
// per-user lock file. The first level taken by a thread takes the file lock,
// the last level released drops it, so the lock is recursive for its owning
// thread and exclusive between processes. A process that dies loses its flock
// with it, so a crashed holder never blocks the others.
#include "lock.h"

#if defined(_WIN32)
#include <windows.h>

namespace p11 {

static CK_RV win_error_rv(DWORD err) {
  if (err == ERROR_INVALID_HANDLE) return CKR_MUTEX_BAD;
  if (err == ERROR_NOT_ENOUGH_MEMORY || err == ERROR_OUTOFMEMORY) return CKR_HOST_MEMORY;
  return CKR_GENERAL_ERROR;
}

CK_RV oslock_create(void** mutex) {
  if (mutex == nullptr) return CKR_ARGUMENTS_BAD;
  HANDLE h = CreateMutexA(nullptr, FALSE, kModuleMutexName);
  if (h == nullptr) {
    *mutex = nullptr;
    DWORD err = GetLastError();
    return (err == ERROR_NOT_ENOUGH_MEMORY || err == ERROR_OUTOFMEMORY) ? CKR_HOST_MEMORY
                                                                          : CKR_GENERAL_ERROR;
  }
  *mutex = h;
  return CKR_OK;
}

CK_RV oslock_destroy(void* mutex) {
  return CloseHandle(static_cast<HANDLE>(mutex)) ? CKR_OK : win_error_rv(GetLastError());
}

CK_RV oslock_lock(void* mutex) {
  DWORD r = WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE);
  if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) return CKR_OK;
  return win_error_rv(GetLastError());
}

CK_RV oslock_unlock(void* mutex) {
  return ReleaseMutex(static_cast<HANDLE>(mutex)) ? CKR_OK : win_error_rv(GetLastError());
}

}  // namespace p11

#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

namespace p11 {

namespace {

struct NamedLock {
  std::recursive_mutex local;  // threads of this process
  int depth = 0;               // levels held by the owning thread
  int fd = -1;                 // the per-user lock file
  int handles = 0;             // handles created and not destroyed
  std::mutex admin;            // guards fd and handles
};

NamedLock& named_lock() {
  static NamedLock* lock = new NamedLock;  // lives until the process ends
  return *lock;
}

// The lock file lives in the user's runtime directory, else in a per-user
// directory below /tmp that only the user may enter.
std::string lock_path() {
  std::string dir;
  const char* run = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (run != nullptr && run[0] == '/' && stat(run, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == getuid()) {
    dir = run;
  } else {
    dir = "/tmp/vorn-" + std::to_string(getuid());
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) return {};
  }
  return dir + "/" + kModuleMutexName + ".lock";
}

}  // namespace

CK_RV oslock_create(void** mutex) {
  if (mutex == nullptr) return CKR_ARGUMENTS_BAD;
  NamedLock& l = named_lock();
  std::lock_guard<std::mutex> g(l.admin);
  if (l.fd < 0) {
    std::string path = lock_path();
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      *mutex = nullptr;
      return errno == ENOMEM ? CKR_HOST_MEMORY : CKR_GENERAL_ERROR;
    }
    l.fd = fd;
  }
  ++l.handles;
  *mutex = &l;
  return CKR_OK;
}

CK_RV oslock_destroy(void* mutex) {
  NamedLock& l = named_lock();
  if (mutex != &l) return CKR_MUTEX_BAD;
  std::lock_guard<std::mutex> g(l.admin);
  if (l.handles <= 0) return CKR_MUTEX_BAD;
  if (--l.handles == 0 && l.depth == 0 && l.fd >= 0) {
    close(l.fd);
    l.fd = -1;
  }
  return CKR_OK;
}

CK_RV oslock_lock(void* mutex) {
  NamedLock& l = named_lock();
  if (mutex != &l) return CKR_MUTEX_BAD;
  l.local.lock();
  if (l.depth++ == 0) {
    int fd;
    {
      std::lock_guard<std::mutex> g(l.admin);
      fd = l.fd;
    }
    if (fd >= 0) {
      while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  return CKR_OK;
}

CK_RV oslock_unlock(void* mutex) {
  NamedLock& l = named_lock();
  if (mutex != &l) return CKR_MUTEX_BAD;
  if (l.depth <= 0) return CKR_MUTEX_NOT_LOCKED;
  if (--l.depth == 0) {
    std::lock_guard<std::mutex> g(l.admin);
    if (l.fd >= 0) {
      flock(l.fd, LOCK_UN);
      if (l.handles == 0) {
        close(l.fd);
        l.fd = -1;
      }
    }
  }
  l.local.unlock();
  return CKR_OK;
}

}  // namespace p11
#endif
