// The session-key cipher core: key slots, modes, PKCS#5 padding and
// messages of several calls. Free of <windows.h>; the entry points in
// crypt.cpp put the handle checks around it.
#include "session.h"

#include <cstring>

namespace csp {

void hash_slot_clear(HashSlot& h) {
  plat_wipe(&h.state, sizeof h.state);
  plat_wipe(h.value.data(), h.value.size());
  h.in_use = 0;
  h.alg = 0;
  h.hash_len = 0;
  h.has_value = 0;
}

void key_slot_clear(KeySlot& k) {
  plat_wipe(k.material.data(), k.material.size());
  plat_wipe(k.iv.data(), k.iv.size());
  plat_wipe(k.chain.data(), k.chain.size());
  plat_wipe(k.salt.data(), k.salt.size());
  plat_wipe(&k.rc2, sizeof k.rc2);
  plat_wipe(&k.rc4, sizeof k.rc4);
  k.in_use = 0;
  k.alg = 0;
  k.permissions = 0;
  k.key_len = 0;
  k.block_len = 0;
  k.exportable = 0;
  k.salt_len = 0;
  k.mode_bits = 8;
  k.mode = kModeCbc;
  k.effective_len = 0;
  k.rsa_exponent = 0;
  k.chaining = 0;
}

std::uint32_t session_key_fill(KeySlot& k, std::uint32_t alg, const std::uint8_t* material, std::uint32_t len,
                               bool exportable, std::uint32_t rc2_effective) {
  const CapiCipher* c = capi_cipher(alg);
  if (c == nullptr) return kNteBadAlgid;
  if (material == nullptr || len > k.material.size() || capi_key_bits(*c, len * 8) != len * 8) return kNteBadLen;
  key_slot_clear(k);
  std::memcpy(k.material.data(), material, len);
  k.alg = alg;
  k.key_len = len * 8;
  k.block_len = c->block_bits;
  k.exportable = exportable ? 1 : 0;
  k.permissions = 0xCB | (exportable ? 4u : 0u);  // CRYPT_EXPORT
  k.salt_len = 11;
  k.effective_len = alg == kCalgRc2 ? rc2_effective : 0;
  k.in_use = 1;
  return 0;
}

void session_reset(KeySlot& k) {
  k.chaining = 0;
  plat_wipe(k.chain.data(), k.chain.size());
  plat_wipe(&k.rc2, sizeof k.rc2);
  plat_wipe(&k.rc4, sizeof k.rc4);
}

namespace {

// The softcrypto mode of the slot's KP_MODE (CFB by its mode bits).
std::uint8_t sc_mode_of(const KeySlot& k) {
  switch (k.mode) {
    case kModeEcb: return SC_MODE_ECB;
    case kModeCfb: return k.mode_bits == 8 ? SC_MODE_CFB8 : SC_MODE_CFB;
    default: return SC_MODE_CBC;
  }
}

// A message's first call: the chaining register from the IV and the key
// schedules of RC2 / RC4 from the key material, all in the slot.
std::uint32_t message_start(KeySlot& k) {
  if (k.chaining) return 0;
  std::memcpy(k.chain.data(), k.iv.data(), k.chain.size());
  vorn_rv rv = VORN_OK;
  if (k.alg == kCalgRc2)
    rv = sc_rc2_set_key(&k.rc2, k.material.data(), k.key_len / 8, static_cast<std::int32_t>(k.effective_len));
  else if (k.alg == kCalgRc4)
    rv = sc_rc4_set_key(&k.rc4, k.material.data(), k.key_len / 8);
  if (rv != VORN_OK) {
    session_reset(k);
    return kNteBadKey;
  }
  k.chaining = 1;
  return 0;
}

std::uint32_t run(KeySlot& k, bool enc, std::uint8_t* data, std::uint32_t len) {
  const std::uint8_t id = capi_vorn_alg(k.alg);
  if (id == 0 || capi_cipher(k.alg) == nullptr) return kNteBadKey;
  if (std::uint32_t rv = message_start(k); rv != 0) return rv;
  void* key = k.alg == kCalgRc2 ? static_cast<void*>(&k.rc2)
              : k.alg == kCalgRc4 ? static_cast<void*>(&k.rc4)
                                  : static_cast<void*>(k.material.data());
  std::uint32_t out = 0;
  const std::uint8_t mode = sc_mode_of(k);
  const vorn_rv rv = enc ? sc_encrypt(id, key, mode, k.chain.data(), data, len, data, &out)
                         : sc_decrypt(id, key, mode, k.chain.data(), data, len, data, &out);
  if (rv == VORN_OK) return 0;
  session_reset(k);
  return rv == CARDERR_BAD_LENGTH ? kNteBadLen : rv == CARDERR_BAD_ALGORITHM ? kNteBadAlgid : kNteFail;
}

}  // namespace

std::uint32_t session_encrypt(KeySlot& k, bool final, std::uint8_t* data, std::uint32_t* len, std::uint32_t buflen) {
  if (k.alg == kCalgRc4) {
    if (data == nullptr) return 0;
    std::uint32_t rv = run(k, true, data, *len);
    if (final) session_reset(k);
    return rv;
  }
  const std::uint32_t b = k.block_len / 8;
  if (b == 0) return kNteBadKey;
  if (!final) {
    if (*len % b != 0) return kErrMoreData;
    if (data == nullptr) return 0;
    return run(k, true, data, *len);
  }
  const std::uint32_t pad = b - *len % b;
  if (data == nullptr) {
    *len += pad;
    return 0;
  }
  if (*len + pad > buflen || *len + pad < *len) return kErrMoreData;
  std::memset(data + *len, static_cast<int>(pad), pad);
  std::uint32_t rv = run(k, true, data, *len + pad);
  session_reset(k);
  if (rv == 0) *len += pad;
  return rv;
}

std::uint32_t session_decrypt(KeySlot& k, bool final, std::uint8_t* data, std::uint32_t* len) {
  if (k.alg == kCalgRc4) {
    std::uint32_t rv = run(k, false, data, *len);
    if (final) session_reset(k);
    return rv;
  }
  const std::uint32_t b = k.block_len / 8;
  if (b == 0) return kNteBadKey;
  if (*len % b != 0) return kNteBadData;
  std::uint32_t rv = run(k, false, data, *len);
  if (!final || rv != 0) return rv;
  session_reset(k);
  const std::uint8_t p = data[*len - 1];
  if (p < 1 || p > b || p > *len) return kNteBadData;
  std::uint8_t diff = 0;
  for (std::uint32_t i = *len - p; i < *len; ++i) diff |= static_cast<std::uint8_t>(data[i] ^ p);
  if (diff != 0) return kNteBadData;
  *len -= p;
  return 0;
}

}  // namespace csp
