// Attribute table access for the object store and its tests, and the
// object store's part of the logout.
#pragma once
#include <span>

#include "module.h"

namespace p11 {

inline constexpr CK_ATTRIBUTE_TYPE kAttrKeyId = 0x8004;  // SHA-1 of the RSA modulus

struct AttrRow {
  CK_ATTRIBUTE_TYPE type;
  std::uint8_t len;      // 0 any, 1, 8, or 0xFF for a CK_ULONG
  std::uint8_t classes;  // bit c: allowed for CKA_CLASS c
};

// At the user's logout: wipes the values read from the card for private
// token objects (read again, under the PIN, when next asked for) and
// destroys the private session objects of every session of the slot.
void objects_forget_private(Slot& slot);

}  // namespace p11
