// The test client's own host side of the channel, checked against the
// independently computed vector file before any stack test relies on it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "stack_client.h"

namespace stacktest {
namespace {

// Value of the string member reached by walking `path` in order through the
// file (member names are unique along each path in this file).
std::string Member(const std::vector<std::string>& path) {
  std::ifstream f(VECTORS_FILE);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string text = ss.str();
  std::size_t pos = 0;
  for (const auto& key : path) {
    pos = text.find("\"" + key + "\"", pos);
    if (pos == std::string::npos) {
      ADD_FAILURE() << "no member " << key << " in " << VECTORS_FILE;
      return {};
    }
    pos += key.size() + 2;
  }
  std::size_t open = text.find('"', text.find(':', pos));
  std::size_t close = text.find('"', open + 1);
  return text.substr(open + 1, close - open - 1);
}

Key16 Key(const std::string& name) {
  Bytes b = H(Member({name}));
  Key16 k{};
  EXPECT_EQ(b.size(), 16u);
  std::copy_n(b.begin(), std::min<std::size_t>(16, b.size()), k.begin());
  return k;
}

TEST(Vectors, MutualAuthenticationCryptograms) {
  Key16 k = Key("channel_key");
  Bytes rh = H(Member({"host_challenge_RH"}));
  EXPECT_EQ(Hex(Sha1(Cat({rh, k}))), Member({"card_cryptogram_sha1_RH_K"}));
  Bytes gr = H(Member({"get_response_data_after_4C"}));
  ASSERT_EQ(gr.size(), 52u);
  // The card random travels enciphered under the channel key.
  EXPECT_EQ(Hex(Des3Ecb(k, std::span(gr).subspan(44, 8), false)), Member({"card_random_RC"}));
  Bytes rc1(gr.begin() + 36, gr.begin() + 44);
  EXPECT_EQ(Hex(rc1), Member({"card_challenge_RC1"}));
  EXPECT_EQ(Hex(Sha1(Cat({rc1, k}))), Member({"host_cryptogram_HC"}));
  EXPECT_EQ(Hex(Des3Ecb(k, H(Member({"host_random_RH2"})), true)), Member({"EH2"}));
  EXPECT_EQ(Hex(SmMac(Key("session_key"), H("0001020304050607"))), Member({"sm_mac_of_8_bytes_0001020304050607"}));
}

TEST(Vectors, WrappedCommandsAndResponses) {
  Channel ch{Key("session_key")};
  for (const char* name : {"verify_pin_1234", "read_binary_32", "get_data_03", "logout_0x11", "data_16_bytes",
                           "data_15_bytes", "mse_set_key_ref_5"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Hex(ch.Wrap(H(Member({"wrapped_commands", name, "plain"})))),
              Member({"wrapped_commands", name, "wrapped"}));
  }
  for (const char* name : {"16_bytes_00_to_0F", "8_bytes_pin_cache"}) {
    SCOPED_TRACE(name);
    auto plain = ch.Unwrap(H(Member({"wrapped_responses", name, "wire"})));
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(Hex(*plain), Member({"wrapped_responses", name, "plain"}) + "9000");
    // One flipped MAC bit is refused.
    Bytes wire = H(Member({"wrapped_responses", name, "wire"}));
    wire[wire.size() - 3] ^= 0x01;
    EXPECT_FALSE(ch.Unwrap(wire).has_value());
  }
}

TEST(Vectors, PinCacheBlock) {
  Key16 k = Key("pin_cache_key");
  EXPECT_EQ(Hex(PinBlock("1234")), Member({"pin_block_1234"}));
  EXPECT_EQ(Hex(Des3Ecb(k, PinBlock("1234"), true)), Member({"pin_cache_enciphered_1234"}));
}

}  // namespace
}  // namespace stacktest
