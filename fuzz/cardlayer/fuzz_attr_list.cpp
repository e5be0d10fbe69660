// The attribute-list decoder on lists from the card. The first bytes choose
// a template (types and buffer sizes); the rest is the list. A list that
// decodes completely must encode back to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cardlayer.h"

namespace {
void check(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 70000) return 0;
  const std::size_t n = data[0] % 9;
  if (size < 1 + 3 * n) return 0;
  std::vector<CardAttr> t(n);
  std::vector<std::vector<std::uint8_t>> bufs(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* e = data + 1 + 3 * i;
    t[i].type = static_cast<unsigned long>((e[0] << 8) | e[1]);
    bufs[i].assign(e[2], 0);
    t[i].value = e[2] == 0xFF ? nullptr : bufs[i].data();
    t[i].len = e[2];
  }
  const std::uint8_t* list = data + 1 + 3 * n;
  const DWORD list_len = static_cast<DWORD>(size - 1 - 3 * n);
  vorn_rv rv = attr_list_decode(list, list_len, t.data(), static_cast<DWORD>(n));
  if (rv == VORN_OK) {
    for (std::size_t i = 0; i < n; ++i) check(t[i].value == nullptr || t[i].len <= bufs[i].size());
  }

  // Round trip: decode every attribute of a well-formed list.
  if (list_len < 2) return 0;
  const DWORD h = static_cast<DWORD>((list[0] << 8) | list[1]);
  if (h % 4 != 0 || 2 + h > list_len) return 0;
  const DWORD count = h / 4;
  std::size_t total = 2 + h;
  for (DWORD i = 0; i < count; ++i) total += static_cast<std::size_t>((list[2 + 4 * i + 2] << 8) | list[2 + 4 * i + 3]);
  if (total > list_len) return 0;
  // Only lists whose types are distinct decode to the same directory.
  std::vector<CardAttr> all(count);
  std::vector<std::vector<std::uint8_t>> vals(count);
  for (DWORD i = 0; i < count; ++i) {
    const std::uint8_t* d = list + 2 + 4 * i;
    for (DWORD j = 0; j < i; ++j) {
      if (all[j].type == static_cast<unsigned long>((d[0] << 8) | d[1])) return 0;
    }
    vals[i].assign(static_cast<std::size_t>((d[2] << 8) | d[3]) + 1, 0);
    all[i] = {static_cast<unsigned long>((d[0] << 8) | d[1]), vals[i].data(), static_cast<unsigned long>(vals[i].size())};
  }
  check(attr_list_decode(list, list_len, all.data(), count) == VORN_OK);
  std::vector<std::uint8_t> again(total);
  DWORD len = static_cast<DWORD>(total);
  check(attr_list_encode(all.data(), count, again.data(), &len) == VORN_OK);
  check(len == total && std::memcmp(again.data(), list, total) == 0);
  return 0;
}
