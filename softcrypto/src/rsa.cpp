// RSA toolkit: public and private blocks (CRT with blinding) and the
// PKCS#1 v1.5 block types 1 and 2, with RSAREF-compatible result codes.
#include <cstring>

#include "bignum.h"
#include "internal.h"
#include "vorn/secure.h"

namespace {

using sc::bn::limb;
using sc::bn::kMaxLimbs;

constexpr std::uint32_t kMinBits = 16;

struct public_parts {
  limb n[kMaxLimbs];
  limb e[kMaxLimbs];
  int limbs;
  std::uint32_t len;  // modulus length in bytes
};

// A byte field of `field` bytes holding a number that must fit in `len` bytes.
bool fits(const std::uint8_t* field, std::uint32_t field_len, std::uint32_t len) {
  for (std::uint32_t i = 0; i + len < field_len; ++i)
    if (field[i] != 0) return false;
  return true;
}

vorn_rv load_public(const std::uint8_t* modulus, const std::uint8_t* exponent, std::uint16_t bits, public_parts* pp) {
  if (bits < kMinBits || bits > SC_RSA_MAX_BITS) return RSAERR_MODULUS_LEN;
  pp->len = (bits + 7u) / 8u;
  pp->limbs = static_cast<int>((pp->len + 7) / 8);
  if (!fits(modulus, SC_RSA_MAX_LEN, pp->len)) return RSAERR_MODULUS_LEN;
  sc::bn::from_bytes(pp->n, kMaxLimbs, modulus, SC_RSA_MAX_LEN);
  sc::bn::from_bytes(pp->e, kMaxLimbs, exponent, SC_RSA_MAX_LEN);
  // An even modulus, or one shorter than its stated length, is not a key.
  if ((pp->n[0] & 1) == 0 || sc::bn::bit_length(pp->n, kMaxLimbs) <= static_cast<int>(pp->len * 8 - 8))
    return RSAERR_MODULUS_LEN;
  pp->limbs = sc::bn::significant(pp->n, kMaxLimbs);
  return VORN_OK;
}

// Montgomery contexts of the last two public moduli of this thread (the
// values R mod n and R^2 mod n take a long division to make). Public data only.
struct modulus_cache {
  sc::bn::mont entry[2];
  bool valid[2];
  unsigned next;
};
thread_local modulus_cache t_moduli{};

bool modulus_ctx(const public_parts& pp, sc::bn::mont* out) {
  modulus_cache& c = t_moduli;
  for (int i = 0; i < 2; ++i) {
    const sc::bn::mont& m = c.entry[i];
    if (c.valid[i] && m.n == pp.limbs &&
        std::memcmp(m.m, pp.n, static_cast<std::size_t>(pp.limbs) * sizeof(limb)) == 0) {
      *out = m;
      return true;
    }
  }
  if (!sc::bn::mont_init(out, pp.n, pp.limbs)) return false;
  const unsigned slot = c.next++ % 2;
  c.entry[slot] = *out;
  c.valid[slot] = true;
  return true;
}

// out (len bytes) = in^e mod n; in must be below n.
vorn_rv public_block(const public_parts& pp, const std::uint8_t* in, std::uint32_t inlen, std::uint8_t* out) {
  if (inlen > pp.len) return RSAERR_LEN;
  limb x[kMaxLimbs], r[kMaxLimbs];
  sc::bn::from_bytes(x, kMaxLimbs, in, inlen);
  if (sc::bn::cmp(x, pp.n, kMaxLimbs) >= 0) return RSAERR_DATA;
  sc::bn::mont ctx;
  if (!modulus_ctx(pp, &ctx)) return RSAERR_MODULUS_LEN;
  sc::bn::mod_exp_public(ctx, r, x, pp.e, kMaxLimbs);
  sc::bn::to_bytes(out, pp.len, r, pp.limbs);
  return VORN_OK;
}

struct private_parts {
  public_parts pub;
  limb p[kMaxLimbs], q[kMaxLimbs], dp[kMaxLimbs], dq[kMaxLimbs], qinv[kMaxLimbs];
  int plimbs, qlimbs;
  private_parts() = default;
  private_parts(const private_parts&) = delete;
  private_parts& operator=(const private_parts&) = delete;
  ~private_parts() { plat_wipe(this, sizeof *this); }
};

vorn_rv load_private(const sc_rsa_private_key* key, private_parts* pp) {
  vorn_rv rv = load_public(key->modulus, key->public_exponent, key->bits, &pp->pub);
  if (rv != VORN_OK) return rv;
  sc::bn::from_bytes(pp->p, kMaxLimbs, key->prime[0], SC_RSA_MAX_PRIME_LEN);
  sc::bn::from_bytes(pp->q, kMaxLimbs, key->prime[1], SC_RSA_MAX_PRIME_LEN);
  sc::bn::from_bytes(pp->dp, kMaxLimbs, key->prime_exponent[0], SC_RSA_MAX_PRIME_LEN);
  sc::bn::from_bytes(pp->dq, kMaxLimbs, key->prime_exponent[1], SC_RSA_MAX_PRIME_LEN);
  sc::bn::from_bytes(pp->qinv, kMaxLimbs, key->coefficient, SC_RSA_MAX_PRIME_LEN);
  pp->plimbs = sc::bn::significant(pp->p, kMaxLimbs);
  pp->qlimbs = sc::bn::significant(pp->q, kMaxLimbs);
  // The primes must be odd and multiply to the modulus; anything else would
  // produce a wrong result silently.
  if ((pp->p[0] & 1) == 0 || (pp->q[0] & 1) == 0 || pp->plimbs + pp->qlimbs > kMaxLimbs + 1)
    return RSAERR_MODULUS_LEN;
  limb prod[2 * kMaxLimbs];
  sc::bn::mul(prod, pp->p, pp->plimbs, pp->q, pp->qlimbs);
  const int np = pp->plimbs + pp->qlimbs;
  bool same = sc::bn::significant(prod, np) == pp->pub.limbs && sc::bn::cmp(prod, pp->pub.n, pp->pub.limbs) == 0;
  if (!same) return RSAERR_MODULUS_LEN;
  return VORN_OK;
}

// A Montgomery context over a secret prime is wiped with the other values.
struct mont_wiped : sc::bn::mont {
  mont_wiped() = default;
  mont_wiped(const mont_wiped&) = delete;
  mont_wiped& operator=(const mont_wiped&) = delete;
  ~mont_wiped() { plat_wipe(static_cast<sc::bn::mont*>(this), sizeof(sc::bn::mont)); }
};

// Blinding pairs (r^e, r^-1) per thread, for the last few moduli. A fresh
// r costs an inverse modulo n; in between, both values are squared, and a
// new r is drawn every kBlindingUses operations.
constexpr unsigned kBlindingUses = 32;
struct blinding_entry {
  limb n[kMaxLimbs];
  limb e[kMaxLimbs];
  limb re[kMaxLimbs];
  limb rinv[kMaxLimbs];
  unsigned uses;
  bool valid;
};
// Plain data on purpose: a thread-local with a destructor would run code of
// a library that may already be unloaded when the thread ends. The values
// are random and renewed, never key material.
struct blinding_cache {
  blinding_entry entry[2];
  unsigned next;
};
thread_local blinding_cache t_blinding{};

void square_mod(const sc::bn::mont& mn, limb* x) {
  limb xm[kMaxLimbs];
  sc::bn::to_mont(mn, xm, x);
  sc::bn::mont_mul(mn, x, xm, x);
  plat_wipe(xm, sizeof xm);
}

vorn_rv blinding_pair(const public_parts& pub, const sc::bn::mont& mn, limb* re, limb* rinv) {
  const int n = pub.limbs;
  const std::size_t sz = static_cast<std::size_t>(n) * sizeof(limb);
  blinding_cache& cache = t_blinding;
  for (blinding_entry& e : cache.entry) {
    if (e.valid && e.uses < kBlindingUses && std::memcmp(e.n, pub.n, sizeof e.n) == 0 &&
        std::memcmp(e.e, pub.e, sizeof e.e) == 0) {
      square_mod(mn, e.re);
      square_mod(mn, e.rinv);
      ++e.uses;
      std::memcpy(re, e.re, sz);
      std::memcpy(rinv, e.rinv, sz);
      return VORN_OK;
    }
  }
  // A fresh r in [1, n-1] with an inverse.
  limb r[kMaxLimbs];
  std::uint8_t rb[SC_RSA_MAX_LEN + 8];
  for (int attempt = 0;; ++attempt) {
    if (attempt > 64) return RSAERR_DATA;
    if (plat_random(rb, pub.len + 8) != VORN_OK) return RSAERR_NEED_RANDOM;
    limb wide[kMaxLimbs + 2];
    sc::bn::from_bytes(wide, kMaxLimbs + 2, rb, pub.len + 8);
    sc::bn::mod(r, wide, kMaxLimbs + 2, pub.n, n);
    plat_wipe(wide, sizeof wide);
    if (sc::bn::is_zero(r, n)) continue;
    if (sc::bn::inverse(rinv, r, pub.n, n)) break;
  }
  plat_wipe(rb, sizeof rb);
  sc::bn::mod_exp_public(mn, re, r, pub.e, kMaxLimbs);
  plat_wipe(r, sizeof r);
  blinding_entry& e = cache.entry[cache.next++ % 2];
  std::memset(&e, 0, sizeof e);
  std::memcpy(e.n, pub.n, sizeof e.n);
  std::memcpy(e.e, pub.e, sizeof e.e);
  std::memcpy(e.re, re, sz);
  std::memcpy(e.rinv, rinv, sz);
  e.valid = true;
  return VORN_OK;
}

// m = c^d mod n through the Chinese remainder theorem, blinded by a random r:
// c' = c r^e, m' = c'^d = m r, m = m' r^-1.
vorn_rv private_block(const private_parts& pp, const std::uint8_t* in, std::uint32_t inlen, std::uint8_t* out) {
  const public_parts& pub = pp.pub;
  const int n = pub.limbs;
  if (inlen > pub.len) return RSAERR_LEN;
  limb c[kMaxLimbs];
  sc::bn::from_bytes(c, kMaxLimbs, in, inlen);
  if (sc::bn::cmp(c, pub.n, kMaxLimbs) >= 0) return RSAERR_DATA;

  mont_wiped mn, mp, mq;
  if (!modulus_ctx(pub, &mn) || !sc::bn::mont_init(&mp, pp.p, pp.plimbs) ||
      !sc::bn::mont_init(&mq, pp.q, pp.qlimbs))
    return RSAERR_MODULUS_LEN;

  limb re[kMaxLimbs], rinv[kMaxLimbs];
  vorn_rv brv = blinding_pair(pub, mn, re, rinv);
  if (brv != VORN_OK) return brv;
  // c' = c * r^e mod n (one Montgomery product and one conversion).
  limb cm[kMaxLimbs], cb[kMaxLimbs];
  sc::bn::to_mont(mn, cm, c);
  sc::bn::mont_mul(mn, cb, cm, re);

  limb cp[kMaxLimbs], cq[kMaxLimbs], m1[kMaxLimbs] = {}, m2[kMaxLimbs] = {};
  sc::bn::mod(cp, cb, n, pp.p, pp.plimbs);
  sc::bn::mod(cq, cb, n, pp.q, pp.qlimbs);
  sc::bn::mod_exp(mp, m1, cp, pp.dp, pp.plimbs);
  sc::bn::mod_exp(mq, m2, cq, pp.dq, pp.qlimbs);
  // h = qInv (m1 - m2) mod p
  limb m2p[kMaxLimbs] = {}, diff[kMaxLimbs] = {}, h[kMaxLimbs] = {};
  sc::bn::mod(m2p, m2, pp.qlimbs, pp.p, pp.plimbs);
  if (sc::bn::sub(diff, m1, m2p, pp.plimbs)) sc::bn::add(diff, diff, pp.p, pp.plimbs);
  limb qinv[kMaxLimbs] = {}, t1[kMaxLimbs], t2[kMaxLimbs];
  sc::bn::mod(qinv, pp.qinv, kMaxLimbs, pp.p, pp.plimbs);
  sc::bn::to_mont(mp, t1, diff);
  sc::bn::mont_mul(mp, t2, t1, qinv);  // diff * qinv (normal domain)
  std::memcpy(h, t2, static_cast<std::size_t>(pp.plimbs) * sizeof(limb));
  // m' = m2 + h q
  limb hq[2 * kMaxLimbs + 1] = {}, mb[kMaxLimbs + 1] = {};
  sc::bn::mul(hq, h, pp.plimbs, pp.q, pp.qlimbs);
  std::memcpy(mb, m2, static_cast<std::size_t>(pp.qlimbs) * sizeof(limb));
  sc::bn::add(hq, hq, mb, pp.plimbs + pp.qlimbs > kMaxLimbs ? kMaxLimbs + 1 : pp.plimbs + pp.qlimbs);
  limb mprime[kMaxLimbs];
  sc::bn::mod(mprime, hq, pp.plimbs + pp.qlimbs, pub.n, n);
  // m = m' r^-1 mod n
  limb mm[kMaxLimbs], res[kMaxLimbs];
  sc::bn::to_mont(mn, mm, mprime);
  sc::bn::mont_mul(mn, res, mm, rinv);
  sc::bn::to_bytes(out, pub.len, res, n);

  for (limb* p : {c, rinv, re, cm, cb, cp, cq, m1, m2, m2p, diff, h, qinv, t1, t2, mprime, mm, res})
    plat_wipe(p, kMaxLimbs * sizeof(limb));
  plat_wipe(hq, sizeof hq);
  plat_wipe(mb, sizeof mb);
  return VORN_OK;
}

bool rnd_seeded(const sc_random* rnd) { return rnd != nullptr && rnd->bytes_needed == 0; }

// Type 1 unpadding: 00 01 FF..FF 00 data, at least 8 FF bytes.
vorn_rv unpad_type1(const std::uint8_t* block, std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen) {
  if (block[0] != 0 || block[1] != 1) return RSAERR_DATA;
  std::uint32_t i = 2;
  while (i < len && block[i] == 0xFF) ++i;
  if (i >= len || block[i] != 0) return RSAERR_DATA;
  ++i;
  if (i < 11) return RSAERR_DATA;
  *outlen = len - i;
  std::memcpy(out, block + i, len - i);
  return VORN_OK;
}

// Type 2 unpadding, scanning the whole block whatever its contents.
vorn_rv unpad_type2(const std::uint8_t* block, std::uint32_t len, std::uint8_t* out, std::uint32_t* outlen) {
  std::uint32_t bad = static_cast<std::uint32_t>(block[0]) | static_cast<std::uint32_t>(block[1] ^ 2);
  std::uint32_t zero_at = 0, found = 0;
  for (std::uint32_t i = 2; i < len; ++i) {
    const std::uint32_t is_zero = ((static_cast<std::uint32_t>(block[i]) - 1) >> 8) & 1;  // 1 when block[i] == 0
    const std::uint32_t take = is_zero & (found ^ 1);
    zero_at |= (0 - take) & i;
    found |= is_zero;
  }
  bad |= found ^ 1;
  bad |= static_cast<std::uint32_t>(zero_at + 1 < 11);
  if (bad != 0) return RSAERR_DATA;
  const std::uint32_t start = zero_at + 1;
  *outlen = len - start;
  std::memcpy(out, block + start, len - start);
  return VORN_OK;
}

}  // namespace

vorn_rv sc_rsa_public_block(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                            const sc_rsa_public_key* key) {
  if (out == nullptr || outlen == nullptr || key == nullptr || (in == nullptr && inlen != 0)) return CARDERR_BAD_ARG;
  public_parts pp;
  vorn_rv rv = load_public(key->modulus, key->exponent, key->bits, &pp);
  if (rv != VORN_OK) return rv;
  std::uint8_t tmp[SC_RSA_MAX_LEN];
  rv = public_block(pp, in, inlen, tmp);
  if (rv != VORN_OK) return rv;
  std::memcpy(out, tmp, pp.len);
  *outlen = pp.len;
  return VORN_OK;
}

vorn_rv sc_rsa_private_block(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                             const sc_rsa_private_key* key) {
  if (out == nullptr || outlen == nullptr || key == nullptr || (in == nullptr && inlen != 0)) return CARDERR_BAD_ARG;
  private_parts pp;
  vorn_rv rv = load_private(key, &pp);
  if (rv != VORN_OK) return rv;
  std::uint8_t tmp[SC_RSA_MAX_LEN];
  rv = private_block(pp, in, inlen, tmp);
  if (rv == VORN_OK) {
    std::memcpy(out, tmp, pp.pub.len);
    *outlen = pp.pub.len;
  }
  plat_wipe(tmp, sizeof tmp);
  return rv;
}

vorn_rv sc_rsa_public_encrypt(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                              const sc_rsa_public_key* key, sc_random* rnd) {
  if (out == nullptr || outlen == nullptr || key == nullptr || (in == nullptr && inlen != 0)) return CARDERR_BAD_ARG;
  public_parts pp;
  vorn_rv rv = load_public(key->modulus, key->exponent, key->bits, &pp);
  if (rv != VORN_OK) return rv;
  if (inlen + 11 > pp.len) return RSAERR_LEN;
  if (!rnd_seeded(rnd)) return RSAERR_NEED_RANDOM;
  std::uint8_t block[SC_RSA_MAX_LEN];
  block[0] = 0;
  block[1] = 2;
  const std::uint32_t padlen = pp.len - inlen - 3;
  // Nonzero padding bytes from the system generator.
  if (plat_random(block + 2, padlen) != VORN_OK) return RSAERR_NEED_RANDOM;
  for (std::uint32_t i = 2; i < 2 + padlen; ++i) {
    while (block[i] == 0)
      if (plat_random(block + i, 1) != VORN_OK) return RSAERR_NEED_RANDOM;
  }
  block[2 + padlen] = 0;
  if (inlen != 0) std::memcpy(block + 3 + padlen, in, inlen);
  std::uint8_t tmp[SC_RSA_MAX_LEN];
  rv = public_block(pp, block, pp.len, tmp);
  plat_wipe(block, sizeof block);
  if (rv != VORN_OK) return rv;
  std::memcpy(out, tmp, pp.len);
  *outlen = pp.len;
  return VORN_OK;
}

vorn_rv sc_rsa_public_decrypt(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                              const sc_rsa_public_key* key) {
  if (out == nullptr || outlen == nullptr || key == nullptr || (in == nullptr && inlen != 0)) return CARDERR_BAD_ARG;
  public_parts pp;
  vorn_rv rv = load_public(key->modulus, key->exponent, key->bits, &pp);
  if (rv != VORN_OK) return rv;
  if (inlen > pp.len) return RSAERR_LEN;
  std::uint8_t block[SC_RSA_MAX_LEN];
  rv = public_block(pp, in, inlen, block);
  if (rv != VORN_OK) return rv;
  return unpad_type1(block, pp.len, out, outlen);
}

vorn_rv sc_rsa_private_encrypt(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                               const sc_rsa_private_key* key) {
  if (out == nullptr || outlen == nullptr || key == nullptr || (in == nullptr && inlen != 0)) return CARDERR_BAD_ARG;
  private_parts pp;
  vorn_rv rv = load_private(key, &pp);
  if (rv != VORN_OK) return rv;
  const std::uint32_t len = pp.pub.len;
  if (inlen + 11 > len) return RSAERR_LEN;
  std::uint8_t block[SC_RSA_MAX_LEN];
  block[0] = 0;
  block[1] = 1;
  std::memset(block + 2, 0xFF, len - inlen - 3);
  block[len - inlen - 1] = 0;
  if (inlen != 0) std::memcpy(block + len - inlen, in, inlen);
  std::uint8_t tmp[SC_RSA_MAX_LEN];
  rv = private_block(pp, block, len, tmp);
  plat_wipe(block, sizeof block);
  if (rv == VORN_OK) {
    std::memcpy(out, tmp, len);
    *outlen = len;
  }
  return rv;
}

vorn_rv sc_rsa_private_decrypt(std::uint8_t* out, std::uint32_t* outlen, const std::uint8_t* in, std::uint32_t inlen,
                               const sc_rsa_private_key* key) {
  if (out == nullptr || outlen == nullptr || key == nullptr || (in == nullptr && inlen != 0)) return CARDERR_BAD_ARG;
  private_parts pp;
  vorn_rv rv = load_private(key, &pp);
  if (rv != VORN_OK) return rv;
  if (inlen > pp.pub.len) return RSAERR_LEN;
  std::uint8_t block[SC_RSA_MAX_LEN];
  rv = private_block(pp, in, inlen, block);
  if (rv == VORN_OK) rv = unpad_type2(block, pp.pub.len, out, outlen);
  plat_wipe(block, sizeof block);
  return rv;
}

vorn_rv sc_rsa_check_signature(const std::uint8_t* sig, std::uint32_t siglen, const std::uint8_t* expected,
                               std::uint32_t explen, const sc_rsa_public_key* key) {
  if (sig == nullptr || key == nullptr || (expected == nullptr && explen != 0)) return CARDERR_BAD_ARG;
  std::uint8_t data[SC_RSA_MAX_LEN];
  std::uint32_t len = 0;
  vorn_rv rv = sc_rsa_public_decrypt(data, &len, sig, siglen, key);
  if (rv != VORN_OK) return rv;
  // The recovered data must be exactly the expected bytes: a shorter
  // recovery compared "over its length" would accept a forged signature.
  if (len != explen || !plat_ct_equal(data, expected, len)) return CARDERR_SW_SIGNATURE;
  return VORN_OK;
}
