// RSA key-pair generation: primes of the requested sizes found by an upward
// search from a random start, screened by trial division over the odd primes
// below 8192, the base-2 Fermat test and Miller-Rabin rounds.
#include <array>
#include <cstring>

#include "bignum.h"
#include "internal.h"
#include "vorn/secure.h"

namespace {

using sc::bn::limb;
using sc::bn::kMaxLimbs;

constexpr int kSmallPrimes = 1027;  // odd primes 3 .. 8191

constexpr std::array<std::uint16_t, kSmallPrimes> make_small_primes() {
  std::array<std::uint16_t, kSmallPrimes> p{};
  int count = 0;
  for (int v = 3; v < 8192 && count < kSmallPrimes; v += 2) {
    bool prime = true;
    for (int d = 3; d * d <= v; d += 2)
      if (v % d == 0) {
        prime = false;
        break;
      }
    if (prime) p[static_cast<std::size_t>(count++)] = static_cast<std::uint16_t>(v);
  }
  return p;
}
constexpr auto kPrimes = make_small_primes();
static_assert(kPrimes[kSmallPrimes - 1] == 8191);

// Miller-Rabin rounds by prime size (at least the FIPS 186-4 counts for an
// error probability of 2^-100 or better).
int mr_rounds(int bits) {
  if (bits >= 1024) return 5;
  if (bits >= 512) return 8;
  return 40;
}

struct scratch {
  limb words[16][kMaxLimbs];
  scratch() = default;
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;
  ~scratch() { plat_wipe(this, sizeof *this); }
};

// Random a in [2, p-2].
bool random_base(limb* a, const limb* p, int n) {
  std::uint8_t b[8 * kMaxLimbs + 8];
  const std::size_t len = 8 * static_cast<std::size_t>(n) + 8;
  if (plat_random(b, len) != VORN_OK) return false;
  limb wide[kMaxLimbs + 1], pm3[kMaxLimbs];
  sc::bn::from_bytes(wide, n + 1, b, len);
  std::memcpy(pm3, p, 8 * static_cast<std::size_t>(n));
  sc::bn::sub_small(pm3, n, 3);
  sc::bn::mod(a, wide, n + 1, pm3, sc::bn::significant(pm3, n));
  for (int i = sc::bn::significant(pm3, n); i < n; ++i) a[i] = 0;
  sc::bn::add_small(a, n, 2);
  plat_wipe(b, sizeof b);
  plat_wipe(wide, sizeof wide);
  return true;
}

// Fermat base 2 and Miller-Rabin on an odd p that passed trial division.
// Returns 1 probable prime, 0 composite, -1 generator failure.
struct mont_wiped : sc::bn::mont {
  mont_wiped() = default;
  mont_wiped(const mont_wiped&) = delete;
  mont_wiped& operator=(const mont_wiped&) = delete;
  ~mont_wiped() { plat_wipe(static_cast<sc::bn::mont*>(this), sizeof(sc::bn::mont)); }
};

int probable_prime(const limb* p, int n, int bits) {
  mont_wiped ctx;
  if (!sc::bn::mont_init(&ctx, p, n)) return 0;
  scratch s;
  limb* two = s.words[0];
  limb* r = s.words[1];
  std::memset(two, 0, sizeof s.words[0]);
  two[0] = 2;
  sc::bn::mod_exp(ctx, r, two, p, n);
  if (sc::bn::cmp(r, two, n) != 0) return 0;
  // p - 1 = 2^k d
  limb* pm1 = s.words[2];
  limb* d = s.words[3];
  std::memcpy(pm1, p, 8 * static_cast<std::size_t>(n));
  pm1[0] ^= 1;
  std::memcpy(d, pm1, 8 * static_cast<std::size_t>(n));
  int k = 0;
  while ((d[0] & 1) == 0) {
    for (int i = 0; i < n - 1; ++i) d[i] = (d[i] >> 1) | (d[i + 1] << 63);
    d[n - 1] >>= 1;
    ++k;
  }
  limb* one = s.words[4];
  std::memset(one, 0, sizeof s.words[4]);
  one[0] = 1;
  limb* a = s.words[5];
  limb* x = s.words[6];
  limb* xm = s.words[7];
  limb* pm1m = s.words[8];
  sc::bn::to_mont(ctx, pm1m, pm1);
  for (int round = 0; round < mr_rounds(bits); ++round) {
    if (!random_base(a, p, n)) return -1;
    sc::bn::mod_exp(ctx, x, a, d, n);
    if (sc::bn::cmp(x, one, n) == 0 || sc::bn::cmp(x, pm1, n) == 0) continue;
    sc::bn::to_mont(ctx, xm, x);
    bool passed = false;
    for (int i = 1; i < k; ++i) {
      sc::bn::mont_mul(ctx, xm, xm, xm);
      if (sc::bn::cmp(xm, pm1m, n) == 0) {
        passed = true;
        break;
      }
      if (sc::bn::cmp(xm, ctx.one, n) == 0) break;
    }
    if (!passed) return 0;
  }
  return 1;
}

// A prime of exactly `bits` bits with gcd(p - 1, e) = 1.
vorn_rv find_prime(limb* p, int bits, std::uint32_t e) {
  const int n = (bits + 63) / 64;
  const int nbytes = (bits + 7) / 8;
  std::uint16_t residues[kSmallPrimes];
  for (;;) {
    std::uint8_t b[8 * kMaxLimbs];
    if (plat_random(b, static_cast<std::size_t>(nbytes)) != VORN_OK) return RSAERR_NEED_RANDOM;
    sc::bn::from_bytes(p, n, b, static_cast<std::size_t>(nbytes));
    plat_wipe(b, sizeof b);
    // Into [3 * 2^(bits-2), 2^bits - 1]: keep `bits` bits, set the top two, make it odd.
    const int top = (bits - 1) % 64;
    if (top < 63) p[n - 1] &= (limb{1} << (top + 1)) - 1;
    p[(bits - 1) / 64] |= limb{1} << ((bits - 1) % 64);
    p[(bits - 2) / 64] |= limb{1} << ((bits - 2) % 64);
    p[0] |= 1;
    for (int i = 0; i < kSmallPrimes; ++i) residues[i] = static_cast<std::uint16_t>(sc::bn::mod_small(p, n, kPrimes[static_cast<std::size_t>(i)]));
    for (;;) {
      bool divisible = false;
      for (int i = 0; i < kSmallPrimes; ++i) {
        if (residues[i] == 0) {
          // Only the small prime itself may be divisible by it.
          if (!(n == 1 && p[0] == kPrimes[static_cast<std::size_t>(i)])) {
            divisible = true;
            break;
          }
        }
      }
      bool gcd_ok = e == 3 ? sc::bn::mod_small(p, n, 3) != 1 : sc::bn::mod_small(p, n, e) != 1;
      if (!divisible && gcd_ok) {
        int r = probable_prime(p, n, bits);
        if (r != 0) plat_wipe(residues, sizeof residues);  // they describe the prime
        if (r < 0) return RSAERR_NEED_RANDOM;
        if (r == 1) return VORN_OK;
      } else if (!divisible && !gcd_ok) {
        break;  // gcd(p - 1, e) != 1 for a prime: draw a new start
      }
      // Step upward by 2; past the range's end the search fails.
      sc::bn::add_small(p, n, 2);
      if (sc::bn::bit_length(p, n) > bits) {
        plat_wipe(residues, sizeof residues);
        return RSAERR_DATA;
      }
      for (int i = 0; i < kSmallPrimes; ++i) {
        std::uint32_t v = residues[i] + 2u;
        const std::uint32_t q = kPrimes[static_cast<std::size_t>(i)];
        residues[i] = static_cast<std::uint16_t>(v >= q ? v - q : v);
      }
    }
  }
}

void put(std::uint8_t* field, std::size_t field_len, const limb* x, int n) { sc::bn::to_bytes(field, field_len, x, n); }

}  // namespace

vorn_rv sc_rsa_generate_keypair(std::uint32_t bits, bool use_f4, sc_rsa_public_key* pub, sc_rsa_private_key* priv) {
  if (bits < 508 || bits > SC_RSA_MAX_BITS) return RSAERR_MODULUS_LEN;
  if (pub == nullptr || priv == nullptr) return CARDERR_BAD_ARG;
  const std::uint32_t e = use_f4 ? 65537 : 3;
  const int pbits = static_cast<int>((bits + 1) / 2), qbits = static_cast<int>(bits) - pbits;
  scratch s;
  limb* p = s.words[0];
  limb* q = s.words[1];
  std::memset(p, 0, sizeof s.words[0]);
  std::memset(q, 0, sizeof s.words[1]);
  vorn_rv rv = find_prime(p, pbits, e);
  if (rv == VORN_OK) rv = find_prime(q, qbits, e);
  if (rv != VORN_OK) return rv;
  int pl = (pbits + 63) / 64, ql = (qbits + 63) / 64;
  if (pl < ql || (pl == ql && sc::bn::cmp(p, q, pl) < 0)) {
    for (int i = 0; i < kMaxLimbs; ++i) std::swap(p[i], q[i]);
    std::swap(pl, ql);
  }
  if (pl == ql && sc::bn::cmp(p, q, pl) == 0) return RSAERR_DATA;  // astronomically unlikely
  // n = p q; phi = (p-1)(q-1)
  limb* nn = s.words[2];
  limb* pm1 = s.words[3];
  limb* qm1 = s.words[4];
  limb* phi = s.words[5];
  limb* wide = s.words[6];  // uses the next word as its upper half
  std::memset(nn, 0, sizeof s.words[2]);
  std::memset(phi, 0, sizeof s.words[5]);
  limb prod[2 * kMaxLimbs];
  sc::bn::mul(prod, p, pl, q, ql);
  std::memcpy(nn, prod, 8 * static_cast<std::size_t>(pl + ql));
  std::memcpy(pm1, p, sizeof s.words[3]);
  std::memcpy(qm1, q, sizeof s.words[4]);
  pm1[0] ^= 1;
  qm1[0] ^= 1;
  sc::bn::mul(prod, pm1, pl, qm1, ql);
  std::memcpy(phi, prod, 8 * static_cast<std::size_t>(pl + ql));
  const int nl = pl + ql;
  // d = e^-1 mod phi: d = (1 + k phi) / e with k phi = -1 mod e.
  const std::uint32_t phimod = sc::bn::mod_small(phi, nl, e);
  std::uint32_t kmul = 0;
  for (std::uint32_t k = 1; k < e; ++k) {
    if ((static_cast<std::uint64_t>(k) * phimod + 1) % e == 0) {
      kmul = k;
      break;
    }
  }
  if (kmul == 0) return RSAERR_DATA;
  limb* d = s.words[8];
  std::memset(d, 0, sizeof s.words[8]);
  limb kl[1] = {kmul};
  sc::bn::mul(prod, phi, nl, kl, 1);
  sc::bn::add_small(prod, nl + 1, 1);
  // divide prod (nl + 1 limbs) by e
  {
    sc::bn::dlimb rem = 0;
    for (int i = nl; i >= 0; --i) {
      sc::bn::dlimb cur = (rem << 64) | prod[i];
      prod[i] = static_cast<limb>(cur / e);
      rem = cur % e;
    }
    std::memcpy(d, prod, 8 * static_cast<std::size_t>(nl));
  }
  // dP, dQ, qInv = q^(p-2) mod p
  limb* dp = s.words[9];
  limb* dq = s.words[10];
  limb* qinv = s.words[11];
  std::memset(dp, 0, sizeof s.words[9]);
  std::memset(dq, 0, sizeof s.words[10]);
  std::memset(qinv, 0, sizeof s.words[11]);
  sc::bn::mod(dp, d, nl, pm1, pl);
  sc::bn::mod(dq, d, nl, qm1, ql);
  sc::bn::mont mp;
  sc::bn::mont_init(&mp, p, pl);
  limb* pm2 = s.words[12];
  limb* qr = s.words[13];
  std::memset(qr, 0, sizeof s.words[13]);
  std::memcpy(pm2, p, sizeof s.words[12]);
  sc::bn::sub_small(pm2, pl, 2);
  sc::bn::mod(qr, q, ql, p, pl);
  sc::bn::mod_exp(mp, qinv, qr, pm2, pl);
  (void)wide;

  std::memset(pub, 0, sizeof *pub);
  std::memset(priv, 0, sizeof *priv);
  pub->bits = static_cast<std::uint16_t>(bits);
  priv->bits = static_cast<std::uint16_t>(bits);
  limb el[1] = {e};
  put(pub->modulus, SC_RSA_MAX_LEN, nn, nl);
  put(pub->exponent, SC_RSA_MAX_LEN, el, 1);
  put(priv->modulus, SC_RSA_MAX_LEN, nn, nl);
  put(priv->public_exponent, SC_RSA_MAX_LEN, el, 1);
  put(priv->exponent, SC_RSA_MAX_LEN, d, nl);
  put(priv->prime[0], SC_RSA_MAX_PRIME_LEN, p, pl);
  put(priv->prime[1], SC_RSA_MAX_PRIME_LEN, q, ql);
  put(priv->prime_exponent[0], SC_RSA_MAX_PRIME_LEN, dp, pl);
  put(priv->prime_exponent[1], SC_RSA_MAX_PRIME_LEN, dq, ql);
  put(priv->coefficient, SC_RSA_MAX_PRIME_LEN, qinv, pl);
  plat_wipe(prod, sizeof prod);
  plat_wipe(&mp, sizeof mp);
  return VORN_OK;
}
