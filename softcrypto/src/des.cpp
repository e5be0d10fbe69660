// DES and triple DES (EDE), FIPS 46-3. Rounds use combined S-box and P
// tables with the right half kept rotated by one bit; the initial and final
// permutations go through byte-indexed tables.
#include <array>

#include "internal.h"
#include "vorn/secure.h"

namespace sc {
namespace {

constexpr std::uint8_t kSbox[8][64] = {
    {14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7, 0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
     4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0, 15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13},
    {15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10, 3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15, 13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8, 13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
     13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7, 1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12},
    {7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15, 13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
     10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4, 3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14},
    {2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9, 14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
     4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14, 11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3},
    {12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11, 10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
     9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6, 4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13},
    {4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1, 13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
     1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2, 6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12},
    {13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7, 1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
     7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8, 2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}};

constexpr std::uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1, 15, 23, 26, 5, 18, 31, 10,
                                 2, 8, 24, 14, 32, 27, 3, 9, 19, 13, 30, 6, 22, 11, 4, 25};
constexpr std::uint8_t kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                                  62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                                  57, 49, 41, 33, 25, 17, 9, 1, 59, 51, 43, 35, 27, 19, 11, 3,
                                  61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};
constexpr std::uint8_t kPC1[56] = {57, 49, 41, 33, 25, 17, 9, 1, 58, 50, 42, 34, 26, 18, 10, 2, 59, 51, 43,
                                   35, 27, 19, 11, 3, 60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7, 62, 54,
                                   46, 38, 30, 22, 14, 6, 61, 53, 45, 37, 29, 21, 13, 5, 28, 20, 12, 4};
constexpr std::uint8_t kPC2[48] = {14, 17, 11, 24, 1, 5, 3, 28, 15, 6, 21, 10, 23, 19, 12, 4,
                                   26, 8, 16, 7, 27, 20, 13, 2, 41, 52, 31, 37, 47, 55, 30, 40,
                                   51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr std::uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

using sp_table = std::array<std::array<std::uint32_t, 64>, 8>;

// SP[i][v]: S-box i applied to v, placed in its nibble, through P, rotated
// right by one to match the rotated halves.
constexpr sp_table make_sp() {
  sp_table t{};
  for (int i = 0; i < 8; ++i) {
    for (int v = 0; v < 64; ++v) {
      int row = ((v >> 4) & 2) | (v & 1);
      int col = (v >> 1) & 15;
      std::uint32_t s = std::uint32_t{kSbox[i][row * 16 + col]} << (28 - 4 * i);
      std::uint32_t p = 0;
      for (int j = 0; j < 32; ++j)
        if (s & (0x80000000u >> (kP[j] - 1))) p |= 0x80000000u >> j;
      t[static_cast<std::size_t>(i)][static_cast<std::size_t>(v)] = rotr32(p, 1);
    }
  }
  return t;
}
constexpr sp_table kSP = make_sp();

using perm_table = std::array<std::array<std::uint64_t, 256>, 8>;
// out bit j (1-based from the top) = in bit src[j]; table per input byte.
constexpr perm_table make_perm(bool inverse) {
  std::uint8_t src[64]{};
  for (int j = 0; j < 64; ++j) {
    if (inverse)
      src[kIP[j] - 1] = static_cast<std::uint8_t>(j + 1);
    else
      src[j] = kIP[j];
  }
  perm_table t{};
  for (int b = 0; b < 8; ++b) {
    for (int v = 0; v < 256; ++v) {
      std::uint64_t in = std::uint64_t(v) << (56 - 8 * b);
      std::uint64_t out = 0;
      for (int j = 0; j < 64; ++j)
        if (in & (std::uint64_t{1} << (64 - src[j]))) out |= std::uint64_t{1} << (63 - j);
      t[static_cast<std::size_t>(b)][static_cast<std::size_t>(v)] = out;
    }
  }
  return t;
}
constexpr perm_table kIPT = make_perm(false);
constexpr perm_table kFPT = make_perm(true);

inline std::uint64_t permute(const perm_table& t, const std::uint8_t* in) {
  std::uint64_t r = 0;
  for (int b = 0; b < 8; ++b) r |= t[static_cast<std::size_t>(b)][in[b]];
  return r;
}
inline std::uint64_t permute(const perm_table& t, std::uint64_t x) {
  std::uint64_t r = 0;
  for (int b = 0; b < 8; ++b) r |= t[static_cast<std::size_t>(b)][(x >> (56 - 8 * b)) & 0xff];
  return r;
}

inline std::uint32_t feistel(std::uint32_t x, std::uint32_t k0, std::uint32_t k1) {
  std::uint32_t u = x ^ k0;
  std::uint32_t v = rotl32(x, 4) ^ k1;
  return kSP[0][(u >> 26) & 63] ^ kSP[2][(u >> 18) & 63] ^ kSP[4][(u >> 10) & 63] ^ kSP[6][(u >> 2) & 63] ^
         kSP[1][(v >> 26) & 63] ^ kSP[3][(v >> 18) & 63] ^ kSP[5][(v >> 10) & 63] ^ kSP[7][(v >> 2) & 63];
}

// 16 rounds on the rotated halves; leaves the halves swapped for the next stage.
template <bool Decrypt>
inline void des_rounds(std::uint32_t& l, std::uint32_t& r, const std::uint32_t* ks) {
#pragma GCC unroll 8
  for (int i = 0; i < 16; i += 2) {
    const int a = Decrypt ? 15 - i : i;
    const int b = Decrypt ? 14 - i : i + 1;
    l ^= feistel(r, ks[2 * a], ks[2 * a + 1]);
    r ^= feistel(l, ks[2 * b], ks[2 * b + 1]);
  }
  std::uint32_t t = l;
  l = r;
  r = t;
}

void schedule(const std::uint8_t* key, std::uint32_t* ks) {
  std::uint64_t k = 0;
  for (int i = 0; i < 8; ++i) k = (k << 8) | key[i];
  std::uint32_t c = 0, d = 0;
  for (int j = 0; j < 28; ++j) {
    c = (c << 1) | static_cast<std::uint32_t>((k >> (64 - kPC1[j])) & 1);
    d = (d << 1) | static_cast<std::uint32_t>((k >> (64 - kPC1[28 + j])) & 1);
  }
  for (int round = 0; round < 16; ++round) {
    for (int s = 0; s < kShifts[round]; ++s) {
      c = ((c << 1) | (c >> 27)) & 0x0fffffff;
      d = ((d << 1) | (d >> 27)) & 0x0fffffff;
    }
    std::uint64_t cd = (std::uint64_t{c} << 28) | d;
    std::uint64_t sub = 0;
    for (int j = 0; j < 48; ++j) sub = (sub << 1) | ((cd >> (56 - kPC2[j])) & 1);
    std::uint32_t ch[8];
    for (int i = 0; i < 8; ++i) ch[i] = static_cast<std::uint32_t>((sub >> (42 - 6 * i)) & 63);
    ks[2 * round] = (ch[0] << 26) | (ch[2] << 18) | (ch[4] << 10) | (ch[6] << 2);
    ks[2 * round + 1] = (ch[1] << 26) | (ch[3] << 18) | (ch[5] << 10) | (ch[7] << 2);
    plat_wipe(ch, sizeof ch);
    plat_wipe(&sub, sizeof sub);
    plat_wipe(&cd, sizeof cd);
  }
  plat_wipe(&k, sizeof k);
  plat_wipe(&c, sizeof c);
  plat_wipe(&d, sizeof d);
}

inline void split(std::uint64_t x, std::uint32_t& l, std::uint32_t& r) {
  l = rotr32(static_cast<std::uint32_t>(x >> 32), 1);
  r = rotr32(static_cast<std::uint32_t>(x), 1);
}
inline std::uint64_t join(std::uint32_t l, std::uint32_t r) {
  return (std::uint64_t{rotl32(l, 1)} << 32) | rotl32(r, 1);
}
inline void store64(std::uint8_t* out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
}
inline std::uint64_t load64(const std::uint8_t* in) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | in[i];
  return v;
}

// Core on the permuted block: encrypt or decrypt through one or three keys.
template <bool Decrypt>
inline std::uint64_t core(const des_key* k, std::uint64_t x) {
  std::uint32_t l, r;
  split(x, l, r);
  if (k->nkeys == 1) {
    des_rounds<Decrypt>(l, r, k->ks[0]);
  } else if (!Decrypt) {
    des_rounds<false>(l, r, k->ks[0]);
    des_rounds<true>(l, r, k->ks[1]);
    des_rounds<false>(l, r, k->ks[2]);
  } else {
    des_rounds<true>(l, r, k->ks[2]);
    des_rounds<false>(l, r, k->ks[1]);
    des_rounds<true>(l, r, k->ks[0]);
  }
  return join(l, r);
}

}  // namespace

void des_set_key(des_key* k, const std::uint8_t* key, std::uint32_t nkeys_in_key, bool ede2) {
  if (nkeys_in_key == 1) {
    k->nkeys = 1;
    schedule(key, k->ks[0]);
    return;
  }
  k->nkeys = 3;
  schedule(key, k->ks[0]);
  schedule(key + 8, k->ks[1]);
  if (ede2)
    std::memcpy(k->ks[2], k->ks[0], sizeof k->ks[0]);
  else
    schedule(key + 16, k->ks[2]);
}

void des_encrypt_block(const des_key* k, const std::uint8_t* in, std::uint8_t* out) {
  store64(out, permute(kFPT, core<false>(k, permute(kIPT, in))));
}

void des_decrypt_block(const des_key* k, const std::uint8_t* in, std::uint8_t* out) {
  store64(out, permute(kFPT, core<true>(k, permute(kIPT, in))));
}

void des_encrypt_cbc(const des_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t nblocks) {
  std::uint64_t c = load64(iv);
  for (; nblocks > 0; --nblocks, in += 8, out += 8) {
    c = permute(kFPT, core<false>(k, permute(kIPT, load64(in) ^ c)));
    store64(out, c);
  }
  store64(iv, c);
}

void des_decrypt_cbc(const des_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                     std::size_t nblocks) {
  std::uint64_t prev = load64(iv);
  for (; nblocks > 0; --nblocks, in += 8, out += 8) {
    std::uint64_t c = load64(in);
    store64(out, permute(kFPT, core<true>(k, permute(kIPT, c))) ^ prev);
    prev = c;
  }
  store64(iv, prev);
}

}  // namespace sc
