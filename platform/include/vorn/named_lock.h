// A lock shared under one name by every process of the user, recursive for
// the thread that holds it: the card state tables, the PKCS#11 module's
// "MutexObject VORNv1.0", and the locks of the deliverables that follow.
//
// POSIX: flock() of the file `name` in the user's private directory
// (vorn/userdir.h), plus a recursive mutex for the threads of this process
// (a flock does not keep apart threads that share the descriptor). The first
// level a thread takes takes the file lock, the last it releases drops it. A
// process that dies loses its flock with it.
// Windows: a named mutex, recursive for its owning thread and abandoned (the
// next waiter gets it) when its holder dies.
//
// open and close are not guarded against lock and unlock of other threads:
// the owner of the object keeps them apart.
#pragma once
#include <atomic>
#include <mutex>

#include "vorn/result.h"

namespace vorn {

enum class LockScope {
  // Windows: "Local\<name>", made with a DACL that grants the current user
  // alone; a mutex of that name that is not the user's alone is refused.
  user_only,
  // Windows: the name as given, default security (the session's namespace
  // unless the name starts with Global\).
  as_named,
};
// POSIX: both scopes are the file `name` of the user's private directory.

class NamedLock {
 public:
  NamedLock() = default;
  ~NamedLock() { close(); }
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // Opens (creating) the lock. PLATERR_LOCK with errno / GetLastError()
  // telling why: the directory, file or mutex is not the user's alone, or
  // the system refused.
  vorn_rv open(const char* name, LockScope scope);
  bool is_open() const;
  // True while some thread of this process holds the lock.
  bool held() const { return depth_.load() > 0; }
  // Drops the lock object; call it only while no thread holds the lock.
  void close();

  // Waits for the lock. PLATERR_LOCK_NOT_OPEN before open; PLATERR_LOCK when
  // the system refused (errno / GetLastError()).
  vorn_rv lock();
  // As lock, but PLATERR_LOCK_BUSY at once when another thread or process
  // holds it.
  vorn_rv try_lock();
  // Releases one level. PLATERR_LOCK_NOT_HELD when no level is held.
  vorn_rv unlock();

#if !defined(_WIN32)
  // The lock file's descriptor (-1 when not open): a caller that keeps data
  // in the file itself (the card table) maps it.
  int fd() const { return fd_; }
  // In the child of fork(): the descriptor is the parent's open file, so a
  // flock or unlock through it would be the parent's. Closes the child's copy
  // (the parent's lock stays as it is) and starts the thread mutex afresh (a
  // thread that held it does not exist here). The lock is then closed.
  void forget_after_fork();
#endif

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;  // HANDLE of the mutex
#else
  vorn_rv take(bool wait);
  std::recursive_mutex local_;
  int fd_ = -1;
#endif
  std::atomic<int> depth_{0};  // levels held by the owning thread
};

}  // namespace vorn
