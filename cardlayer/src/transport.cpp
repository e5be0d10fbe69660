// APDU transport: status words, card_transmit with secure messaging, the
// file commands and GET DATA.
#include <cstring>

#include "internal.h"
#include "vorn/secure.h"

vorn_rv sw_to_error(std::uint8_t sw1, std::uint8_t sw2) {
  const vorn_rv base = CARDERR_SW_BASE;
  if (sw1 == 0x63) return base | 0x63C0;
  if (sw1 == 0x6C) return base | 0x6C00;
  static constexpr std::uint16_t kKnown[] = {
      0x6200, 0x6581, 0x6700, 0x6881, 0x6882, 0x6883, 0x6900, 0x6981, 0x6982,
      0x6983, 0x6985, 0x6986, 0x6987, 0x6988, 0x6A80, 0x6A81, 0x6A82, 0x6A83,
      0x6A84, 0x6A86, 0x6A87, 0x6A88, 0x6A89, 0x6B00, 0x6D00, 0x6E00, 0x6F00,
      0x6F01, 0x6F02};
  const std::uint16_t sw = static_cast<std::uint16_t>((sw1 << 8) | sw2);
  for (std::uint16_t k : kKnown) {
    if (k == sw) return base | sw;
  }
  return CARDERR_UNKNOWN;
}


namespace cardlayer {

vorn_rv sw_error(const std::uint8_t* resp, DWORD len) {
  std::uint8_t sw1 = 0, sw2 = 0;
  if (!sw_of(resp, len, &sw1, &sw2)) return CARDERR_UNKNOWN;
  return sw_to_error(sw1, sw2);
}

vorn_rv apdu(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* cmd, DWORD cmd_len,
             std::uint8_t* resp, DWORD* resp_len) {
  return card_transmit(reader_key, handle, SCARD_PCI_T0, cmd, cmd_len, nullptr, resp, resp_len);
}

vorn_rv get_response(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t le, bool chain,
                     vorn::SecureBytes& out, std::size_t limit, std::size_t expect) {
  std::uint8_t resp[kRespMax];
  vorn::WipeOnExit wipe(resp, sizeof resp);
  const std::size_t rounds = chain_rounds(expect);
  for (std::size_t round = 1;; ++round) {
    const std::uint8_t cmd[5] = {0x00, 0xC0, 0x00, 0x00, le};
    DWORD rlen = sizeof resp;
    vorn_rv rv = apdu(reader_key, handle, cmd, sizeof cmd, resp, &rlen);
    if (rv != VORN_OK) return rv;
    std::uint8_t sw1 = 0, sw2 = 0;
    if (!sw_of(resp, rlen, &sw1, &sw2)) return CARDERR_UNKNOWN;
    if (sw1 != 0x90 && sw1 != 0x61) return sw_to_error(sw1, sw2);
    if (sw1 == 0x90 && sw2 != 0x00) return sw_to_error(sw1, sw2);
    const DWORD data = rlen - 2;
    if (out.size() + data > limit) {
      out.insert(out.end(), resp, resp + (limit - out.size()));
      return CARDERR_BUFFER_TOO_SMALL;
    }
    out.insert(out.end(), resp, resp + data);
    if (sw1 == 0x90) return VORN_OK;
    if (!chain) return sw_to_error(sw1, sw2);
    // A piece that promises more but brings nothing, or more pieces than
    // the largest answer needs: the card would keep the host here for ever.
    if (data == 0 || round >= rounds) return CARDERR_UNKNOWN;
    le = sw2;
  }
}

std::uint8_t obj_app(std::uint32_t object) {
  if ((object & 0xF0000000u) == 0xF0000000u) return CARD_APP_SIGN;
  if ((object & 0xC0000000u) == 0xC0000000u) return CARD_APP_CIPH;
  return CARD_APP_NONE;
}

}  // namespace cardlayer

using namespace cardlayer;

namespace {

bool ins_fetches_answer(std::uint8_t ins) {
  return ins == 0xB0 || ins == 0xB2 || ins == 0x84 || ins == 0xCA;
}

vorn_rv copy_out(const std::uint8_t* src, DWORD n, std::uint8_t* resp, DWORD* resp_len) {
  if (*resp_len < n) {
    *resp_len = n;
    return CARDERR_BUFFER_TOO_SMALL;
  }
  std::memcpy(resp, src, n);
  *resp_len = n;
  return VORN_OK;
}

vorn_rv scard_transmit(SCARDHANDLE handle, LPCSCARD_IO_REQUEST send_pci, const std::uint8_t* cmd,
                       DWORD cmd_len, LPSCARD_IO_REQUEST recv_pci, std::uint8_t* resp,
                       DWORD* resp_len) {
  LONG rv = SCardTransmit(handle, send_pci, cmd, cmd_len, recv_pci, resp, resp_len);
  return static_cast<vorn_rv>(rv);
}

// Under the open channel: wrap, send, and unwrap as the command requires.
vorn_rv transmit_sm(CardSlot* slot, SCARDHANDLE handle, LPCSCARD_IO_REQUEST send_pci,
                    const std::uint8_t* cmd, DWORD cmd_len, LPSCARD_IO_REQUEST recv_pci,
                    std::uint8_t* resp, DWORD* resp_len) {
  vorn::Secret<16> key;
  std::memcpy(key.data(), slot->sessionKey, 16);
  std::uint8_t wire[kWrapMax];
  vorn::WipeOnExit wipe_wire(wire, sizeof wire);
  DWORD wire_len = sizeof wire;
  vorn_rv rv = sm_wrap(key.data(), cmd, cmd_len, wire, &wire_len);
  if (rv != VORN_OK) return rv;

  std::uint8_t answer[kRespMax + 2];
  vorn::WipeOnExit wipe_answer(answer, sizeof answer);
  DWORD alen = sizeof answer;
  rv = scard_transmit(handle, send_pci, wire, wire_len, recv_pci, answer, &alen);
  if (rv != VORN_OK) return rv;
  if (alen > sizeof answer) return CARDERR_UNKNOWN;

  const std::uint8_t ins = cmd[1];
  if (ins == 0xC0) {
    // The answer to GET RESPONSE carries data, MAC and status word. A bare
    // refusal (no room for a MAC) is passed on as its status word.
    if (alen < 6) {
      std::uint8_t sw1 = 0, sw2 = 0;
      if (!sw_of(answer, alen, &sw1, &sw2)) return CARDERR_UNKNOWN;
      if (sw1 == 0x90 || sw1 == 0x61) return CARDERR_MAC;
      return sw_to_error(sw1, sw2);
    }
    rv = sm_unwrap(key.data(), answer, &alen);
    if (rv != VORN_OK) return rv;
    return copy_out(answer, alen, resp, resp_len);
  }
  if (!ins_fetches_answer(ins)) return copy_out(answer, alen, resp, resp_len);

  // READ BINARY, READ RECORD, GET CHALLENGE, GET DATA: the card answers
  // 61 xx and the data is fetched here.
  if (!is_61(answer, alen)) return sw_error(answer, alen);
  const std::uint8_t get[5] = {0x04, 0xC0, 0x00, 0x00, answer[1]};
  alen = kRespMax;
  rv = scard_transmit(handle, send_pci, get, sizeof get, recv_pci, answer, &alen);
  if (rv != VORN_OK) return rv;
  if (alen > kRespMax) return CARDERR_UNKNOWN;
  if (alen < 6) {
    std::uint8_t sw1 = 0, sw2 = 0;
    if (!sw_of(answer, alen, &sw1, &sw2)) return CARDERR_UNKNOWN;
    if (sw1 == 0x90 || sw1 == 0x61) return CARDERR_MAC;
    return sw_to_error(sw1, sw2);
  }
  rv = sm_unwrap(key.data(), answer, &alen);
  if (rv != VORN_OK) return rv;
  return copy_out(answer, alen, resp, resp_len);
}

}  // namespace

vorn_rv card_transmit(std::uint32_t reader_key, SCARDHANDLE handle, LPCSCARD_IO_REQUEST send_pci,
                      const std::uint8_t* cmd, DWORD cmd_len, LPSCARD_IO_REQUEST recv_pci,
                      std::uint8_t* resp, DWORD* resp_len) {
  if (cmd == nullptr || cmd_len < 4 || resp == nullptr || resp_len == nullptr) {
    return CARDERR_BAD_ARG;
  }
  CardSlot* slot = slot_lookup(reader_key, handle);
  const std::uint8_t state = slot == nullptr ? 0 : shared_load(slot->channelState);
  if (state == CARD_CHANNEL_OPEN) {
    return transmit_sm(slot, handle, send_pci, cmd, cmd_len, recv_pci, resp, resp_len);
  }
  if (card_channel_opened() != 0 && sm_state_get(reader_key, handle) != 0) {
    // Another process opened the card's channel since this command was
    // prepared in plain; sending it now would break that channel.
    return CARDERR_CHANNEL_CHANGED;
  }
  return scard_transmit(handle, send_pci, cmd, cmd_len, recv_pci, resp, resp_len);
}

DWORD card_max_chunk(std::uint32_t reader_key, SCARDHANDLE handle, int direction) {
  const bool open = sm_state_get(reader_key, handle) == CARD_CHANNEL_OPEN;
  if (open) return 239;
  return direction == CARD_DIR_SEND ? 255 : 256;
}

// ---------------------------------------------------------------------------
// Files and GET DATA
// ---------------------------------------------------------------------------

vorn_rv card_select_file(std::uint32_t reader_key, SCARDHANDLE handle, std::uint16_t file_id,
                         std::uint8_t* fci, DWORD* fci_len) {
  if (file_id == 0) return CARDERR_BAD_FILE_ID;
  const std::uint8_t cmd[7] = {0x00, 0xA4, 0x00, 0x04, 0x02,
                               static_cast<std::uint8_t>(file_id >> 8),
                               static_cast<std::uint8_t>(file_id & 0xFF)};
  std::uint8_t resp[kRespMax];
  DWORD rlen = sizeof resp;
  vorn_rv rv = apdu(reader_key, handle, cmd, sizeof cmd, resp, &rlen);
  if (rv != VORN_OK) return rv;
  if (!is_61(resp, rlen)) return sw_error(resp, rlen);
  if (fci == nullptr || fci_len == nullptr) return VORN_OK;
  vorn::SecureBytes data;
  rv = get_response(reader_key, handle, resp[1], false, data, kRespMax, kRespMax);
  if (rv != VORN_OK) return rv;
  return copy_out(data.data(), static_cast<DWORD>(data.size()), fci, fci_len);
}

namespace {

// Size of a file from its control information (bytes 20 and 21).
vorn_rv file_size(std::uint32_t reader_key, SCARDHANDLE handle, std::uint16_t file_id,
                  DWORD* size) {
  std::uint8_t fci[kRespMax];
  DWORD flen = sizeof fci;
  vorn_rv rv = card_select_file(reader_key, handle, file_id, fci, &flen);
  if (rv != VORN_OK) return rv;
  if (flen < 22) return CARDERR_UNKNOWN;  // too short to hold the size
  *size = (static_cast<DWORD>(fci[20]) << 8) | fci[21];
  return VORN_OK;
}

}  // namespace

vorn_rv card_read_binary(std::uint32_t reader_key, SCARDHANDLE handle, std::uint16_t file_id,
                         std::uint16_t offset, DWORD length, std::uint8_t* buf, DWORD* len) {
  if (file_id == 0) return CARDERR_BAD_ARG;
  if (buf == nullptr && len == nullptr) return CARDERR_BAD_ARG;
  DWORD size = 0;
  vorn_rv rv = file_size(reader_key, handle, file_id, &size);
  if (rv != VORN_OK) return rv;
  if (buf == nullptr) {
    *len = size;
    return VORN_OK;
  }
  if (len == nullptr) return CARDERR_BAD_ARG;
  const DWORD want = length == 0 ? size : length;
  if (want > *len) {
    *len = want;
    return CARDERR_BUFFER_TOO_SMALL;
  }
  if (static_cast<DWORD>(offset) + want > 0x8000) return CARDERR_BAD_ARG;
  const DWORD chunk = card_max_chunk(reader_key, handle, CARD_DIR_RECV);
  DWORD got = 0;
  std::uint8_t resp[kRespMax];
  vorn::WipeOnExit wipe(resp, sizeof resp);
  while (got < want) {
    const DWORD piece = want - got > chunk ? chunk : want - got;
    const DWORD off = offset + got;
    const std::uint8_t cmd[5] = {0x00, 0xB0, static_cast<std::uint8_t>(off >> 8),
                                 static_cast<std::uint8_t>(off & 0xFF),
                                 static_cast<std::uint8_t>(piece & 0xFF)};
    DWORD rlen = sizeof resp;
    rv = apdu(reader_key, handle, cmd, sizeof cmd, resp, &rlen);
    if (rv != VORN_OK) return rv;
    if (rlen < 2) return CARDERR_UNKNOWN;
    const std::uint8_t sw1 = resp[rlen - 2];
    if (!(sw1 == 0x61 || (sw1 == 0x90 && resp[rlen - 1] == 0x00))) return sw_error(resp, rlen);
    const DWORD data = rlen - 2;
    if (data != piece) return CARDERR_UNKNOWN;  // the byte count does not add up
    std::memcpy(buf + got, resp, data);
    got += data;
  }
  *len = got;
  return VORN_OK;
}

vorn_rv card_update_binary(std::uint32_t reader_key, SCARDHANDLE handle, std::uint16_t file_id,
                           std::uint16_t offset, DWORD length, const std::uint8_t* data) {
  if (file_id == 0 || length == 0 || data == nullptr) return CARDERR_BAD_ARG;
  if (static_cast<DWORD>(offset) + length > 0x8000) return CARDERR_BAD_ARG;
  vorn_rv rv = card_select_file(reader_key, handle, file_id, nullptr, nullptr);
  if (rv != VORN_OK) return rv;
  const DWORD chunk = card_max_chunk(reader_key, handle, CARD_DIR_SEND);
  DWORD sent = 0;
  std::uint8_t cmd[5 + 255];
  vorn::WipeOnExit wipe(cmd, sizeof cmd);
  while (sent < length) {
    const DWORD piece = length - sent > chunk ? chunk : length - sent;
    const DWORD off = offset + sent;
    cmd[0] = 0x00;
    cmd[1] = 0xD6;
    cmd[2] = static_cast<std::uint8_t>(off >> 8);
    cmd[3] = static_cast<std::uint8_t>(off & 0xFF);
    cmd[4] = static_cast<std::uint8_t>(piece);
    std::memcpy(cmd + 5, data + sent, piece);
    std::uint8_t resp[kRespMax];
    DWORD rlen = sizeof resp;
    rv = apdu(reader_key, handle, cmd, 5 + piece, resp, &rlen);
    if (rv != VORN_OK) return rv;
    if (!is_sw(resp, rlen, 0x90, 0x00)) return sw_error(resp, rlen);
    sent += piece;
  }
  return sent == length ? VORN_OK : CARDERR_UNKNOWN;
}

vorn_rv card_get_data(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t p1,
                      std::uint8_t* buf, DWORD* len) {
  std::uint8_t le = 0;
  switch (p1) {
    case CARD_DATA_ID: le = 0x10; break;
    case CARD_DATA_PIN_STATE: le = 0x01; break;
    case CARD_DATA_OBJ_MAP: le = 0x28; break;
    default: return CARDERR_BAD_ARG;
  }
  if (buf == nullptr || len == nullptr) return CARDERR_BAD_ARG;
  const std::uint8_t cmd[5] = {0x00, 0xCA, p1, 0x00, le};
  std::uint8_t resp[kRespMax];
  DWORD rlen = sizeof resp;
  vorn_rv rv = apdu(reader_key, handle, cmd, sizeof cmd, resp, &rlen);
  if (rv != VORN_OK) return rv;
  if (rlen < 2 || resp[rlen - 2] != 0x90 || resp[rlen - 1] != 0x00) return sw_error(resp, rlen);
  return copy_out(resp, rlen - 2, buf, len);
}
