// The module's OS lock callbacks over the platform's named lock
// (vorn/named_lock.h): every handle names the one recursive lock
// "MutexObject VORNv1.0" shared by every process of the user; a named mutex
// on Windows, a file of the user's private directory under flock elsewhere.
// The lock object is opened with the first handle and closed when the last
// handle is gone and no thread holds it.
#include "lock.h"

#include <cerrno>
#include <mutex>
#include <new>
#include <string>

#include "vorn/named_lock.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace p11 {

namespace {

struct ModuleLock {
  vorn::NamedLock lock;
  int handles = 0;   // handles created and not destroyed
  std::mutex admin;  // guards opening and closing, and handles
};

ModuleLock& module_lock() {
  static ModuleLock* lock = new ModuleLock;  // lives until the process ends
  return *lock;
}

bool out_of_memory() {
#if defined(_WIN32)
  DWORD err = GetLastError();
  return err == ERROR_NOT_ENOUGH_MEMORY || err == ERROR_OUTOFMEMORY;
#else
  return errno == ENOMEM;
#endif
}

CK_RV lock_rv(vorn_rv rv) {
  if (rv == VORN_OK) return CKR_OK;
  if (rv == PLATERR_LOCK_NOT_OPEN) return CKR_MUTEX_BAD;
  if (rv == PLATERR_LOCK_NOT_HELD) return CKR_MUTEX_NOT_LOCKED;
#if defined(_WIN32)
  if (GetLastError() == ERROR_INVALID_HANDLE) return CKR_MUTEX_BAD;
#endif
  return out_of_memory() ? CKR_HOST_MEMORY : CKR_GENERAL_ERROR;
}

}  // namespace

CK_RV oslock_create(void** mutex) {
  if (mutex == nullptr) return CKR_ARGUMENTS_BAD;
  ModuleLock& l = module_lock();
  std::lock_guard<std::mutex> g(l.admin);
  if (!l.lock.is_open()) {
#if defined(_WIN32)
    const std::string name = kModuleMutexName;
#else
    const std::string name = std::string(kModuleMutexName) + ".lock";
#endif
    if (l.lock.open(name.c_str(), vorn::LockScope::as_named) != VORN_OK) {
      *mutex = nullptr;
      return out_of_memory() ? CKR_HOST_MEMORY : CKR_GENERAL_ERROR;
    }
  }
  ++l.handles;
  *mutex = &l;
  return CKR_OK;
}

CK_RV oslock_destroy(void* mutex) {
  ModuleLock& l = module_lock();
  if (mutex != &l) return CKR_MUTEX_BAD;
  std::lock_guard<std::mutex> g(l.admin);
  if (l.handles <= 0) return CKR_MUTEX_BAD;
  if (--l.handles == 0 && !l.lock.held()) l.lock.close();
  return CKR_OK;
}

CK_RV oslock_lock(void* mutex) {
  ModuleLock& l = module_lock();
  if (mutex != &l) return CKR_MUTEX_BAD;
  return lock_rv(l.lock.lock());
}

CK_RV oslock_unlock(void* mutex) {
  ModuleLock& l = module_lock();
  if (mutex != &l) return CKR_MUTEX_BAD;
  vorn_rv rv = l.lock.unlock();
  if (rv == VORN_OK && !l.lock.held()) {
    // The last handle went while the lock was held: close it now.
    std::lock_guard<std::mutex> g(l.admin);
    if (l.handles == 0 && !l.lock.held()) l.lock.close();
  }
  return lock_rv(rv);
}

#if !defined(_WIN32)
// The mutexes may have been held by threads that do not exist here, and the
// open lock file is the parent's: the record starts afresh (its old state is
// dropped, not destroyed) without touching the parent's lock.
void oslock_forget_after_fork() {
  ModuleLock& l = module_lock();
  l.lock.forget_after_fork();
  new (&l.admin) std::mutex;
  l.handles = 0;
}
#endif

}  // namespace p11
