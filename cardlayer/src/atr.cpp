// Recognising the card by its answer to reset.
#include <cstring>

#include "cardlayer.h"

bool card_atr_match(const std::uint8_t* atr, DWORD len) {
  if (atr == nullptr || len != kVornAtr.size()) return false;
  for (std::size_t i = 0; i < kVornAtr.size(); ++i) {
    if ((atr[i] & kVornAtrMask[i]) != (kVornAtr[i] & kVornAtrMask[i])) return false;
  }
  return true;
}

bool card_atr_has_vorn(const std::uint8_t* atr, DWORD len) {
  static constexpr std::uint8_t kName[4] = {'V', 'O', 'R', 'N'};
  if (atr == nullptr || len < sizeof kName) return false;
  for (DWORD i = 0; i + sizeof kName <= len; ++i) {
    if (std::memcmp(atr + i, kName, sizeof kName) == 0) return true;
  }
  return false;
}
