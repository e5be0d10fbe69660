// SHA-1 and SHA-256 block functions with the x86 SHA instructions. Only
// called after the run-time check in cpu.cpp.
#include "internal.h"

#if SC_HAVE_X86
#include <immintrin.h>

namespace sc {

const std::uint32_t* sha256_k();

#define SC_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

SC_SHA_TARGET void sha256_blocks_ni(std::uint32_t* state, const std::uint8_t* data, std::size_t nblocks) {
  const __m128i mask = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  const std::uint32_t* k = sha256_k();
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);                // CDAB
  state1 = _mm_shuffle_epi32(state1, 0x1B);          // EFGH
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH

  for (; nblocks > 0; --nblocks, data += 64) {
    const __m128i abef_save = state0;
    const __m128i cdgh_save = state1;
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0)), mask);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)), mask);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32)), mask);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48)), mask);
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      __m128i msg = _mm_add_epi32(m0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(k + 4 * g)));
      state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
      msg = _mm_shuffle_epi32(msg, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
      if (g < 12) {
        __m128i next = _mm_sha256msg1_epu32(m0, m1);
        next = _mm_add_epi32(next, _mm_alignr_epi8(m3, m2, 4));
        next = _mm_sha256msg2_epu32(next, m3);
        m0 = m1;
        m1 = m2;
        m2 = m3;
        m3 = next;
      } else {
        m0 = m1;
        m1 = m2;
        m2 = m3;
      }
    }
    state0 = _mm_add_epi32(state0, abef_save);
    state1 = _mm_add_epi32(state1, cdgh_save);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);             // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);          // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);       // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);          // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

// Four rounds with function F; e_in is the E value prepared for these rounds.
#define SHA1_GROUPS(F, FIRST, LAST)                                   \
  _Pragma("GCC unroll 5") for (int g = FIRST; g < LAST; ++g) {        \
    __m128i e_use = g == 0 ? _mm_add_epi32(e, m0) : _mm_sha1nexte_epu32(e, m0); \
    e = abcd;                                                         \
    abcd = _mm_sha1rnds4_epu32(abcd, e_use, F);                       \
    if (g < 16) {                                                     \
      __m128i next = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m0, m1), m2), m3); \
      m0 = m1; m1 = m2; m2 = m3; m3 = next;                           \
    } else {                                                          \
      m0 = m1; m1 = m2; m2 = m3;                                      \
    }                                                                 \
  }

SC_SHA_TARGET void sha1_blocks_ni(std::uint32_t* state, const std::uint8_t* data, std::size_t nblocks) {
  const __m128i mask = _mm_set_epi64x(0x0001020304050607ULL, 0x08090a0b0c0d0e0fULL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; nblocks > 0; --nblocks, data += 64) {
    const __m128i abcd_save = abcd;
    const __m128i e_save = e0;
    __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0)), mask);
    __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)), mask);
    __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32)), mask);
    __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48)), mask);
    __m128i e = e0;
    SHA1_GROUPS(0, 0, 5)
    SHA1_GROUPS(1, 5, 10)
    SHA1_GROUPS(2, 10, 15)
    SHA1_GROUPS(3, 15, 20)
    e0 = _mm_sha1nexte_epu32(e, e_save);
    abcd = _mm_add_epi32(abcd, abcd_save);
  }
  abcd = _mm_shuffle_epi32(abcd, 0x1B);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abcd);
  state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

}  // namespace sc

#endif
