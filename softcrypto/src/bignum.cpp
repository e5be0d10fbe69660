// Big-number arithmetic: Knuth division, binary inverse and Montgomery
// multiplication (CIOS) with fixed-window exponentiation.
#include "bignum.h"

#include <cstring>

#include "internal.h"
#include "vorn/secure.h"

#if SC_HAVE_X86 && defined(__x86_64__) && defined(__GNUC__)
#define SC_HAVE_MONT_ADX 1
#include "mont_adx.inc"
#endif

namespace sc::bn {

void from_bytes(limb* x, int n, const std::uint8_t* b, std::size_t len) {
  std::memset(x, 0, static_cast<std::size_t>(n) * sizeof(limb));
  for (std::size_t i = 0; i < len; ++i) {
    const std::size_t bit = 8 * (len - 1 - i);
    const std::size_t idx = bit / 64;
    if (idx < static_cast<std::size_t>(n)) x[idx] |= limb{b[i]} << (bit % 64);
  }
}

void to_bytes(std::uint8_t* b, std::size_t len, const limb* x, int n) {
  for (std::size_t i = 0; i < len; ++i) {
    const std::size_t bit = 8 * (len - 1 - i);
    const std::size_t idx = bit / 64;
    b[i] = idx < static_cast<std::size_t>(n) ? static_cast<std::uint8_t>(x[idx] >> (bit % 64)) : 0;
  }
}

int cmp(const limb* a, const limb* b, int n) {
  for (int i = n - 1; i >= 0; --i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

bool is_zero(const limb* a, int n) {
  limb acc = 0;
  for (int i = 0; i < n; ++i) acc |= a[i];
  return acc == 0;
}

limb add(limb* r, const limb* a, const limb* b, int n) {
  limb c = 0;
  for (int i = 0; i < n; ++i) {
    dlimb s = dlimb{a[i]} + b[i] + c;
    r[i] = static_cast<limb>(s);
    c = static_cast<limb>(s >> 64);
  }
  return c;
}

limb sub(limb* r, const limb* a, const limb* b, int n) {
  limb borrow = 0;
  for (int i = 0; i < n; ++i) {
    dlimb d = dlimb{a[i]} - b[i] - borrow;
    r[i] = static_cast<limb>(d);
    borrow = static_cast<limb>(d >> 64) & 1;
  }
  return borrow;
}

limb add_small(limb* r, int n, limb v) {
  for (int i = 0; i < n && v != 0; ++i) {
    r[i] += v;
    v = r[i] < v ? 1 : 0;
  }
  return v;
}

limb sub_small(limb* r, int n, limb v) {
  for (int i = 0; i < n && v != 0; ++i) {
    limb old = r[i];
    r[i] = old - v;
    v = old < v ? 1 : 0;
  }
  return v;
}

void mul(limb* r, const limb* a, int na, const limb* b, int nb) {
  std::memset(r, 0, static_cast<std::size_t>(na + nb) * sizeof(limb));
  for (int i = 0; i < na; ++i) {
    limb c = 0;
    for (int j = 0; j < nb; ++j) {
      dlimb t = dlimb{a[i]} * b[j] + r[i + j] + c;
      r[i + j] = static_cast<limb>(t);
      c = static_cast<limb>(t >> 64);
    }
    r[i + nb] = c;
  }
}

int significant(const limb* a, int n) {
  while (n > 0 && a[n - 1] == 0) --n;
  return n;
}

int bit_length(const limb* a, int n) {
  n = significant(a, n);
  if (n == 0) return 0;
  return 64 * (n - 1) + (64 - __builtin_clzll(a[n - 1]));
}

// Knuth, TAOCP vol. 2, 4.3.1 algorithm D, remainder only.
void mod(limb* r, const limb* a, int na, const limb* m, int nm) {
  na = significant(a, na);
  if (na < nm || (na == nm && cmp(a, m, nm) < 0)) {
    std::memset(r, 0, static_cast<std::size_t>(nm) * sizeof(limb));
    std::memcpy(r, a, static_cast<std::size_t>(na) * sizeof(limb));
    return;
  }
  if (nm == 1) {
    dlimb rem = 0;
    for (int i = na - 1; i >= 0; --i) rem = ((rem << 64) | a[i]) % m[0];
    r[0] = static_cast<limb>(rem);
    return;
  }
  const int s = __builtin_clzll(m[nm - 1]);
  limb v[kMaxWide], u[kMaxWide + 1];
  for (int i = nm - 1; i > 0; --i) v[i] = s ? (m[i] << s) | (m[i - 1] >> (64 - s)) : m[i];
  v[0] = m[0] << s;
  u[na] = s ? a[na - 1] >> (64 - s) : 0;
  for (int i = na - 1; i > 0; --i) u[i] = s ? (a[i] << s) | (a[i - 1] >> (64 - s)) : a[i];
  u[0] = a[0] << s;
  const limb vh = v[nm - 1], vl = v[nm - 2];
  for (int j = na - nm; j >= 0; --j) {
    dlimb num = (dlimb{u[j + nm]} << 64) | u[j + nm - 1];
    dlimb qhat = num / vh;
    dlimb rhat = num % vh;
    while (qhat >> 64 || qhat * vl > ((rhat << 64) | u[j + nm - 2])) {
      --qhat;
      rhat += vh;
      if (rhat >> 64) break;
    }
    // Multiply and subtract.
    limb borrow = 0, carry = 0;
    for (int i = 0; i < nm; ++i) {
      dlimb p = qhat * v[i] + carry;
      carry = static_cast<limb>(p >> 64);
      dlimb t = dlimb{u[i + j]} - static_cast<limb>(p) - borrow;
      u[i + j] = static_cast<limb>(t);
      borrow = static_cast<limb>(t >> 64) & 1;
    }
    dlimb t = dlimb{u[j + nm]} - carry - borrow;
    u[j + nm] = static_cast<limb>(t);
    if ((t >> 64) & 1) {
      // Added back: qhat was one too large.
      limb c = 0;
      for (int i = 0; i < nm; ++i) {
        dlimb sum = dlimb{u[i + j]} + v[i] + c;
        u[i + j] = static_cast<limb>(sum);
        c = static_cast<limb>(sum >> 64);
      }
      u[j + nm] += c;
    }
  }
  for (int i = 0; i < nm; ++i) r[i] = s ? (u[i] >> s) | (u[i + 1] << (64 - s)) : u[i];
  plat_wipe(u, sizeof u);
  plat_wipe(v, sizeof v);
}

std::uint32_t mod_small(const limb* a, int n, std::uint32_t v) {
  dlimb rem = 0;
  for (int i = n - 1; i >= 0; --i) rem = ((rem << 64) | a[i]) % v;
  return static_cast<std::uint32_t>(rem);
}

namespace {

void shr1(limb* a, int n, limb top) {
  for (int i = 0; i < n - 1; ++i) a[i] = (a[i] >> 1) | (a[i + 1] << 63);
  a[n - 1] = (a[n - 1] >> 1) | (top << 63);
}

// x = x / 2 mod m (m odd).
void half_mod(limb* x, const limb* m, int n) {
  limb carry = 0;
  if (x[0] & 1) carry = add(x, x, m, n);
  shr1(x, n, carry);
}

// x = x - y mod m, inputs below m.
void sub_mod(limb* x, const limb* y, const limb* m, int n) {
  if (sub(x, x, y, n)) add(x, x, m, n);
}

}  // namespace

bool inverse(limb* r, const limb* a, const limb* m, int n) {
  limb u[kMaxLimbs], v[kMaxLimbs], x1[kMaxLimbs], x2[kMaxLimbs];
  std::memcpy(u, a, static_cast<std::size_t>(n) * sizeof(limb));
  std::memcpy(v, m, static_cast<std::size_t>(n) * sizeof(limb));
  std::memset(x1, 0, sizeof x1);
  std::memset(x2, 0, sizeof x2);
  x1[0] = 1;
  bool ok = false;
  if (!is_zero(u, n)) {
    for (;;) {
      while ((u[0] & 1) == 0) {
        shr1(u, n, 0);
        half_mod(x1, m, n);
      }
      while ((v[0] & 1) == 0) {
        shr1(v, n, 0);
        half_mod(x2, m, n);
      }
      int c = cmp(u, v, n);
      if (c == 0) break;
      if (c > 0) {
        sub(u, u, v, n);
        sub_mod(x1, x2, m, n);
      } else {
        sub(v, v, u, n);
        sub_mod(x2, x1, m, n);
      }
    }
    // u == v == gcd
    limb one[kMaxLimbs] = {1};
    ok = cmp(u, one, n) == 0;
    if (ok) std::memcpy(r, x1, static_cast<std::size_t>(n) * sizeof(limb));
  }
  plat_wipe(u, sizeof u);
  plat_wipe(v, sizeof v);
  plat_wipe(x1, sizeof x1);
  plat_wipe(x2, sizeof x2);
  return ok;
}

bool mont_init(mont* ctx, const limb* m, int n) {
  if (n < 1 || n > kMaxLimbs || (m[0] & 1) == 0 || m[n - 1] == 0) return false;
  ctx->n = n;
  std::memcpy(ctx->m, m, static_cast<std::size_t>(n) * sizeof(limb));
  // n0 = -m^-1 mod 2^64 by Newton iteration.
  limb inv = 1;
  for (int i = 0; i < 7; ++i) inv *= 2 - m[0] * inv;
  ctx->n0 = 0 - inv;
  limb wide[kMaxWide];
  std::memset(wide, 0, sizeof wide);
  if (m[n - 1] >> 63) {
    // m > R/2: R mod m = R - m, the two's complement of m.
    limb c = 1;
    for (int i = 0; i < n; ++i) {
      const limb v = ~m[i] + c;
      c = (c != 0 && v == 0) ? 1 : 0;
      ctx->one[i] = v;
    }
  } else {
    wide[n] = 1;  // R
    mod(ctx->one, wide, n + 1, m, n);
    wide[n] = 0;
  }
  wide[2 * n] = 1;  // R^2
  mod(ctx->rr, wide, 2 * n + 1, m, n);
  return true;
}

namespace {

template <int N>
inline void mont_mul_impl(const mont& ctx, limb* r, const limb* a, const limb* b, int rt_n) {
  const int n = N ? N : rt_n;
  const limb* m = ctx.m;
  const limb n0 = ctx.n0;
  limb t[kMaxLimbs + 2] = {};
  for (int i = 0; i < n; ++i) {
    const limb bi = b[i];
    limb c = 0;
    for (int j = 0; j < n; ++j) {
      dlimb p = dlimb{a[j]} * bi + t[j] + c;
      t[j] = static_cast<limb>(p);
      c = static_cast<limb>(p >> 64);
    }
    dlimb s = dlimb{t[n]} + c;
    t[n] = static_cast<limb>(s);
    t[n + 1] = static_cast<limb>(s >> 64);
    const limb q = t[0] * n0;
    dlimb p = dlimb{q} * m[0] + t[0];
    c = static_cast<limb>(p >> 64);
    for (int j = 1; j < n; ++j) {
      p = dlimb{q} * m[j] + t[j] + c;
      t[j - 1] = static_cast<limb>(p);
      c = static_cast<limb>(p >> 64);
    }
    s = dlimb{t[n]} + c;
    t[n - 1] = static_cast<limb>(s);
    t[n] = t[n + 1] + static_cast<limb>(s >> 64);
  }
  // Subtract m once when t >= m, without a branch on the value.
  limb d[kMaxLimbs] = {};
  limb borrow = sub(d, t, m, n);
  const limb keep_t = 0 - static_cast<limb>(borrow & (t[n] ^ 1));  // t < m
  for (int i = 0; i < n; ++i) r[i] = (t[i] & keep_t) | (d[i] & ~keep_t);
}

// Keeps t when t < m, else t - m, without a branch on the value.
template <int N>
inline void final_subtract(const limb* m, limb* r, const limb* t) {
  limb d[N];
  limb borrow = 0;
  for (int i = 0; i < N; ++i) {
    dlimb x = dlimb{t[i]} - m[i] - borrow;
    d[i] = static_cast<limb>(x);
    borrow = static_cast<limb>(x >> 64) & 1;
  }
  const limb keep_t = 0 - static_cast<limb>(borrow & (t[N] ^ 1));
  for (int i = 0; i < N; ++i) r[i] = (t[i] & keep_t) | (d[i] & ~keep_t);
}

#if SC_HAVE_MONT_ADX
// MULX/ADCX/ADOX rows (mont_adx.inc), for CPUs with BMI2 and ADX.
template <int N>
void mont_mul_adx(const mont& ctx, limb* r, const limb* a, const limb* b) {
  limb t[N + 2] = {};
  for (int i = 0; i < N; ++i) {
    if constexpr (N == 8) {
      __asm__ volatile(SC_MONT_ROW_8 : : [t] "r"(t), [a] "r"(a), [m] "r"(ctx.m), [bi] "r"(b[i]), [n0] "r"(ctx.n0)
                       : "rdx", "r8", "r9", "r10", "r11", "cc", "memory");
    } else if constexpr (N == 16) {
      __asm__ volatile(SC_MONT_ROW_16 : : [t] "r"(t), [a] "r"(a), [m] "r"(ctx.m), [bi] "r"(b[i]), [n0] "r"(ctx.n0)
                       : "rdx", "r8", "r9", "r10", "r11", "cc", "memory");
    } else {
      __asm__ volatile(SC_MONT_ROW_32 : : [t] "r"(t), [a] "r"(a), [m] "r"(ctx.m), [bi] "r"(b[i]), [n0] "r"(ctx.n0)
                       : "rdx", "r8", "r9", "r10", "r11", "cc", "memory");
    }
  }
  final_subtract<N>(ctx.m, r, t);
}

// Squaring: the off-diagonal products once, doubled, then the reduction.
template <int N>
void mont_sqr_adx(const mont& ctx, limb* r, const limb* a) {
  limb t[2 * N + 1] = {};
  if constexpr (N == 8) {
    __asm__ volatile(SC_MONT_SQR_8 : : [t] "r"(t), [a] "r"(a), [m] "r"(ctx.m), [n0] "r"(ctx.n0)
                     : "rdx", "r8", "r9", "r10", "r11", "r12", "cc", "memory");
  } else if constexpr (N == 16) {
    __asm__ volatile(SC_MONT_SQR_16 : : [t] "r"(t), [a] "r"(a), [m] "r"(ctx.m), [n0] "r"(ctx.n0)
                     : "rdx", "r8", "r9", "r10", "r11", "r12", "cc", "memory");
  } else {
    __asm__ volatile(SC_MONT_SQR_32 : : [t] "r"(t), [a] "r"(a), [m] "r"(ctx.m), [n0] "r"(ctx.n0)
                     : "rdx", "r8", "r9", "r10", "r11", "r12", "cc", "memory");
  }
  final_subtract<N>(ctx.m, r, t + N);
}

#endif

}  // namespace

bool cpu_has_mulx_adx() {
#if SC_HAVE_MONT_ADX
  return sc::cpu_has_adx();
#else
  return false;
#endif
}

void mont_mul(const mont& ctx, limb* r, const limb* a, const limb* b) {
#if SC_HAVE_MONT_ADX
  if (ctx.n == 16 || ctx.n == 32 || ctx.n == 8) {
    if (sc::use_cpu_extensions() && cpu_has_mulx_adx()) {
      if (a == b) {
        switch (ctx.n) {
          case 16: return mont_sqr_adx<16>(ctx, r, a);
          case 32: return mont_sqr_adx<32>(ctx, r, a);
          default: return mont_sqr_adx<8>(ctx, r, a);
        }
      }
      switch (ctx.n) {
        case 16: return mont_mul_adx<16>(ctx, r, a, b);
        case 32: return mont_mul_adx<32>(ctx, r, a, b);
        default: return mont_mul_adx<8>(ctx, r, a, b);
      }
    }
  }
#endif
  switch (ctx.n) {
    case 16: mont_mul_impl<16>(ctx, r, a, b, 16); break;
    case 32: mont_mul_impl<32>(ctx, r, a, b, 32); break;
    case 8: mont_mul_impl<8>(ctx, r, a, b, 8); break;
    default: mont_mul_impl<0>(ctx, r, a, b, ctx.n); break;
  }
}

void to_mont(const mont& ctx, limb* r, const limb* a) { mont_mul(ctx, r, a, ctx.rr); }

void from_mont(const mont& ctx, limb* r, const limb* a) {
  limb one[kMaxLimbs] = {1};
  mont_mul(ctx, r, a, one);
}

namespace {

// Reads every table entry and keeps entry w (rows of N limbs, back to back).
template <int N>
inline void table_select(limb* sel, const limb* table, int entries, limb w, int rt_n) {
  const int n = N ? N : rt_n;
  for (int i = 0; i < n; ++i) sel[i] = 0;
  for (int t = 0; t < entries; ++t) {
    const limb mask = 0 - static_cast<limb>(static_cast<limb>(t) == w);
    const limb* row = table + t * n;
    for (int i = 0; i < n; ++i) sel[i] |= row[i] & mask;
  }
}

}  // namespace

void mod_exp(const mont& ctx, limb* r, const limb* base, const limb* e, int elimbs) {
  constexpr int kWin = 5;
  constexpr int kTable = 1 << kWin;
  const int n = ctx.n;
  const std::size_t sz = static_cast<std::size_t>(n) * sizeof(limb);
  limb table[kTable * kMaxLimbs];
  std::memcpy(table, ctx.one, sz);
  to_mont(ctx, table + n, base);
  for (int i = 2; i < kTable; ++i) mont_mul(ctx, table + i * n, table + (i - 1) * n, table + n);
  limb acc[kMaxLimbs], sel[kMaxLimbs];
  std::memcpy(acc, ctx.one, sz);
  const int bits = 64 * elimbs;
  int pos = ((bits + kWin - 1) / kWin) * kWin;
  bool first = true;
  while (pos > 0) {
    pos -= kWin;
    limb w = 0;
    for (int b = kWin - 1; b >= 0; --b) {
      const int bit = pos + b;
      w = (w << 1) | (bit < bits ? (e[bit / 64] >> (bit % 64)) & 1 : 0);
    }
    if (!first)
      for (int s = 0; s < kWin; ++s) mont_mul(ctx, acc, acc, acc);
    switch (n) {
      case 16: table_select<16>(sel, table, kTable, w, n); break;
      case 32: table_select<32>(sel, table, kTable, w, n); break;
      default: table_select<0>(sel, table, kTable, w, n); break;
    }
    mont_mul(ctx, acc, acc, sel);
    first = false;
  }
  from_mont(ctx, r, acc);
  plat_wipe(table, kTable * sz);
  plat_wipe(acc, sz);
  plat_wipe(sel, sz);
}

void mod_exp_public(const mont& ctx, limb* r, const limb* base, const limb* e, int elimbs) {
  const std::size_t sz = static_cast<std::size_t>(ctx.n) * sizeof(limb);
  limb b[kMaxLimbs], acc[kMaxLimbs];
  to_mont(ctx, b, base);
  std::memcpy(acc, ctx.one, sz);
  const int bits = bit_length(e, elimbs);
  for (int i = bits - 1; i >= 0; --i) {
    mont_mul(ctx, acc, acc, acc);
    if ((e[i / 64] >> (i % 64)) & 1) mont_mul(ctx, acc, acc, b);
  }
  from_mont(ctx, r, acc);
}

}  // namespace sc::bn
