// PIN commands and the card's PIN cache (file 0FCF).
#include <cstring>

#include "internal.h"
#include "softcrypto.h"
#include "vorn/personalisation.h"
#include "vorn/secure.h"

using namespace cardlayer;

namespace {

bool pin_ref_ok(std::uint8_t ref) {
  return (ref >= 1 && ref <= 8) || ref == PIN_REF_SO || ref == PIN_REF_USER;
}

// Answer of VERIFY, CHANGE REFERENCE DATA and RESET RETRY COUNTER.
vorn_rv pin_answer(const std::uint8_t* resp, DWORD len, std::uint8_t* tries) {
  if (is_sw(resp, len, 0x90, 0x00)) {
    if (tries != nullptr) *tries = 3;
    return VORN_OK;
  }
  if (len == 2 && resp[0] == 0x63 && (resp[1] & 0xF0) == 0xC0) {
    if (tries != nullptr) *tries = resp[1] & 0x0F;
    return CARDERR_WRONG_PIN;
  }
  return sw_error(resp, len);
}

vorn_rv pin_send(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t ins, std::uint8_t p1,
                 std::uint8_t ref, const std::uint8_t* a8, const std::uint8_t* b8,
                 std::uint8_t* tries) {
  std::uint8_t cmd[5 + 16] = {0x00, ins, p1, ref, 0x00};
  vorn::WipeOnExit wipe(cmd, sizeof cmd);
  DWORD len = 5;
  if (a8 != nullptr) {
    std::memcpy(cmd + 5, a8, 8);
    len += 8;
    if (b8 != nullptr) {
      std::memcpy(cmd + 13, b8, 8);
      len += 8;
    }
    cmd[4] = static_cast<std::uint8_t>(len - 5);
  }
  std::uint8_t resp[kRespMax];
  DWORD rlen = sizeof resp;
  vorn_rv rv = apdu(reader_key, handle, cmd, len, resp, &rlen);
  if (rv != VORN_OK) return rv;
  return pin_answer(resp, rlen, tries);
}

vorn_rv cache_cipher(bool encrypt, const std::uint8_t* in8, std::uint8_t* out8) {
  vorn::Secret<16> key;
  std::memcpy(key.data(), vorn::perso::kPinCacheKey.data(), 16);
  std::uint32_t len = 0;
  vorn_rv rv = encrypt ? sc_encrypt(SC_ALG_DES2, key.data(), SC_MODE_ECB, nullptr, in8, 8, out8, &len)
                       : sc_decrypt(SC_ALG_DES2, key.data(), SC_MODE_ECB, nullptr, in8, 8, out8, &len);
  if (rv == VORN_OK && len != 8) rv = CARDERR_UNKNOWN;
  return rv;
}

// Writes the enciphered PIN block to 0FCF (in plain, from 3F00) and puts the
// channel back the way it was.
vorn_rv cache_write(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* enc8) {
  const std::uint8_t app = sm_app_get(reader_key, handle);
  sm_channel_reset(handle, reader_key);
  vorn_rv rv = card_update_binary(reader_key, handle, CARD_FILE_PIN_CACHE, 0, 8, enc8);
  if (rv == VORN_OK) pin_cache_set(reader_key, handle, enc8);
  if (app == CARD_APP_NONE) return rv;
  vorn_rv reopen = sm_open_app_channel(reader_key, handle, app);
  // A failed write stays a failure even when the channel comes back.
  return rv != VORN_OK ? rv : reopen;
}

}  // namespace

vorn_rv pin_make_block(const char* pin, DWORD len, std::uint8_t* block8) {
  if (pin == nullptr || block8 == nullptr || len == 0 || len > 8) return CARDERR_BAD_ARG;
  std::memset(block8, 0xFF, 8);
  std::memcpy(block8, pin, len);
  return VORN_OK;
}

vorn_rv pin_verify_raw(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t ref,
                       const std::uint8_t* pin8, std::uint8_t* tries) {
  if (!pin_ref_ok(ref)) return CARDERR_BAD_PIN_REF;
  return pin_send(reader_key, handle, 0x20, 0x00, ref, pin8, nullptr, tries);
}

vorn_rv pin_verify(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t ref,
                   const std::uint8_t* pin8, std::uint8_t* tries) {
  vorn_rv rv = pin_verify_raw(reader_key, handle, ref, pin8, tries);
  if (rv != VORN_OK || ref != PIN_REF_USER || pin8 == nullptr) return rv;
  vorn::Secret<8> enc;
  rv = cache_cipher(true, pin8, enc.data());
  if (rv != VORN_OK) return rv;
  const std::uint8_t* cache = pin_cache_get(reader_key, handle);
  // Without a slot there is nothing to compare with: write the file.
  if (cache != nullptr && plat_ct_equal(cache, enc.data(), 8)) return VORN_OK;
  rv = cache_write(reader_key, handle, enc.data());
  // The card took the PIN but the caller is told the verify failed: the
  // reference must not stay verified for every program on the card.
  if (rv != VORN_OK) pin_logout(reader_key, handle, ref);
  return rv;
}

vorn_rv pin_logout(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t ref) {
  if (!pin_ref_ok(ref)) return CARDERR_BAD_PIN_REF;
  const std::uint8_t cmd[5] = {0x00, 0x2E, 0x00, ref, 0x00};
  std::uint8_t resp[kRespMax];
  DWORD rlen = sizeof resp;
  vorn_rv rv = apdu(reader_key, handle, cmd, sizeof cmd, resp, &rlen);
  if (rv != VORN_OK) return rv;
  return is_sw(resp, rlen, 0x90, 0x00) ? VORN_OK : sw_error(resp, rlen);
}

vorn_rv pin_change_raw(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t p1,
                       std::uint8_t ref, const std::uint8_t* old8, const std::uint8_t* new8,
                       std::uint8_t* tries) {
  if (p1 != 0x00 && p1 != 0x80) return CARDERR_BAD_ARG;
  if (!pin_ref_ok(ref)) return CARDERR_BAD_PIN_REF;
  if (old8 == nullptr || new8 == nullptr) return CARDERR_BAD_ARG;
  return pin_send(reader_key, handle, 0x24, p1, ref, old8, new8, tries);
}

vorn_rv pin_change(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t p1, std::uint8_t ref,
                   const std::uint8_t* old8, const std::uint8_t* new8, std::uint8_t* tries) {
  vorn_rv rv = pin_change_raw(reader_key, handle, p1, ref, old8, new8, tries);
  if (rv != VORN_OK || p1 != 0x00 || ref != PIN_REF_USER) return rv;
  vorn::Secret<8> enc;
  rv = cache_cipher(true, new8, enc.data());
  if (rv != VORN_OK) return rv;
  return cache_write(reader_key, handle, enc.data());
}

vorn_rv pin_unblock_raw(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t ref,
                        const std::uint8_t* puk8, const std::uint8_t* new8, std::uint8_t* tries) {
  if (!pin_ref_ok(ref)) return CARDERR_BAD_PIN_REF;
  if (puk8 != nullptr && new8 == nullptr) return CARDERR_BAD_ARG;
  return pin_send(reader_key, handle, 0x2C, 0x00, ref, puk8, puk8 == nullptr ? nullptr : new8,
                  tries);
}

vorn_rv pin_unblock(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t ref,
                    const std::uint8_t* puk8, const std::uint8_t* new8, std::uint8_t* tries) {
  if (!pin_ref_ok(ref)) return CARDERR_BAD_PIN_REF;
  if (ref != PIN_REF_USER) return pin_unblock_raw(reader_key, handle, ref, puk8, new8, tries);
  if (puk8 == nullptr || new8 == nullptr) return CARDERR_BAD_ARG;
  const std::uint8_t* cache = pin_cache_get(reader_key, handle);
  if (cache == nullptr) return CARDERR_BAD_ARG;  // no slot, so no last PIN to stand in

  // X, the last user PIN known to the card, stands in as the PUK for the
  // unblock; the caller's PUK is put back afterwards.
  vorn::Secret<8> x;
  vorn_rv rv = cache_cipher(false, cache, x.data());
  if (rv != VORN_OK) return rv;
  // A refusal here leaves the card as it was.
  rv = pin_change_raw(reader_key, handle, 0x80, PIN_REF_USER, puk8, x.data(), tries);
  if (rv != VORN_OK) return rv;
  vorn_rv result = pin_unblock_raw(reader_key, handle, PIN_REF_USER, x.data(), new8, tries);
  // From here on the card's PUK is X until the change back goes through. A
  // refusal other than a PUK refusal is tried once more (a wrong-PUK answer
  // would only spend another try).
  std::uint8_t puk_tries = 0;
  vorn_rv back = pin_change_raw(reader_key, handle, 0x80, PIN_REF_USER, x.data(), puk8, &puk_tries);
  if (back != VORN_OK && back != CARDERR_WRONG_PIN && back != CARDERR_SW_PIN_BLOCKED)
    back = pin_change_raw(reader_key, handle, 0x80, PIN_REF_USER, x.data(), puk8, &puk_tries);
  if (result != VORN_OK) return back == VORN_OK ? result : CARDERR_PUK_NOT_RESTORED;

  // The new PIN is set: the cache follows it even when the PUK stayed X, so
  // the card and the cache agree on the user PIN.
  vorn::Secret<8> enc;
  result = cache_cipher(true, new8, enc.data());
  if (result == VORN_OK) {
    std::uint8_t ignored = 0;
    pin_verify_raw(reader_key, handle, PIN_REF_USER, new8, &ignored);
    result = cache_write(reader_key, handle, enc.data());
    const vorn_rv out = pin_logout(reader_key, handle, PIN_REF_USER);
    if (result == VORN_OK) result = out;
  }
  return back == VORN_OK ? result : CARDERR_PUK_NOT_RESTORED;
}
