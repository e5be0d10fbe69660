// The secure channel: the shared vectors reproduced by the card, and the
// card's rules for bad MACs, plain commands and selects under the channel.
#include <fstream>
#include <sstream>

#include "sim_host.h"

using namespace simtest;

namespace {

// Value of the last key of `path` in the vectors file (nested objects are
// followed in order).
std::string vec(std::initializer_list<const char*> path) {
  std::ifstream in(CARDSIM_VECTORS);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string t = ss.str();
  std::size_t pos = 0;
  for (const char* k : path) {
    pos = t.find(std::string("\"") + k + "\"", pos);
    if (pos == std::string::npos) return "missing " + std::string(k);
    pos += std::string(k).size() + 2;
  }
  std::size_t a = t.find('"', t.find(':', pos)) + 1;
  return t.substr(a, t.find('"', a) - a);
}

Key16 key16(const std::string& hex) {
  Bytes b = H(hex);
  Key16 k{};
  std::copy(b.begin(), b.end(), k.begin());
  return k;
}

// A card whose challenge and random are the vectors' RC1 and RC, with the
// channel of AP-SIGN opened exactly as in the vectors.
struct VectorCard : TestCard {
  Channel ch;
  VectorCard() {
    random_feed = H(vec({"card_challenge_RC1"}) + vec({"card_random_RC"}));
    select_app(1);
    EXPECT_EQ(X(tx("804C020208" + vec({"host_challenge_RH"}))), "6134");
    EXPECT_EQ(X(tx("00C0000034")), vec({"get_response_data_after_4C"}) + "9000");
    EXPECT_EQ(X(tx(vec({"command_4E"}))), "9000");
    ch.tc = this;
    ch.session = key16(vec({"session_key"}));
  }
};

}  // namespace

TEST(ChannelVectors, HostHelperAgreesWithVectors) {
  Key16 k = key16(vec({"channel_key"}));
  EXPECT_EQ(k, sign_key());  // the test personalisation's AP-SIGN key is the vectors' key
  Bytes rhk = H(vec({"host_challenge_RH"}));
  rhk.insert(rhk.end(), k.begin(), k.end());
  EXPECT_EQ(X(sha1(rhk)), vec({"card_cryptogram_sha1_RH_K"}));
  EXPECT_EQ(X(tdes2_ecb(k, H(vec({"host_random_RH2"})), true)), vec({"EH2"}));
  Channel ch;
  ch.session = key16(vec({"session_key"}));
  EXPECT_EQ(X(mac4(ch.session, H("0001020304050607"))), vec({"sm_mac_of_8_bytes_0001020304050607"}));
  for (const char* name : {"verify_pin_1234", "read_binary_32", "get_data_03", "logout_0x11", "data_16_bytes",
                           "data_15_bytes", "mse_set_key_ref_5"}) {
    EXPECT_EQ(X(ch.wrap(H(vec({"wrapped_commands", name, "plain"})))), vec({"wrapped_commands", name, "wrapped"}))
        << name;
  }
  Key16 cache = key16(vec({"pin_cache_key"}));
  EXPECT_EQ(X(tdes2_ecb(cache, H(vec({"pin_block_1234"})), true)), vec({"pin_cache_enciphered_1234"}));
}

TEST(ChannelVectors, CardOpensTheChannelOfTheVectors) {
  VectorCard c;
  EXPECT_EQ(c.card->channel_app(), 1);
  // The personalised PIN cache holds the vectors' enciphered PIN 1234.
  EXPECT_NE(c.card->to_text().find("file 0FCF " + vec({"pin_cache_enciphered_1234"})), std::string::npos);
}

TEST(ChannelVectors, CardAcceptsTheWrappedCommandsOfTheVectors) {
  VectorCard c;
  auto wire = [&](const char* name) { return c.tx(vec({"wrapped_commands", name, "wrapped"})); };
  EXPECT_EQ(X(wire("verify_pin_1234")), "9000");
  EXPECT_TRUE(c.card->pin_verified(0x11));
  EXPECT_EQ(X(c.ch.send("00A4000C025032")), "9000");
  EXPECT_EQ(X(wire("read_binary_32")), "6134");  // 32 bytes + 16 padding + 4 MAC
  Bytes got = c.ch.unwrap(c.tx("04C0000034"));
  EXPECT_EQ(X(got), "030200600C0B477275706F204B2E524F53800D01000100564F524E20636172649000");
  EXPECT_EQ(X(wire("get_data_03")), "6134");
  EXPECT_EQ(X(c.ch.unwrap(c.tx("04C0000034"))), std::string(80, '0') + "9000");
  EXPECT_EQ(X(wire("logout_0x11")), "9000");
  EXPECT_FALSE(c.card->pin_verified(0x11));
  // 00 22 with 16 and 15 bytes: the MAC is accepted, the data is no MSE template.
  EXPECT_EQ(X(wire("data_16_bytes")), "6A80");
  EXPECT_EQ(X(wire("data_15_bytes")), "6A80");
  EXPECT_EQ(X(wire("mse_set_key_ref_5")), "6A88");  // no object 5 yet
  EXPECT_EQ(c.card->channel_app(), 1);
  // The trace shows the deciphered forms, PIN data masked.
  bool verify_seen = false, read_seen = false;
  for (const auto& l : c.trace) {
    if (l.find("pcmd=0020001108****************") != std::string::npos) verify_seen = true;
    if (l.find("pcmd=00B0000020") != std::string::npos) read_seen = true;
    EXPECT_EQ(l.find("31323334FFFFFFFF"), std::string::npos) << l;
  }
  EXPECT_TRUE(verify_seen);
  EXPECT_TRUE(read_seen);
}

TEST(ChannelVectors, CardWrapsResponsesAsTheVectors) {
  VectorCard c;
  EXPECT_EQ(X(c.ch.send("00A4000C025032")), "9000");
  EXPECT_EQ(X(c.ch.send("00D6000010000102030405060708090A0B0C0D0E0F")), "9000");
  EXPECT_EQ(X(c.tx(c.ch.wrap(H("00B0000010")))), "6124");
  EXPECT_EQ(X(c.tx("04C0000024")), vec({"wrapped_responses", "16_bytes_00_to_0F", "wire"}));
  EXPECT_EQ(X(c.ch.send("00A4000C020FCF")), "9000");
  EXPECT_EQ(X(c.ch.send("00D60000080000000000000000")), "9000");
  EXPECT_EQ(X(c.tx(c.ch.wrap(H("00B0000008")))), "6114");
  EXPECT_EQ(X(c.tx("04C0000014")), vec({"wrapped_responses", "8_bytes_pin_cache", "wire"}));
}

TEST(ChannelRules, BadMacIsRefusedAndClosesTheChannel) {
  TestCard c;
  Channel ch = Channel::open(c, sign_key(), 1);
  Bytes w = ch.wrap(H("00CA010010"));
  w.back() ^= 0x01;
  EXPECT_EQ(X(c.tx(w)), "6988");
  EXPECT_EQ(c.card->channel_app(), 0);
  EXPECT_EQ(X(c.tx(ch.wrap(H("00CA010010")))), "6982");  // no channel any more
  EXPECT_EQ(X(c.tx("00CA020001")), "049000");           // plain works again
}

TEST(ChannelRules, MalformedWrappedDataIsRefused) {
  TestCard c;
  Channel::open(c, sign_key(), 1);
  EXPECT_EQ(X(c.tx("04CA010003AABBCC")), "6988");  // shorter than a MAC
  EXPECT_EQ(c.card->channel_app(), 0);
  Channel ch2 = Channel::open(c, sign_key(), 1);
  // Padding byte 00 inside a correctly enciphered block.
  Bytes block(16, 0x00);
  Bytes enc = aes_ecb(ch2.session, block, true);
  Bytes cmd = H("0422000014");
  cmd.insert(cmd.end(), enc.begin(), enc.end());
  cmd.insert(cmd.end(), {1, 2, 3, 4});
  EXPECT_EQ(X(c.tx(cmd)), "6988");
  EXPECT_EQ(c.card->channel_app(), 0);
}

TEST(ChannelRules, PlainCommandUnderTheChannelIsRefused) {
  TestCard c;
  Channel::open(c, sign_key(), 1);
  EXPECT_EQ(X(c.tx("00CA010010")), "6987");
  EXPECT_EQ(c.card->channel_app(), 0);
  EXPECT_EQ(c.card->selected_app(), 1);  // the application stays selected
}

TEST(ChannelRules, SelectsUnderTheChannel) {
  TestCard c;
  // Wrapped 04 A4 04 04: closes the channel, its 61 xx and FCI come in plain.
  Channel ch = Channel::open(c, sign_key(), 1);
  EXPECT_EQ(X(c.tx(ch.wrap(H("00A404040CA00000006341502D43495048")))), "6115");
  EXPECT_EQ(c.card->channel_app(), 0);
  EXPECT_EQ(c.card->selected_app(), 2);
  EXPECT_EQ(X(c.tx("00C0000015")), "6F13840CA00000006341502D43495048A503800101" "9000");
  // The CIPH channel opens now with the CIPH key.
  Channel ch2 = Channel::open(c, ciph_key(), 2);
  EXPECT_EQ(c.card->channel_app(), 2);
  // The channel-closing select answers 90 00.
  EXPECT_EQ(X(c.tx(ch2.wrap(H("00A4044C0CA00000006341502D43495048")))), "9000");
  EXPECT_EQ(c.card->channel_app(), 0);
  // A plain application select under the channel also leaves it.
  Channel::open(c, sign_key(), 1);
  EXPECT_EQ(X(c.tx("00A404040CA00000006341502D5349474E")), "6115");
  EXPECT_EQ(c.card->channel_app(), 0);
  // The closing select without a channel is refused.
  EXPECT_EQ(X(c.tx("04A4044C0CA00000006341502D5349474E")), "6982");
}

TEST(ChannelRules, AuthenticationFailures) {
  TestCard c;
  EXPECT_EQ(X(c.tx("804C0202081122334455667788")), "6985");  // no application selected
  c.select_app(2);
  EXPECT_EQ(X(c.tx("804E00001C" + std::string(56, '0'))), "6985");  // no challenge
  EXPECT_EQ(X(c.tx("804C0202071122334455667788")), "6700");
  EXPECT_EQ(X(c.tx("804C0102081122334455667788")), "6A86");
  EXPECT_EQ(X(c.tx("804C0202081122334455667788")), "6134");
  EXPECT_EQ(sw_of(c.tx("00C0000034")), 0x9000);
  EXPECT_EQ(X(c.tx("804E00001C" + std::string(56, '0'))), "6982");  // wrong host cryptogram
  EXPECT_EQ(c.card->channel_app(), 0);
  EXPECT_EQ(X(c.tx("804E00001C" + std::string(56, '0'))), "6985");  // one answer per challenge
  // The key of the other application does not open this one.
  TestCard d;
  d.select_app(2);
  Bytes rh = H("0102030405060708");
  EXPECT_EQ(X(d.tx("804C020208" + X(rh))), "6134");
  Bytes gr = d.tx("00C0000034");
  Key16 k = sign_key();
  Bytes rhk = rh;
  rhk.insert(rhk.end(), k.begin(), k.end());
  EXPECT_NE(X(Bytes(gr.begin() + 16, gr.begin() + 36)), X(sha1(rhk)));
}

TEST(ChannelRules, GetResponseUnderTheChannel) {
  TestCard c;
  Channel ch = Channel::open(c, sign_key(), 1);
  EXPECT_EQ(X(c.tx("04C0000010")), "6985");  // nothing pending
  EXPECT_EQ(X(c.tx(ch.wrap(H("00CA010010")))), "6124");
  EXPECT_EQ(X(c.tx("04C0000010")), "6C24");  // Le below the enciphered length
  Bytes u = ch.unwrap(c.tx("04C0000024"));
  EXPECT_EQ(X(u).substr(0, 16), "564F524E01000100");
  EXPECT_EQ(sw_of(u), 0x9000);
  EXPECT_EQ(X(c.tx("00C0000010")), "6987");  // plain GET RESPONSE under the channel
}

TEST(ChannelRules, VerifiedPinSurvivesSelectsAndChannelChanges) {
  TestCard c;
  Channel ch = Channel::open(c, ciph_key(), 2);
  EXPECT_EQ(X(ch.send("002000110831323334FFFFFFFF")), "9000");
  Channel::open(c, sign_key(), 1);
  EXPECT_TRUE(c.card->pin_verified(0x11));
  c.tx("00A40004023F00");
  EXPECT_TRUE(c.card->pin_verified(0x11));
  c.card->reset();
  EXPECT_FALSE(c.card->pin_verified(0x11));
}
