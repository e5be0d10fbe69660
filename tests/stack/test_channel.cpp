// The secure channel through the real stack: mutual authentication checked
// against cryptograms computed here with libcrypto, wrapped commands and
// answers, and every way the channel closes.
#include <gtest/gtest.h>

#include <memory>

#include "stack_client.h"
#include "vorn/personalisation.h"

namespace stacktest {
namespace {

const Bytes kRh = H("1122334455667788");
const Bytes kRh2 = H("B1B2B3B4B5B6B7B8");

// Last APDU entry of the reader-0 trace whose wire command starts with `prefix`.
TraceEntry LastWith(const std::string& prefix) {
  auto trace = ReadTrace(0);
  for (auto it = trace.rbegin(); it != trace.rend(); ++it)
    if (it->kind == "APDU" && it->cmd.rfind(prefix, 0) == 0) return *it;
  ADD_FAILURE() << "no trace entry for " << prefix;
  return {};
}

TEST(Channel, MutualAuthenticationMatchesIndependentCryptograms) {
  Card card(0);
  ASSERT_TRUE(card.ok());
  for (int app : {1, 2}) {
    SCOPED_TRACE(app);
    ASSERT_EQ(SelectApp(card, app)[0], 0x61);
    const Key16 k = ChannelKey(app);
    OpenResult r = OpenChannel(card, k, kRh, kRh2);
    EXPECT_EQ(Hex(r.rsp_4c), "6134");
    ASSERT_EQ(r.get_response.size(), 54u);
    EXPECT_EQ(Sw(r.get_response), 0x9000);
    // Bytes 16-35: SHA-1(RH || K), computed here, not by the card's code.
    EXPECT_EQ(Hex(std::span(r.get_response).subspan(16, 20)), Hex(Sha1(Cat({kRh, k}))));
    EXPECT_TRUE(r.card_cryptogram_ok);
    EXPECT_EQ(Hex(r.rsp_4e), "9000");
    // Under the session key RH2 || RC the card answers GET DATA 01 the same
    // as in plain, enciphered and MACed.
    Bytes id = SmSend(card, r.channel, H("00 CA 01 00 10"));
    ASSERT_EQ(id.size(), 18u);
    EXPECT_EQ(Sw(id), 0x9000);
    EXPECT_EQ(Hex(std::span(id).first(4)), "564F524E");
    TraceEntry ca = LastWith("04CA0100");
    EXPECT_EQ(ca.pcmd, "00CA010010");  // deciphered, Le back in place
    TraceEntry gr = LastWith("04C00000");
    EXPECT_EQ(gr.rsp.size(), (16 + 16 + 4 + 2) * 2u) << "16 data bytes travel as 32 + MAC";
    EXPECT_EQ(gr.prsp, Hex(id));
  }
}

TEST(Channel, WrongKeysAreRefused) {
  Card card(0);
  ASSERT_TRUE(card.ok());
  // The AP-CIPH key against AP-SIGN: the card's cryptogram does not match.
  ASSERT_EQ(SelectApp(card, 1)[0], 0x61);
  OpenResult r = OpenChannel(card, ChannelKey(2), kRh, kRh2);
  EXPECT_FALSE(r.card_cryptogram_ok);
  // The card refuses the wrong host cryptogram, and the channel stays shut.
  EXPECT_EQ(Hex(r.rsp_4e), "6982");
  Channel guess = r.channel;
  EXPECT_EQ(Hex(card.Transmit(guess.Wrap(H("00 CA 01 00 10")))), "6982");
  // 80 4E without a preceding 80 4C is out of sequence.
  ASSERT_EQ(SelectApp(card, 1)[0], 0x61);
  EXPECT_EQ(Hex(card.Transmit(Cat({H("80 4E 00 00 1C"), Bytes(28, 0x00)}))), "6985");
  // And the card still works in plain.
  EXPECT_EQ(Sw(card.Transmit(H("00 CA 02 00 01"))), 0x9000);
}

TEST(Channel, BadMacOrPlainCommandClosesTheChannel) {
  Card card(0);
  ASSERT_TRUE(card.ok());
  auto ch = SelectAndOpen(card, 1);
  ASSERT_TRUE(ch);
  Bytes wrapped = ch->Wrap(H("00 CA 01 00 10"));
  wrapped.back() ^= 0x01;
  EXPECT_EQ(Hex(card.Transmit(wrapped)), "6988");
  // Closed: even a correctly wrapped command is refused now.
  EXPECT_EQ(Hex(card.Transmit(ch->Wrap(H("00 CA 01 00 10")))), "6982");

  ch = SelectAndOpen(card, 2);
  ASSERT_TRUE(ch);
  EXPECT_EQ(Hex(card.Transmit(H("00 CA 02 00 01"))), "6987");
  EXPECT_EQ(Hex(card.Transmit(ch->Wrap(H("00 CA 02 00 01")))), "6982");
  EXPECT_EQ(Hex(card.Transmit(H("00 CA 02 00 01"))), "049000");
}

TEST(Channel, SelectsCloseTheChannel) {
  Card card(0);
  ASSERT_TRUE(card.ok());
  // 04 A4 04 04 under the channel: 61 xx comes back in plain, channel closed.
  auto ch = SelectAndOpen(card, 1);
  ASSERT_TRUE(ch);
  Bytes sel = card.Transmit(ch->Wrap(Cat({H("00 A4 04 04 0C"), Aid(1)})));
  ASSERT_EQ(sel.size(), 2u);
  EXPECT_EQ(sel[0], 0x61);
  EXPECT_EQ(Hex(card.Transmit(ch->Wrap(H("00 CA 02 00 01")))), "6982");

  // The channel-closing select 04 A4 04 4C answers 90 00.
  ch = SelectAndOpen(card, 2);
  ASSERT_TRUE(ch);
  EXPECT_EQ(Hex(card.Transmit(ch->Wrap(Cat({H("00 A4 04 4C 0C"), Aid(2)})))), "9000");
  EXPECT_EQ(Hex(card.Transmit(ch->Wrap(H("00 CA 02 00 01")))), "6982");
  EXPECT_EQ(Hex(card.Transmit(H("00 CA 02 00 01"))), "049000");

  // Switching applications: AP-CIPH selected under the AP-SIGN channel, then
  // a new authentication for AP-CIPH.
  ch = SelectAndOpen(card, 1);
  ASSERT_TRUE(ch);
  sel = card.Transmit(ch->Wrap(Cat({H("00 A4 04 04 0C"), Aid(2)})));
  ASSERT_EQ(sel.size(), 2u);
  EXPECT_EQ(sel[0], 0x61);
  OpenResult r = OpenChannel(card, ChannelKey(2), kRh, kRh2);
  EXPECT_TRUE(r.card_cryptogram_ok);
  EXPECT_EQ(Hex(r.rsp_4e), "9000");
  EXPECT_EQ(Hex(SmSend(card, r.channel, H("00 CA 02 00 01"))), "049000");
}

TEST(Channel, InjectedBadMacIsCaughtByTheHost) {
  Card card(0);
  ASSERT_TRUE(card.ok());
  auto ch = SelectAndOpen(card, 1);
  ASSERT_TRUE(ch);
  SetFaults(0, "badmac CA x1\n");
  bool mac_failed = false;
  SmSend(card, *ch, H("00 CA 01 00 10"), &mac_failed);
  EXPECT_TRUE(mac_failed);
  SetFaults(0, "");
  // The fault hit one answer only; the channel itself is intact.
  EXPECT_EQ(Sw(SmSend(card, *ch, H("00 CA 01 00 10"), &mac_failed)), 0x9000);
  EXPECT_FALSE(mac_failed);
}

// Wrapped command forms, read back from the card's trace.
class Wrapped : public ::testing::Test {
 protected:
  void SetUp() override {
    InsertFreshCard(1, "wrapped-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    card_ = std::make_unique<Card>(1);
    ASSERT_TRUE(card_->ok());
  }
  TraceEntry Last(const std::string& prefix) {
    auto trace = ReadTrace(1);
    for (auto it = trace.rbegin(); it != trace.rend(); ++it)
      if (it->kind == "APDU" && it->cmd.rfind(prefix, 0) == 0) return *it;
    ADD_FAILURE() << "no trace entry for " << prefix;
    return {};
  }
  std::unique_ptr<Card> card_;
};

TEST_F(Wrapped, DataLengthsAndPadding) {
  // 16 and 15 data bytes rewritten into the token file at offset 0.
  ASSERT_EQ(card_->Transmit(H("00 A4 00 04 02 50 32"))[0], 0x61);
  Bytes head = card_->Transmit(H("00 B0 00 00 10"));
  ASSERT_EQ(head.size(), 18u);
  auto ch = SelectAndOpen(*card_, 1);
  ASSERT_TRUE(ch);
  ASSERT_EQ(card_->Transmit(ch->Wrap(H("00 A4 00 04 02 50 32")))[0], 0x61);

  Bytes plain16 = Cat({H("00 D6 00 00 10"), Data(head)});
  EXPECT_EQ(Hex(card_->Transmit(ch->Wrap(plain16))), "9000");
  TraceEntry e16 = Last("04D60000");
  EXPECT_EQ(e16.cmd.substr(0, 10), "04D6000024");
  EXPECT_EQ(e16.cmd.size(), (5 + 0x24) * 2u);
  EXPECT_EQ(e16.pcmd, Hex(plain16));

  Bytes plain15 = Cat({H("00 D6 00 01 0F"), std::span(head).subspan(1, 15)});
  EXPECT_EQ(Hex(card_->Transmit(ch->Wrap(plain15))), "9000");
  TraceEntry e15 = Last("04D60001");
  EXPECT_EQ(e15.cmd.substr(0, 10), "04D6000114");
  EXPECT_EQ(e15.pcmd, Hex(plain15));

  // READ BINARY: Le travels as data (01 Le), the answer comes with 04 C0.
  Bytes rb = SmSend(*card_, *ch, H("00 B0 00 00 10"));
  EXPECT_EQ(Hex(rb), Hex(head));
  TraceEntry erb = Last("04B00000");
  EXPECT_EQ(erb.cmd.substr(0, 10), "04B0000014");
  EXPECT_EQ(erb.pcmd, "00B0000010");
  EXPECT_EQ(erb.rsp.substr(0, 2), "61");

  // A command without data carries the MAC alone (Lc 04).
  EXPECT_EQ(Hex(card_->Transmit(ch->Wrap(H("00 2E 00 11 00")))), "9000");
  EXPECT_EQ(Last("042E0011").cmd.size(), (5 + 4) * 2u);
}

TEST_F(Wrapped, FileAndDataItemsUnderTheChannel) {
  Bytes plain_map;
  ASSERT_EQ(SelectApp(*card_, 2)[0], 0x61);
  plain_map = card_->Transmit(H("00 CA 03 00 28"));
  auto ch = SelectAndOpen(*card_, 2);
  ASSERT_TRUE(ch);
  EXPECT_EQ(Hex(SmSend(*card_, *ch, H("00 CA 03 00 28"))), Hex(plain_map));
  EXPECT_EQ(Hex(SmSend(*card_, *ch, H("00 CA 02 00 01"))), "049000");
  // The PIN-cache file: exactly 8 bytes come back although the card sent
  // 16 enciphered bytes and a MAC.
  ASSERT_EQ(card_->Transmit(ch->Wrap(H("00 A4 00 04 02 0F CF")))[0], 0x61);
  Bytes cache = SmSend(*card_, *ch, H("00 B0 00 00 08"));
  EXPECT_EQ(Hex(cache), Hex(Des3Ecb(vorn::perso::kPinCacheKey, PinBlock("1234"), true)) + "9000");
  TraceEntry gr = Last("04C00000");
  EXPECT_EQ(gr.rsp.size(), (16 + 4 + 2) * 2u);
  // GET CHALLENGE: 8 fresh bytes each time, plain and under the channel.
  Bytes c1 = SmSend(*card_, *ch, H("00 84 00 00 08"));
  Bytes c2 = SmSend(*card_, *ch, H("00 84 00 00 08"));
  ASSERT_EQ(c1.size(), 10u);
  ASSERT_EQ(c2.size(), 10u);
  EXPECT_EQ(Sw(c1), 0x9000);
  EXPECT_NE(Hex(c1), Hex(c2));
  EXPECT_EQ(Last("04840000").pcmd, "0084000008");
}

}  // namespace
}  // namespace stacktest
