// Opening and closing the secure channel, the application selects, and
// attaching to and detaching from the card: the first attach brings the card
// to a known state, the last detach closes it.
#include <cstring>

#include "internal.h"
#include "softcrypto.h"
#include "vorn/personalisation.h"
#include "vorn/secure.h"

using namespace cardlayer;

namespace {

const std::uint8_t* channel_key(std::uint8_t app) {
  return app == CARD_APP_SIGN ? vorn::perso::kSignChannelKey.data()
                              : vorn::perso::kCiphChannelKey.data();
}

// SHA-1 of a (8 bytes) followed by the channel key.
vorn_rv cryptogram(const std::uint8_t* a8, const std::uint8_t* key16, std::uint8_t* out20) {
  vorn::Secret<24> in;
  std::memcpy(in.data(), a8, 8);
  std::memcpy(in.data() + 8, key16, 16);
  std::uint32_t len = 20;
  vorn_rv rv = sc_digest(SC_ALG_SHA1, in.data(), 24, out20, &len);
  if (rv == VORN_OK && len != 20) rv = CARDERR_UNKNOWN;
  return rv;
}

vorn_rv des2_block(bool encrypt, const std::uint8_t* key16, const std::uint8_t* in8,
                   std::uint8_t* out8) {
  vorn::Secret<16> key;
  std::memcpy(key.data(), key16, 16);
  std::uint32_t len = 0;
  vorn_rv rv = encrypt ? sc_encrypt(SC_ALG_DES2, key.data(), SC_MODE_ECB, nullptr, in8, 8, out8, &len)
                       : sc_decrypt(SC_ALG_DES2, key.data(), SC_MODE_ECB, nullptr, in8, 8, out8, &len);
  if (rv == VORN_OK && len != 8) rv = CARDERR_UNKNOWN;
  return rv;
}

vorn_rv check_aid(const std::uint8_t* aid, DWORD aid_len) {
  if (aid == nullptr || aid_len == 0 || aid_len > 16) return CARDERR_BAD_AID;
  return VORN_OK;
}

}  // namespace

vorn_rv card_select_aid(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* aid,
                        DWORD aid_len, std::uint8_t* resp, DWORD* resp_len) {
  vorn_rv rv = check_aid(aid, aid_len);
  if (rv != VORN_OK) return rv;
  std::uint8_t cmd[5 + 16] = {0x00, 0xA4, 0x04, 0x04, static_cast<std::uint8_t>(aid_len)};
  std::memcpy(cmd + 5, aid, aid_len);
  std::uint8_t answer[kRespMax];
  DWORD alen = sizeof answer;
  rv = apdu(reader_key, handle, cmd, 5 + aid_len, answer, &alen);
  if (rv != VORN_OK) return rv;
  if (!is_61(answer, alen)) return sw_error(answer, alen);
  // The card has left the old application and closed its channel.
  set_channel_opened(0);
  slot_close_channel(slot_lookup(reader_key, handle));
  if (resp == nullptr || resp_len == nullptr) return VORN_OK;
  vorn::SecureBytes data;
  rv = get_response(reader_key, handle, answer[1], false, data, kRespMax, kRespMax);
  if (rv != VORN_OK) return rv;
  if (*resp_len < data.size()) {
    *resp_len = static_cast<DWORD>(data.size());
    return CARDERR_BUFFER_TOO_SMALL;
  }
  std::memcpy(resp, data.data(), data.size());
  *resp_len = static_cast<DWORD>(data.size());
  return VORN_OK;
}

vorn_rv card_select_aid_sm(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* aid,
                           DWORD aid_len) {
  vorn_rv rv = check_aid(aid, aid_len);
  if (rv != VORN_OK) return rv;
  std::uint8_t cmd[5 + 16] = {0x04, 0xA4, 0x04, 0x4C, static_cast<std::uint8_t>(aid_len)};
  std::memcpy(cmd + 5, aid, aid_len);
  std::uint8_t answer[kRespMax];
  DWORD alen = sizeof answer;
  rv = apdu(reader_key, handle, cmd, 5 + aid_len, answer, &alen);
  if (rv != VORN_OK) return rv;
  if (!is_sw(answer, alen, 0x90, 0x00)) return sw_error(answer, alen);
  set_channel_opened(0);
  slot_close_channel(slot_lookup(reader_key, handle));
  return VORN_OK;
}

vorn_rv sm_open_channel(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t app) {
  if (app != CARD_APP_SIGN && app != CARD_APP_CIPH) return CARDERR_BAD_APP;
  const std::uint8_t* k = channel_key(app);

  // Host challenge.
  std::uint8_t cmd[5 + 28] = {0x80, 0x4C, 0x02, 0x02, 0x08};
  vorn::WipeOnExit wipe_cmd(cmd, sizeof cmd);
  vorn::Secret<8> rh;
  vorn_rv rv = plat_random(rh.data(), rh.size());
  if (rv != VORN_OK) return rv;
  std::memcpy(cmd + 5, rh.data(), 8);
  std::uint8_t answer[kRespMax];
  vorn::WipeOnExit wipe_answer(answer, sizeof answer);
  DWORD alen = sizeof answer;
  rv = apdu(reader_key, handle, cmd, 13, answer, &alen);
  if (rv != VORN_OK) return rv;
  if (!is_61(answer, alen)) return sw_error(answer, alen);

  vorn::SecureBytes data;
  rv = get_response(reader_key, handle, answer[1], false, data, kRespMax, kRespMax);
  if (rv != VORN_OK) return rv;
  if (data.size() < 52) return CARDERR_CARD_AUTH;  // too short to hold the card's proof

  // The card proves it knows the key: SHA-1(RH || K).
  std::uint8_t expect[20];
  rv = cryptogram(rh.data(), k, expect);
  if (rv != VORN_OK) return rv;
  if (!plat_ct_equal(expect, data.data() + 16, 20)) return CARDERR_CARD_AUTH;

  vorn::Secret<16> session;  // RH2 || RC
  rv = des2_block(false, k, data.data() + 44, session.data() + 8);
  if (rv != VORN_OK) return rv;
  std::uint8_t hc[20];
  rv = cryptogram(data.data() + 36, k, hc);
  if (rv != VORN_OK) return rv;
  rv = plat_random(session.data(), 8);
  if (rv != VORN_OK) return rv;
  std::uint8_t eh2[8];
  rv = des2_block(true, k, session.data(), eh2);
  if (rv != VORN_OK) return rv;

  cmd[0] = 0x80;
  cmd[1] = 0x4E;
  cmd[2] = 0x00;
  cmd[3] = 0x00;
  cmd[4] = 0x1C;
  std::memcpy(cmd + 5, hc, 20);
  std::memcpy(cmd + 25, eh2, 8);
  plat_wipe(eh2, sizeof eh2);
  alen = sizeof answer;
  rv = apdu(reader_key, handle, cmd, 33, answer, &alen);
  if (rv != VORN_OK) return rv;
  if (!is_sw(answer, alen, 0x90, 0x00)) return sw_error(answer, alen);

  sm_key_set(reader_key, handle, session.data());
  sm_state_set(reader_key, handle, CARD_CHANNEL_OPEN);
  sm_app_set(reader_key, handle, app);
  set_channel_opened(1);
  return VORN_OK;
}

vorn_rv sm_open_app_channel(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t app) {
  const std::uint8_t* aid = nullptr;
  if (app == CARD_APP_SIGN) {
    aid = kAidSign.data();
  } else if (app == CARD_APP_CIPH) {
    aid = kAidCiph.data();
  } else {
    return CARDERR_BAD_ARG;
  }
  vorn_rv rv = card_select_aid(reader_key, handle, aid, 12, nullptr, nullptr);
  if (rv != VORN_OK) return rv;
  return sm_open_channel(reader_key, handle, app);
}

void sm_channel_reset(SCARDHANDLE handle, std::uint32_t reader_key) {
  CardSlot* slot = slot_by_key(reader_key);
  if (slot == nullptr) return;
  const std::uint8_t app = shared_load(slot->channelApp);
  if (app == CARD_APP_CIPH) {
    card_select_aid_sm(reader_key, handle, kAidCiph.data(), kAidCiph.size());
  } else if (app == CARD_APP_SIGN) {
    card_select_aid_sm(reader_key, handle, kAidSign.data(), kAidSign.size());
  }
  card_select_file(reader_key, handle, CARD_FILE_MF, nullptr, nullptr);
  slot_close_channel(slot);
}

void card_attach(SCARDHANDLE handle, std::uint32_t reader_key) {
  if (slot_join(reader_key, handle) != SlotJoin::claimed) return;
  // Load the PIN cache; its errors are not the caller's concern.
  sm_channel_reset(handle, reader_key);
  std::uint8_t cache[8];
  DWORD len = sizeof cache;
  if (card_read_binary(reader_key, handle, CARD_FILE_PIN_CACHE, 0, sizeof cache, cache, &len) == VORN_OK &&
      len == sizeof cache) {
    pin_cache_set(reader_key, handle, cache);
  }
  plat_wipe(cache, sizeof cache);
}

void card_detach(SCARDHANDLE handle, std::uint32_t reader_key) {
  if (!slot_leave(reader_key, handle)) return;
  // Last user: leave the card with its channel closed and 3F00 selected.
  sm_channel_reset(handle, reader_key);
  slot_release(reader_key, handle);
}

vorn_rv sm_select_for_object(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t object) {
  const std::uint8_t app = obj_app(object);
  if (app == CARD_APP_NONE) return CARDERR_BAD_ARG;
  if (sm_app_get(reader_key, handle) == app) return VORN_OK;
  return sm_open_app_channel(reader_key, handle, app);
}

void sm_mac(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* data, DWORD len,
            std::uint8_t* mac4) {
  if (mac4 == nullptr) return;
  const std::uint8_t* key = sm_key_get(reader_key, handle);
  if (key == nullptr || sm_mac_key(key, data, len, mac4) != VORN_OK) std::memset(mac4, 0, 4);
}

int sm_mac_check(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* data,
                 DWORD len, const std::uint8_t* mac4) {
  if (mac4 == nullptr) return 0;
  const std::uint8_t* key = sm_key_get(reader_key, handle);
  if (key == nullptr) return 0;
  std::uint8_t mac[4];
  if (sm_mac_key(key, data, len, mac) != VORN_OK) return 0;
  return plat_ct_equal(mac, mac4, 4) ? 1 : 0;
}
