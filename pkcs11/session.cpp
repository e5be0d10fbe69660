// Sessions, login and PIN management, and the four CI_* PIN extensions.
#include <cstring>

#include "cardlayer.h"
#include "entry.h"
#include "module.h"
#include "objects_internal.h"
#include "vorn_p11_ext.h"

namespace p11 {

namespace {

constexpr CK_FLAGS kUserPinBits = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED;
constexpr CK_FLAGS kSoPinBits = CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY | CKF_SO_PIN_LOCKED;
constexpr CK_ULONG kMaxHandle = 0xFFFFFFFFUL;

bool handle_in_use(CK_SESSION_HANDLE h) {
  for (auto& slot : mod().slots)
    for (auto& s : slot.sessions)
      if (s.handle == h) return true;
  return false;
}

// Issues a session handle: the first one after C_Initialize starts at a
// random offset from the operating system's generator; later ones count up.
// A handle still in use, or 0, is skipped.
CK_RV handle_issue(CK_SESSION_HANDLE* out) {
  Module& m = mod();
  if (m.sessions_opened == 0) {
    std::uint32_t r = 0;
    if (plat_random(reinterpret_cast<std::uint8_t*>(&r), sizeof r) != VORN_OK) return CKR_GENERAL_ERROR;
    m.handle_counter += (r & 0x3FFFFFFFu) + 1;  // leaves room below the refused value
  }
  for (int tries = 0; tries <= static_cast<int>(kMaxSlots * kMaxSessions); ++tries) {
    CK_ULONG h = m.handle_counter;
    if (h >= kMaxHandle) return CKR_GENERAL_ERROR;
    ++m.handle_counter;
    if (h == 0 || handle_in_use(h)) continue;
    ++m.sessions_opened;
    *out = h;
    return CKR_OK;
  }
  return CKR_GENERAL_ERROR;
}

// Sets the PIN status bits after a refused VERIFY / CHANGE: tries 0 locked,
// 1 final try, 2 count low. Returns the code for the caller.
CK_RV pin_failure(Slot& slot, vorn_rv rv, std::uint8_t tries, bool so) {
  CK_FLAGS& f = slot.token.flags;
  const CK_FLAGS low = so ? CKF_SO_PIN_COUNT_LOW : CKF_USER_PIN_COUNT_LOW;
  const CK_FLAGS fin = so ? CKF_SO_PIN_FINAL_TRY : CKF_USER_PIN_FINAL_TRY;
  const CK_FLAGS lck = so ? CKF_SO_PIN_LOCKED : CKF_USER_PIN_LOCKED;
  const CK_RV ckr = ckr_of(Fail::Pin, rv, tries);
  if (ckr == CKR_PIN_LOCKED) f = (f & ~(low | fin)) | lck;
  if (ckr == CKR_PIN_INCORRECT && tries == 1) f |= fin;
  if (ckr == CKR_PIN_INCORRECT && tries == 2) f |= low;
  return ckr;
}

void sessions_to_user(Slot& slot, bool so) {
  for (auto& s : slot.sessions) {
    if (s.handle == 0) continue;
    if (!so && s.info.state == CKS_RO_PUBLIC_SESSION) s.info.state = CKS_RO_USER_FUNCTIONS;
    if (s.info.state == CKS_RW_PUBLIC_SESSION) s.info.state = so ? CKS_RW_SO_FUNCTIONS : CKS_RW_USER_FUNCTIONS;
  }
}

std::uint8_t held_ref(const Slot& slot) {
  return slot.login == CKU_SO ? PIN_REF_SO : PIN_REF_USER;
}

// 0xFF-padded copy of a PIN of 4 to 8 characters.
void pad_pin(const CK_UTF8CHAR* pin, CK_ULONG len, std::uint8_t* out8) {
  std::memset(out8, 0xFF, 8);
  std::memcpy(out8, pin, len);
}

// Checks shared by C_SetPIN, CI_UnblockPIN and CI_SetPUK after the prologue.
CK_RV change_checks(const Slot& slot, const Session& sess, CK_ULONG len1, CK_ULONG len2) {
  if (sess.info.state == CKS_RO_PUBLIC_SESSION || sess.info.state == CKS_RO_USER_FUNCTIONS)
    return CKR_SESSION_READ_ONLY;
  if (slot.token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) return CKR_FUNCTION_FAILED;
  if (slot.token.flags & CKF_WRITE_PROTECTED) return CKR_TOKEN_WRITE_PROTECTED;
  if (len1 < 4 || len1 > 8 || len2 < 4 || len2 > 8) return CKR_PIN_LEN_RANGE;
  if (slot.login == CKU_SO) return CKR_PIN_INVALID;
  return CKR_OK;
}

// The start of C_SetPIN, CI_UnblockPIN and CI_SetPUK: the arguments, the
// session, the change checks, and both values as 0xFF-padded 24-byte blocks.
struct PinPair {
  vorn::Secret<24> first;
  vorn::Secret<24> second;
};
CK_RV change_prologue(CK_SESSION_HANDLE h, const CK_UTF8CHAR* p1, CK_ULONG len1, const CK_UTF8CHAR* p2,
                      CK_ULONG len2, Slot** slot, PinPair* out) {
  if (p1 == nullptr || p2 == nullptr) return CKR_ARGUMENTS_BAD;
  Session* sess = nullptr;
  CK_RV rv = entry_open(h, slot, &sess, Refresh::Session);
  if (rv != CKR_OK) return rv;
  rv = change_checks(**slot, *sess, len1, len2);
  if (rv != CKR_OK) return rv;
  std::memset(out->first.data(), 0xFF, 24);
  std::memset(out->second.data(), 0xFF, 24);
  pad_pin(p1, len1, out->first.data());
  pad_pin(p2, len2, out->second.data());
  return CKR_OK;
}

// A card operation with AP-CIPH's channel open and no PIN verified: for
// the commands that carry the PIN themselves.
CK_RV ciph_open_unverified(CardOperation& op, const Slot& slot) {
  if (slot_op_begin(op, slot) != VORN_OK) return CKR_DEVICE_ERROR;
  return ckr_of(Fail::Card, op.open(CARD_APP_CIPH, card_no_pin()));
}

// The module's side of a login: the PIN held and the sessions moved on.
void slot_login_keep(Slot& slot, CK_USER_TYPE who, const std::uint8_t* block8) {
  slot.login = who;
  std::memcpy(slot.pin.data(), block8, 8);
  slot.pin_held = true;
}

// C_SetPIN and CI_SetPUK: the change prologue, then CHANGE REFERENCE DATA
// of the user PIN (P1 00: the PIN, 80: its PUK) under the AP-CIPH channel,
// inside one transaction. The card is left with its channel closed, and
// after a PIN change also logged out (a successful change may leave the
// reference verified). out->crv receives the card's code; the result is the
// prologue's, or CKR_DEVICE_ERROR when the card could not be reached at all.
struct PinChange {
  Slot* slot = nullptr;
  PinPair blocks;
  vorn_rv crv = VORN_OK;
  std::uint8_t tries = 0;
};
CK_RV change_user_reference(CK_SESSION_HANDLE h, std::uint8_t p1, const CK_UTF8CHAR* old_value, CK_ULONG old_len,
                            const CK_UTF8CHAR* new_value, CK_ULONG new_len, PinChange* out) {
  CK_RV rv = change_prologue(h, old_value, old_len, new_value, new_len, &out->slot, &out->blocks);
  if (rv != CKR_OK) return rv;
  Slot& slot = *out->slot;
  const std::uint32_t key = slot_key(slot);
  CardOperation op;
  rv = ciph_open_unverified(op, slot);
  if (rv != CKR_OK) return rv;
  out->crv = pin_change(key, slot.card, p1, PIN_REF_USER, out->blocks.first.data(), out->blocks.second.data(),
                        &out->tries);
  if (p1 == 0x00) pin_logout(key, slot.card, PIN_REF_USER);
  return CKR_OK;
}

CK_RV tries_query(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pTries, std::uint8_t ins) {
  if (pTries == nullptr) return CKR_ARGUMENTS_BAD;
  Slot* slot = nullptr;
  Session* sess = nullptr;
  CK_RV rv = entry_open(hSession, &slot, &sess, Refresh::Session);
  if (rv != CKR_OK) return rv;
  CardOperation op;
  if (slot_op_begin(op, *slot) != VORN_OK) return CKR_DEVICE_ERROR;
  const std::uint8_t cmd[5] = {0x00, ins, 0x00, PIN_REF_USER, 0x00};
  std::uint8_t resp[4] = {};
  DWORD resp_len = sizeof resp;
  vorn_rv crv = card_transmit(slot_key(*slot), slot->card, SCARD_PCI_T0, cmd, sizeof cmd, nullptr,
                              resp, &resp_len);
  if (crv != VORN_OK || resp_len < 2) return CKR_DEVICE_ERROR;
  const std::uint8_t sw1 = resp[resp_len - 2];
  const std::uint8_t sw2 = resp[resp_len - 1];
  if (sw1 == 0x69 && sw2 == 0x83) {
    *pTries = 0;
    return CKR_OK;
  }
  if (sw1 == 0x63) {
    *pTries = sw2 & 0x0F;
    return CKR_OK;
  }
  if (sw1 == 0x6A && sw2 == 0x81) {
    // The card counts no tries for this reference; the card layer's 6A 81
    // code is no PKCS#11 return value.
    *pTries = 0;
    return CKR_FUNCTION_NOT_SUPPORTED;
  }
  return CKR_DEVICE_ERROR;
}

}  // namespace

bool logged_in(const Slot& slot) { return slot.login == CKU_USER || slot.login == CKU_SO; }

void slot_pin_forget(Slot& slot) {
  plat_wipe(slot.pin.data(), slot.pin.size());
  std::memset(slot.pin.data(), 0xFF, slot.pin.size());
  slot.pin_held = false;
}

void sessions_to_public(Slot& slot) {
  for (auto& s : slot.sessions) {
    if (s.handle == 0) continue;
    if (s.info.state == CKS_RO_USER_FUNCTIONS) s.info.state = CKS_RO_PUBLIC_SESSION;
    if (s.info.state == CKS_RW_USER_FUNCTIONS || s.info.state == CKS_RW_SO_FUNCTIONS)
      s.info.state = CKS_RW_PUBLIC_SESSION;
  }
}

namespace {

// The PIN the module holds for a logged-in slot.
class HeldPin final : public CardPinSource {
 public:
  explicit HeldPin(const Slot& slot) : slot_(slot) {}
  bool card_pin(std::uint32_t, SCARDHANDLE, std::uint8_t* ref, std::uint8_t* block8) const override {
    if (!slot_.pin_held || !logged_in(slot_)) return false;
    *ref = held_ref(slot_);
    std::memcpy(block8, slot_.pin.data(), slot_.pin.size());
    return true;
  }

 private:
  const Slot& slot_;
};

}  // namespace

vorn_rv slot_op_begin(CardOperation& op, const Slot& slot) { return op.begin(slot_key(slot), slot.card); }

CK_RV slot_op_open(CardOperation& op, const Slot& slot, std::uint8_t app) {
  return ckr_of(Fail::Card, op.open(app, HeldPin(slot)));
}

CK_RV slot_op_close(CardOperation& op) { return ckr_of(Fail::Card, op.close()); }

namespace {

// The module's side of a logout: the held PIN wiped, the sessions public,
// the private values forgotten.
void slot_logout_forget(Slot& slot) {
  slot_pin_forget(slot);
  slot.login = kNobody;
  sessions_to_public(slot);
  objects_forget_private(slot);
}

}  // namespace

CK_RV session_lookup(CK_SESSION_HANDLE h, Slot** slot, Session** sess) {
  Guard g(kLockSessionLookup);
  if (h == 0) return CKR_SESSION_HANDLE_INVALID;
  for (auto& sl : mod().slots) {
    for (auto& s : sl.sessions) {
      if (s.handle == h) {
        *slot = &sl;
        *sess = &s;
        return CKR_OK;
      }
    }
  }
  return CKR_SESSION_HANDLE_INVALID;
}

CK_RV session_close(CK_SESSION_HANDLE h) {
  Slot* slot = nullptr;
  Session* sess = nullptr;
  if (session_lookup(h, &slot, &sess) != CKR_OK) return CKR_SESSION_HANDLE_INVALID;
  Guard g(kLockSessionClose);
  CK_TOKEN_INFO& t = slot->token;
  if ((sess->info.flags & CKF_RW_SESSION) && t.ulRwSessionCount > 0) --t.ulRwSessionCount;
  objects_drop_session(*sess);
  *sess = Session{};
  CK_RV rv = CKR_OK;
  if (t.ulSessionCount == 1 && slot->card != 0) {
    if (logged_in(*slot)) {
      // Leave the card logged out; the module's own state is cleared even
      // when the card no longer answers, so the counts stay right.
      CardOperation op;
      if (slot_op_begin(op, *slot) != VORN_OK || pin_logout(slot_key(*slot), slot->card, held_ref(*slot)) != VORN_OK)
        rv = CKR_GENERAL_ERROR;
    }
    slot_pin_forget(*slot);
    slot->login = kNobody;
    objects_drop_token(*slot);
  }
  if (t.ulSessionCount > 0) --t.ulSessionCount;
  return rv;
}

}  // namespace p11

using namespace p11;

static CK_RV C_OpenSession_body(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR /*pApplication*/,
                                    CK_NOTIFY /*Notify*/, CK_SESSION_HANDLE_PTR phSession) {
  Module& m = mod();
  if (phSession == nullptr || flags == 0) return CKR_ARGUMENTS_BAD;
  if (slotID >= kMaxSlots) return CKR_SLOT_ID_INVALID;
  if (m.slot_count == 0) return CKR_GENERAL_ERROR;
  Slot& slot = m.slots[slotID];
  if (!slot.in_use) return CKR_SLOT_ID_INVALID;
  CK_RV rv = token_refresh(slot);
  if (rv != CKR_OK && rv != CKR_SLOT_ID_INVALID) return rv;
  if (!slot.token_present()) return CKR_TOKEN_NOT_PRESENT;
  if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  CK_TOKEN_INFO& t = slot.token;
  if (t.ulSessionCount >= t.ulMaxSessionCount) return CKR_SESSION_COUNT;
  const bool rw = (flags & CKF_RW_SESSION) != 0;
  if (rw) {
    if (t.flags & CKF_WRITE_PROTECTED) return CKR_TOKEN_WRITE_PROTECTED;
    if (t.ulRwSessionCount >= t.ulMaxRwSessionCount) return CKR_SESSION_COUNT;
  } else {
    for (auto& s : slot.sessions)
      if (s.handle != 0 && s.info.state == CKS_RW_SO_FUNCTIONS) return CKR_SESSION_READ_WRITE_SO_EXISTS;
  }
  Session* place = nullptr;
  for (auto& s : slot.sessions) {
    if (s.handle == 0) {
      place = &s;
      break;
    }
  }
  if (place == nullptr) return CKR_SESSION_COUNT;
  CK_SESSION_HANDLE h = 0;
  if (handle_issue(&h) != CKR_OK) {
    *phSession = 0;
    return CKR_GENERAL_ERROR;
  }
  if (t.ulSessionCount == 0) {
    rv = objects_load(slot);
    if (rv != CKR_OK) {
      objects_drop_token(slot);
      *phSession = 0;
      return rv == CKR_HOST_MEMORY ? rv : CKR_DEVICE_ERROR;
    }
  }
  *place = Session{};
  place->handle = h;
  place->info.slotID = slotID;
  place->info.flags = flags;
  place->info.ulDeviceError = 0;
  if (logged_in(slot))
    place->info.state = rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
  else
    place->info.state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
  if (rw) ++t.ulRwSessionCount;
  ++t.ulSessionCount;
  *phSession = h;
  return CKR_OK;
}

static CK_RV C_CloseSession_body(CK_SESSION_HANDLE hSession) {
  Slot* slot = nullptr;
  Session* sess = nullptr;
  CK_RV rv = entry_open(hSession, &slot, &sess, Refresh::SessionMapped);
  if (rv != CKR_OK) return rv;
  return session_close(hSession);
}

static CK_RV C_CloseAllSessions_body(CK_SLOT_ID slotID) {
  Module& m = mod();
  if (slotID >= kMaxSlots) return CKR_SLOT_ID_INVALID;
  if (m.slot_count == 0) return CKR_GENERAL_ERROR;
  Slot& slot = m.slots[slotID];
  if (!slot.in_use) return CKR_SLOT_ID_INVALID;
  token_refresh(slot);
  if (slot.token.ulSessionCount != 0) {
    for (auto& s : slot.sessions)
      if (s.handle != 0) session_close(s.handle);
  }
  return CKR_OK;
}

static CK_RV C_GetSessionInfo_body(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  Slot* slot = nullptr;
  Session* sess = nullptr;
  CK_RV rv = entry_open(hSession, &slot, &sess, Refresh::SessionMapped);
  if (rv != CKR_OK) return rv;
  *pInfo = sess->info;
  return CKR_OK;
}

static CK_RV C_Login_body(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
                              CK_ULONG ulPinLen) {
  if (pPin == nullptr || ulPinLen == 0) return CKR_ARGUMENTS_BAD;
  if (userType != CKU_SO && userType != CKU_USER) return CKR_USER_TYPE_INVALID;
  Slot* slot = nullptr;
  Session* sess = nullptr;
  CK_RV rv = entry_open(hSession, &slot, &sess, Refresh::SessionMapped);
  if (rv != CKR_OK) return rv;
  const bool so = userType == CKU_SO;
  if (so) {
    for (auto& s : slot->sessions)
      if (s.handle != 0 && s.info.state == CKS_RO_PUBLIC_SESSION) return CKR_SESSION_READ_ONLY_EXISTS;
  }
  if (slot->login == CKU_USER) return so ? CKR_USER_ANOTHER_ALREADY_LOGGED_IN : CKR_USER_ALREADY_LOGGED_IN;
  if (slot->login == CKU_SO) return so ? CKR_USER_ALREADY_LOGGED_IN : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
  CK_TOKEN_INFO& t = slot->token;
  if (t.flags & CKF_PROTECTED_AUTHENTICATION_PATH) return CKR_FUNCTION_FAILED;
  if (ulPinLen < t.ulMinPinLen || ulPinLen > t.ulMaxPinLen) return CKR_PIN_LEN_RANGE;
  vorn::Secret<8> block;
  pad_pin(pPin, ulPinLen, block.data());
  const std::uint8_t ref = so ? PIN_REF_SO : PIN_REF_USER;
  const std::uint32_t key = slot_key(*slot);

  vorn_rv crv;
  std::uint8_t tries = 0;
  {
    CardOperation op;
    rv = ciph_open_unverified(op, *slot);
    if (rv != CKR_OK) return rv;
    crv = pin_verify(key, slot->card, ref, block.data(), &tries);
    // The card is left unauthenticated between operations: the module holds
    // the PIN and verifies it again right before each private-key command.
    // Only a refused PIN is sure to leave the reference unverified; after
    // anything else (a refused cache write included) the card is logged out.
    if (crv != CARDERR_WRONG_PIN && crv != CARDERR_SW_PIN_BLOCKED) {
      const vorn_rv out = pin_logout(key, slot->card, ref);
      if (crv == VORN_OK && out != VORN_OK) crv = out;
    }
  }
  if (crv != VORN_OK) return pin_failure(*slot, crv, tries, so);
  slot_login_keep(*slot, userType, block.data());
  sessions_to_user(*slot, so);
  t.flags &= ~(so ? kSoPinBits : kUserPinBits);
  return CKR_OK;
}

static CK_RV C_Logout_body(CK_SESSION_HANDLE hSession) {
  Slot* slot = nullptr;
  Session* sess = nullptr;
  CK_RV rv = entry_open(hSession, &slot, &sess, Refresh::SessionMapped);
  if (rv != CKR_OK) return rv;
  if (!logged_in(*slot)) return CKR_USER_NOT_LOGGED_IN;
  {
    CardOperation op;
    if (slot_op_begin(op, *slot) != VORN_OK) return CKR_DEVICE_ERROR;
    if (pin_logout(slot_key(*slot), slot->card, held_ref(*slot)) != VORN_OK) return CKR_DEVICE_ERROR;
  }
  slot_logout_forget(*slot);
  return CKR_OK;
}

static CK_RV C_SetPIN_body(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                               CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  PinChange c;
  const CK_RV rv = change_user_reference(hSession, 0x00, pOldPin, ulOldLen, pNewPin, ulNewLen, &c);
  if (rv != CKR_OK) return rv;
  Slot* const slot = c.slot;
  if (c.crv != VORN_OK) return pin_failure(*slot, c.crv, c.tries, false);
  slot_login_keep(*slot, CKU_USER, c.blocks.second.data());
  sessions_to_user(*slot, false);
  slot->token.flags &= ~(kUserPinBits | CKF_USER_PIN_TO_BE_CHANGED);
  slot->token.flags |= CKF_USER_PIN_INITIALIZED;
  return CKR_OK;
}

static CK_RV CI_UnblockPIN_body(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPuk, CK_ULONG ulPukLen,
                                    CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  Slot* slot = nullptr;
  PinPair pins;
  CK_RV rv = change_prologue(hSession, pPuk, ulPukLen, pNewPin, ulNewLen, &slot, &pins);
  if (rv != CKR_OK) return rv;
  const std::uint32_t key = slot_key(*slot);
  vorn_rv crv;
  std::uint8_t tries = 0;
  {
    CardOperation op;
    rv = ciph_open_unverified(op, *slot);
    if (rv != CKR_OK) return rv;
    crv = pin_unblock(key, slot->card, PIN_REF_USER, pins.first.data(), pins.second.data(), &tries);
  }
  const CK_RV unblocked = ckr_of(Fail::Unblock, crv);
  if (unblocked == CKR_PIN_LOCKED) slot->token.flags |= CKF_USER_PIN_LOCKED;
  // CKR_FUNCTION_FAILED: the PUK could not be put back. The user PIN may
  // have changed, so a held PIN is dropped as after a success; the flags are
  // left for the caller to read again (CI_GetLeftTriesPIN).
  const bool puk_lost = unblocked == CKR_FUNCTION_FAILED;
  if (unblocked != CKR_OK && !puk_lost) return unblocked;
  if (logged_in(*slot)) {
    bool out = false;
    {
      CardOperation op;
      out = slot_op_begin(op, *slot) == VORN_OK && pin_logout(key, slot->card, PIN_REF_USER) == VORN_OK;
    }
    // The held PIN is no longer the card's: it goes even when the logout
    // fails, or every later private-key command would spend a PIN try.
    slot_logout_forget(*slot);
    if (!out) return CKR_DEVICE_ERROR;
  }
  if (puk_lost) return unblocked;
  slot->token.flags &= ~kUserPinBits;
  return CKR_OK;
}

static CK_RV CI_SetPUK_body(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPuk, CK_ULONG ulOldLen,
                                CK_UTF8CHAR_PTR pNewPuk, CK_ULONG ulNewLen) {
  PinChange c;
  const CK_RV rv = change_user_reference(hSession, 0x80, pOldPuk, ulOldLen, pNewPuk, ulNewLen, &c);
  if (rv != CKR_OK) return rv;
  return ckr_of(Fail::Pin, c.crv, c.tries);  // the PUK's own flags are not kept
}


// The exported functions: the body of each behind the boundary of entry.h.
VORN_P11_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify, CK_SESSION_HANDLE_PTR phSession) {
  return p11_module([&] { return C_OpenSession_body(slotID, flags, pApplication, Notify, phSession); });
}

VORN_P11_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
  return p11_module([&] { return C_CloseSession_body(hSession); });
}

VORN_P11_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
  return p11_module([&] { return C_CloseAllSessions_body(slotID); });
}

VORN_P11_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  return p11_module([&] { return C_GetSessionInfo_body(hSession, pInfo); });
}

VORN_P11_EXPORT CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  return p11_module([&] { return C_Login_body(hSession, userType, pPin, ulPinLen); });
}

VORN_P11_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
  return p11_module([&] { return C_Logout_body(hSession); });
}

VORN_P11_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  return p11_module([&] { return C_SetPIN_body(hSession, pOldPin, ulOldLen, pNewPin, ulNewLen); });
}

VORN_P11_EXPORT CK_RV CI_UnblockPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPuk, CK_ULONG ulPukLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
  return p11_module([&] { return CI_UnblockPIN_body(hSession, pPuk, ulPukLen, pNewPin, ulNewLen); });
}

VORN_P11_EXPORT CK_RV CI_SetPUK(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPuk, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPuk, CK_ULONG ulNewLen) {
  return p11_module([&] { return CI_SetPUK_body(hSession, pOldPuk, ulOldLen, pNewPuk, ulNewLen); });
}

VORN_P11_EXPORT CK_RV CI_GetLeftTriesPIN(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pTries) {
  return p11_module([&] { return tries_query(hSession, pTries, 0x20); });
}

VORN_P11_EXPORT CK_RV CI_GetLeftTriesPUK(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pTries) {
  return p11_module([&] { return tries_query(hSession, pTries, 0x2C); });
}
