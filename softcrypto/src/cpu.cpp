// Run-time choice between the CPU's SHA/AES instructions and portable code.
#include <atomic>

#include "internal.h"

namespace {

std::atomic<bool> g_extensions{true};

bool detect_sha() {
#if SC_HAVE_X86 && defined(__GNUC__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
#else
  return false;
#endif
}

bool detect_aes() {
#if SC_HAVE_X86 && defined(__GNUC__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1");
#else
  return false;
#endif
}

}  // namespace

bool sc_cpu_has_sha() {
  static const bool has = detect_sha();
  return has;
}

bool sc_cpu_has_aes() {
  static const bool has = detect_aes();
  return has;
}

bool sc_set_cpu_extensions(bool enabled) { return g_extensions.exchange(enabled); }

namespace sc {
bool use_sha_ni() { return g_extensions.load(std::memory_order_relaxed) && sc_cpu_has_sha(); }
bool use_cpu_extensions() { return g_extensions.load(std::memory_order_relaxed); }
bool use_aes_ni() { return g_extensions.load(std::memory_order_relaxed) && sc_cpu_has_aes(); }
}  // namespace sc
