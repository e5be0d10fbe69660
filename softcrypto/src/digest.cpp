// MD5, SHA-1 and SHA-256: block functions; SHA-384 and SHA-512 (block
// function in sha512.cpp) share and the init/update/final contexts.
#include <array>

#include "internal.h"
#include "vorn/secure.h"

namespace sc {
namespace {

// The message word and constant are added first: they do not wait for b.
#define MD5_STEP(f, a, b, c, d, x, t, s) \
  a += (x) + (t);                        \
  a += f(b, c, d);                       \
  a = rotl32(a, s) + (b)

#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) (((~(z)) & (y)) + ((z) & (x)))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

constexpr std::array<std::uint32_t, 64> kSha256K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

}  // namespace

const std::uint32_t* sha256_k() { return kSha256K.data(); }

void md5_blocks(std::uint32_t* state, const std::uint8_t* data, std::size_t nblocks) {
  for (; nblocks > 0; --nblocks, data += 64) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = load_le32(data + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    MD5_STEP(MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[2], 0x242070db, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
    MD5_STEP(MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
    MD5_STEP(MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
    MD5_STEP(MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
    MD5_STEP(MD5_F, b, c, d, a, x[15], 0x49b40821, 22);
    MD5_STEP(MD5_G, a, b, c, d, x[1], 0xf61e2562, 5);
    MD5_STEP(MD5_G, d, a, b, c, x[6], 0xc040b340, 9);
    MD5_STEP(MD5_G, c, d, a, b, x[11], 0x265e5a51, 14);
    MD5_STEP(MD5_G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
    MD5_STEP(MD5_G, a, b, c, d, x[5], 0xd62f105d, 5);
    MD5_STEP(MD5_G, d, a, b, c, x[10], 0x02441453, 9);
    MD5_STEP(MD5_G, c, d, a, b, x[15], 0xd8a1e681, 14);
    MD5_STEP(MD5_G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
    MD5_STEP(MD5_G, a, b, c, d, x[9], 0x21e1cde6, 5);
    MD5_STEP(MD5_G, d, a, b, c, x[14], 0xc33707d6, 9);
    MD5_STEP(MD5_G, c, d, a, b, x[3], 0xf4d50d87, 14);
    MD5_STEP(MD5_G, b, c, d, a, x[8], 0x455a14ed, 20);
    MD5_STEP(MD5_G, a, b, c, d, x[13], 0xa9e3e905, 5);
    MD5_STEP(MD5_G, d, a, b, c, x[2], 0xfcefa3f8, 9);
    MD5_STEP(MD5_G, c, d, a, b, x[7], 0x676f02d9, 14);
    MD5_STEP(MD5_G, b, c, d, a, x[12], 0x8d2a4c8a, 20);
    MD5_STEP(MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
    MD5_STEP(MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
    MD5_STEP(MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
    MD5_STEP(MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
    MD5_STEP(MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);
    MD5_STEP(MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
    MD5_STEP(MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
    MD5_STEP(MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
    MD5_STEP(MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
    MD5_STEP(MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
  }
}

void sha1_blocks_portable(std::uint32_t* state, const std::uint8_t* data, std::size_t nblocks) {
  for (; nblocks > 0; --nblocks, data += 64) {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(data + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    auto round = [&](int i, std::uint32_t f, std::uint32_t k) {
      std::uint32_t wi;
      if (i < 16) {
        wi = w[i];
      } else {
        wi = rotl32(w[(i + 13) & 15] ^ w[(i + 8) & 15] ^ w[(i + 2) & 15] ^ w[i & 15], 1);
        w[i & 15] = wi;
      }
      std::uint32_t t = rotl32(a, 5) + f + e + k + wi;
      e = d;
      d = c;
      c = rotl32(b, 30);
      b = a;
      a = t;
    };
#pragma GCC unroll 20
    for (int i = 0; i < 20; ++i) round(i, d ^ (b & (c ^ d)), 0x5a827999);
#pragma GCC unroll 20
    for (int i = 20; i < 40; ++i) round(i, b ^ c ^ d, 0x6ed9eba1);
#pragma GCC unroll 20
    for (int i = 40; i < 60; ++i) round(i, (b & c) | (d & (b | c)), 0x8f1bbcdc);
#pragma GCC unroll 20
    for (int i = 60; i < 80; ++i) round(i, b ^ c ^ d, 0xca62c1d6);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

void sha256_blocks_portable(std::uint32_t* state, const std::uint8_t* data, std::size_t nblocks) {
  for (; nblocks > 0; --nblocks, data += 64) {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(data + 4 * i);
    std::uint32_t s[8];
    for (int i = 0; i < 8; ++i) s[i] = state[i];
#pragma GCC unroll 64
    for (int i = 0; i < 64; ++i) {
      std::uint32_t wi;
      if (i < 16) {
        wi = w[i];
      } else {
        std::uint32_t w15 = w[(i + 1) & 15], w2 = w[(i + 14) & 15];
        std::uint32_t s0 = rotr32(w15, 7) ^ rotr32(w15, 18) ^ (w15 >> 3);
        std::uint32_t s1 = rotr32(w2, 17) ^ rotr32(w2, 19) ^ (w2 >> 10);
        wi = w[i & 15] + s0 + w[(i + 9) & 15] + s1;
        w[i & 15] = wi;
      }
      std::uint32_t a = s[(64 - i) & 7], b = s[(65 - i) & 7], c = s[(66 - i) & 7];
      std::uint32_t e = s[(68 - i) & 7], f = s[(69 - i) & 7], g = s[(70 - i) & 7];
      std::uint32_t t1 = s[(71 - i) & 7] + (rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25)) + (g ^ (e & (f ^ g))) +
                         kSha256K[static_cast<std::size_t>(i)] + wi;
      std::uint32_t t2 = (rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22)) + ((a & b) | (c & (a | b)));
      s[(67 - i) & 7] += t1;          // d += t1 -> new e
      s[(71 - i) & 7] = t1 + t2;      // h -> new a
    }
    for (int i = 0; i < 8; ++i) state[i] += s[i];
  }
}

}  // namespace sc

namespace {

using block_fn = void (*)(std::uint32_t*, const std::uint8_t*, std::size_t);

struct digest_info {
  std::uint32_t size;
  std::uint32_t words;
  bool big_endian;
};

bool digest_lookup(std::uint8_t id, digest_info* info) {
  switch (id) {
    case SC_ALG_MD5: *info = {16, 4, false}; return true;
    case SC_ALG_SHA1: *info = {20, 5, true}; return true;
    case SC_ALG_SHA256: *info = {32, 8, true}; return true;
    case SC_ALG_SHA384: *info = {48, 6, true}; return true;
    case SC_ALG_SHA512: *info = {64, 8, true}; return true;
    default: return false;
  }
}

block_fn digest_blocks(std::uint8_t id) {
  switch (id) {
    case SC_ALG_MD5: return sc::md5_blocks;
#if SC_HAVE_X86
    case SC_ALG_SHA1: return sc::use_sha_ni() ? sc::sha1_blocks_ni : sc::sha1_blocks_portable;
    case SC_ALG_SHA256: return sc::use_sha_ni() ? sc::sha256_blocks_ni : sc::sha256_blocks_portable;
#else
    case SC_ALG_SHA1: return sc::sha1_blocks_portable;
    case SC_ALG_SHA256: return sc::sha256_blocks_portable;
#endif
    default: return nullptr;
  }
}

constexpr std::uint32_t kInitMd5[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
constexpr std::uint32_t kInitSha1[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
constexpr std::uint64_t kInitSha384[8] = {0xcbbb9d5dc1059ed8, 0x629a292a367cd507, 0x9159015a3070dd17,
                                          0x152fecd8f70e5939, 0x67332667ffc00b31, 0x8eb44a8768581511,
                                          0xdb0c2e0d64f98fa7, 0x47b5481dbefa4fa4};
constexpr std::uint64_t kInitSha512[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                          0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                          0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

bool is_sha512(std::uint8_t id) { return id == SC_ALG_SHA384 || id == SC_ALG_SHA512; }

// The 128-byte-block digests: same buffering as below with 64-bit words.
void update128(sc_digest_ctx* ctx, const std::uint8_t* data, std::uint32_t len) {
  std::uint32_t used = ctx->count[0] & 127;
  std::uint32_t lo = ctx->count[0] + len;
  if (lo < ctx->count[0]) ctx->count[1]++;
  ctx->count[0] = lo;
  if (used != 0) {
    std::uint32_t take = 128 - used;
    if (len < take) {
      std::memcpy(ctx->buffer + used, data, len);
      return;
    }
    std::memcpy(ctx->buffer + used, data, take);
    sc::sha512_blocks(ctx->state64, ctx->buffer, 1);
    data += take;
    len -= take;
  }
  if (len >= 128) {
    sc::sha512_blocks(ctx->state64, data, len / 128);
    data += len & ~127u;
    len &= 127;
  }
  if (len != 0) std::memcpy(ctx->buffer, data, len);
}

void final128(sc_digest_ctx* ctx, std::uint8_t* out, std::uint32_t words) {
  std::uint32_t used = ctx->count[0] & 127;
  // The length field is 128 bits; a 64-bit byte count fills its low 67 bits.
  const std::uint64_t bytes = (std::uint64_t{ctx->count[1]} << 32) | ctx->count[0];
  ctx->buffer[used++] = 0x80;
  if (used > 112) {
    std::memset(ctx->buffer + used, 0, 128 - used);
    sc::sha512_blocks(ctx->state64, ctx->buffer, 1);
    used = 0;
  }
  std::memset(ctx->buffer + used, 0, 128 - used);
  const std::uint64_t hi = bytes >> 61, lo = bytes << 3;
  for (int i = 0; i < 8; ++i) {
    ctx->buffer[112 + i] = static_cast<std::uint8_t>(hi >> (56 - 8 * i));
    ctx->buffer[120 + i] = static_cast<std::uint8_t>(lo >> (56 - 8 * i));
  }
  sc::sha512_blocks(ctx->state64, ctx->buffer, 1);
  for (std::uint32_t i = 0; i < words; ++i) {
    sc::store_be32(out + 8 * i, static_cast<std::uint32_t>(ctx->state64[i] >> 32));
    sc::store_be32(out + 8 * i + 4, static_cast<std::uint32_t>(ctx->state64[i]));
  }
}

constexpr std::uint32_t kInitSha256[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

}  // namespace

std::uint32_t sc_digest_size(std::uint8_t id) {
  digest_info info{};
  return digest_lookup(id, &info) ? info.size : 0;
}

vorn_rv sc_digest_init(std::uint8_t id, sc_digest_ctx* ctx) {
  digest_info info{};
  if (!digest_lookup(id, &info)) return CARDERR_BAD_HASH;
  if (ctx == nullptr) return CARDERR_BAD_ARG;
  std::memset(ctx, 0, sizeof *ctx);
  ctx->id = id;
  if (is_sha512(id)) {
    std::memcpy(ctx->state64, id == SC_ALG_SHA384 ? kInitSha384 : kInitSha512, sizeof ctx->state64);
    return VORN_OK;
  }
  const std::uint32_t* iv = id == SC_ALG_MD5 ? kInitMd5 : id == SC_ALG_SHA1 ? kInitSha1 : kInitSha256;
  std::memcpy(ctx->state, iv, info.words * 4);
  return VORN_OK;
}

vorn_rv sc_digest_update(std::uint8_t id, sc_digest_ctx* ctx, const std::uint8_t* data, std::uint32_t len) {
  digest_info info{};
  if (!digest_lookup(id, &info)) return CARDERR_BAD_HASH;
  if (ctx == nullptr || (data == nullptr && len != 0)) return CARDERR_BAD_ARG;
  if (ctx->id != id) return CARDERR_BAD_HASH;
  if (len == 0) return VORN_OK;
  if (is_sha512(id)) {
    update128(ctx, data, len);
    return VORN_OK;
  }
  block_fn blocks = digest_blocks(id);
  std::uint32_t used = ctx->count[0] & 63;
  std::uint32_t lo = ctx->count[0] + len;
  if (lo < ctx->count[0]) ctx->count[1]++;
  ctx->count[0] = lo;
  if (used != 0) {
    std::uint32_t take = 64 - used;
    if (len < take) {
      std::memcpy(ctx->buffer + used, data, len);
      return VORN_OK;
    }
    std::memcpy(ctx->buffer + used, data, take);
    blocks(ctx->state, ctx->buffer, 1);
    data += take;
    len -= take;
  }
  if (len >= 64) {
    blocks(ctx->state, data, len / 64);
    data += len & ~63u;
    len &= 63;
  }
  if (len != 0) std::memcpy(ctx->buffer, data, len);
  return VORN_OK;
}

vorn_rv sc_digest_final(std::uint8_t id, sc_digest_ctx* ctx, std::uint8_t* out, std::uint32_t* len) {
  digest_info info{};
  if (!digest_lookup(id, &info)) return CARDERR_BAD_HASH;
  if (len == nullptr) return CARDERR_BAD_ARG;
  if (out == nullptr) {
    *len = info.size;
    return VORN_OK;
  }
  if (*len < info.size) {
    *len = info.size;
    return CARDERR_BUFFER_TOO_SMALL;
  }
  if (ctx == nullptr) return CARDERR_BAD_ARG;
  if (ctx->id != id) return CARDERR_BAD_HASH;
  if (is_sha512(id)) {
    final128(ctx, out, info.words);
    *len = info.size;
    plat_wipe(ctx, sizeof *ctx);
    return VORN_OK;
  }
  block_fn blocks = digest_blocks(id);
  std::uint32_t used = ctx->count[0] & 63;
  std::uint64_t bits = ((std::uint64_t{ctx->count[1]} << 32) | ctx->count[0]) << 3;
  ctx->buffer[used++] = 0x80;
  if (used > 56) {
    std::memset(ctx->buffer + used, 0, 64 - used);
    blocks(ctx->state, ctx->buffer, 1);
    used = 0;
  }
  std::memset(ctx->buffer + used, 0, 56 - used);
  for (int i = 0; i < 8; ++i) {
    int shift = info.big_endian ? 56 - 8 * i : 8 * i;
    ctx->buffer[56 + i] = static_cast<std::uint8_t>(bits >> shift);
  }
  blocks(ctx->state, ctx->buffer, 1);
  for (std::uint32_t i = 0; i < info.words; ++i) {
    if (info.big_endian)
      sc::store_be32(out + 4 * i, ctx->state[i]);
    else
      sc::store_le32(out + 4 * i, ctx->state[i]);
  }
  *len = info.size;
  plat_wipe(ctx, sizeof *ctx);
  return VORN_OK;
}

vorn_rv sc_digest(std::uint8_t id, const std::uint8_t* data, std::uint32_t len, std::uint8_t* out,
                  std::uint32_t* outlen) {
  digest_info info{};
  if (!digest_lookup(id, &info)) return CARDERR_BAD_HASH;
  if (outlen == nullptr) return CARDERR_BAD_ARG;
  if (out == nullptr) {
    *outlen = info.size;
    return VORN_OK;
  }
  if (*outlen < info.size) {
    *outlen = info.size;
    return CARDERR_BUFFER_TOO_SMALL;
  }
  sc_digest_ctx ctx;
  sc_digest_init(id, &ctx);
  vorn_rv rv = sc_digest_update(id, &ctx, data, len);
  if (rv != VORN_OK) {
    plat_wipe(&ctx, sizeof ctx);
    return rv;
  }
  return sc_digest_final(id, &ctx, out, outlen);
}
