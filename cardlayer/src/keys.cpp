// On-card key operations: MSE SET, key generation and storing, signature,
// encipherment and decipherment, and GET CHALLENGE.
#include <cstring>

#include "internal.h"
#include "vorn/secure.h"

using namespace cardlayer;

namespace {

// Access class sent to the card for bits 3-4 of a kind byte; 0xFF when the
// caller chose none.
std::uint8_t access_class(std::uint8_t kind) {
  switch ((kind >> 3) & 0x03) {
    case 0x03: return 0x01;
    case 0x01: return 0x02;
    case 0x02: return 0x00;
    default: return 0xFF;
  }
}

vorn_rv send_expect(std::uint32_t reader_key, SCARDHANDLE handle, const std::uint8_t* cmd,
                    DWORD len, std::uint8_t sw1, std::uint8_t* sw2_out) {
  std::uint8_t resp[kRespMax];
  vorn::WipeOnExit wipe(resp, sizeof resp);
  DWORD rlen = sizeof resp;
  vorn_rv rv = apdu(reader_key, handle, cmd, len, resp, &rlen);
  if (rv != VORN_OK) return rv;
  if (sw1 == 0x61) {
    if (!is_61(resp, rlen)) return sw_error(resp, rlen);
    if (sw2_out != nullptr) *sw2_out = resp[1];
    return VORN_OK;
  }
  const std::uint8_t sw2 = sw1 == 0x90 ? 0x00 : 0x83;  // 90 00 or 68 83
  return is_sw(resp, rlen, sw1, sw2) ? VORN_OK : sw_error(resp, rlen);
}

std::uint8_t obj_number(std::uint32_t object) { return static_cast<std::uint8_t>(object & 0xFF); }

// The largest answer of one key command: a 2048-bit modulus, signature or
// deciphered block, or the output of one symmetric piece.
inline constexpr std::size_t kKeyAnswerMax = 256;

// Appends the answer gathered with 61 chaining to out[*pos..cap).
vorn_rv collect(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t le, std::uint8_t* out,
                DWORD cap, DWORD* pos) {
  vorn::SecureBytes data;
  vorn_rv rv = get_response(reader_key, handle, le, true, data, cap - *pos, kKeyAnswerMax);
  if (rv == VORN_OK && !data.empty()) {
    std::memcpy(out + *pos, data.data(), data.size());
    *pos += static_cast<DWORD>(data.size());
  }
  return rv;
}

}  // namespace

vorn_rv key_set_env(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t alg,
                    std::uint8_t mode, std::uint8_t key_ref, const std::uint8_t* iv, DWORD iv_len) {
  std::uint8_t cmd[5 + 9 + 2 + 16] = {0x84, 0x22, 0x00, 0x00, 0x00};
  vorn::WipeOnExit wipe(cmd, sizeof cmd);
  DWORD n = 5;
  if (alg != 0) {
    cmd[n++] = 0x80; cmd[n++] = 0x01; cmd[n++] = alg;
  }
  if (mode != 0) {
    cmd[n++] = 0x8A; cmd[n++] = 0x01; cmd[n++] = mode;
  }
  if (key_ref != 0) {
    cmd[n++] = 0x81; cmd[n++] = 0x01; cmd[n++] = key_ref;
  }
  if (iv != nullptr && iv_len != 0) {
    if (iv_len > 16) return CARDERR_BAD_LENGTH;
    cmd[n++] = 0x89;
    cmd[n++] = static_cast<std::uint8_t>(iv_len);
    std::memcpy(cmd + n, iv, iv_len);
    n += iv_len;
  }
  if (n == 5) return CARDERR_BAD_ARG;
  cmd[4] = static_cast<std::uint8_t>(n - 5);
  return send_expect(reader_key, handle, cmd, n, 0x90, nullptr);
}

vorn_rv key_gen_pair(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t alg,
                     std::uint8_t priv_kind, std::uint8_t pub_kind, std::uint32_t* priv_handle,
                     std::uint32_t* pub_handle, std::uint8_t* modulus, DWORD* modulus_len) {
  if (priv_handle == nullptr || pub_handle == nullptr || modulus == nullptr ||
      modulus_len == nullptr) {
    return CARDERR_BAD_ARG;
  }
  if (alg != 0 && alg != CARD_ALG_RSA1024 && alg != CARD_ALG_RSA2048) return CARDERR_BAD_ARG;
  const DWORD need = static_cast<DWORD>(vorn_alg_modulus_len(alg));
  if (*modulus_len < need) {
    *modulus_len = need;
    return CARDERR_BUFFER_TOO_SMALL;
  }
  const std::uint8_t ac_priv = access_class(priv_kind);
  const std::uint8_t ac_pub = access_class(pub_kind);
  if (ac_priv == 0xFF || ac_pub == 0xFF) return CARDERR_BAD_ARG;
  const std::uint8_t app = sm_app_get(reader_key, handle);
  if (app == CARD_APP_NONE) return CARDERR_BAD_ARG;  // no channel application open

  vorn_rv rv = VORN_OK;
  if (alg != 0) {
    rv = key_set_env(reader_key, handle, alg, 0, 0, nullptr, 0);
    if (rv != VORN_OK) return rv;
  }
  std::uint8_t p = 0, q = 0;
  rv = obj_find_two_free(reader_key, handle, &p, &q);
  if (rv != VORN_OK) return rv;
  std::uint8_t cmd[5 + 9] = {0x84, 0x46, p, q, 0x06, 0x84, 0x01, ac_priv, 0x85, 0x01, ac_pub};
  DWORD n = 11;
  if (app == CARD_APP_CIPH) {
    cmd[n++] = 0x87;
    cmd[n++] = 0x01;
    cmd[n++] = (priv_kind & VORN_KIND_EXTRACTABLE) != 0 ? 0x01 : 0x00;
    cmd[4] = 0x09;
  }
  std::uint8_t le = 0;
  rv = send_expect(reader_key, handle, cmd, n, 0x61, &le);
  if (rv != VORN_OK) return rv;
  DWORD got = 0;
  rv = collect(reader_key, handle, le, modulus, *modulus_len, &got);
  if (rv != VORN_OK) return rv;
  *modulus_len = got;
  const std::uint32_t prefix = app == CARD_APP_SIGN ? OBJ_PREFIX_SIGN : OBJ_PREFIX_CIPH;
  std::uint32_t pk = priv_kind | VORN_KIND_PRIVATE_KEY;
  if ((priv_kind & VORN_KIND_PRIVATE) != 0) pk |= VORN_KIND_MARK;
  *priv_handle = prefix | (pk << 16) | p;
  const std::uint32_t pub = pub_kind | VORN_KIND_EXTRACTABLE | VORN_KIND_PUBLIC_KEY;
  *pub_handle = prefix | (pub << 16) | q;
  return VORN_OK;
}

vorn_rv key_gen_secret(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t alg,
                       std::uint8_t kind, std::uint32_t* out_handle) {
  if (out_handle == nullptr) return CARDERR_BAD_ARG;
  if (alg != 0 && !vorn_alg_on_card(alg)) return CARDERR_BAD_ARG;
  const std::uint8_t ac = access_class(kind);
  if (ac == 0xFF) return CARDERR_BAD_ARG;
  vorn_rv rv = sm_open_app_channel(reader_key, handle, CARD_APP_CIPH);
  if (rv != VORN_OK) return rv;
  if (alg != 0) {
    rv = key_set_env(reader_key, handle, alg, 0, 0, nullptr, 0);
    if (rv != VORN_OK) return rv;
  }
  std::uint8_t number = 0;
  rv = obj_find_free(reader_key, handle, &number);
  if (rv != VORN_OK) return rv;
  const std::uint8_t extractable = (kind & VORN_KIND_EXTRACTABLE) != 0 ? 1 : 0;
  const std::uint8_t cmd[11] = {0x84, 0x54, 0x00, number, 0x06, 0x86, 0x01, ac, 0x87, 0x01, extractable};
  rv = send_expect(reader_key, handle, cmd, sizeof cmd, 0x90, nullptr);
  if (rv != VORN_OK) return rv;
  std::uint32_t k = kind | VORN_KIND_SECRET_KEY;
  if ((kind & VORN_KIND_PRIVATE) != 0) k |= VORN_KIND_MARK;
  *out_handle = OBJ_PREFIX_CIPH | (k << 16) | number;
  return VORN_OK;
}

vorn_rv key_store(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t kind,
                  std::uint8_t alg, std::uint8_t key_ref, const std::uint8_t* value,
                  DWORD value_len, std::uint32_t* out_handle) {
  if (out_handle == nullptr || value == nullptr || value_len == 0) return CARDERR_BAD_ARG;
  if (value_len > 0xFFFF) return CARDERR_BAD_LENGTH;
  static constexpr std::uint8_t kType[5] = {0x05, 0x04, 0x01, 0x02, 0x03};
  const std::uint8_t k = kind & VORN_KIND_TYPE_MASK;
  if (k > VORN_KIND_SECRET_KEY) return CARDERR_BAD_ARG;
  const std::uint8_t ac = access_class(kind);
  if (ac == 0xFF) return CARDERR_BAD_ARG;
  const std::uint8_t app = sm_app_get(reader_key, handle);

  std::uint8_t p1 = 0x00;
  vorn_rv rv = VORN_OK;
  if (key_ref != 0) {
    rv = key_set_env(reader_key, handle, 0, 0, key_ref, nullptr, 0);
    if (rv != VORN_OK) return rv;
    p1 = 0x01;
  }
  std::uint8_t number = 0;
  rv = obj_find_free(reader_key, handle, &number);
  if (rv != VORN_OK) return rv;

  std::uint8_t cmd[5 + 20] = {0x84, 0x48, p1, number, 0x00};
  DWORD n = 5;
  cmd[n++] = 0x82; cmd[n++] = 0x02;
  cmd[n++] = static_cast<std::uint8_t>(value_len >> 8);
  cmd[n++] = static_cast<std::uint8_t>(value_len);
  cmd[n++] = 0x83; cmd[n++] = 0x01; cmd[n++] = kType[k];
  cmd[n++] = 0x86; cmd[n++] = 0x01; cmd[n++] = ac;
  if (k == VORN_KIND_DATA || k == VORN_KIND_PRIVATE_KEY || k == VORN_KIND_SECRET_KEY) {
    cmd[n++] = 0x88; cmd[n++] = 0x01; cmd[n++] = (kind & VORN_KIND_MARK) != 0 ? 0x01 : 0x00;
  }
  if ((k == VORN_KIND_PRIVATE_KEY || k == VORN_KIND_SECRET_KEY) && app == CARD_APP_CIPH) {
    cmd[n++] = 0x87; cmd[n++] = 0x01; cmd[n++] = (kind & VORN_KIND_EXTRACTABLE) != 0 ? 0x01 : 0x00;
  }
  if (k >= VORN_KIND_PUBLIC_KEY) {
    cmd[n++] = 0x80; cmd[n++] = 0x01; cmd[n++] = alg;
  }
  cmd[4] = static_cast<std::uint8_t>(n - 5);
  rv = send_expect(reader_key, handle, cmd, n, 0x90, nullptr);
  if (rv != VORN_OK) return rv;

  // The value in pieces: P1 = piece index + 2, bit 7 on the last.
  const DWORD chunk = card_max_chunk(reader_key, handle, CARD_DIR_SEND);
  const DWORD pieces = (value_len + chunk - 1) / chunk;
  if (pieces > 0x7F - 2 + 1) return CARDERR_BAD_LENGTH;
  std::uint8_t piece_cmd[5 + 255];
  vorn::WipeOnExit wipe(piece_cmd, sizeof piece_cmd);
  for (DWORD i = 0; i < pieces; ++i) {
    const DWORD off = i * chunk;
    const DWORD len = value_len - off > chunk ? chunk : value_len - off;
    std::uint8_t pp = static_cast<std::uint8_t>(i + 2);
    if (i + 1 == pieces) pp |= 0x80;
    piece_cmd[0] = 0x84;
    piece_cmd[1] = 0x48;
    piece_cmd[2] = pp;
    piece_cmd[3] = number;
    piece_cmd[4] = static_cast<std::uint8_t>(len);
    std::memcpy(piece_cmd + 5, value + off, len);
    rv = send_expect(reader_key, handle, piece_cmd, 5 + len, 0x90, nullptr);
    if (rv != VORN_OK) return rv;
  }
  const std::uint32_t prefix = app == CARD_APP_CIPH ? OBJ_PREFIX_CIPH : OBJ_PREFIX_SIGN;
  *out_handle = prefix | (static_cast<std::uint32_t>(kind) << 16) | number;
  return VORN_OK;
}

vorn_rv key_sign(std::uint32_t reader_key, SCARDHANDLE handle, std::uint32_t key,
                 const std::uint8_t* data, DWORD data_len, std::uint8_t* sig, DWORD* sig_len) {
  if (sig_len == nullptr) return CARDERR_BAD_ARG;
  if (obj_app(key) == CARD_APP_NONE) return CARDERR_BAD_ARG;
  if (sig == nullptr) {
    DWORD size = 0;
    vorn_rv rv = obj_read_value(reader_key, handle, key, 0, nullptr, &size);
    if (rv != VORN_OK) return rv;
    if (size == 320) {
      *sig_len = 128;
    } else if (size == 640) {
      *sig_len = 256;
    } else {
      return CARDERR_BAD_ARG;
    }
    return VORN_OK;
  }
  if (data == nullptr || data_len == 0) return CARDERR_BAD_ARG;
  if (data_len > 256) return CARDERR_BAD_LENGTH;  // at most one RSA-2048 block
  vorn_rv rv = sm_select_for_object(reader_key, handle, key);
  if (rv != VORN_OK) return rv;
  rv = key_set_env(reader_key, handle, 0, 0, obj_number(key), nullptr, 0);
  if (rv != VORN_OK) return rv;

  std::uint8_t cmd[5 + 255];
  vorn::WipeOnExit wipe(cmd, sizeof cmd);
  DWORD off = 0;
  if (data_len > card_max_chunk(reader_key, handle, CARD_DIR_SEND)) {
    static constexpr std::uint8_t kHead[5] = {0x94, 0x2A, 0x9E, 0x9A, 0x80};
    std::memcpy(cmd, kHead, 5);
    std::memcpy(cmd + 5, data, 128);
    rv = send_expect(reader_key, handle, cmd, 5 + 128, 0x68, nullptr);
    if (rv != VORN_OK) return rv;
    off = 128;
  }
  const DWORD rest = data_len - off;
  cmd[0] = 0x84;
  cmd[1] = 0x2A;
  cmd[2] = 0x9E;
  cmd[3] = 0x9A;
  cmd[4] = static_cast<std::uint8_t>(rest);
  std::memcpy(cmd + 5, data + off, rest);
  std::uint8_t le = 0;
  rv = send_expect(reader_key, handle, cmd, 5 + rest, 0x61, &le);
  if (rv != VORN_OK) return rv;
  DWORD got = 0;
  rv = collect(reader_key, handle, le, sig, *sig_len, &got);
  if (rv == CARDERR_BUFFER_TOO_SMALL) return CARDERR_BAD_ARG;  // signature longer than the buffer
  if (rv != VORN_OK) return rv;
  *sig_len = got;
  return VORN_OK;
}

vorn_rv key_rsa_decipher(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t alg,
                         const std::uint8_t* data, DWORD data_len, std::uint8_t* out,
                         DWORD* out_len) {
  if (data == nullptr || out == nullptr || out_len == nullptr) return CARDERR_BAD_ARG;
  const auto block = static_cast<DWORD>(vorn_alg_modulus_len(alg));
  if (block == 0) return CARDERR_BAD_ALGORITHM;
  if (data_len == 0 || data_len % block != 0) return CARDERR_BAD_LENGTH;
  if (*out_len < data_len) {
    *out_len = data_len;
    return CARDERR_BUFFER_TOO_SMALL;
  }
  std::uint8_t cmd[5 + 128];
  vorn::WipeOnExit wipe(cmd, sizeof cmd);
  DWORD got = 0;
  for (DWORD off = 0; off < data_len; off += block) {
    vorn_rv rv = VORN_OK;
    if (block == 256) {
      static constexpr std::uint8_t kChained[5] = {0x94, 0x2A, 0x80, 0x86, 0x80};
      std::memcpy(cmd, kChained, 5);
      std::memcpy(cmd + 5, data + off, 128);
      rv = send_expect(reader_key, handle, cmd, sizeof cmd, 0x68, nullptr);
      if (rv != VORN_OK) return rv;
    }
    static constexpr std::uint8_t kLast[5] = {0x84, 0x2A, 0x80, 0x86, 0x80};
    std::memcpy(cmd, kLast, 5);
    std::memcpy(cmd + 5, data + off + block - 128, 128);
    std::uint8_t le = 0;
    rv = send_expect(reader_key, handle, cmd, sizeof cmd, 0x61, &le);
    if (rv != VORN_OK) return rv;
    rv = collect(reader_key, handle, le, out, *out_len, &got);
    if (rv != VORN_OK) {
      plat_wipe(out, got);
      return rv;
    }
  }
  *out_len = got;
  return VORN_OK;
}

vorn_rv key_crypt(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t alg,
                  std::uint8_t mode, std::uint32_t key, const std::uint8_t* iv, DWORD iv_len,
                  const std::uint8_t* data, DWORD data_len, std::uint8_t* out, DWORD* out_len,
                  std::uint8_t direction) {
  if (data == nullptr || data_len == 0 || out_len == nullptr) return CARDERR_BAD_ARG;
  if (obj_app(key) != CARD_APP_CIPH || (key & 0xFF) == 0 || (key & 0xFF) > OBJ_MAX_NUMBER) {
    return CARDERR_BAD_ARG;
  }
  if (direction != KEY_ENCIPHER && direction != KEY_DECIPHER) return CARDERR_BAD_ARG;
  if (out == nullptr || *out_len < data_len) {
    *out_len = data_len;
    return CARDERR_BUFFER_TOO_SMALL;
  }
  if (iv != nullptr) {
    const DWORD want = alg == CARD_ALG_AES128 ? 16 : (alg == CARD_ALG_DES || alg == CARD_ALG_DES2) ? 8 : 0;
    if (want != 0 && iv_len != want) return CARDERR_BAD_LENGTH;
  }
  DWORD block = 0;
  switch (alg) {
    case CARD_ALG_AES128: block = mode == 2 ? 1 : 16; break;
    case CARD_ALG_DES:
    case CARD_ALG_DES2: block = mode == 2 ? 1 : 8; break;
    case CARD_ALG_RSA1024: block = 128; break;
    case CARD_ALG_RSA2048: block = 256; break;
    default: return CARDERR_BAD_ALGORITHM;
  }
  if (data_len % block != 0) return CARDERR_BAD_LENGTH;
  const bool rsa = alg == CARD_ALG_RSA1024 || alg == CARD_ALG_RSA2048;
  // RSA with an on-card key only deciphers; public-key encryption runs on
  // the host.
  if (rsa && direction != KEY_DECIPHER) return CARDERR_BAD_ARG;
  if (!rsa && (mode < 1 || mode > 4)) return CARDERR_BAD_ARG;

  vorn_rv rv = sm_select_for_object(reader_key, handle, key);
  if (rv != VORN_OK) return rv;
  rv = key_set_env(reader_key, handle, 0, mode, obj_number(key), iv, iv != nullptr ? iv_len : 0);
  if (rv != VORN_OK) return rv;
  if (rsa) return key_rsa_decipher(reader_key, handle, alg, data, data_len, out, out_len);

  DWORD piece = 112;
  if (alg == CARD_ALG_AES128 && mode != 2) {
    piece = card_max_chunk(reader_key, handle, CARD_DIR_SEND) / 16 * 16;
  }
  // PSO ENCIPHER is 2A 86 80, PSO DECIPHER 2A 80 86.
  const std::uint8_t p1 = direction == KEY_ENCIPHER ? 0x86 : 0x80;
  const std::uint8_t p2 = direction == KEY_ENCIPHER ? 0x80 : 0x86;
  std::uint8_t cmd[5 + 255];
  vorn::WipeOnExit wipe(cmd, sizeof cmd);
  DWORD got = 0;
  for (DWORD off = 0; off < data_len; off += piece) {
    const DWORD len = data_len - off > piece ? piece : data_len - off;
    const bool last = off + len == data_len;
    cmd[0] = (last || mode == 4) ? 0x84 : 0x94;
    cmd[1] = 0x2A;
    cmd[2] = p1;
    cmd[3] = p2;
    cmd[4] = static_cast<std::uint8_t>(len);
    std::memcpy(cmd + 5, data + off, len);
    std::uint8_t le = 0;
    rv = send_expect(reader_key, handle, cmd, 5 + len, 0x61, &le);
    if (rv == VORN_OK) rv = collect(reader_key, handle, le, out, *out_len, &got);
    if (rv != VORN_OK) {
      plat_wipe(out, got);
      return rv;
    }
  }
  *out_len = got;
  return VORN_OK;
}

vorn_rv card_get_challenge(std::uint32_t reader_key, SCARDHANDLE handle, std::uint8_t* buf,
                           DWORD len) {
  if (buf == nullptr || len == 0) return CARDERR_BAD_ARG;
  const DWORD chunk = sm_state_get(reader_key, handle) == CARD_CHANNEL_OPEN ? 239 : 256;
  std::uint8_t resp[kRespMax];
  vorn::WipeOnExit wipe(resp, sizeof resp);
  DWORD got = 0;
  while (got < len) {
    const DWORD piece = len - got > chunk ? chunk : len - got;
    const std::uint8_t cmd[5] = {0x00, 0x84, 0x00, 0x00, static_cast<std::uint8_t>(piece & 0xFF)};
    DWORD rlen = sizeof resp;
    vorn_rv rv = apdu(reader_key, handle, cmd, sizeof cmd, resp, &rlen);
    if (rv != VORN_OK) return rv;
    if (rlen < 2 || resp[rlen - 2] != 0x90 || resp[rlen - 1] != 0x00) return sw_error(resp, rlen);
    if (rlen - 2 != piece) return CARDERR_UNKNOWN;  // the byte count does not add up
    std::memcpy(buf + got, resp, piece);
    got += piece;
  }
  return VORN_OK;
}
