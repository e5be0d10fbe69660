// The card as the host first sees it, through pcscd and vpcd: ATR, the
// transparent files and their sizes, GET DATA.
#include <gtest/gtest.h>

#include "stack_client.h"
#include "vorn/personalisation.h"

namespace stacktest {
namespace {

constexpr const char* kVornAtr = "3B7F940000803180719067564F524E312E309000";

// SELECT by file identifier from the master file; returns the FCI (+ SW).
Bytes SelectFile(Card& card, std::uint16_t fid) {
  Bytes rsp = card.Transmit({0x00, 0xA4, 0x00, 0x04, 0x02, static_cast<std::uint8_t>(fid >> 8),
                             static_cast<std::uint8_t>(fid)});
  if (rsp.size() != 2 || rsp[0] != 0x61) return rsp;
  return card.GetResponse(rsp[1]);
}

int FciSize(const Bytes& fci) { return fci.size() >= 22 ? fci[20] << 8 | fci[21] : -1; }

// Reads a whole transparent file in plain with READ BINARY.
Bytes ReadFile(Card& card, std::uint16_t fid) {
  Bytes fci = SelectFile(card, fid);
  int size = FciSize(fci);
  Bytes out;
  for (int off = 0; off < size;) {
    int n = std::min(size - off, 256);
    Bytes rsp = card.Transmit({0x00, 0xB0, static_cast<std::uint8_t>(off >> 8), static_cast<std::uint8_t>(off),
                               static_cast<std::uint8_t>(n == 256 ? 0 : n)});
    EXPECT_EQ(Sw(rsp), 0x9000) << "READ BINARY at " << off;
    if (Sw(rsp) != 0x9000) break;
    Bytes d = Data(rsp);
    out.insert(out.end(), d.begin(), d.end());
    off += n;
  }
  return out;
}

TEST(Card, AtrIsTheVornPattern) {
  Card card(0);
  ASSERT_TRUE(card.ok()) << std::hex << card.connect_rv();
  EXPECT_EQ(Hex(card.Atr()), kVornAtr);
}

TEST(Card, FilesAnswer61AndCarryTheirSizeInTheFci) {
  InsertFreshCard(1, "files", {"--serial", "0102030405060708", "--label", "Stack test card", "--manufacturer",
                               "ACME", "--flags", "0460", "--pin-state", "3"});
  Card card(1);
  ASSERT_TRUE(card.ok());
  // 3F00 and the two files all answer SELECT with 61 xx, then the FCI.
  for (std::uint16_t fid : {0x3F00, 0x0FCF, 0x5032}) {
    Bytes rsp = card.Transmit({0x00, 0xA4, 0x00, 0x04, 0x02, static_cast<std::uint8_t>(fid >> 8),
                               static_cast<std::uint8_t>(fid)});
    ASSERT_EQ(rsp.size(), 2u) << std::hex << fid;
    EXPECT_EQ(rsp[0], 0x61) << std::hex << fid;
  }
  EXPECT_EQ(FciSize(SelectFile(card, 0x0FCF)), 8);
  // Token information: 03 flags bit string (unused-bits byte first),
  // 0C manufacturer, 80 four version bytes + label.
  Bytes token = ReadFile(card, 0x5032);
  const std::string label = "Stack test card";
  ASSERT_EQ(token.size(), 5u + 6u + 2u + 4u + label.size()) << Hex(token);
  EXPECT_EQ(FciSize(SelectFile(card, 0x5032)), static_cast<int>(token.size()));
  EXPECT_EQ(Hex(std::span(token).first(5)), "0303000460");
  EXPECT_EQ(Hex(std::span(token).subspan(5, 6)), "0C0441434D45");  // "ACME"
  EXPECT_EQ(token[11], 0x80);
  EXPECT_EQ(token[12], 4 + label.size());
  EXPECT_EQ(std::string(token.begin() + 17, token.end()), label);
  // The PIN cache holds the user PIN block enciphered under the PIN-cache key.
  EXPECT_EQ(Hex(ReadFile(card, 0x0FCF)), Hex(Des3Ecb(vorn::perso::kPinCacheKey, PinBlock("1234"), true)));
  // A file that does not exist, and the reserved identifier 0000.
  EXPECT_EQ(Hex(card.Transmit(H("00 A4 00 04 02 12 34"))), "6A82");
}

TEST(Card, GetDataItems) {
  InsertFreshCard(1, "getdata", {"--serial", "A1B2C3D4E5F60718", "--pin-state", "3"});
  Card card(1);
  ASSERT_TRUE(card.ok());
  Bytes id = card.Transmit(H("00 CA 01 00 10"));
  ASSERT_EQ(id.size(), 18u);
  EXPECT_EQ(Sw(id), 0x9000);
  EXPECT_EQ(Hex(std::span(id).subspan(8, 8)), "A1B2C3D4E5F60718");
  EXPECT_EQ(Hex(card.Transmit(H("00 CA 02 00 01"))), "039000");

  Card demo(0);
  EXPECT_EQ(Hex(demo.Transmit(H("00 CA 02 00 01"))), "049000");
  // Object maps: the demo content is a key pair and a certificate per
  // application; object 40 of AP-CIPH is reserved for the container map.
  for (int app : {1, 2}) {
    ASSERT_EQ(SelectApp(demo, app)[0], 0x61);
    Bytes map = demo.Transmit(H("00 CA 03 00 28"));
    ASSERT_EQ(map.size(), 42u) << "app " << app;
    EXPECT_EQ(Sw(map), 0x9000);
    int used = 0;
    for (int i = 0; i < 39; ++i) used += map[static_cast<std::size_t>(i)] != 0;
    EXPECT_EQ(used, 3) << "app " << app << " map " << Hex(map);
    if (app == 2) {
      EXPECT_NE(map[39], 0) << "object 40 of AP-CIPH must never look free";
    }
  }
  // The fresh card has nothing but the reserved object.
  ASSERT_EQ(SelectApp(card, 2)[0], 0x61);
  Bytes fresh_map = card.Transmit(H("00 CA 03 00 28"));
  ASSERT_EQ(fresh_map.size(), 42u);
  EXPECT_EQ(Hex(std::span(fresh_map).first(39)), std::string(78, '0'));
  ASSERT_EQ(SelectApp(card, 1)[0], 0x61);
  EXPECT_EQ(Hex(card.Transmit(H("00 CA 03 00 28"))), std::string(80, '0') + "9000");
}

TEST(Card, UpdateBinaryRoundTripAndBounds) {
  InsertFreshCard(1, "update");
  Card card(1);
  ASSERT_TRUE(card.ok());
  ASSERT_EQ(card.Transmit(H("00 A4 00 04 02 0F CF"))[0], 0x61);
  EXPECT_EQ(Hex(card.Transmit(H("00 D6 00 00 08 11 22 33 44 55 66 77 88"))), "9000");
  EXPECT_EQ(Hex(card.Transmit(H("00 D6 00 06 02 99 AA"))), "9000");
  EXPECT_EQ(Hex(card.Transmit(H("00 B0 00 00 08"))), "112233445566" "99AA" "9000");
  EXPECT_EQ(Hex(card.Transmit(H("00 B0 00 04 04"))), "556699AA9000");
  // Past the end of the 8-byte file: nothing is read or written.
  EXPECT_EQ(Hex(card.Transmit(H("00 B0 00 09 01"))), "6B00");
  EXPECT_EQ(Sw(card.Transmit(H("00 D6 00 06 04 01 02 03 04"))), 0x6700);
  EXPECT_EQ(Hex(card.Transmit(H("00 B0 00 00 08"))), "112233445566" "99AA" "9000");
}

// Cards with other ATRs (the host must tell VORN cards from others by it).
TEST(Atr, ConfiguredAtrsReachTheHostUnchanged) {
  const char* atrs[] = {
      "3B021450",                                    // not a VORN card at all
      "3B7F940000803180719067564F524E312E3090",      // 19 bytes
      "3B7F940000803180719067564F524E312E30900000",  // 21 bytes
      "3B7F940000803180719067564F524E020304" "9000",  // other version bytes
  };
  int n = 0;
  for (const char* atr : atrs) {
    SCOPED_TRACE(atr);
    InsertFreshCard(n % 2, "atr" + std::to_string(n), {"--atr", atr});
    Card card(n % 2);
    ASSERT_TRUE(card.ok()) << std::hex << card.connect_rv();
    EXPECT_EQ(Hex(card.Atr()), atr);
    ++n;
  }
}

}  // namespace
}  // namespace stacktest
