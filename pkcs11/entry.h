// The boundary of every exported function: nothing thrown inside the module
// reaches the caller. An allocation failure answers CKR_HOST_MEMORY, any
// other exception CKR_GENERAL_ERROR. Locks and buffers of the body are
// released by their destructors on the way out.
//
// And the one prologue of the functions that work on a session: the
// session by its handle, then the slot and the token refresh, each family
// answering as its row in errors.cpp says.
#pragma once
#include <new>
#include <utility>

#include "errors.h"
#include "module.h"
#include "p11.h"

namespace p11 {

template <class F>
CK_RV p11_entry(F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

// The usual entry: the module lock held and the module initialised.
template <class F>
CK_RV p11_module(F&& body) noexcept {
  return p11_entry([&]() -> CK_RV {
    Guard g(kLockModule);
    if (!mod().initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return std::forward<F>(body)();
  });
}

// After the session lookup (and the argument checks that come before the
// token): readers left, slot in use, token refresh, the session still open.
CK_RV entry_token(CK_SESSION_HANDLE h, Slot& slot, const Session& sess, Refresh family);

// Session lookup and entry_token in one.
CK_RV entry_open(CK_SESSION_HANDLE h, Slot** slot, Session** sess, Refresh family);

// The session by its handle, then a step of an operation with the
// operation's lock held.
template <class F>
CK_RV entry_locked(CK_SESSION_HANDLE h, LockId lock, F&& step) {
  Slot* slot = nullptr;
  Session* sess = nullptr;
  const CK_RV rv = session_lookup(h, &slot, &sess);
  if (rv != CKR_OK) return rv;
  Guard og(lock);
  return std::forward<F>(step)(slot, sess);
}

}  // namespace p11
