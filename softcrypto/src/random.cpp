// The random structure (MD5-based generator), the mixing function and the
// software symmetric key generator.
#include <atomic>

#include "internal.h"
#include "vorn/secure.h"

namespace {

std::atomic<std::uint32_t> g_mix_remembered{0};

void md5(const std::uint8_t* data, std::uint32_t len, std::uint8_t out[16]) {
  std::uint32_t n = 16;
  sc_digest(SC_ALG_MD5, data, len, out, &n);
}

}  // namespace

vorn_rv sc_random_init(sc_random* rnd) {
  if (rnd == nullptr) return CARDERR_BAD_ARG;
  std::memset(rnd, 0, sizeof *rnd);
  rnd->bytes_needed = 512;
  return VORN_OK;
}

vorn_rv sc_random_update(sc_random* rnd, const std::uint8_t* data, std::uint32_t len) {
  if (rnd == nullptr || (data == nullptr && len != 0)) return CARDERR_BAD_ARG;
  std::uint8_t d[16];
  md5(data, len, d);
  // state += digest as a 128-bit big-endian number, carry out discarded.
  unsigned carry = 0;
  for (int i = 15; i >= 0; --i) {
    unsigned s = static_cast<unsigned>(rnd->state[i]) + d[i] + carry;
    rnd->state[i] = static_cast<std::uint8_t>(s);
    carry = s >> 8;
  }
  plat_wipe(d, sizeof d);
  rnd->bytes_needed = len < rnd->bytes_needed ? rnd->bytes_needed - len : 0;
  return VORN_OK;
}

vorn_rv sc_random_bytes_needed(const sc_random* rnd, std::uint32_t* needed) {
  if (rnd == nullptr || needed == nullptr) return CARDERR_BAD_ARG;
  *needed = rnd->bytes_needed;
  return VORN_OK;
}

vorn_rv sc_random_generate(sc_random* rnd, std::uint8_t* out, std::uint32_t len) {
  if (rnd == nullptr || (out == nullptr && len != 0)) return CARDERR_BAD_ARG;
  if (rnd->bytes_needed != 0) return RSAERR_NEED_RANDOM;
  std::uint32_t avail = rnd->output_available > 16 ? 0 : rnd->output_available;
  while (len > avail) {
    std::memcpy(out, rnd->output + 16 - avail, avail);
    out += avail;
    len -= avail;
    md5(rnd->state, 16, rnd->output);
    avail = 16;
    // state += 1, big-endian, with the carry carried through.
    for (int i = 15; i >= 0; --i)
      if (++rnd->state[i] != 0) break;
  }
  std::memcpy(out, rnd->output + 16 - avail, len);
  rnd->output_available = avail - len;
  return VORN_OK;
}

vorn_rv sc_random_create(sc_random* rnd) {
  vorn_rv rv = sc_random_init(rnd);
  if (rv != VORN_OK) return rv;
  std::uint8_t seed[32];
  while (rnd->bytes_needed > 0) {
    if (plat_random(seed, sizeof seed) != VORN_OK) {
      plat_wipe(seed, sizeof seed);
      sc_random_final(rnd);
      sc_random_init(rnd);  // stays unseeded: callers get RSAERR_NEED_RANDOM
      return CARDERR_UNKNOWN;
    }
    sc_random_update(rnd, seed, sizeof seed);
  }
  plat_wipe(seed, sizeof seed);
  return VORN_OK;
}

void sc_random_final(sc_random* rnd) {
  if (rnd != nullptr) plat_wipe(rnd, sizeof *rnd);
}

std::uint32_t sc_mix(std::int32_t x) {
  static constexpr std::uint32_t kC1[4] = {0xBAA96887, 0x1E17D32C, 0x03DCBC3C, 0xF033D1B2};
  static constexpr std::uint32_t kC2[4] = {0x4BF03B58, 0xE8740FC3, 0x69AAC5A6, 0x55A7CA46};
  std::uint32_t a, b;
  if (x < 0) {
    a = 1;
    b = 0u - static_cast<std::uint32_t>(x);
    g_mix_remembered.store(b, std::memory_order_relaxed);
  } else {
    a = static_cast<std::uint32_t>(x);
    b = g_mix_remembered.load(std::memory_order_relaxed);
  }
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t t = a ^ kC1[i];
    const std::uint32_t lo = t & 0xFFFF, hi = t >> 16;
    std::uint32_t u = lo * lo + ~(hi * hi);
    u = sc::rotl32(u, 16);
    const std::uint32_t n = ((u ^ kC2[i]) + lo * hi) ^ b;
    b = a;
    a = n;
  }
  return a;
}

vorn_rv sc_generate_key(std::uint8_t id, std::uint8_t* key, std::uint32_t len) {
  std::uint32_t want = 0;
  bool any = false;
  switch (id) {
    case SC_ALG_AES128:
    case SC_ALG_DES2: want = 16; break;
    case SC_ALG_DES: want = 8; break;
    case SC_ALG_DES3: want = 24; break;
    case SC_ALG_RC2:
    case SC_ALG_RC4:
    case SC_ALG_GENERIC: any = true; break;
    default: return CARDERR_BAD_ALGORITHM;
  }
  if (!any && len != want) return CARDERR_BAD_ALGORITHM;
  if (key == nullptr && len != 0) return CARDERR_BAD_ARG;
  return plat_random(key, len);
}
