// Card objects through the real stack: attribute lists written and read in
// chained pieces, values and their access rules, deletion, the reserved
// container-map object.
#include <gtest/gtest.h>

#include "stack_client.h"

namespace stacktest {
namespace {

std::uint8_t MapByte(Card& c, const Channel& ch, int number) {
  Bytes map = SmSend(c, ch, H("00 CA 03 00 28"));
  EXPECT_EQ(map.size(), 42u);
  return map.size() == 42 ? map[static_cast<std::size_t>(number - 1)] : 0xEE;
}

Bytes ReadAttrs(Card& c, const Channel& ch, int number) {
  return SmSend(c, ch, {0x84, 0x50, 0x00, static_cast<std::uint8_t>(number), 0x03, 0x8B, 0x01, 0x02});
}
Bytes ReadValue(Card& c, const Channel& ch, int number, std::uint8_t what = 0x01) {
  return SmSend(c, ch, {0x84, 0x50, 0x00, static_cast<std::uint8_t>(number), 0x03, 0x8B, 0x01, what});
}

// The pieces after an 84 48 header: at most 239 bytes each (the channel's
// chunk), P1 = piece index + 2, bit 7 on the last piece.
void WritePieces(Card& c, const Channel& ch, int number, const Bytes& body) {
  const std::size_t pieces = (body.size() + 238) / 239;
  for (std::size_t i = 0; i < pieces; ++i) {
    std::size_t off = i * 239, len = std::min<std::size_t>(239, body.size() - off);
    auto p1 = static_cast<std::uint8_t>((i + 2) | (i + 1 == pieces ? 0x80 : 0));
    const Bytes header{0x84, 0x48, p1, static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(len)};
    ASSERT_EQ(Hex(SmSend(c, ch, Cat({header, std::span(body).subspan(off, len)}))), "9000") << "piece " << i;
  }
}

void WriteAttrs(Card& c, const Channel& ch, int number, const Bytes& list) {
  const Bytes head{0x84, 0x48, 0x00, static_cast<std::uint8_t>(number), 0x07, 0x82, 0x02,
                   static_cast<std::uint8_t>(list.size() >> 8), static_cast<std::uint8_t>(list.size()), 0x83, 0x01, 0x06};
  ASSERT_EQ(Hex(SmSend(c, ch, head)), "9000");
  WritePieces(c, ch, number, list);
}

// A data object (card type 05) with the given access class and value.
void StoreData(Card& c, const Channel& ch, int number, std::uint8_t access, const Bytes& value) {
  const Bytes head{0x84, 0x48, 0x00, static_cast<std::uint8_t>(number), 0x0D, 0x82, 0x02,
                   static_cast<std::uint8_t>(value.size() >> 8), static_cast<std::uint8_t>(value.size()),
                   0x83, 0x01, 0x05, 0x86, 0x01, access, 0x88, 0x01, 0x00};
  ASSERT_EQ(Hex(SmSend(c, ch, head)), "9000");
  WritePieces(c, ch, number, value);
}

const Attr* Find(const std::vector<Attr>& attrs, std::uint16_t type) {
  for (const auto& a : attrs)
    if (a.type == type) return &a;
  return nullptr;
}

TEST(Objects, WriteReadDeleteRoundTripsWithChaining) {
  Card c(0);
  ASSERT_TRUE(c.ok());
  auto ch = SelectAndOpen(c, 2);
  ASSERT_TRUE(ch);
  // The demo content takes 1-3; 4 and 5 are free.
  ASSERT_EQ(MapByte(c, *ch, 4), 0x00);
  ASSERT_EQ(MapByte(c, *ch, 5), 0x00);
  // An attribute list needs an object: none yet at 4.
  EXPECT_EQ(Hex(SmSend(c, *ch, H("84 48 00 04 07 82 02 00 10 83 01 06"))), "6A88");

  Bytes value(300);
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<std::uint8_t>(i * 13 + 1);
  std::size_t mark = ReadTrace(0).size();
  StoreData(c, *ch, 4, 0x00, value);
  Bytes big(550);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const Bytes list = EncodeAttrs({{0x0000, H("00000000")}, {0x0003, Bytes{'d', 'a', 't', 'a'}}, {0x0011, big},
                                  {0x0102, Bytes{}}, {0x8004, Bytes(20, 0xA5)}});
  ASSERT_EQ(list.size(), 2u + 20u + 4u + 4u + 550u + 20u);
  WriteAttrs(c, *ch, 4, list);
  // Value in two pieces (P1 02, 83), the list in three (02, 03, 84).
  std::vector<std::string> p1s;
  for (const auto& e : TraceSince(0, mark))
    if (e.pcmd.rfind("8048", 0) == 0 && e.pcmd.substr(4, 2) != "00") p1s.push_back(e.pcmd.substr(4, 2));
  EXPECT_EQ(p1s, (std::vector<std::string>{"02", "83", "02", "03", "84"}));
  EXPECT_EQ(MapByte(c, *ch, 4), 0x10);  // kind 0, access class 00

  EXPECT_EQ(Hex(ReadValue(c, *ch, 4, 0x03)), "012C9000");
  EXPECT_EQ(Hex(ReadValue(c, *ch, 4)), Hex(value) + "9000");
  EXPECT_EQ(Hex(ReadAttrs(c, *ch, 4)), Hex(list) + "9000");

  // A private data object: attributes without the PIN, the value with it.
  StoreData(c, *ch, 5, 0x02, H("0102030405060708090A"));
  WriteAttrs(c, *ch, 5, EncodeAttrs({{0x0003, Bytes{'p'}}}));
  EXPECT_EQ(MapByte(c, *ch, 5), 0x08);
  EXPECT_EQ(Hex(ReadAttrs(c, *ch, 5)), "0004000300017090" "00");
  EXPECT_EQ(Hex(ReadValue(c, *ch, 5)), "6982");

  // The same objects seen from a second connection with a channel of its own.
  Card other(0);
  auto ch2 = SelectAndOpen(other, 2);
  ASSERT_TRUE(ch2);
  EXPECT_EQ(Hex(ReadAttrs(other, *ch2, 4)), Hex(list) + "9000");
  EXPECT_EQ(Hex(SmSend(other, *ch2, Cat({H("00 20 00 11 08"), PinBlock("1234")}))), "9000");
  EXPECT_EQ(Hex(ReadValue(other, *ch2, 5)), "0102030405060708090A9000");
  EXPECT_EQ(Hex(SmSend(other, *ch2, H("00 2E 00 11 00"))), "9000");

  // Deleting the private object needs the PIN too.
  EXPECT_EQ(Hex(SmSend(other, *ch2, H("84 52 00 05 00"))), "6982");
  EXPECT_EQ(MapByte(other, *ch2, 5), 0x08);
  EXPECT_EQ(Hex(SmSend(other, *ch2, Cat({H("00 20 00 11 08"), PinBlock("1234")}))), "9000");
  for (int n : {4, 5}) {
    EXPECT_EQ(Hex(SmSend(other, *ch2, {0x84, 0x52, 0x00, static_cast<std::uint8_t>(n), 0x00})), "9000");
    EXPECT_EQ(MapByte(other, *ch2, n), 0x00);
    EXPECT_EQ(Hex(ReadAttrs(other, *ch2, n)), "6A88");
    EXPECT_EQ(Hex(SmSend(other, *ch2, {0x84, 0x52, 0x00, static_cast<std::uint8_t>(n), 0x00})), "6A88");
  }
  EXPECT_EQ(Hex(SmSend(other, *ch2, H("00 2E 00 11 00"))), "9000");
}

TEST(Objects, AttributesWithoutPinValuesByAccessRules) {
  Card c(0);
  ASSERT_TRUE(c.ok());
  auto ch = SelectAndOpen(c, 1);
  ASSERT_TRUE(ch);
  // Private key 1: attributes without the PIN, with the modulus and the key
  // identifier SHA-1(modulus).
  Bytes priv = ReadAttrs(c, *ch, 1);
  ASSERT_EQ(Sw(priv), 0x9000);
  auto attrs = DecodeAttrs(Data(priv));
  ASSERT_TRUE(attrs);
  const Attr* modulus = Find(*attrs, 0x0120);
  const Attr* keyid = Find(*attrs, 0x8004);
  const Attr* klass = Find(*attrs, 0x0000);
  ASSERT_TRUE(modulus && keyid && klass);
  ASSERT_EQ(modulus->value.size(), 256u);
  EXPECT_EQ(Hex(keyid->value), Hex(Sha1(modulus->value)));
  EXPECT_EQ(Hex(klass->value), "03000000");  // values as the host's 32-bit ULONG
  // Value sizes are readable without the PIN: 640 for the private key, 264
  // for the public key.
  EXPECT_EQ(Hex(ReadValue(c, *ch, 1, 0x03)), "02809000");
  EXPECT_EQ(Hex(ReadValue(c, *ch, 2, 0x03)), "01089000");
  // The public value: modulus then 00 00 00 00 00 01 00 01.
  Bytes pub = ReadValue(c, *ch, 2);
  ASSERT_EQ(pub.size(), 266u);
  EXPECT_EQ(Hex(std::span(pub).first(256)), Hex(modulus->value));
  EXPECT_EQ(Hex(std::span(pub).subspan(256)), "00000000000100019000");
  // The private value: the demo key is not extractable, so it stays on the
  // card with and without the PIN.
  EXPECT_EQ(Hex(ReadValue(c, *ch, 1)), "6986");
  EXPECT_EQ(Hex(SmSend(c, *ch, Cat({H("00 20 00 11 08"), PinBlock("1234")}))), "9000");
  EXPECT_EQ(Hex(ReadValue(c, *ch, 1)), "6986");
  // The certificate value carries the same modulus.
  Bytes cert = ReadValue(c, *ch, 3);
  ASSERT_EQ(Sw(cert), 0x9000);
  EXPECT_EQ(Data(cert)[0], 0x30);
  std::string cert_hex = Hex(Data(cert));
  EXPECT_NE(cert_hex.find("0282010100" + Hex(modulus->value)), std::string::npos);
  SmSend(c, *ch, H("00 2E 00 11 00"));
}

TEST(Objects, ReservedContainerMapObject) {
  Card c(0);
  ASSERT_TRUE(c.ok());
  auto ch = SelectAndOpen(c, 2);
  ASSERT_TRUE(ch);
  // Never free (bit 7: not listed), starting with an empty attribute list.
  EXPECT_EQ(MapByte(c, *ch, 40) & 0x80, 0x80);
  EXPECT_EQ(Hex(ReadAttrs(c, *ch, 40)), "9000");
  // The provider keeps its container map there.
  const Bytes list = EncodeAttrs({{0x0000, Bytes(40, 0x11)}, {0x0001, Bytes(40, 0x22)}});
  WriteAttrs(c, *ch, 40, list);
  EXPECT_EQ(Hex(Data(ReadAttrs(c, *ch, 40))), Hex(list));
  EXPECT_EQ(MapByte(c, *ch, 40) & 0x80, 0x80);
  // Object commands need the channel of the application.
  ASSERT_EQ(SelectApp(c, 2)[0], 0x61);
  EXPECT_EQ(Hex(c.Transmit(H("84 50 00 28 03 8B 01 02"))), "6982");
}

}  // namespace
}  // namespace stacktest
