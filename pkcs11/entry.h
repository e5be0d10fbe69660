// The boundary of every exported function: nothing thrown inside the module
// reaches the caller. An allocation failure answers CKR_HOST_MEMORY, any
// other exception CKR_GENERAL_ERROR. Locks and buffers of the body are
// released by their destructors on the way out.
#pragma once
#include <new>
#include <utility>

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

}  // namespace p11
