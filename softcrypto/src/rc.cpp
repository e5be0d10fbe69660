// RC2 (RFC 2268) and RC4 (the ARCFOUR stream cipher).
#include "internal.h"
#include "vorn/secure.h"

namespace sc {
namespace {

// The RC2 key-expansion permutation (digits of pi).
constexpr std::uint8_t kPiTable[256] = {
    0xd9, 0x78, 0xf9, 0xc4, 0x19, 0xdd, 0xb5, 0xed, 0x28, 0xe9, 0xfd, 0x79, 0x4a, 0xa0, 0xd8, 0x9d,
    0xc6, 0x7e, 0x37, 0x83, 0x2b, 0x76, 0x53, 0x8e, 0x62, 0x4c, 0x64, 0x88, 0x44, 0x8b, 0xfb, 0xa2,
    0x17, 0x9a, 0x59, 0xf5, 0x87, 0xb3, 0x4f, 0x13, 0x61, 0x45, 0x6d, 0x8d, 0x09, 0x81, 0x7d, 0x32,
    0xbd, 0x8f, 0x40, 0xeb, 0x86, 0xb7, 0x7b, 0x0b, 0xf0, 0x95, 0x21, 0x22, 0x5c, 0x6b, 0x4e, 0x82,
    0x54, 0xd6, 0x65, 0x93, 0xce, 0x60, 0xb2, 0x1c, 0x73, 0x56, 0xc0, 0x14, 0xa7, 0x8c, 0xf1, 0xdc,
    0x12, 0x75, 0xca, 0x1f, 0x3b, 0xbe, 0xe4, 0xd1, 0x42, 0x3d, 0xd4, 0x30, 0xa3, 0x3c, 0xb6, 0x26,
    0x6f, 0xbf, 0x0e, 0xda, 0x46, 0x69, 0x07, 0x57, 0x27, 0xf2, 0x1d, 0x9b, 0xbc, 0x94, 0x43, 0x03,
    0xf8, 0x11, 0xc7, 0xf6, 0x90, 0xef, 0x3e, 0xe7, 0x06, 0xc3, 0xd5, 0x2f, 0xc8, 0x66, 0x1e, 0xd7,
    0x08, 0xe8, 0xea, 0xde, 0x80, 0x52, 0xee, 0xf7, 0x84, 0xaa, 0x72, 0xac, 0x35, 0x4d, 0x6a, 0x2a,
    0x96, 0x1a, 0xd2, 0x71, 0x5a, 0x15, 0x49, 0x74, 0x4b, 0x9f, 0xd0, 0x5e, 0x04, 0x18, 0xa4, 0xec,
    0xc2, 0xe0, 0x41, 0x6e, 0x0f, 0x51, 0xcb, 0xcc, 0x24, 0x91, 0xaf, 0x50, 0xa1, 0xf4, 0x70, 0x39,
    0x99, 0x7c, 0x3a, 0x85, 0x23, 0xb8, 0xb4, 0x7a, 0xfc, 0x02, 0x36, 0x5b, 0x25, 0x55, 0x97, 0x31,
    0x2d, 0x5d, 0xfa, 0x98, 0xe3, 0x8a, 0x92, 0xae, 0x05, 0xdf, 0x29, 0x10, 0x67, 0x6c, 0xba, 0xc9,
    0xd3, 0x00, 0xe6, 0xcf, 0xe1, 0x9e, 0xa8, 0x2c, 0x63, 0x16, 0x01, 0x3f, 0x58, 0xe2, 0x89, 0xa9,
    0x0d, 0x38, 0x34, 0x1b, 0xab, 0x33, 0xff, 0xb0, 0xbb, 0x48, 0x0c, 0x5f, 0xb9, 0xb1, 0xcd, 0x2e,
    0xc5, 0xf3, 0xdb, 0x47, 0xe5, 0xa5, 0x9c, 0x77, 0x0a, 0xa6, 0x20, 0x68, 0xfe, 0x7f, 0xc1, 0xad,
};

inline std::uint16_t rotl16(std::uint16_t x, unsigned n) {
  return static_cast<std::uint16_t>((x << n) | (x >> (16 - n)));
}
inline std::uint16_t rotr16(std::uint16_t x, unsigned n) {
  return static_cast<std::uint16_t>((x >> n) | (x << (16 - n)));
}

}  // namespace

void rc2_encrypt_block(const sc_rc2_key* key, const std::uint8_t* in, std::uint8_t* out) {
  const std::uint16_t* k = key->k;
  std::uint16_t r0 = static_cast<std::uint16_t>(in[0] | (in[1] << 8));
  std::uint16_t r1 = static_cast<std::uint16_t>(in[2] | (in[3] << 8));
  std::uint16_t r2 = static_cast<std::uint16_t>(in[4] | (in[5] << 8));
  std::uint16_t r3 = static_cast<std::uint16_t>(in[6] | (in[7] << 8));
  int j = 0;
  auto mix = [&] {
    r0 = rotl16(static_cast<std::uint16_t>(r0 + k[j++] + (r3 & r2) + (~r3 & r1)), 1);
    r1 = rotl16(static_cast<std::uint16_t>(r1 + k[j++] + (r0 & r3) + (~r0 & r2)), 2);
    r2 = rotl16(static_cast<std::uint16_t>(r2 + k[j++] + (r1 & r0) + (~r1 & r3)), 3);
    r3 = rotl16(static_cast<std::uint16_t>(r3 + k[j++] + (r2 & r1) + (~r2 & r0)), 5);
  };
  auto mash = [&] {
    r0 = static_cast<std::uint16_t>(r0 + k[r3 & 63]);
    r1 = static_cast<std::uint16_t>(r1 + k[r0 & 63]);
    r2 = static_cast<std::uint16_t>(r2 + k[r1 & 63]);
    r3 = static_cast<std::uint16_t>(r3 + k[r2 & 63]);
  };
  for (int i = 0; i < 5; ++i) mix();
  mash();
  for (int i = 0; i < 6; ++i) mix();
  mash();
  for (int i = 0; i < 5; ++i) mix();
  const std::uint16_t r[4] = {r0, r1, r2, r3};
  for (int i = 0; i < 4; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(r[i]);
    out[2 * i + 1] = static_cast<std::uint8_t>(r[i] >> 8);
  }
}

void rc2_decrypt_block(const sc_rc2_key* key, const std::uint8_t* in, std::uint8_t* out) {
  const std::uint16_t* k = key->k;
  std::uint16_t r0 = static_cast<std::uint16_t>(in[0] | (in[1] << 8));
  std::uint16_t r1 = static_cast<std::uint16_t>(in[2] | (in[3] << 8));
  std::uint16_t r2 = static_cast<std::uint16_t>(in[4] | (in[5] << 8));
  std::uint16_t r3 = static_cast<std::uint16_t>(in[6] | (in[7] << 8));
  int j = 63;
  auto rmix = [&] {
    r3 = static_cast<std::uint16_t>(rotr16(r3, 5) - k[j--] - (r2 & r1) - (~r2 & r0));
    r2 = static_cast<std::uint16_t>(rotr16(r2, 3) - k[j--] - (r1 & r0) - (~r1 & r3));
    r1 = static_cast<std::uint16_t>(rotr16(r1, 2) - k[j--] - (r0 & r3) - (~r0 & r2));
    r0 = static_cast<std::uint16_t>(rotr16(r0, 1) - k[j--] - (r3 & r2) - (~r3 & r1));
  };
  auto rmash = [&] {
    r3 = static_cast<std::uint16_t>(r3 - k[r2 & 63]);
    r2 = static_cast<std::uint16_t>(r2 - k[r1 & 63]);
    r1 = static_cast<std::uint16_t>(r1 - k[r0 & 63]);
    r0 = static_cast<std::uint16_t>(r0 - k[r3 & 63]);
  };
  for (int i = 0; i < 5; ++i) rmix();
  rmash();
  for (int i = 0; i < 6; ++i) rmix();
  rmash();
  for (int i = 0; i < 5; ++i) rmix();
  const std::uint16_t r[4] = {r0, r1, r2, r3};
  for (int i = 0; i < 4; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(r[i]);
    out[2 * i + 1] = static_cast<std::uint8_t>(r[i] >> 8);
  }
}

void rc4_stream(sc_rc4_state* s, const std::uint8_t* in, std::uint8_t* out, std::size_t len) {
  std::uint32_t x = s->x, y = s->y;
  // The permutation is worked on as words (no partial-register merges) and
  // written back; eight key-stream bytes go into one 64-bit XOR.
  std::uint32_t p[256];
  for (int i = 0; i < 256; ++i) p[i] = s->perm[i];
  auto next = [&]() -> std::uint64_t {
    x = (x + 1) & 255;
    const std::uint32_t a = p[x];
    y = (y + a) & 255;
    const std::uint32_t b = p[y];
    p[x] = b;
    p[y] = a;
    return p[(a + b) & 255];
  };
  std::size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    std::uint64_t ks = 0;
    for (int j = 0; j < 8; ++j) ks |= next() << (8 * j);
    std::uint8_t k[8];
    for (int j = 0; j < 8; ++j) k[j] = static_cast<std::uint8_t>(ks >> (8 * j));
    std::uint64_t v, kv;
    std::memcpy(&v, in + i, 8);
    std::memcpy(&kv, k, 8);
    v ^= kv;
    std::memcpy(out + i, &v, 8);
  }
  for (; i < len; ++i) out[i] = static_cast<std::uint8_t>(in[i] ^ next());
  for (int j = 0; j < 256; ++j) s->perm[j] = static_cast<std::uint8_t>(p[j]);
  plat_wipe(p, sizeof p);
  s->x = static_cast<std::uint8_t>(x);
  s->y = static_cast<std::uint8_t>(y);
}

}  // namespace sc

vorn_rv sc_rc2_set_key(sc_rc2_key* rc2, const std::uint8_t* key, std::uint32_t keylen, std::int32_t effective_bits) {
  if (rc2 == nullptr || key == nullptr || keylen == 0) return CARDERR_BAD_ARG;
  if (keylen > 128) keylen = 128;
  std::uint32_t bits = (effective_bits < 1 || effective_bits > 1024) ? 1024u : static_cast<std::uint32_t>(effective_bits);
  std::uint8_t l[128];
  std::memcpy(l, key, keylen);
  for (std::uint32_t i = keylen; i < 128; ++i) l[i] = sc::kPiTable[(l[i - 1] + l[i - keylen]) & 255];
  const std::uint32_t t8 = (bits + 7) / 8;
  const std::uint8_t tm = static_cast<std::uint8_t>(0xff >> (8 * t8 - bits));
  l[128 - t8] = sc::kPiTable[l[128 - t8] & tm];
  for (std::int32_t i = 127 - static_cast<std::int32_t>(t8); i >= 0; --i)
    l[i] = sc::kPiTable[l[i + 1] ^ l[static_cast<std::uint32_t>(i) + t8]];
  for (int i = 0; i < 64; ++i) rc2->k[i] = static_cast<std::uint16_t>(l[2 * i] | (l[2 * i + 1] << 8));
  plat_wipe(l, sizeof l);
  return VORN_OK;
}

vorn_rv sc_rc4_set_key(sc_rc4_state* rc4, const std::uint8_t* key, std::uint32_t keylen) {
  if (rc4 == nullptr || key == nullptr || keylen == 0) return CARDERR_BAD_ARG;
  for (int i = 0; i < 256; ++i) rc4->perm[i] = static_cast<std::uint8_t>(i);
  std::uint8_t j = 0;
  for (std::uint32_t i = 0; i < 256; ++i) {
    j = static_cast<std::uint8_t>(j + rc4->perm[i] + key[i % keylen]);
    std::uint8_t t = rc4->perm[i];
    rc4->perm[i] = rc4->perm[j];
    rc4->perm[j] = t;
  }
  rc4->x = 0;
  rc4->y = 0;
  return VORN_OK;
}
