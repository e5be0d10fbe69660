// Test-side host for the simulator: plain APDUs, the channel opening and
// wrapping/unwrapping written independently on OpenSSL (checked against the
// shared vectors in test_channel.cpp before anything else relies on it).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cardsim/cardsim.h"

namespace simtest {

using vorn::cardsim::Bytes;
using Key16 = std::array<std::uint8_t, 16>;

Bytes H(const std::string& hex);  // hex -> bytes (spaces allowed)
std::string X(const Bytes& b);    // bytes -> upper-case hex

// Host primitives.
Bytes sha1(const Bytes& a);
Bytes tdes2_ecb(const Key16& k, const Bytes& in, bool enc);
Bytes aes_ecb(const Key16& k, const Bytes& in, bool enc);
Bytes mac4(const Key16& k, const Bytes& data);

// A card in a test: personalised with the test keys, powered on, with a
// fixed random source that hands out the given bytes in order.
struct TestCard {
  std::unique_ptr<vorn::cardsim::Card> card;
  Bytes random_feed;        // consumed first; then a counter pattern
  std::size_t random_pos = 0;
  std::vector<std::string> trace;

  explicit TestCard(const vorn::cardsim::PersoOptions& o = {});
  Bytes tx(const Bytes& cmd);                    // plain transmit
  Bytes tx(const std::string& hex) { return tx(H(hex)); }
  std::uint16_t sw(const std::string& hex);      // transmit, status word only
  // Select an application by AID (1 sign, 2 ciph), expect 61 xx.
  void select_app(int app);
};

// The host side of an open channel.
struct Channel {
  TestCard* tc = nullptr;
  Key16 session{};
  // Opens the channel of the selected application with the given static key.
  static Channel open(TestCard& tc, const Key16& static_key, int app);
  // Wraps a plain command (CLA bit 04, MAC, enciphered data).
  Bytes wrap(const Bytes& plain) const;
  // Unwraps a 04 C0 answer; fails the test on a bad MAC.
  Bytes unwrap(const Bytes& wire) const;
  // Sends a command under the channel and returns the plain answer: data
  // and SW. A 61 xx answer is fetched (and chained) with 04 C0.
  Bytes send(const Bytes& plain);
  Bytes send(const std::string& hex) { return send(H(hex)); }
  std::uint16_t sw(const std::string& hex);
};

Key16 sign_key();
Key16 ciph_key();
std::uint16_t sw_of(const Bytes& r);
Bytes data_of(const Bytes& r);

}  // namespace simtest
