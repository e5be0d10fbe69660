// Secure messaging under a session key: the 4-byte triple-DES MAC, command
// wrapping and response unwrapping.
#include <cstring>

#include "internal.h"
#include "softcrypto.h"
#include "vorn/secure.h"

namespace {

bool ins_fetches_answer(std::uint8_t ins) {
  return ins == 0xB0 || ins == 0xB2 || ins == 0x84 || ins == 0xCA;
}

}  // namespace

vorn_rv sm_mac_key(const std::uint8_t* key16, const std::uint8_t* data, DWORD len,
                   std::uint8_t* mac4) {
  if (key16 == nullptr || mac4 == nullptr || (data == nullptr && len != 0)) return CARDERR_BAD_ARG;
  if (len > 0xFFFF) return CARDERR_BAD_LENGTH;
  // Data padded with q bytes of value q (1..8), CBC with a zero IV; the MAC
  // is the first half of the last block.
  const DWORD q = 8 - (len % 8);
  const DWORD total = len + q;
  vorn::SecureBytes buf(total);
  if (len != 0) std::memcpy(buf.data(), data, len);
  std::memset(buf.data() + len, static_cast<int>(q), q);
  std::uint8_t iv[8] = {};
  std::uint32_t out_len = 0;
  vorn::Secret<16> key;
  std::memcpy(key.data(), key16, 16);
  vorn_rv rv = sc_encrypt(SC_ALG_DES2, key.data(), SC_MODE_CBC, iv, buf.data(),
                          static_cast<std::uint32_t>(total), buf.data(), &out_len);
  if (rv == VORN_OK) {
    if (out_len != total) {
      rv = CARDERR_UNKNOWN;
    } else {
      std::memcpy(mac4, buf.data() + total - 8, 4);
    }
  }
  plat_wipe(iv, sizeof iv);
  return rv;
}

vorn_rv sm_wrap(const std::uint8_t* key16, const std::uint8_t* cmd, DWORD cmd_len,
                std::uint8_t* out, DWORD* out_len) {
  if (key16 == nullptr || cmd == nullptr || out == nullptr || out_len == nullptr) {
    return CARDERR_BAD_ARG;
  }
  if (cmd_len < 4) return CARDERR_BAD_ARG;
  std::uint8_t work[cardlayer::kWrapMax] = {};
  vorn::WipeOnExit wipe_work(work, sizeof work);
  const std::uint8_t ins = cmd[1];
  DWORD len = 0;

  if (ins == 0xC0) {
    // GET RESPONSE travels as 04 C0 00 00 Le, neither MACed nor enciphered.
    if (cmd_len != 5) return CARDERR_BAD_ARG;
    if (*out_len < 5) {
      *out_len = 5;
      return CARDERR_BUFFER_TOO_SMALL;
    }
    out[0] = static_cast<std::uint8_t>(cmd[0] | 0x04);
    std::memcpy(out + 1, cmd + 1, 4);
    *out_len = 5;
    return VORN_OK;
  }

  std::memcpy(work, cmd, 4);
  work[0] |= 0x04;
  if (ins_fetches_answer(ins)) {
    // CLA INS P1 P2 Le becomes CLA INS P1 P2 01 Le.
    if (cmd_len != 5) return CARDERR_BAD_ARG;
    work[4] = 0x01;
    work[5] = cmd[4];
    len = 6;
  } else if (cmd_len == 4) {
    work[4] = 0x00;
    len = 5;
  } else {
    const DWORD lc = cmd[4];
    if (cmd_len != 5 + lc) return CARDERR_BAD_ARG;
    std::memcpy(work + 4, cmd + 4, cmd_len - 4);
    len = cmd_len;
  }
  const DWORD lc = work[4];
  const DWORD pad = lc == 0 ? 0 : 16 - (lc % 16);
  const DWORD wrapped_lc = lc + pad + 4;
  if (wrapped_lc > 255) return CARDERR_BAD_LENGTH;
  if (*out_len < 5 + wrapped_lc) {
    *out_len = 5 + wrapped_lc;
    return CARDERR_BUFFER_TOO_SMALL;
  }

  std::uint8_t mac[4];
  vorn_rv rv = sm_mac_key(key16, work, len, mac);
  if (rv != VORN_OK) return rv;
  if (lc != 0) {
    std::memset(work + 5 + lc, static_cast<int>(pad), pad);
    std::uint32_t enc_len = 0;
    vorn::Secret<16> key;
    std::memcpy(key.data(), key16, 16);
    rv = sc_encrypt(SC_ALG_AES128, key.data(), SC_MODE_ECB, nullptr, work + 5,
                    static_cast<std::uint32_t>(lc + pad), work + 5, &enc_len);
    if (rv != VORN_OK) return rv;
    if (enc_len != lc + pad) return CARDERR_UNKNOWN;
  }
  std::memcpy(work + 5 + lc + pad, mac, 4);
  work[4] = static_cast<std::uint8_t>(wrapped_lc);
  std::memcpy(out, work, 5 + wrapped_lc);
  *out_len = 5 + wrapped_lc;
  return VORN_OK;
}

vorn_rv sm_unwrap(const std::uint8_t* key16, std::uint8_t* resp, DWORD* len) {
  if (key16 == nullptr || resp == nullptr || len == nullptr) return CARDERR_BAD_ARG;
  const DWORD n = *len;
  // Data and padding (whole blocks), 4 MAC bytes, SW1 SW2. An answer too
  // short to hold a MAC, or whose body is not whole blocks, cannot verify.
  if (n < 6) return CARDERR_MAC;
  const DWORD body = n - 6;
  if (body % 16 != 0) return CARDERR_MAC;
  DWORD d = 0;
  if (body != 0) {
    vorn::Secret<16> key;
    std::memcpy(key.data(), key16, 16);
    std::uint32_t dec_len = 0;
    vorn_rv rv = sc_decrypt(SC_ALG_AES128, key.data(), SC_MODE_ECB, nullptr, resp,
                            static_cast<std::uint32_t>(body), resp, &dec_len);
    if (rv != VORN_OK) return rv;
    if (dec_len != body) return CARDERR_UNKNOWN;
    const DWORD p = resp[n - 7];
    if (p == 0 || p > 16) return CARDERR_MAC;  // padding would run past the data
    d = body - p;
  }
  std::uint8_t mac[4];
  vorn_rv rv = sm_mac_key(key16, resp, d, mac);
  if (rv != VORN_OK) return rv;
  if (!plat_ct_equal(mac, resp + n - 6, 4)) return CARDERR_MAC;
  const std::uint8_t sw1 = resp[n - 2];
  const std::uint8_t sw2 = resp[n - 1];
  std::memset(resp + d, 0, n - d);
  resp[d] = sw1;
  resp[d + 1] = sw2;
  *len = d + 2;
  return VORN_OK;
}
