// The module's own lock callbacks, chosen by CKF_OS_LOCKING_OK: every handle
// they create names the one system-wide recursive lock "MutexObject VORNv1.0".
#pragma once
#include "p11.h"

namespace p11 {

inline constexpr const char* kModuleMutexName = "MutexObject VORNv1.0";

CK_RV oslock_create(void** mutex);
CK_RV oslock_destroy(void* mutex);
CK_RV oslock_lock(void* mutex);
CK_RV oslock_unlock(void* mutex);
#if !defined(_WIN32)
// In a forked child: drops the inherited lock without touching the parent's.
void oslock_forget_after_fork();
#endif

}  // namespace p11
