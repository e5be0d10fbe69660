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
};

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
bool use_cpu_extensions() { return g_extensions.load(std::memory_order_relaxed); }
bool use_aes_ni() { return g_extensions.load(std::memory_order_relaxed) && sc_cpu_has_aes(); }
}  // namespace sc
