// APDU transport and status words.
#include "cardlayer.h"

vorn_rv sw_to_error(std::uint8_t sw1, std::uint8_t sw2) {
  const vorn_rv base = CARDERR_SW_BASE;
  if (sw1 == 0x63) return base | 0x63C0;
  if (sw1 == 0x6C) return base | 0x6C00;
  static constexpr std::uint16_t kKnown[] = {
      0x6200, 0x6581, 0x6700, 0x6881, 0x6882, 0x6883, 0x6900, 0x6981, 0x6982,
      0x6983, 0x6985, 0x6986, 0x6987, 0x6988, 0x6A80, 0x6A81, 0x6A82, 0x6A83,
      0x6A84, 0x6A86, 0x6A87, 0x6A88, 0x6A89, 0x6B00, 0x6D00, 0x6E00, 0x6F00,
      0x6F01, 0x6F02};
  const std::uint16_t sw = static_cast<std::uint16_t>((sw1 << 8) | sw2);
  for (std::uint16_t k : kKnown) {
    if (k == sw) return base | sw;
  }
  return CARDERR_UNKNOWN;
}
