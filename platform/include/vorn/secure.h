// Secrets: CSPRNG, wiping and constant-time comparison.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "vorn/result.h"

// Fills buf with bytes from the operating system's CSPRNG. Returns 0, or
// CARDERR_UNKNOWN when the system generator fails (never returns weak bytes).
vorn_rv plat_random(std::uint8_t* buf, std::size_t len);

// Overwrites len bytes at p with zeros in a way the compiler cannot drop.
void plat_wipe(void* p, std::size_t len);

// Compares n bytes in time independent of their contents; true when equal.
bool plat_ct_equal(const void* a, const void* b, std::size_t n);

namespace vorn {

// A fixed-size secret (session key, PIN block, key half) wiped when it dies.
template <std::size_t N>
class Secret {
 public:
  Secret() = default;
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  ~Secret() { plat_wipe(bytes_.data(), N); }

  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  static constexpr std::size_t size() { return N; }
  std::span<std::uint8_t, N> span() { return bytes_; }
  std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
  const std::uint8_t& operator[](std::size_t i) const { return bytes_[i]; }

 private:
  std::array<std::uint8_t, N> bytes_{};
};

// Wipes a caller-owned buffer when the scope ends.
class WipeOnExit {
 public:
  WipeOnExit(void* p, std::size_t n) : p_(p), n_(n) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { plat_wipe(p_, n_); }

 private:
  void* p_;
  std::size_t n_;
};

}  // namespace vorn
