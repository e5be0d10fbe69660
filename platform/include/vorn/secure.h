// Secrets: CSPRNG, wiping and constant-time comparison.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

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

// An allocator that wipes every block before handing it back, so a
// container of secret bytes leaves nothing behind when it grows, is moved
// over or dies. Upstream does the allocating (tests put a probe there).
template <class T, class Upstream = std::allocator<T>>
class WipingAllocator {
 public:
  using value_type = T;
  using propagate_on_container_move_assignment = std::true_type;
  using is_always_equal = typename std::allocator_traits<Upstream>::is_always_equal;
  template <class U>
  struct rebind {
    using other = WipingAllocator<U, typename std::allocator_traits<Upstream>::template rebind_alloc<U>>;
  };

  WipingAllocator() = default;
  template <class U, class V>
  WipingAllocator(const WipingAllocator<U, V>& o) noexcept : up_(o.upstream()) {}

  T* allocate(std::size_t n) { return std::allocator_traits<Upstream>::allocate(up_, n); }
  void deallocate(T* p, std::size_t n) noexcept {
    plat_wipe(p, n * sizeof(T));
    std::allocator_traits<Upstream>::deallocate(up_, p, n);
  }
  const Upstream& upstream() const noexcept { return up_; }

  template <class U, class V>
  bool operator==(const WipingAllocator<U, V>& o) const noexcept {
    return up_ == o.upstream();
  }

 private:
  [[no_unique_address]] Upstream up_{};
};

// Wipes a caller-owned fixed buffer or record (an APDU on the stack, a key
// record) when the scope ends, whichever way it is left.
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

// The byte buffer for secrets of any length: PINs, key values, decrypted
// data, anything read back from a key object.
using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

}  // namespace vorn
