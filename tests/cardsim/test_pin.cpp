// User PIN 0x11 with its PUK and the SO PIN 0x0A: tries, blocking,
// unblocking, changes, logout and the tries queries.
#include "sim_host.h"

using namespace simtest;

namespace {
const char* kVerify1234 = "002000110831323334FFFFFFFF";
const char* kVerifyWrong = "002000110839393939FFFFFFFF";
}  // namespace

TEST(Pin, TriesAndBlocking) {
  TestCard c;
  EXPECT_EQ(X(c.tx("0020001100")), "63C3");  // not verified, three tries
  EXPECT_EQ(X(c.tx(kVerifyWrong)), "63C2");
  EXPECT_EQ(X(c.tx(kVerifyWrong)), "63C1");
  EXPECT_EQ(X(c.tx(kVerify1234)), "9000");   // a right PIN restores the tries
  EXPECT_EQ(X(c.tx("0020001100")), "9000");  // verified
  EXPECT_EQ(X(c.tx(kVerifyWrong)), "63C2");  // a failed VERIFY clears the verified state
  EXPECT_FALSE(c.card->pin_verified(0x11));
  EXPECT_EQ(X(c.tx(kVerifyWrong)), "63C1");
  EXPECT_EQ(X(c.tx(kVerifyWrong)), "63C0");
  EXPECT_EQ(X(c.tx(kVerify1234)), "6983");  // blocked: even the right PIN
  EXPECT_EQ(X(c.tx("0020001100")), "6983");
  EXPECT_FALSE(c.card->pin_verified(0x11));
  EXPECT_NE(c.card->to_text().find("pin 11 31323334FFFFFFFF 0 "), std::string::npos);
}

TEST(Pin, UnblockWithPukAndPukBlocking) {
  TestCard c;
  for (int i = 0; i < 3; ++i) c.tx(kVerifyWrong);
  EXPECT_EQ(X(c.tx("002C001100")), "63C3");  // PUK tries
  EXPECT_EQ(X(c.tx("002C001110" "3131313131313131" "35353535FFFFFFFF")), "63C2");  // wrong PUK
  EXPECT_EQ(X(c.tx("002C001110" "3132333435363738" "35353535FFFFFFFF")), "9000");
  EXPECT_EQ(X(c.tx("002C001100")), "63C3");
  EXPECT_EQ(X(c.tx("002000110835353535FFFFFFFF")), "9000");  // the new PIN
  EXPECT_EQ(X(c.tx(kVerify1234)), "63C2");
  for (int i = 0; i < 3; ++i) c.tx("002C001110" "3131313131313131" "35353535FFFFFFFF");
  EXPECT_EQ(X(c.tx("002C001100")), "6983");
  EXPECT_EQ(X(c.tx("002C001110" "3132333435363738" "35353535FFFFFFFF")), "6983");
  EXPECT_EQ(X(c.tx("002C001108" "3132333435363738")), "6700");
}

TEST(Pin, ChangePinAndPuk) {
  vorn::cardsim::PersoOptions o;
  o.pin_state = 3;
  TestCard c(o);
  EXPECT_EQ(X(c.tx("00CA020001")), "039000");
  EXPECT_EQ(X(c.tx("0024001110" "39393939FFFFFFFF" "35353535FFFFFFFF")), "63C2");
  EXPECT_EQ(X(c.tx("00CA020001")), "039000");
  EXPECT_EQ(X(c.tx("0024001110" "31323334FFFFFFFF" "35353535FFFFFFFF")), "9000");
  EXPECT_EQ(X(c.tx("00CA020001")), "049000");  // PIN now set
  EXPECT_EQ(X(c.tx("002000110835353535FFFFFFFF")), "9000");
  // P1 80: the PUK of the reference.
  EXPECT_EQ(X(c.tx("0024801110" "3132333435363738" "3838383838383838")), "9000");
  EXPECT_EQ(X(c.tx("0024801110" "3132333435363738" "3838383838383838")), "63C2");
  EXPECT_EQ(X(c.tx("002C001110" "3838383838383838" "36363636FFFFFFFF")), "9000");
  EXPECT_EQ(X(c.tx("002000110836363636FFFFFFFF")), "9000");
  EXPECT_EQ(X(c.tx("0024401110" "31323334FFFFFFFF" "35353535FFFFFFFF")), "6A86");
  EXPECT_EQ(X(c.tx("002400110831323334FFFFFFFF")), "6700");
}

TEST(Pin, TheUnblockSequenceOfTheHost) {
  // The host unblocks 0x11 by swapping the PUK for the cached PIN, resetting
  // the counter with it and swapping the PUK back.
  TestCard c;
  for (int i = 0; i < 3; ++i) c.tx(kVerifyWrong);
  const std::string x = "31323334FFFFFFFF", puk = "3132333435363738", fresh = "37373737FFFFFFFF";
  EXPECT_EQ(X(c.tx("0024801110" + puk + x)), "9000");
  EXPECT_EQ(X(c.tx("002C001110" + x + fresh)), "9000");
  EXPECT_EQ(X(c.tx("0024801110" + x + puk)), "9000");
  EXPECT_EQ(X(c.tx("0020001108" + fresh)), "9000");
  EXPECT_EQ(X(c.tx("002C001100")), "63C3");
}

TEST(Pin, SecurityOfficerPinAndLogout) {
  TestCard c;  // SO PIN defaults to the PUK
  EXPECT_EQ(X(c.tx("0020000A083132333435363738")), "9000");
  EXPECT_TRUE(c.card->pin_verified(0x0A));
  EXPECT_FALSE(c.card->pin_verified(0x11));
  EXPECT_EQ(X(c.tx("002E000A00")), "9000");
  EXPECT_FALSE(c.card->pin_verified(0x0A));
  EXPECT_EQ(X(c.tx("002C000A00")), "6A88");  // no unblocking code for the SO PIN
  EXPECT_EQ(X(c.tx("0024800A10" "3132333435363738" "3132333435363738")), "6A88");
  EXPECT_EQ(X(c.tx(kVerify1234)), "9000");
  EXPECT_EQ(X(c.tx("002E001100")), "9000");
  EXPECT_EQ(X(c.tx("0020001100")), "63C3");
  // Other references are not on this card.
  EXPECT_EQ(X(c.tx("002000010831323334FFFFFFFF")), "6A88");
  EXPECT_EQ(X(c.tx("002E000100")), "6A88");
  EXPECT_EQ(X(c.tx("002001110831323334FFFFFFFF")), "6A86");
  EXPECT_EQ(X(c.tx("002000110431323334")), "6700");
}

TEST(Pin, VerifiedStateEndsAtPowerOff) {
  TestCard c;
  EXPECT_EQ(X(c.tx(kVerify1234)), "9000");
  c.select_app(1);
  c.select_app(2);
  EXPECT_TRUE(c.card->pin_verified(0x11));
  c.card->power_off();
  c.card->power_on();
  EXPECT_FALSE(c.card->pin_verified(0x11));
}
