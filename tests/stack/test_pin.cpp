// PIN references through the real stack: tries, blocking, unblocking,
// changes, and the verified state that belongs to the card.
#include <gtest/gtest.h>

#include <memory>

#include "stack_client.h"

namespace stacktest {
namespace {

Bytes Verify(Card& c, std::uint8_t ref, std::string_view pin) {
  return c.Transmit(Cat({Bytes{0x00, 0x20, 0x00, ref, 0x08}, PinBlock(pin)}));
}
Bytes Query(Card& c, std::uint8_t ref) { return c.Transmit({0x00, 0x20, 0x00, ref, 0x00}); }
Bytes Change(Card& c, std::uint8_t p1, std::string_view old_v, std::string_view new_v) {
  return c.Transmit(Cat({Bytes{0x00, 0x24, p1, 0x11, 0x10}, PinBlock(old_v), PinBlock(new_v)}));
}
Bytes Unblock(Card& c, std::string_view puk, std::string_view new_pin) {
  return c.Transmit(Cat({H("00 2C 00 11 10"), PinBlock(puk), PinBlock(new_pin)}));
}

// Every test gets a fresh card (PIN 1234, PUK 12345678, SO PIN 87654321) in reader 0.
class Pin : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = std::string("pin-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    path_ = InsertFreshCard(0, name_, {"--so-pin", "87654321"});
    card_ = std::make_unique<Card>(0);
    ASSERT_TRUE(card_->ok());
  }
  Card& c() { return *card_; }
  std::string name_, path_;
  std::unique_ptr<Card> card_;
};

TEST_F(Pin, WrongPinCountsDownThenBlocks) {
  EXPECT_EQ(Hex(Query(c(), 0x11)), "63C3");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "0000")), "63C2");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "1111")), "63C1");
  EXPECT_EQ(Hex(Query(c(), 0x11)), "63C1");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "2222")), "63C0");
  // Blocked: even the right PIN is refused, and the query says so.
  EXPECT_EQ(Hex(Verify(c(), 0x11, "1234")), "6983");
  EXPECT_EQ(Hex(Query(c(), 0x11)), "6983");
  EXPECT_EQ(Hex(Change(c(), 0x00, "1234", "5678")), "6983");
  // The PIN data never reaches the trace in clear.
  for (const auto& e : ReadTrace(0)) {
    if (e.cmd.rfind("00200011", 0) == 0 && e.cmd.size() > 10) {
      EXPECT_EQ(e.cmd.substr(0, 10), "0020001108");
      EXPECT_EQ(e.cmd.substr(10), std::string(16, '*')) << "PIN block in the trace";
    }
  }
}

TEST_F(Pin, RightPinRestoresTriesAndFailedVerifyClearsState) {
  EXPECT_EQ(Hex(Verify(c(), 0x11, "9999")), "63C2");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "1234")), "9000");
  EXPECT_EQ(Hex(Query(c(), 0x11)), "9000");
  // A failed VERIFY clears the verified state; the count starts again at 3.
  EXPECT_EQ(Hex(Verify(c(), 0x11, "9999")), "63C2");
  EXPECT_EQ(Hex(Query(c(), 0x11)), "63C2");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "1234")), "9000");
  EXPECT_EQ(Hex(c().Transmit(H("00 2E 00 11 00"))), "9000");
  EXPECT_EQ(Hex(Query(c(), 0x11)), "63C3");
  // The SO PIN is a reference of its own.
  EXPECT_EQ(Hex(Verify(c(), 0x0A, "1234")), "63C2");
  EXPECT_EQ(Hex(Query(c(), 0x11)), "63C3");
  EXPECT_EQ(Hex(Verify(c(), 0x0A, "87654321")), "9000");
  EXPECT_EQ(Hex(Query(c(), 0x0A)), "9000");
  EXPECT_EQ(Hex(Query(c(), 0x11)), "63C3");
  // Unknown references.
  EXPECT_EQ(Hex(Verify(c(), 0x0B, "1234")), "6A88");
}

TEST_F(Pin, UnblockWithPukAndPukTries) {
  for (const char* wrong : {"0001", "0002", "0003"}) Verify(c(), 0x11, wrong);
  ASSERT_EQ(Hex(Query(c(), 0x11)), "6983");
  EXPECT_EQ(Hex(c().Transmit(H("00 2C 00 11 00"))), "63C3");
  EXPECT_EQ(Hex(Unblock(c(), "87654321", "4321")), "63C2");
  EXPECT_EQ(Hex(c().Transmit(H("00 2C 00 11 00"))), "63C2");
  EXPECT_EQ(Hex(Unblock(c(), "12345678", "4321")), "9000");
  // New PIN in force, tries back to 3, PUK tries back to 3.
  EXPECT_EQ(Hex(Query(c(), 0x11)), "63C3");
  EXPECT_EQ(Hex(c().Transmit(H("00 2C 00 11 00"))), "63C3");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "1234")), "63C2");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "4321")), "9000");
  // Three wrong PUKs block the PUK itself.
  for (const char* wrong : {"00000001", "00000002"}) Unblock(c(), wrong, "5555");
  EXPECT_EQ(Hex(Unblock(c(), "00000003", "5555")), "63C0");
  EXPECT_EQ(Hex(Unblock(c(), "12345678", "5555")), "6983");
  EXPECT_EQ(Hex(c().Transmit(H("00 2C 00 11 00"))), "6983");
}

TEST_F(Pin, ChangePinAndPuk) {
  EXPECT_EQ(Hex(Change(c(), 0x00, "9999", "5678")), "63C2");
  EXPECT_EQ(Hex(Change(c(), 0x00, "1234", "56789012")), "9000");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "1234")), "63C2");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "56789012")), "9000");
  // P1 80 changes the PUK of the reference; a wrong old PUK costs a PUK try.
  EXPECT_EQ(Hex(Change(c(), 0x80, "11111111", "22222222")), "63C2");
  EXPECT_EQ(Hex(Change(c(), 0x80, "12345678", "22222222")), "9000");
  EXPECT_EQ(Hex(c().Transmit(H("00 2C 00 11 00"))), "63C3");
  EXPECT_EQ(Hex(Unblock(c(), "12345678", "1111")), "63C2");
  EXPECT_EQ(Hex(Unblock(c(), "22222222", "1111")), "9000");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "1111")), "9000");
  // The changed PIN sets the PIN state to 4 on a card that started in 3.
  InsertFreshCard(1, name_ + "-state3", {"--pin-state", "3"});
  Card fresh(1);
  ASSERT_TRUE(fresh.ok());
  EXPECT_EQ(Hex(fresh.Transmit(H("00 CA 02 00 01"))), "039000");
  EXPECT_EQ(Hex(Change(fresh, 0x00, "1234", "2468")), "9000");
  EXPECT_EQ(Hex(fresh.Transmit(H("00 CA 02 00 01"))), "049000");
}

// The provider verifies under AP-CIPH and signs under AP-SIGN: the verified
// state must survive selects and channel changes, and end with logout,
// reset and power-off.
TEST_F(Pin, VerifiedStateBelongsToTheCard) {
  auto ciph = SelectAndOpen(c(), 2);
  ASSERT_TRUE(ciph);
  EXPECT_EQ(Hex(SmSend(c(), *ciph, Cat({H("00 20 00 11 08"), PinBlock("1234")}))), "9000");
  auto sign = SelectAndOpen(c(), 1);
  ASSERT_TRUE(sign);
  EXPECT_EQ(Hex(SmSend(c(), *sign, H("00 20 00 11 00"))), "9000");
  ASSERT_EQ(SelectApp(c(), 2)[0], 0x61);
  EXPECT_EQ(Hex(Query(c(), 0x11)), "9000");
  ASSERT_EQ(c().Transmit(H("00 A4 00 04 02 3F 00"))[0], 0x61);
  EXPECT_EQ(Hex(Query(c(), 0x11)), "9000");

  // Reset clears it.
  EXPECT_EQ(c().Reconnect(SCARD_RESET_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(Hex(Query(c(), 0x11)), "63C3");
  // Power-off clears it.
  ASSERT_EQ(Hex(Verify(c(), 0x11, "1234")), "9000");
  EXPECT_EQ(c().Reconnect(SCARD_UNPOWER_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(Hex(Query(c(), 0x11)), "63C3");
  // Logout under a channel clears it.
  ASSERT_EQ(Hex(Verify(c(), 0x11, "1234")), "9000");
  sign = SelectAndOpen(c(), 1);
  ASSERT_TRUE(sign);
  EXPECT_EQ(Hex(SmSend(c(), *sign, H("00 2E 00 11 00"))), "9000");
  EXPECT_EQ(Hex(SmSend(c(), *sign, H("00 20 00 11 00"))), "63C3");
  // The trace shows the power events that cleared it.
  int resets = 0, offs = 0;
  for (const auto& e : ReadTrace(0)) {
    if (e.kind != "POWER") continue;
    resets += e.rest.rfind("reset", 0) == 0;
    offs += e.rest == "off";
  }
  EXPECT_GE(resets, 1);
  EXPECT_GE(offs, 1);
}

TEST_F(Pin, TriesSurviveARestartOfTheSimulator) {
  EXPECT_EQ(Hex(Verify(c(), 0x11, "0000")), "63C2");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "1234")), "9000");
  EXPECT_EQ(Hex(Verify(c(), 0x11, "0000")), "63C2");
  card_.reset();
  std::string out;
  ASSERT_EQ(Vornenv({"remove", "0"}, &out), 0) << out;
  ASSERT_EQ(Vornenv({"insert", "0", path_}, &out), 0) << out;
  Card again(0);
  ASSERT_TRUE(again.ok());
  // Tries persist; the verified state does not (the card was powered off).
  EXPECT_EQ(Hex(Query(again, 0x11)), "63C2");
}

}  // namespace
}  // namespace stacktest
