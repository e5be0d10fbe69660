// Fuzzes the card's command processor: the input is a sequence of APDUs,
// each prefixed by one length byte, sent to one card (channel opened with
// the test keys when the first byte is odd, so the wrapped path is reached).
#include <cstdint>
#include <cstring>

#include "cardsim/cardsim.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vorn::cardsim::Card;
  static std::unique_ptr<Card> proto;
  static std::string proto_text;
  std::string err;
  if (proto_text.empty()) {
    vorn::cardsim::PersoOptions o;
    o.serial_given = true;
    proto = Card::personalise(o, &err);
    proto_text = proto->to_text();
  }
  auto card = Card::from_text(proto_text, &err);
  card->set_random([](std::uint8_t* out, std::size_t n) { std::memset(out, 0x5A, n); });
  card->power_on();
  std::size_t i = 0;
  while (i < size) {
    std::size_t n = data[i++];
    if (n > size - i) n = size - i;
    auto out = card->transmit(std::span<const std::uint8_t>(data + i, n));
    if (out.size() < 2 && !out.empty()) __builtin_trap();
    i += n;
  }
  // The card file parser takes the same bytes as text.
  Card::from_text(std::string_view(reinterpret_cast<const char*>(data), size), &err);
  return 0;
}
