// libFuzzer target: the PKCS#8 decoder of C_UnwrapKey on arbitrary bytes.
// A decoded key must have the field sizes the module relies on, and
// encoding it again must decode to the same numbers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "pkcs8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  p11::Pkcs8Key key;
  if (!p11::pkcs8_decode(data, size, &key)) return 0;
  const std::size_t k = key.parts[p11::kP8Modulus].size();
  if ((k != 128 && k != 256) || key.parts[p11::kP8PublicExp].size() != 3 ||
      key.parts[p11::kP8PrivateExp].size() != k)
    std::abort();
  for (std::size_t i = p11::kP8Prime1; i < p11::kP8Parts; ++i)
    if (key.parts[i].size() != k / 2) std::abort();
  // Zero values cannot be encoded; the others must come back unchanged.
  std::array<std::span<const std::uint8_t>, p11::kP8Parts> parts;
  for (std::size_t i = 0; i < p11::kP8Parts; ++i) parts[i] = key.parts[i];
  vorn::SecureBytes again;
  if (!p11::pkcs8_encode(parts, &again)) return 0;
  p11::Pkcs8Key back;
  if (!p11::pkcs8_decode(again.data(), again.size(), &back)) std::abort();
  for (std::size_t i = 0; i < p11::kP8Parts; ++i)
    if (back.parts[i] != key.parts[i]) std::abort();
  return 0;
}
