// The card holder's PIN: the per-reader PIN cache, making sure PIN 0x11 is
// verified (cache, else the PIN dialog), the PIN given as a parameter.
#include <cstring>

#include "csp.h"
#include "dialogs.h"

namespace csp {

namespace {

bool block_equal(const std::uint8_t* a, const std::uint8_t* b) {
  std::uint8_t d = 0;
  for (unsigned i = 0; i < 8; ++i) d |= static_cast<std::uint8_t>(a[i] ^ b[i]);
  return d == 0;
}

// Begin + AP-CIPH + verify; on a failed verification the channel is reset
// and the operation ended with PIN logout.
DWORD verify_on_card(unsigned slot, const std::uint8_t block[8]) {
  if (card_op_begin(slot) != 0) return static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION);
  ReaderSlot& s = provider().readers[slot];
  DWORD rc = sm_open_app_channel(slot, s.card, CARD_APP_CIPH);
  if (rc == 0) rc = pin_verify(slot, s.card, PIN_REF_USER, block, nullptr);
  if (rc == 0) {
    s.pin_verified_on_card = 1;
    return 0;
  }
  sm_channel_reset(s.card, slot);
  card_op_end(slot, true);
  return rc;
}

// The card work behind the PIN dialog's OK.
class CardHooks final : public PinDialogHooks {
 public:
  explicit CardHooks(unsigned slot) : slot_(slot) {}
  DWORD verify(const uint8_t block8[8]) override {
    const DWORD rc = verify_on_card(slot_, block8);
    if (rc == 0) std::memcpy(provider().pin_handover.data(), block8, 8);
    return rc;
  }
  DWORD change(const uint8_t old8[8], const uint8_t new8[8]) override {
    if (card_op_begin(slot_) != 0) return static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION);
    ReaderSlot& s = provider().readers[slot_];
    DWORD rc = sm_open_app_channel(slot_, s.card, CARD_APP_CIPH);
    if (rc == 0) rc = pin_change(slot_, s.card, 0x00, PIN_REF_USER, old8, new8, nullptr);
    if (rc == 0) {
      s.pin_verified_on_card = 1;
      std::memcpy(provider().pin_handover.data(), new8, 8);
      return 0;
    }
    sm_channel_reset(s.card, slot_);
    card_op_end(slot_, true);
    return rc;
  }

 private:
  unsigned slot_;
};

// The PIN's tries left (the card answers 63 Cx to a VERIFY without data).
DWORD tries_left(unsigned slot, std::uint8_t* tries) {
  *tries = 0;
  DWORD rc = card_op_begin(slot);
  if (rc != 0) return static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION);
  ReaderSlot& s = provider().readers[slot];
  rc = sm_open_app_channel(slot, s.card, CARD_APP_CIPH);
  if (rc == 0) {
    rc = pin_verify(slot, s.card, PIN_REF_USER, nullptr, tries);
    if (rc == CARDERR_WRONG_PIN) rc = 0;
  }
  sm_channel_reset(s.card, slot);
  card_op_end(slot, false);
  return rc;
}

// The current user's name equals the one the entry was cached under.
DWORD same_user(const PinCacheEntry& e) {
  const char* name = nullptr;
  DWORD len = 0;
  const DWORD rc = user_name(&name, &len);
  if (rc != 0) return rc;
  return std::strncmp(e.user, name, len) == 0 ? 0 : static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED);
}

void cache_store(unsigned slot, const std::uint8_t* block, bool set_asked) {
  PinCacheEntry& e = provider().pins[slot];
  const char* name = nullptr;
  DWORD len = 0;
  if (user_name(&name, &len) != 0) {
    e.verified = 0;
    if (set_asked) e.asked_since_release = 0;
    return;
  }
  e.verified = 1;
  if (set_asked) e.asked_since_release = 1;
  std::memcpy(e.pin.data(), block, 8);
  std::memset(e.user, 0, sizeof(e.user));
  std::memcpy(e.user, name, len < sizeof(e.user) ? len : sizeof(e.user) - 1);
}

}  // namespace

void pin_cache_clear(unsigned slot) {
  PinCacheEntry& e = provider().pins[slot];
  e.verified = 0;
  e.asked_since_release = 0;
  std::memset(e.pin.data(), 0xFF, 8);
  SecureZeroMemory(e.user, sizeof(e.user));
}

DWORD pin_ensure(ContextRecord& c, bool cached_allowed) {
  Provider& p = provider();
  const unsigned slot = c.slot;
  if (slot >= kReaders) return static_cast<DWORD>(SCARD_E_NO_SMARTCARD);
  PinCacheEntry& e = p.pins[slot];
  if (cached_allowed && e.verified && !c.machine_keyset) {
    const DWORD rc = same_user(e);
    if (rc != 0) return rc;
    if (verify_on_card(slot, e.pin.data()) == 0) return 0;
  }
  if (c.machine_keyset && c.silent)
    return p.readers[slot].pin_verified_on_card ? card_op_begin(slot)
                                                : static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED);
  if (c.silent) return static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED);

  CardHooks hooks(slot);
  vorn::Secret<8> block;
  for (;;) {
    std::uint8_t tries = 0;
    DWORD rc = tries_left(slot, &tries);
    if (rc != 0 && rc != CARDERR_SW_PIN_BLOCKED) return rc;
    rc = dlg_pin(nullptr, tries, hooks, block.data());
    if (rc == 0) break;
    if (rc == CARDERR_WRONG_PIN) {
      dlg_error(nullptr, rc);
      continue;
    }
    if (rc == CARDERR_SW_PIN_BLOCKED) dlg_error(nullptr, rc);
    return rc;
  }
  // The dialog's verification left the card operation begun with AP-CIPH
  // open and the PIN verified.
  if (!c.machine_keyset) cache_store(slot, p.pin_handover.data(), true);
  std::memset(p.pin_handover.data(), 0xFF, 8);
  return 0;
}

DWORD pin_param(ContextRecord& c, const char* pin, std::size_t len) {
  Provider& p = provider();
  const unsigned slot = c.slot;
  if (slot >= kReaders) return static_cast<DWORD>(SCARD_E_NO_SMARTCARD);
  // A PIN longer than the card's eight characters can never match: refused
  // here, so it costs the holder no try on the card.
  if (pin == nullptr || len == 0 || len > 8) return static_cast<DWORD>(SCARD_W_WRONG_CHV);
  vorn::Secret<8> block;
  if (pin_make_block(pin, static_cast<DWORD>(len), block.data()) != 0)
    return static_cast<DWORD>(SCARD_W_WRONG_CHV);
  version_refresh();
  PinCacheEntry& e = p.pins[slot];
  ReaderSlot& s = p.readers[slot];
  const bool needed = (version_6() || !e.verified) && (!e.verified || !s.pin_verified_on_card);
  if (needed) {
    if (card_op_begin(slot) != 0) return static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION);
    DWORD rc = sm_open_app_channel(slot, s.card, CARD_APP_CIPH);
    if (rc != 0) {
      sm_channel_reset(s.card, slot);
      card_op_end(slot, false);
      return rc;
    }
    rc = pin_verify(slot, s.card, PIN_REF_USER, block.data(), nullptr);
    if (rc == 0) s.pin_verified_on_card = 1;
    sm_channel_reset(s.card, slot);
    card_op_end(slot, false);
    if (rc == CARDERR_WRONG_PIN) return static_cast<DWORD>(SCARD_W_WRONG_CHV);
    if (rc != 0) return rc;
  } else if (!block_equal(block.data(), e.pin.data())) {
    return static_cast<DWORD>(SCARD_W_WRONG_CHV);
  }
  if (version_pre6() && c.machine_keyset) return 0;
  cache_store(slot, block.data(), false);
  return 0;
}

}  // namespace csp
