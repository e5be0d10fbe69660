// SHA-384 and SHA-512 block functions: 80 rounds over 64-bit words, fully
// unrolled, message words loaded as 64-bit big-endian values. On x86 with
// AVX (or AVX-512VL) and BMI2 the message schedule runs two words at a time
// in the vector unit, ahead of the rounds, while the rounds use RORX in the
// integer unit.
#include "internal.h"
#include "vorn/secure.h"

#if SC_HAVE_X86 && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace sc {
namespace {

constexpr std::uint64_t kSha512K[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc, 0x3956c25bf348b538,
    0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242, 0x12835b0145706fbe,
    0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2, 0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
    0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5, 0x983e5152ee66dfab,
    0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
    0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed,
    0x53380d139d95b3df, 0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
    0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8, 0x19a4c116b8d2d0c8, 0x1e376c085141ab53,
    0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373,
    0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b, 0xca273eceea26619c,
    0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba, 0x0a637dc5a2c898a6,
    0x113f9804bef90dae, 0x1b710b35131c471b, 0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
    0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

inline std::uint64_t rotr64(std::uint64_t x, unsigned n) { return (x >> n) | (x << (64 - n)); }

inline std::uint64_t load_be64(const std::uint8_t* p) {
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
#else
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
#endif
}

#define SHA512_S0(x) (rotr64(x, 28) ^ rotr64(x, 34) ^ rotr64(x, 39))
#define SHA512_S1(x) (rotr64(x, 14) ^ rotr64(x, 18) ^ rotr64(x, 41))
#define SHA512_s0(x) (rotr64(x, 1) ^ rotr64(x, 8) ^ ((x) >> 7))
#define SHA512_s1(x) (rotr64(x, 19) ^ rotr64(x, 61) ^ ((x) >> 6))

// One round; the roles of the eight registers rotate from round to round.
#define SHA512_ROUND(a, b, c, d, e, f, g, h, k, w)                                 \
  do {                                                                             \
    std::uint64_t t1 = (h) + SHA512_S1(e) + ((g) ^ ((e) & ((f) ^ (g)))) + (k) + (w); \
    std::uint64_t t2 = SHA512_S0(a) + (((a) & (b)) | ((c) & ((a) | (b))));         \
    (d) += t1;                                                                     \
    (h) = t1 + t2;                                                                 \
  } while (0)

// Next message word i (i >= 16), in place in the 16-word window.
#define SHA512_W(i) \
  (w[(i) & 15] += SHA512_s1(w[((i) + 14) & 15]) + w[((i) + 9) & 15] + SHA512_s0(w[((i) + 1) & 15]))

#define SHA512_EIGHT(i, W)                                   \
  SHA512_ROUND(a, b, c, d, e, f, g, h, kSha512K[(i) + 0], W((i) + 0)); \
  SHA512_ROUND(h, a, b, c, d, e, f, g, kSha512K[(i) + 1], W((i) + 1)); \
  SHA512_ROUND(g, h, a, b, c, d, e, f, kSha512K[(i) + 2], W((i) + 2)); \
  SHA512_ROUND(f, g, h, a, b, c, d, e, kSha512K[(i) + 3], W((i) + 3)); \
  SHA512_ROUND(e, f, g, h, a, b, c, d, kSha512K[(i) + 4], W((i) + 4)); \
  SHA512_ROUND(d, e, f, g, h, a, b, c, kSha512K[(i) + 5], W((i) + 5)); \
  SHA512_ROUND(c, d, e, f, g, h, a, b, kSha512K[(i) + 6], W((i) + 6)); \
  SHA512_ROUND(b, c, d, e, f, g, h, a, kSha512K[(i) + 7], W((i) + 7))

#define SHA512_WLOAD(i) w[i]

}  // namespace

#if SC_HAVE_SHA512_SIMD
namespace {

// One round with W+K from wk; Maj(a,b,c) = b ^ ((a ^ b) & (b ^ c)), where
// b ^ c is the a ^ b of the round before (kept in bc, replaced by ab).
#define SHA512_ROUND_WK(a, b, c, d, e, f, g, h, i, ab, bc)                          \
  do {                                                                              \
    std::uint64_t t1 = (h) + SHA512_S1(e) + ((g) ^ ((e) & ((f) ^ (g)))) + wk[i];    \
    (ab) = (a) ^ (b);                                                               \
    std::uint64_t t2 = SHA512_S0(a) + ((b) ^ ((ab) & (bc)));                        \
    (d) += t1;                                                                      \
    (h) = t1 + t2;                                                                  \
  } while (0)

#define SC_SIMD_TARGET __attribute__((target("avx,bmi2")))
#define SC_SIMD_NAME(f) f##_avx
#include "sha512_simd.inc"
#undef SC_SIMD_TARGET
#undef SC_SIMD_NAME
// AVX-512VL: the rotations become VPRORQ and the three-way XORs VPTERNLOGQ.
#define SC_SIMD_TARGET __attribute__((target("avx512vl,avx512f,bmi2")))
#define SC_SIMD_NAME(f) f##_avx512
#include "sha512_simd.inc"
#undef SC_SIMD_TARGET
#undef SC_SIMD_NAME

}  // namespace
#endif

void sha512_blocks_portable(std::uint64_t* state, const std::uint8_t* data, std::size_t nblocks) {
  for (; nblocks > 0; --nblocks, data += 128) {
    std::uint64_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_be64(data + 8 * i);
    std::uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    SHA512_EIGHT(0, SHA512_WLOAD);
    SHA512_EIGHT(8, SHA512_WLOAD);
    SHA512_EIGHT(16, SHA512_W);
    SHA512_EIGHT(24, SHA512_W);
    SHA512_EIGHT(32, SHA512_W);
    SHA512_EIGHT(40, SHA512_W);
    SHA512_EIGHT(48, SHA512_W);
    SHA512_EIGHT(56, SHA512_W);
    SHA512_EIGHT(64, SHA512_W);
    SHA512_EIGHT(72, SHA512_W);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

}  // namespace sc

namespace sc {
void sha512_blocks(std::uint64_t* state, const std::uint8_t* data, std::size_t nblocks) {
#if SC_HAVE_SHA512_SIMD
  switch (sha512_tier()) {
    case 2: return sha512_blocks_avx512(state, data, nblocks);
    case 1: return sha512_blocks_avx(state, data, nblocks);
    default: break;
  }
#endif
  sha512_blocks_portable(state, data, nblocks);
}
}  // namespace sc
