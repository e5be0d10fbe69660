// AES-NI paths: eight blocks in flight for ECB and CBC decryption.
#include "internal.h"
#include "vorn/secure.h"

#if SC_HAVE_X86
#include <immintrin.h>

namespace sc {

#define SC_AES_TARGET __attribute__((target("aes,sse4.1")))

namespace {

struct round_keys {
  __m128i k[15];
  round_keys() = default;
  round_keys(const round_keys&) = delete;
  round_keys& operator=(const round_keys&) = delete;
  ~round_keys() { plat_wipe(k, sizeof k); }
};

SC_AES_TARGET inline void load_keys(const std::uint8_t* bytes, std::uint32_t rounds, round_keys* rk) {
  for (std::uint32_t r = 0; r <= rounds; ++r) rk->k[r] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes + 16 * r));
}

SC_AES_TARGET inline __m128i load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
SC_AES_TARGET inline void store(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

SC_AES_TARGET inline __m128i enc1(const round_keys& rk, std::uint32_t rounds, __m128i b) {
  b = _mm_xor_si128(b, rk.k[0]);
  for (std::uint32_t r = 1; r < rounds; ++r) b = _mm_aesenc_si128(b, rk.k[r]);
  return _mm_aesenclast_si128(b, rk.k[rounds]);
}

SC_AES_TARGET inline __m128i dec1(const round_keys& rk, std::uint32_t rounds, __m128i b) {
  b = _mm_xor_si128(b, rk.k[0]);
  for (std::uint32_t r = 1; r < rounds; ++r) b = _mm_aesdec_si128(b, rk.k[r]);
  return _mm_aesdeclast_si128(b, rk.k[rounds]);
}

template <bool Enc>
SC_AES_TARGET inline void rounds8(const round_keys& rk, std::uint32_t rounds, __m128i* b) {
  for (int i = 0; i < 8; ++i) b[i] = _mm_xor_si128(b[i], rk.k[0]);
  for (std::uint32_t r = 1; r < rounds; ++r) {
    const __m128i key = rk.k[r];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) b[i] = Enc ? _mm_aesenc_si128(b[i], key) : _mm_aesdec_si128(b[i], key);
  }
  const __m128i last = rk.k[rounds];
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) b[i] = Enc ? _mm_aesenclast_si128(b[i], last) : _mm_aesdeclast_si128(b[i], last);
}

}  // namespace

SC_AES_TARGET void aesni_encrypt_ecb(const aes_key* k, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks) {
  round_keys rk;
  load_keys(k->enc, k->rounds, &rk);
  while (nblocks >= 8) {
    __m128i b[8];
    for (int i = 0; i < 8; ++i) b[i] = load(in + 16 * i);
    rounds8<true>(rk, k->rounds, b);
    for (int i = 0; i < 8; ++i) store(out + 16 * i, b[i]);
    in += 128;
    out += 128;
    nblocks -= 8;
  }
  for (; nblocks > 0; --nblocks, in += 16, out += 16) store(out, enc1(rk, k->rounds, load(in)));
}

SC_AES_TARGET void aesni_decrypt_ecb(const aes_key* k, const std::uint8_t* in, std::uint8_t* out, std::size_t nblocks) {
  round_keys rk;
  load_keys(k->dec, k->rounds, &rk);
  while (nblocks >= 8) {
    __m128i b[8];
    for (int i = 0; i < 8; ++i) b[i] = load(in + 16 * i);
    rounds8<false>(rk, k->rounds, b);
    for (int i = 0; i < 8; ++i) store(out + 16 * i, b[i]);
    in += 128;
    out += 128;
    nblocks -= 8;
  }
  for (; nblocks > 0; --nblocks, in += 16, out += 16) store(out, dec1(rk, k->rounds, load(in)));
}

SC_AES_TARGET void aesni_encrypt_cbc(const aes_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                                     std::size_t nblocks) {
  round_keys rk;
  load_keys(k->enc, k->rounds, &rk);
  __m128i c = load(iv);
  for (; nblocks > 0; --nblocks, in += 16, out += 16) {
    c = enc1(rk, k->rounds, _mm_xor_si128(load(in), c));
    store(out, c);
  }
  store(iv, c);
}

SC_AES_TARGET void aesni_decrypt_cbc(const aes_key* k, std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                                     std::size_t nblocks) {
  round_keys rk;
  load_keys(k->dec, k->rounds, &rk);
  __m128i prev = load(iv);
  while (nblocks >= 8) {
    __m128i c[8], b[8];
    for (int i = 0; i < 8; ++i) b[i] = c[i] = load(in + 16 * i);
    rounds8<false>(rk, k->rounds, b);
    store(out, _mm_xor_si128(b[0], prev));
    for (int i = 1; i < 8; ++i) store(out + 16 * i, _mm_xor_si128(b[i], c[i - 1]));
    prev = c[7];
    in += 128;
    out += 128;
    nblocks -= 8;
  }
  for (; nblocks > 0; --nblocks, in += 16, out += 16) {
    __m128i c = load(in);
    store(out, _mm_xor_si128(dec1(rk, k->rounds, c), prev));
    prev = c;
  }
  store(iv, prev);
}

}  // namespace sc

#endif
