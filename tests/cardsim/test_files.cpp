// ATR, power, files, GET DATA, GET CHALLENGE and the APDU parser.
#include "sim_host.h"

using namespace simtest;
using vorn::cardsim::PersoOptions;

TEST(Files, AtrAndPower) {
  TestCard c;
  EXPECT_EQ(X(c.card->atr()), "3B7F940000803180719067564F524E312E309000");
  c.card->power_off();
  EXPECT_EQ(X(c.tx("00A40004023F00")), "6F00");  // no answer from an unpowered card
  c.card->power_on();
  EXPECT_EQ(X(c.tx("00A40004023F00")), "6116");
  PersoOptions o;
  o.atr = H("3B7F940000803180719067564F524E312E3090");  // 19 bytes
  TestCard short_atr(o);
  EXPECT_EQ(short_atr.card->atr().size(), 19u);
  o.atr = H("3B00");
  o.atr.resize(34);
  std::string err;
  EXPECT_EQ(vorn::cardsim::Card::personalise(o, &err), nullptr);
  EXPECT_EQ(err, "the ATR must have 2 to 33 bytes");
}

TEST(Files, SelectGivesSizeInBytes20And21) {
  TestCard c;
  EXPECT_EQ(X(c.tx("00A40004020FCF")), "6116");
  Bytes fci = c.tx("00C0000016");
  EXPECT_EQ(X(fci), "621482010183020FCF8A01058604000000008002" "0008" "9000");
  EXPECT_EQ(X(c.tx("00A40004025032")), "6116");
  fci = c.tx("00C0000016");
  EXPECT_EQ(fci[20] << 8 | fci[21], 32);  // token information of the default personalisation
  EXPECT_EQ(X(c.tx("00A4000C025032")), "9000");  // P2 0C: no control information
  EXPECT_EQ(X(c.tx("00A40004021234")), "6A82");
  EXPECT_EQ(X(c.tx("00A4000403123456")), "6700");
  EXPECT_EQ(X(c.tx("00A40008023F00")), "6A86");
  EXPECT_EQ(X(c.tx("00A40000023F00")), "6116");          // P2 00 answers the control information too
  EXPECT_EQ(X(c.tx("00A4040007A000000079010F")), "6A82");  // another card's application
  EXPECT_EQ(X(c.tx("00A4040C0CA00000006341502D43495048")), "9000");
  EXPECT_EQ(c.card->selected_app(), 2);
}

TEST(Files, ReadAndUpdateBinary) {
  TestCard c;
  EXPECT_EQ(X(c.tx("00B0000008")), "6986");  // no file selected
  c.tx("00A40004020FCF");
  EXPECT_EQ(X(c.tx("00B0000008")), "A4B07BD1FD0EC0D0" "9000");
  EXPECT_EQ(X(c.tx("00B0000404")), "FD0EC0D0" "9000");
  EXPECT_EQ(X(c.tx("00B0000010")), "6C08");
  EXPECT_EQ(X(c.tx("00B0000801")), "6B00");
  EXPECT_EQ(X(c.tx("00D6000202AABB")), "9000");
  EXPECT_EQ(X(c.tx("00B0000008")), "A4B0AABBFD0EC0D0" "9000");
  EXPECT_EQ(X(c.tx("00D6000702AABB")), "6700");  // past the end
  EXPECT_EQ(X(c.tx("00D6000900")), "6700");
  EXPECT_EQ(X(c.tx("00B2010400")), "6981");  // no record files
  c.tx("00A40004023F00");
  EXPECT_EQ(X(c.tx("00B0000008")), "6986");
}

TEST(Files, GetDataItems) {
  PersoOptions o;
  o.serial = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
  o.serial_given = true;
  o.pin_state = 3;
  TestCard c(o);
  EXPECT_EQ(X(c.tx("00CA010010")), "564F524E01000100" "1032547698BADCFE" "9000");
  EXPECT_EQ(X(c.tx("00CA020001")), "039000");
  EXPECT_EQ(X(c.tx("00CA030028")), "6985");  // no application selected
  c.select_app(2);
  EXPECT_EQ(X(c.tx("00CA030028")), std::string(78, '0') + "90" "9000");  // object 40 reserved, unlisted
  c.select_app(1);
  EXPECT_EQ(X(c.tx("00CA030028")), std::string(80, '0') + "9000");
  EXPECT_EQ(X(c.tx("00CA040001")), "6A88");
  EXPECT_EQ(X(c.tx("00CA010110")), "6A86");
  EXPECT_EQ(X(c.tx("00CA010008")), "6C10");
}

TEST(Files, TokenInformation) {
  PersoOptions o;
  o.label = "Test label";
  o.manufacturer = "ACME";
  o.flags = {0xE0};
  TestCard c(o);
  c.tx("00A40004025032");
  EXPECT_EQ(X(c.tx("00B000001A")), "030200E0" "0C0441434D45" "800E01000100" "54657374206C6162656C" "9000");
}

TEST(Files, GetChallenge) {
  TestCard c;
  c.random_feed = H("0102030405060708");
  EXPECT_EQ(X(c.tx("0084000008")), "0102030405060708" "9000");
  EXPECT_EQ(c.tx("0084000000").size(), 258u);  // Le 00: 256 bytes
  EXPECT_EQ(X(c.tx("0084010008")), "6A86");
}

TEST(Files, MalformedApdusGetClearStatusWords) {
  TestCard c;
  EXPECT_EQ(X(c.tx("")), "6700");
  EXPECT_EQ(X(c.tx("00A4")), "6700");
  EXPECT_EQ(X(c.tx("00A400")), "6700");
  EXPECT_EQ(X(c.tx("00A4000402")), "6700");      // Lc without data is read as Le: no FID
  EXPECT_EQ(X(c.tx("00A40004033F00")), "6700");  // Lc longer than the data
  EXPECT_EQ(X(c.tx("00A40004013F00AA")), "6700");
  EXPECT_EQ(X(c.tx("00A40004003F00")), "6700");  // Lc 0 with data
  EXPECT_EQ(X(c.tx("FFA40004023F00")), "6E00");
  EXPECT_EQ(X(c.tx("01A40004023F00")), "6E00");
  EXPECT_EQ(X(c.tx("0060000000")), "6D00");
  EXPECT_EQ(X(c.tx("00FE000000")), "6D00");
  EXPECT_EQ(X(c.tx("00A50000")), "6D00");          // odd INS
  EXPECT_EQ(X(c.tx("10A40004023F00")), "6884");  // chaining only for PSO
  EXPECT_EQ(X(c.tx("00C0000010")), "6985");       // nothing pending
  EXPECT_EQ(X(c.tx("8448000100")), "6982");  // object command without channel
  EXPECT_EQ(X(c.tx("0022000003810101")), "6982");
  // Case 1 (4 bytes) and case 3 with a trailing Le are accepted.
  EXPECT_EQ(X(c.tx("002E0011")), "9000");
  EXPECT_EQ(X(c.tx("00A40004023F0000")), "6116");
}

TEST(Files, GetResponseChainsInPlain) {
  TestCard c;
  EXPECT_EQ(X(c.tx("00A40004025032")), "6116");
  EXPECT_EQ(X(c.tx("00C0000010")), "621482010183025032" "8A0105" "86040000" "6106");
  EXPECT_EQ(X(c.tx("00C0000006")), "000080020020" "9000");
  EXPECT_EQ(X(c.tx("00C0000006")), "6985");
  EXPECT_EQ(X(c.tx("00C0010006")), "6A86");
  // Any other command drops the pending answer.
  EXPECT_EQ(X(c.tx("00A40004025032")), "6116");
  EXPECT_EQ(X(c.tx("00CA020001")), "049000");
  EXPECT_EQ(X(c.tx("00C0000016")), "6985");
}
