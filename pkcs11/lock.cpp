// Named recursive lock shared by every process of the same user.
//
// Windows: CreateMutexA with the name; the system mutex is recursive for its
// owning thread. Linux: an in-process recursive mutex plus flock() on a
// lock file in the user's private directory (vorn/userdir.h). The first
// level taken by a thread takes the file lock, the last level released drops
// it, so the lock is recursive for its owning thread and exclusive between
// processes. A process that dies loses its flock
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
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <string>

#include "vorn/userdir.h"

namespace p11 {

namespace {

struct NamedLock {
  std::recursive_mutex local;    // threads of this process
  std::atomic<int> depth{0};     // levels held by the owning thread
  int fd = -1;                   // the per-user lock file
  int handles = 0;               // handles created and not destroyed
  std::mutex admin;              // guards fd and handles
};

NamedLock& named_lock() {
  static NamedLock* lock = new NamedLock;  // lives until the process ends
  return *lock;
}

}  // namespace

CK_RV oslock_create(void** mutex) {
  if (mutex == nullptr) return CKR_ARGUMENTS_BAD;
  NamedLock& l = named_lock();
  std::lock_guard<std::mutex> g(l.admin);
  if (l.fd < 0) {
    // Only in the user's own directory: a lock file another user can reach
    // is no lock at all.
    std::string name = std::string(kModuleMutexName) + ".lock";
    int fd = plat_user_file_open(name.c_str());
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
    if (fd < 0) {
      --l.depth;
      l.local.unlock();
      return CKR_MUTEX_BAD;
    }
    while (flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        --l.depth;
        l.local.unlock();
        return CKR_GENERAL_ERROR;
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

// A forked child shares the parent's open lock file: a flock or unlock on it
// would be the parent's. Closing our copy leaves the parent's lock as it is;
// the mutexes may have been held by threads that do not exist here, so the
// record starts afresh (its old state is dropped, not destroyed).
void oslock_forget_after_fork() {
  NamedLock& l = named_lock();
  if (l.fd >= 0) close(l.fd);
  new (&l) NamedLock;
}

}  // namespace p11
#endif
