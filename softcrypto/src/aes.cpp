// AES (FIPS 197) with its own key schedule: table-driven portable code and
// AES-NI paths for ECB and CBC.
#include <array>

#include "internal.h"

namespace sc {
namespace {

constexpr std::uint8_t xtime(std::uint8_t x) {
  return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1b : 0));
}
constexpr std::uint8_t gmul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = xtime(a);
    b >>= 1;
  }
  return r;
}

constexpr std::array<std::uint8_t, 256> make_sbox() {
  std::array<std::uint8_t, 256> s{};
  for (int x = 0; x < 256; ++x) {
    std::uint8_t inv = 0;
    if (x != 0) {
      for (int y = 1; y < 256; ++y) {
        if (gmul(static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y)) == 1) {
          inv = static_cast<std::uint8_t>(y);
          break;
        }
      }
    }
    std::uint8_t b = inv, r = inv;
    for (int i = 0; i < 4; ++i) {
      b = static_cast<std::uint8_t>((b << 1) | (b >> 7));
      r ^= b;
    }
    s[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(r ^ 0x63);
  }
  return s;
}

constexpr std::array<std::uint8_t, 256> kSbox = make_sbox();

constexpr std::array<std::uint8_t, 256> make_inv_sbox() {
  std::array<std::uint8_t, 256> s{};
  for (int x = 0; x < 256; ++x) s[kSbox[static_cast<std::size_t>(x)]] = static_cast<std::uint8_t>(x);
  return s;
}
constexpr std::array<std::uint8_t, 256> kInvSbox = make_inv_sbox();

constexpr std::uint32_t word(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
}

using table = std::array<std::uint32_t, 256>;
constexpr table make_te(unsigned rot) {
  table t{};
  for (int x = 0; x < 256; ++x) {
    std::uint8_t s = kSbox[static_cast<std::size_t>(x)];
    t[static_cast<std::size_t>(x)] = rotr32(word(gmul(s, 2), s, s, gmul(s, 3)), rot);
  }
  return t;
}
constexpr table make_td(unsigned rot) {
  table t{};
  for (int x = 0; x < 256; ++x) {
    std::uint8_t s = kInvSbox[static_cast<std::size_t>(x)];
    t[static_cast<std::size_t>(x)] = rotr32(word(gmul(s, 14), gmul(s, 9), gmul(s, 13), gmul(s, 11)), rot);
  }
  return t;
}
constexpr table Te0 = make_te(0), Te1 = make_te(8), Te2 = make_te(16), Te3 = make_te(24);
constexpr table Td0 = make_td(0), Td1 = make_td(8), Td2 = make_td(16), Td3 = make_td(24);

inline std::uint32_t b0(std::uint32_t x) { return x >> 24; }
inline std::uint32_t b1(std::uint32_t x) { return (x >> 16) & 0xff; }
inline std::uint32_t b2(std::uint32_t x) { return (x >> 8) & 0xff; }
inline std::uint32_t b3(std::uint32_t x) { return x & 0xff; }

std::uint32_t sub_word(std::uint32_t w) {
  return word(kSbox[b0(w)], kSbox[b1(w)], kSbox[b2(w)], kSbox[b3(w)]);
}

void encrypt_block(const aes_key* k, const std::uint8_t* in, std::uint8_t* out) {
  const std::uint32_t* rk = k->encw;
  std::uint32_t s0 = load_be32(in) ^ rk[0], s1 = load_be32(in + 4) ^ rk[1];
  std::uint32_t s2 = load_be32(in + 8) ^ rk[2], s3 = load_be32(in + 12) ^ rk[3];
  for (std::uint32_t r = 1; r < k->rounds; ++r) {
    rk += 4;
    std::uint32_t t0 = Te0[b0(s0)] ^ Te1[b1(s1)] ^ Te2[b2(s2)] ^ Te3[b3(s3)] ^ rk[0];
    std::uint32_t t1 = Te0[b0(s1)] ^ Te1[b1(s2)] ^ Te2[b2(s3)] ^ Te3[b3(s0)] ^ rk[1];
    std::uint32_t t2 = Te0[b0(s2)] ^ Te1[b1(s3)] ^ Te2[b2(s0)] ^ Te3[b3(s1)] ^ rk[2];
    std::uint32_t t3 = Te0[b0(s3)] ^ Te1[b1(s0)] ^ Te2[b2(s1)] ^ Te3[b3(s2)] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  store_be32(out, word(kSbox[b0(s0)], kSbox[b1(s1)], kSbox[b2(s2)], kSbox[b3(s3)]) ^ rk[0]);
  store_be32(out + 4, word(kSbox[b0(s1)], kSbox[b1(s2)], kSbox[b2(s3)], kSbox[b3(s0)]) ^ rk[1]);
  store_be32(out + 8, word(kSbox[b0(s2)], kSbox[b1(s3)], kSbox[b2(s0)], kSbox[b3(s1)]) ^ rk[2]);
  store_be32(out + 12, word(kSbox[b0(s3)], kSbox[b1(s0)], kSbox[b2(s1)], kSbox[b3(s2)]) ^ rk[3]);
}

void decrypt_block(const aes_key* k, const std::uint8_t* in, std::uint8_t* out) {
  const std::uint32_t* rk = k->decw;
  std::uint32_t s0 = load_be32(in) ^ rk[0], s1 = load_be32(in + 4) ^ rk[1];
  std::uint32_t s2 = load_be32(in + 8) ^ rk[2], s3 = load_be32(in + 12) ^ rk[3];
  for (std::uint32_t r = 1; r < k->rounds; ++r) {
    rk += 4;
    std::uint32_t t0 = Td0[b0(s0)] ^ Td1[b1(s3)] ^ Td2[b2(s2)] ^ Td3[b3(s1)] ^ rk[0];
    std::uint32_t t1 = Td0[b0(s1)] ^ Td1[b1(s0)] ^ Td2[b2(s3)] ^ Td3[b3(s2)] ^ rk[1];
    std::uint32_t t2 = Td0[b0(s2)] ^ Td1[b1(s1)] ^ Td2[b2(s0)] ^ Td3[b3(s3)] ^ rk[2];
    std::uint32_t t3 = Td0[b0(s3)] ^ Td1[b1(s2)] ^ Td2[b2(s1)] ^ Td3[b3(s0)] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  store_be32(out, word(kInvSbox[b0(s0)], kInvSbox[b1(s3)], kInvSbox[b2(s2)], kInvSbox[b3(s1)]) ^ rk[0]);
  store_be32(out + 4, word(kInvSbox[b0(s1)], kInvSbox[b1(s0)], kInvSbox[b2(s3)], kInvSbox[b3(s2)]) ^ rk[1]);
  store_be32(out + 8, word(kInvSbox[b0(s2)], kInvSbox[b1(s1)], kInvSbox[b2(s0)], kInvSbox[b3(s3)]) ^ rk[2]);
  store_be32(out + 12, word(kInvSbox[b0(s3)], kInvSbox[b1(s2)], kInvSbox[b2(s1)], kInvSbox[b3(s0)]) ^ rk[3]);
}

}  // namespace

bool aes_set_key(aes_key* k, const std::uint8_t* key, std::uint32_t keylen) {
  if (keylen != 16 && keylen != 24 && keylen != 32) return false;
  const std::uint32_t nk = keylen / 4;
  k->rounds = nk + 6;
  const std::uint32_t total = 4 * (k->rounds + 1);
  std::uint32_t* w = k->encw;
  for (std::uint32_t i = 0; i < nk; ++i) w[i] = load_be32(key + 4 * i);
  std::uint8_t rcon = 1;
  for (std::uint32_t i = nk; i < total; ++i) {
    std::uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = sub_word(rotl32(t, 8)) ^ (std::uint32_t{rcon} << 24);
      rcon = xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      t = sub_word(t);
    }
    w[i] = w[i - nk] ^ t;
  }
  // Decryption keys: reverse round order, InvMixColumns on the inner rounds.
  for (std::uint32_t r = 0; r <= k->rounds; ++r) {
    for (std::uint32_t j = 0; j < 4; ++j) {
      std::uint32_t v = w[4 * (k->rounds - r) + j];
      if (r != 0 && r != k->rounds)
        v = Td0[kSbox[b0(v)]] ^ Td1[kSbox[b1(v)]] ^ Td2[kSbox[b2(v)]] ^ Td3[kSbox[b3(v)]];
      k->decw[4 * r + j] = v;
    }
  }
  for (std::uint32_t i = 0; i < total; ++i) {
    store_be32(k->enc + 4 * i, k->encw[i]);
    store_be32(k->dec + 4 * i, k->decw[i]);
  }
  return true;
}

void aes_encrypt_ecb(const aes_key* k, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks) {
#if SC_HAVE_X86
  if (use_aes_ni()) return aesni_encrypt_ecb(k, in, out, nblocks);
#endif
  for (std::size_t i = 0; i < nblocks; ++i) encrypt_block(k, in + 16 * i, out + 16 * i);
}

void aes_decrypt_ecb(const aes_key* k, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks) {
#if SC_HAVE_X86
  if (use_aes_ni()) return aesni_decrypt_ecb(k, in, out, nblocks);
#endif
  for (std::size_t i = 0; i < nblocks; ++i) decrypt_block(k, in + 16 * i, out + 16 * i);
}

void aes_encrypt_cbc(const aes_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t nblocks) {
#if SC_HAVE_X86
  if (use_aes_ni()) return aesni_encrypt_cbc(k, iv, in, out, nblocks);
#endif
  std::uint8_t x[16];
  for (std::size_t i = 0; i < nblocks; ++i) {
    for (int j = 0; j < 16; ++j) x[j] = static_cast<std::uint8_t>(in[16 * i + j] ^ iv[j]);
    encrypt_block(k, x, out + 16 * i);
    std::memcpy(iv, out + 16 * i, 16);
  }
}

void aes_decrypt_cbc(const aes_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t nblocks) {
#if SC_HAVE_X86
  if (use_aes_ni()) return aesni_decrypt_cbc(k, iv, in, out, nblocks);
#endif
  std::uint8_t c[16], p[16];
  for (std::size_t i = 0; i < nblocks; ++i) {
    std::memcpy(c, in + 16 * i, 16);
    decrypt_block(k, c, p);
    for (int j = 0; j < 16; ++j) out[16 * i + j] = static_cast<std::uint8_t>(p[j] ^ iv[j]);
    std::memcpy(iv, c, 16);
  }
}

}  // namespace sc
