// The CMS key wraps of triple-DES and RC2 keys (RFC 3217).
#include "rfc3217.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "softcrypto.h"

namespace csp {
namespace {

constexpr std::uint8_t kFixedIv[8] = {0x4A, 0xDD, 0xA2, 0x2C, 0x79, 0xE8, 0x21, 0x05};
constexpr std::uint32_t kMaxWrapped = 8 + 136 + 8;

// The cipher of a KEK: raw 3DES key bytes, or an RC2 schedule.
struct Kek {
  std::uint8_t id = 0;
  vorn::Secret<24> des;
  sc_rc2_key rc2{};
  ~Kek() { plat_wipe(&rc2, sizeof rc2); }
  void* key() { return id == SC_ALG_RC2 ? static_cast<void*>(&rc2) : static_cast<void*>(des.data()); }
};

vorn_rv cbc(Kek& k, bool enc, const std::uint8_t iv_in[8], std::uint8_t* data, std::uint32_t len) {
  std::uint8_t iv[8];
  std::memcpy(iv, iv_in, 8);
  std::uint32_t out = 0;
  vorn_rv rv = enc ? sc_encrypt(k.id, k.key(), SC_MODE_CBC, iv, data, len, data, &out)
                   : sc_decrypt(k.id, k.key(), SC_MODE_CBC, iv, data, len, data, &out);
  plat_wipe(iv, sizeof iv);
  return rv;
}

// The first 8 bytes of SHA-1(data).
void checksum(const std::uint8_t* data, std::uint32_t len, std::uint8_t out[8]) {
  std::uint8_t d[20];
  std::uint32_t dl = sizeof d;
  sc_digest(SC_ALG_SHA1, data, len, d, &dl);
  std::memcpy(out, d, 8);
  plat_wipe(d, sizeof d);
}

// The outer steps shared by both wraps: IV || inner enciphered under the
// random IV, reversed, enciphered under the fixed IV. buf holds the inner
// (len bytes) at buf + 8; the result is len + 8 bytes at buf.
vorn_rv wrap_outer(Kek& k, const std::uint8_t iv[8], std::uint8_t* buf, std::uint32_t len) {
  vorn_rv rv = cbc(k, true, iv, buf + 8, len);
  if (rv != 0) return rv;
  std::memcpy(buf, iv, 8);
  std::reverse(buf, buf + len + 8);
  return cbc(k, true, kFixedIv, buf, len + 8);
}

// The reverse: the inner (len - 8 bytes) ends up at buf + 8.
vorn_rv unwrap_outer(Kek& k, std::uint8_t* buf, std::uint32_t len) {
  vorn_rv rv = cbc(k, false, kFixedIv, buf, len);
  if (rv != 0) return rv;
  std::reverse(buf, buf + len);
  std::uint8_t iv[8];
  std::memcpy(iv, buf, 8);
  rv = cbc(k, false, iv, buf + 8, len - 8);
  plat_wipe(iv, sizeof iv);
  return rv;
}

vorn_rv kek_3des(Kek& k, std::span<const std::uint8_t> kek) {
  if (kek.size() != 24) return kWrapBadArg;
  k.id = SC_ALG_DES3;
  std::memcpy(k.des.data(), kek.data(), 24);
  return 0;
}

vorn_rv kek_rc2(Kek& k, std::span<const std::uint8_t> kek, std::int32_t bits) {
  if (kek.empty() || kek.size() > kWrapRc2MaxKey) return kWrapBadArg;
  k.id = SC_ALG_RC2;
  return sc_rc2_set_key(&k.rc2, kek.data(), static_cast<std::uint32_t>(kek.size()), bits);
}

std::uint8_t odd_parity(std::uint8_t b) {
  std::uint8_t ones = 0;
  for (int i = 1; i < 8; ++i) ones = static_cast<std::uint8_t>(ones + ((b >> i) & 1));
  return static_cast<std::uint8_t>((b & 0xFE) | ((ones & 1) ? 0 : 1));
}

}  // namespace

vorn_rv rfc3217_wrap_3des_iv(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> cek,
                             const std::uint8_t iv[8], std::uint8_t* out) {
  Kek k;
  if (vorn_rv rv = kek_3des(k, kek); rv != 0) return rv;
  if (cek.size() != 24 || out == nullptr) return kWrapBadArg;
  for (std::size_t i = 0; i < 24; ++i) out[8 + i] = odd_parity(cek[i]);
  checksum(out + 8, 24, out + 32);
  vorn_rv rv = wrap_outer(k, iv, out, 32);
  if (rv != 0) plat_wipe(out, kWrap3DesLen);
  return rv;
}

vorn_rv rfc3217_wrap_3des(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> cek, std::uint8_t* out) {
  std::uint8_t iv[8];
  if (vorn_rv rv = plat_random(iv, sizeof iv); rv != 0) return rv;
  vorn_rv rv = rfc3217_wrap_3des_iv(kek, cek, iv, out);
  plat_wipe(iv, sizeof iv);
  return rv;
}

vorn_rv rfc3217_unwrap_3des(std::span<const std::uint8_t> kek, std::span<const std::uint8_t> wrapped,
                            vorn::Secret<24>& cek) {
  Kek k;
  if (vorn_rv rv = kek_3des(k, kek); rv != 0) return rv;
  if (wrapped.size() != kWrap3DesLen) return kWrapBadLen;
  vorn::Secret<kWrap3DesLen> buf;
  std::memcpy(buf.data(), wrapped.data(), kWrap3DesLen);
  if (vorn_rv rv = unwrap_outer(k, buf.data(), kWrap3DesLen); rv != 0) return rv;
  std::uint8_t sum[8];
  checksum(buf.data() + 8, 24, sum);
  const bool ok = plat_ct_equal(sum, buf.data() + 32, 8);
  plat_wipe(sum, sizeof sum);
  if (!ok) return kWrapBadData;
  std::memcpy(cek.data(), buf.data() + 8, 24);
  return 0;
}

vorn_rv rfc3217_wrap_rc2_iv(std::span<const std::uint8_t> kek, std::int32_t kek_effective_bits,
                            std::span<const std::uint8_t> cek, const std::uint8_t iv[8], const std::uint8_t pad[7],
                            std::uint8_t* out) {
  Kek k;
  if (vorn_rv rv = kek_rc2(k, kek, kek_effective_bits); rv != 0) return rv;
  if (cek.empty() || cek.size() > kWrapRc2MaxKey || out == nullptr) return kWrapBadArg;
  const auto n = static_cast<std::uint32_t>(cek.size());
  const std::uint32_t padded = ((n + 8) / 8) * 8;  // length byte, key, padding
  out[8] = static_cast<std::uint8_t>(n);
  std::memcpy(out + 9, cek.data(), n);
  std::memcpy(out + 9 + n, pad, padded - 1 - n);
  checksum(out + 8, padded, out + 8 + padded);
  vorn_rv rv = wrap_outer(k, iv, out, padded + 8);
  if (rv != 0) plat_wipe(out, rfc3217_rc2_len(n));
  return rv;
}

vorn_rv rfc3217_wrap_rc2(std::span<const std::uint8_t> kek, std::int32_t kek_effective_bits,
                         std::span<const std::uint8_t> cek, std::uint8_t* out) {
  std::uint8_t rnd[15];
  if (vorn_rv rv = plat_random(rnd, sizeof rnd); rv != 0) return rv;
  vorn_rv rv = rfc3217_wrap_rc2_iv(kek, kek_effective_bits, cek, rnd, rnd + 8, out);
  plat_wipe(rnd, sizeof rnd);
  return rv;
}

vorn_rv rfc3217_unwrap_rc2(std::span<const std::uint8_t> kek, std::int32_t kek_effective_bits,
                           std::span<const std::uint8_t> wrapped, vorn::Secret<kWrapRc2MaxKey>& cek,
                           std::uint32_t* cek_len) {
  Kek k;
  if (vorn_rv rv = kek_rc2(k, kek, kek_effective_bits); rv != 0) return rv;
  if (cek_len == nullptr) return kWrapBadArg;
  const auto len = static_cast<std::uint32_t>(wrapped.size());
  // IV, at least one block of length byte and key, checksum; whole blocks.
  if (len < 24 || len % 8 != 0 || len > kMaxWrapped) return kWrapBadLen;
  vorn::Secret<kMaxWrapped> buf;
  std::memcpy(buf.data(), wrapped.data(), len);
  if (vorn_rv rv = unwrap_outer(k, buf.data(), len); rv != 0) return rv;
  const std::uint32_t padded = len - 16;
  std::uint8_t sum[8];
  checksum(buf.data() + 8, padded, sum);
  const bool ok = plat_ct_equal(sum, buf.data() + 8 + padded, 8);
  plat_wipe(sum, sizeof sum);
  if (!ok) return kWrapBadData;
  const std::uint32_t n = buf[8];
  // The key must fill the padded string but for at most 7 padding bytes.
  if (n == 0 || n > padded - 1 || padded - 1 - n > 7) return kWrapBadData;
  std::memcpy(cek.data(), buf.data() + 9, n);
  *cek_len = n;
  return 0;
}

}  // namespace csp
