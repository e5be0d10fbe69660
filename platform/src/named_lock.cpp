// The named cross-process lock (vorn/named_lock.h).
#include "vorn/named_lock.h"

#include <string>

#include "vorn/userdir.h"

#if defined(_WIN32)

namespace vorn {

vorn_rv NamedLock::open(const char* name, LockScope scope) {
  if (handle_ != nullptr) return VORN_OK;
  if (name == nullptr || *name == '\0') {
    SetLastError(ERROR_INVALID_NAME);
    return PLATERR_LOCK;
  }
  HANDLE h = nullptr;
  if (scope == LockScope::as_named) {
    h = CreateMutexA(nullptr, FALSE, name);
  } else {
    PlatUserSecurity sec;
    if (!plat_user_security(sec)) return PLATERR_LOCK;
    std::string local = std::string("Local\\") + name;
    std::wstring wname(local.begin(), local.end());
    h = CreateMutexW(&sec.sa, FALSE, wname.c_str());
    if (h != nullptr && GetLastError() == ERROR_ALREADY_EXISTS && !plat_object_is_users(h, sec)) {
      CloseHandle(h);
      SetLastError(ERROR_ACCESS_DENIED);
      return PLATERR_LOCK;
    }
  }
  if (h == nullptr) return PLATERR_LOCK;
  handle_ = h;
  return VORN_OK;
}

bool NamedLock::is_open() const { return handle_ != nullptr; }

void NamedLock::close() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

vorn_rv NamedLock::lock() {
  if (handle_ == nullptr) return PLATERR_LOCK_NOT_OPEN;
  DWORD r = WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
  if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return PLATERR_LOCK;
  ++depth_;
  return VORN_OK;
}

vorn_rv NamedLock::try_lock() {
  if (handle_ == nullptr) return PLATERR_LOCK_NOT_OPEN;
  DWORD r = WaitForSingleObject(static_cast<HANDLE>(handle_), 0);
  if (r == WAIT_TIMEOUT) return PLATERR_LOCK_BUSY;
  if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) return PLATERR_LOCK;
  ++depth_;
  return VORN_OK;
}

vorn_rv NamedLock::unlock() {
  if (handle_ == nullptr) return PLATERR_LOCK_NOT_OPEN;
  // The system knows the owner: a thread that does not hold it is refused.
  if (!ReleaseMutex(static_cast<HANDLE>(handle_))) return PLATERR_LOCK;
  --depth_;
  return VORN_OK;
}

}  // namespace vorn

#else
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace vorn {

vorn_rv NamedLock::open(const char* name, LockScope /*scope*/) {
  if (fd_ >= 0) return VORN_OK;
  // Only in the user's own directory: a lock file another user can reach is
  // no lock at all.
  int fd = plat_user_file_open(name);
  if (fd < 0) return PLATERR_LOCK;
  fd_ = fd;
  return VORN_OK;
}

bool NamedLock::is_open() const { return fd_ >= 0; }

void NamedLock::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

vorn_rv NamedLock::take(bool wait) {
  if (wait) {
    local_.lock();
  } else if (!local_.try_lock()) {
    return PLATERR_LOCK_BUSY;
  }
  if (depth_++ > 0) return VORN_OK;  // this thread holds the file lock already
  vorn_rv rv = VORN_OK;
  if (fd_ < 0) {
    rv = PLATERR_LOCK_NOT_OPEN;
  } else {
    int r;
    while ((r = flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
    }
    if (r != 0) rv = errno == EWOULDBLOCK ? PLATERR_LOCK_BUSY : PLATERR_LOCK;
  }
  if (rv != VORN_OK) {
    int err = errno;
    --depth_;
    local_.unlock();
    errno = err;
  }
  return rv;
}

vorn_rv NamedLock::lock() { return take(true); }

vorn_rv NamedLock::try_lock() { return take(false); }

vorn_rv NamedLock::unlock() {
  if (depth_.load() <= 0) return PLATERR_LOCK_NOT_HELD;
  if (--depth_ == 0 && fd_ >= 0) flock(fd_, LOCK_UN);
  local_.unlock();
  return VORN_OK;
}

void NamedLock::forget_after_fork() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  new (&local_) std::recursive_mutex;  // the old one is dropped, not destroyed
  depth_ = 0;
}

}  // namespace vorn
#endif
