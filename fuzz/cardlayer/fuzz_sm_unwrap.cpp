// Unwrapping of secure-messaging responses. First byte: 0 unwraps the rest
// as it came from the card; 1 wraps the rest correctly first (with the next
// byte as the padding byte to put in) and checks that unwrapping gives the
// data back exactly when that padding is sound.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cardlayer.h"
#include "softcrypto.h"

namespace {

const std::uint8_t kKey[16] = {0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8,
                               0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8};

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 600) return 0;
  const std::uint8_t mode = data[0] & 1;
  ++data;
  --size;
  if (mode == 0) {
    std::vector<std::uint8_t> r(data, data + size);
    DWORD len = static_cast<DWORD>(r.size());
    vorn_rv rv = sm_unwrap(kKey, r.data(), &len);
    if (rv == VORN_OK) check(len >= 2 && len <= size && (size - len) >= 4);
    else check(len == size);
    return 0;
  }
  if (size < 3) return 0;
  const std::uint8_t pad_byte = data[0];
  const std::uint8_t sw1 = data[1], sw2 = data[2];
  data += 3;
  size -= 3;
  if (size > 239) size = 239;
  // data | padding (p bytes, the last one replaced by pad_byte) | MAC | SW
  const std::size_t p = 16 - size % 16;
  std::vector<std::uint8_t> r(data, data + size);
  r.insert(r.end(), p, static_cast<std::uint8_t>(p));
  r.back() = pad_byte;
  std::uint8_t mac[4];
  check(sm_mac_key(kKey, data, static_cast<DWORD>(size), mac) == VORN_OK);
  std::uint32_t out = 0;
  std::uint8_t key[16];
  std::memcpy(key, kKey, 16);
  check(sc_encrypt(SC_ALG_AES128, key, SC_MODE_ECB, nullptr, r.data(), static_cast<std::uint32_t>(r.size()), r.data(), &out) == VORN_OK);
  r.insert(r.end(), mac, mac + 4);
  r.push_back(sw1);
  r.push_back(sw2);
  DWORD len = static_cast<DWORD>(r.size());
  vorn_rv rv = sm_unwrap(kKey, r.data(), &len);
  if (pad_byte == p) {
    check(rv == VORN_OK);
    check(len == size + 2);
    check(std::memcmp(r.data(), data, size) == 0);
    check(r[size] == sw1 && r[size + 1] == sw2);
  } else if (pad_byte == 0 || pad_byte > 16) {
    check(rv == CARDERR_MAC);
  }
  return 0;
}
