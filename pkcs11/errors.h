// What the caller gets back: the card layer's and the software's vorn_rv
// results as CK_RV, and the token refresh's result as each family of entry
// points reports it. Every such mapping of the module lives here.
#pragma once
#include <cstdint>

#include "p11.h"
#include "vorn/result.h"

namespace p11 {

// How a failed vorn_rv is reported; VORN_OK is CKR_OK in every family.
enum class Fail : std::uint8_t {
  Card,      // a card command: CKR_DEVICE_ERROR
  Store,     // writing an object to the card: a full card is CKR_DEVICE_MEMORY
  Software,  // the module's own computation: CKR_FUNCTION_FAILED
  Pin,       // VERIFY / CHANGE REFERENCE DATA: wrong, last wrong and blocked PIN
  Unblock,   // CI_UnblockPIN: a wrong PUK whatever the tries left, and a PUK not put back
  Delete,    // deleting a card object: a number the card reports free is gone already
};

// The CK_RV of a vorn_rv. For Fail::Pin, tries is what the card said is
// left after a wrong PIN (0: now blocked).
CK_RV ckr_of(Fail family, vorn_rv rv, std::uint8_t tries = 1);

// The families of entry points, by how they report the token refresh.
enum class Refresh : std::uint8_t {
  Session,        // C_Login, C_SetPIN, CI_*: the refresh's own code
  SessionMapped,  // C_GetSessionInfo, C_Logout, key generation: all but a removal is a closed session
  Store,          // the object functions: as SessionMapped, the session not looked at again
  Sign,           // C_Sign*, C_Verify*: an absent token is a removed device
  Crypt,          // C_Encrypt*, C_Decrypt*: card trouble is a device error, the rest goes on
  Wrap,           // C_WrapKey, C_UnwrapKey, C_DeriveKey: as Crypt, without the reader count check
  Digest,         // C_Digest*, C_GenerateRandom: a token that is not there is a closed session
};

// What a family answers for a slot that is no longer in use, and for a
// token refresh that returned rv. A refresh that met a new card has closed
// every session of the slot: session_recheck tells whether the family then
// checks its session again.
struct RefreshRule {
  bool reader_count;  // no readers left: CKR_GENERAL_ERROR
  CK_RV not_in_use;
  bool session_recheck;
};
const RefreshRule& refresh_rule(Refresh family);
CK_RV refresh_answer(Refresh family, CK_RV rv);

}  // namespace p11
