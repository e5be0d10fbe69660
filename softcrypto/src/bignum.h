// Big numbers for the RSA toolkit: little-endian arrays of 64-bit limbs
// (a 2048-bit modulus is 32 limbs), Montgomery arithmetic and exponentiation.
#pragma once
#include <cstddef>
#include <cstdint>

namespace sc::bn {

using limb = std::uint64_t;
using dlimb = unsigned __int128;
inline constexpr int kMaxLimbs = 32;         // one operand of up to 2048 bits
inline constexpr int kMaxWide = 2 * kMaxLimbs + 2;

void from_bytes(limb* x, int n, const std::uint8_t* b, std::size_t len);
void to_bytes(std::uint8_t* b, std::size_t len, const limb* x, int n);
int cmp(const limb* a, const limb* b, int n);
bool is_zero(const limb* a, int n);
limb add(limb* r, const limb* a, const limb* b, int n);
limb sub(limb* r, const limb* a, const limb* b, int n);
limb add_small(limb* r, int n, limb v);
limb sub_small(limb* r, int n, limb v);
void mul(limb* r, const limb* a, int na, const limb* b, int nb);  // r: na + nb limbs, no aliasing
int significant(const limb* a, int n);                           // limbs without leading zeros
int bit_length(const limb* a, int n);
// r (nm limbs) = a (na limbs) mod m (nm limbs, top limb nonzero).
void mod(limb* r, const limb* a, int na, const limb* m, int nm);
// a mod v for a small divisor.
std::uint32_t mod_small(const limb* a, int n, std::uint32_t v);
// r = a^-1 mod m (m odd, a < m); false when no inverse exists.
bool inverse(limb* r, const limb* a, const limb* m, int n);

struct mont {
  limb m[kMaxLimbs];
  limb rr[kMaxLimbs];   // R^2 mod m
  limb one[kMaxLimbs];  // R mod m
  limb n0;              // -m^-1 mod 2^64
  int n;
};
// m must be odd and have a nonzero top limb; n from 1 to kMaxLimbs.
bool mont_init(mont* ctx, const limb* m, int n);
void mont_mul(const mont& ctx, limb* r, const limb* a, const limb* b);
void to_mont(const mont& ctx, limb* r, const limb* a);
void from_mont(const mont& ctx, limb* r, const limb* a);
// r = base^e mod m in the normal domain; base < m. Fixed windows with a
// table read that does not depend on the exponent's bits.
void mod_exp(const mont& ctx, limb* r, const limb* base, const limb* e, int elimbs);
// Same for a public exponent (plain square and multiply).
void mod_exp_public(const mont& ctx, limb* r, const limb* base, const limb* e, int elimbs);
// True when the CPU has MULX and ADCX/ADOX (used for Montgomery products).
bool cpu_has_mulx_adx();

}  // namespace sc::bn
