#include "vorn/secure.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#include <bcrypt.h>
#else
#include <sys/random.h>
#endif

vorn_rv plat_random(std::uint8_t* buf, std::size_t len) {
  if (len == 0) return VORN_OK;
  if (buf == nullptr) return CARDERR_BAD_ARG;
#if defined(_WIN32)
  while (len > 0) {
    ULONG piece = len > 0x10000000u ? 0x10000000u : static_cast<ULONG>(len);
    if (BCryptGenRandom(nullptr, buf, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return CARDERR_UNKNOWN;
    buf += piece;
    len -= piece;
  }
#else
  while (len > 0) {
    ssize_t got = getrandom(buf, len, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return CARDERR_UNKNOWN;
    }
    buf += got;
    len -= static_cast<std::size_t>(got);
  }
#endif
  return VORN_OK;
}

void plat_wipe(void* p, std::size_t len) {
  if (p == nullptr || len == 0) return;
#if defined(__GNUC__)
  // memset, then a barrier that makes the zeros observable, so the compiler
  // cannot drop the stores; word-wide, which big-number scratch needs.
  std::memset(p, 0, len);
  __asm__ __volatile__("" : : "r"(p) : "memory");
#else
  volatile std::uint8_t* v = static_cast<volatile std::uint8_t*>(p);
  for (std::size_t i = 0; i < len; ++i) v[i] = 0;
#endif
}

bool plat_ct_equal(const void* a, const void* b, std::size_t n) {
  const volatile std::uint8_t* x = static_cast<const volatile std::uint8_t*>(a);
  const volatile std::uint8_t* y = static_cast<const volatile std::uint8_t*>(b);
  std::uint8_t diff = 0;
  for (std::size_t i = 0; i < n; ++i) diff |= static_cast<std::uint8_t>(x[i] ^ y[i]);
  return diff == 0;
}
