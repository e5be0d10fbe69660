// Run-time choice between the CPU's SHA/AES instructions and portable code.
#include <atomic>

#include "internal.h"

#if SC_HAVE_X86
#include <cpuid.h>
#endif

namespace {

std::atomic<bool> g_extensions{true};

#if SC_HAVE_X86
struct cpu_bits {
  bool sha = false, aes = false, adx = false;
  int sha512 = 0;  // tier: 1 AVX + BMI2, 2 also AVX-512F/VL
};

unsigned read_xcr0() {
  unsigned lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return lo;
}

cpu_bits read_cpuid() {
  cpu_bits bits;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return bits;
  const bool ssse3 = (c >> 9) & 1, sse41 = (c >> 19) & 1, aesni = (c >> 25) & 1;
  unsigned a7 = 0, b7 = 0, c7 = 0, d7 = 0;
  if (__get_cpuid_max(0, nullptr) >= 7) __cpuid_count(7, 0, a7, b7, c7, d7);
  bits.sha = ssse3 && sse41 && ((b7 >> 29) & 1);
  bits.aes = sse41 && aesni;
  bits.adx = ((b7 >> 8) & 1) && ((b7 >> 19) & 1);  // BMI2 (MULX) and ADX
  // AVX state enabled by the OS (OSXSAVE, XCR0 bits 1-2; 5-7 for AVX-512).
  const bool osxsave = (c >> 27) & 1, avx = (c >> 28) & 1, bmi2 = (b7 >> 8) & 1;
  const unsigned xcr0 = osxsave ? read_xcr0() : 0;
  if (avx && bmi2 && (xcr0 & 0x6) == 0x6) {
    bits.sha512 = 1;
    if (((b7 >> 16) & 1) && ((b7 >> 31) & 1) && (xcr0 & 0xE6) == 0xE6) bits.sha512 = 2;
  }
  return bits;
}

const cpu_bits& cpu() {
  static const cpu_bits bits = read_cpuid();
  return bits;
}
#endif

}  // namespace

bool sc_cpu_has_sha() {
#if SC_HAVE_X86
  return cpu().sha;
#else
  return false;
#endif
}

bool sc_cpu_has_aes() {
#if SC_HAVE_X86
  return cpu().aes;
#else
  return false;
#endif
}

bool sc_set_cpu_extensions(bool enabled) { return g_extensions.exchange(enabled); }

namespace sc {
bool use_sha_ni() { return g_extensions.load(std::memory_order_relaxed) && sc_cpu_has_sha(); }
bool cpu_has_adx() {
#if SC_HAVE_X86
  return cpu().adx;
#else
  return false;
#endif
}
std::atomic<int> g_sha512_cap{2};
int sha512_tier() {
  if (!g_extensions.load(std::memory_order_relaxed)) return 0;
#if SC_HAVE_X86
  const int cap = g_sha512_cap.load(std::memory_order_relaxed);
  return cpu().sha512 < cap ? cpu().sha512 : cap;
#else
  return 0;
#endif
}
int sha512_cap(int max_tier) { return g_sha512_cap.exchange(max_tier); }
bool use_cpu_extensions() { return g_extensions.load(std::memory_order_relaxed); }
bool use_aes_ni() { return g_extensions.load(std::memory_order_relaxed) && sc_cpu_has_aes(); }
}  // namespace sc
