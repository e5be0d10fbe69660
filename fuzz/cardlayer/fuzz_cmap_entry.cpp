// The container-map entry decoder on entries from the card. An entry that
// decodes must hold its name and fields, and its name and flags must encode
// back to the same leading bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "containers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  CmapEntry d;
  if (cmap_entry_decode(std::span<const std::uint8_t>(data, size), &d) != VORN_OK) return 0;
  if (d.name_len > CMAP_NAME_MAX || static_cast<std::size_t>(d.name_len) + CMAP_FIXED_LEN > size) std::abort();
  const auto e = cmap_entry_new(reinterpret_cast<const char*>(d.name), d.name_len, (d.flags & 1) != 0);
  if (e.size() != d.name_len + CMAP_FIXED_LEN) std::abort();
  if (std::memcmp(e.data(), data, 2 + d.name_len) != 0) std::abort();
  return 0;
}
