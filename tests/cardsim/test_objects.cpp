// Objects: the map, attribute lists and values written in pieces and read
// with 61 chaining, deletion, access rules and the container-map object.
#include "sim_host.h"

using namespace simtest;

namespace {

std::string hex2(std::size_t v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02X", static_cast<unsigned>(v & 0xFF));
  return b;
}

// Sends `data` as pieces 84 48 P1 N with P1 = index + 2, bit 7 on the last.
void write_pieces(Channel& ch, int num, const Bytes& data, std::size_t piece = 239) {
  std::size_t n = (data.size() + piece - 1) / piece;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t len = std::min(piece, data.size() - i * piece);
    std::uint8_t p1 = static_cast<std::uint8_t>((i + 2) | (i + 1 == n ? 0x80 : 0));
    Bytes cmd(5 + len);
    cmd[0] = 0x84;
    cmd[1] = 0x48;
    cmd[2] = p1;
    cmd[3] = static_cast<std::uint8_t>(num);
    cmd[4] = static_cast<std::uint8_t>(len);
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(i * piece),
              data.begin() + static_cast<std::ptrdiff_t>(i * piece + len), cmd.begin() + 5);
    ASSERT_EQ(X(ch.send(cmd)), "9000") << "piece " << i;
  }
}

Bytes pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 13);
  return b;
}

// Creates a data object with a value (kind 0); ac and b6 as in key_store.
void store_data(Channel& ch, int num, const Bytes& value, const std::string& ac = "00", const std::string& b6 = "00") {
  ASSERT_EQ(X(ch.send("844800" + hex2(num) + "0D8202" + hex2(value.size() >> 8) + hex2(value.size()) +
                      "8301058601" + ac + "8801" + b6)),
            "9000");
  write_pieces(ch, num, value);
}

}  // namespace

TEST(Objects, ValueAndAttributeListRoundTripWithChaining) {
  TestCard c;
  Channel ch = Channel::open(c, ciph_key(), 2);
  Bytes value = pattern(500, 1);
  store_data(ch, 1, value);
  EXPECT_EQ(c.card->object_map(2)[0], 0x10);  // data object, access class 10
  Bytes attrs = pattern(300, 7);
  EXPECT_EQ(X(ch.send("84480001078202012C830106")), "9000");
  write_pieces(ch, 1, attrs);
  // Reads: the attribute list, the value and its size.
  Bytes r = c.tx(ch.wrap(H("8450000103" "8B0102")));
  EXPECT_EQ(X(r), "61F4");  // 239 bytes enciphered: 240 + 4
  EXPECT_EQ(X(ch.send("8450000103" "8B0102")), X(attrs) + "9000");
  EXPECT_EQ(X(ch.send("8450000103" "8B0101")), X(value) + "9000");
  EXPECT_EQ(X(ch.send("8450000103" "8B0103")), "01F4" "9000");
  // The map lists it.
  Bytes map = ch.send("00CA030028");
  EXPECT_EQ(X(map).substr(0, 2), "10");
  // Rewriting the list replaces it.
  EXPECT_EQ(X(ch.send("8448000107820200048301" "06")), "9000");
  write_pieces(ch, 1, H("00040001"));
  EXPECT_EQ(X(ch.send("8450000103" "8B0102")), "00040001" "9000");
  // An empty list: the read answers 90 00 without data.
  EXPECT_EQ(X(ch.send("8448000107820200008301" "06")), "9000");
  EXPECT_EQ(X(ch.send("8450000103" "8B0102")), "9000");
}

TEST(Objects, PiecesMustFollowTheHeader) {
  TestCard c;
  Channel ch = Channel::open(c, sign_key(), 1);
  EXPECT_EQ(X(ch.send("84488201" "0411223344")), "6985");  // no header before
  EXPECT_EQ(X(ch.send("8448000107820200088301" "06")), "6A88");  // list of a free number
  EXPECT_EQ(X(ch.send("844800010A" "820200088301058601" "00")), "9000");
  EXPECT_EQ(X(ch.send("84480301" "0411223344")), "6985");   // index 1 before index 0
  EXPECT_EQ(X(ch.send("844800010A" "820200088301058601" "00")), "9000");
  EXPECT_EQ(X(ch.send("84480201" "0411223344")), "9000");
  EXPECT_EQ(X(ch.send("84488301" "03112233")), "6700");  // last piece one byte short
  EXPECT_EQ(X(ch.send("84488301" "0411223344")), "6985");  // the write was abandoned
  EXPECT_EQ(X(ch.send("844800010A" "820200088301048601" "00")), "6A89");  // another type on a used number
  EXPECT_EQ(X(ch.send("844800010A" "820240018301058601" "00")), "6A84");  // over 16 KB
  EXPECT_EQ(X(ch.send("844800000A" "820200088301058601" "00")), "6A86");  // object 0
  EXPECT_EQ(X(ch.send("844800290A" "820200088301058601" "00")), "6A86");  // object 41
  EXPECT_EQ(X(ch.send("844800010A" "820200088301078601" "00")), "6A80");  // unknown type
  EXPECT_EQ(X(ch.send("8448000105" "8202000883")), "6A80");               // truncated TLV
  EXPECT_EQ(X(ch.send("844801010A" "820200088301058601" "00")), "6985");  // key reference form without a key
}

TEST(Objects, AccessRules) {
  TestCard c;
  Channel ch = Channel::open(c, ciph_key(), 2);
  store_data(ch, 3, pattern(20, 3), "01", "01");
  EXPECT_EQ(c.card->object_map(2)[2], 0x58);  // private data object
  EXPECT_EQ(X(ch.send("8448000307820200048301" "06")), "9000");  // first list of a new object: no PIN
  write_pieces(ch, 3, H("00000000"));
  EXPECT_EQ(X(ch.send("8450000303" "8B0102")), "00000000" "9000");  // lists are public
  EXPECT_EQ(X(ch.send("8450000303" "8B0103")), "0014" "9000");      // so are sizes
  EXPECT_EQ(X(ch.send("8450000303" "8B0101")), "6982");             // the value is not
  EXPECT_EQ(X(ch.send("8448000307820200048301" "06")), "6982");     // nor a rewrite of its list
  EXPECT_EQ(X(ch.send("8452000300")), "6982");
  EXPECT_EQ(X(ch.send("002000110831323334FFFFFFFF")), "9000");
  EXPECT_EQ(X(ch.send("8450000303" "8B0101")), X(pattern(20, 3)) + "9000");
  EXPECT_EQ(X(ch.send("8452000300")), "9000");
  EXPECT_EQ(c.card->object_map(2)[2], 0x00);
  EXPECT_EQ(X(ch.send("8452000300")), "6A88");
  EXPECT_EQ(X(ch.send("8450000303" "8B0101")), "6A88");
  EXPECT_EQ(X(ch.send("8450000303" "8B0104")), "6A88");
  EXPECT_EQ(X(ch.send("8450020303" "8B0101")), "6A86");
}

TEST(Objects, ContainerMapObjectIsReserved) {
  TestCard c;
  Channel ch = Channel::open(c, ciph_key(), 2);
  EXPECT_EQ(X(ch.send("8450002803" "8B0102")), "9000");  // empty attribute list
  EXPECT_EQ(X(ch.send("8452002800")), "6986");
  // The provider writes its ten entries as an attribute list.
  Bytes list = H("0028");
  for (int t = 0; t < 10; ++t) list.insert(list.end(), {0x00, static_cast<std::uint8_t>(t), 0x00, 0x00});
  EXPECT_EQ(X(ch.send("8448002807820200" + hex2(list.size()) + "830106")), "9000");
  write_pieces(ch, 40, list);
  EXPECT_EQ(X(ch.send("8450002803" "8B0102")), X(list) + "9000");
  EXPECT_EQ(c.card->object_map(2)[39], 0x90);
  // The first free number is still 1 in both applications.
  EXPECT_EQ(c.card->object_map(2)[0], 0x00);
}

TEST(Objects, ApplicationsHaveTheirOwnObjects) {
  TestCard c;
  Channel ch = Channel::open(c, sign_key(), 1);
  store_data(ch, 1, H("AABB"));
  Channel ch2 = Channel::open(c, ciph_key(), 2);
  EXPECT_EQ(X(ch2.send("8450000103" "8B0101")), "6A88");
  Channel ch3 = Channel::open(c, sign_key(), 1);
  EXPECT_EQ(X(ch3.send("8450000103" "8B0101")), "AABB9000");
  // After leaving to the master file the channel stays but no object is reachable.
  EXPECT_EQ(X(ch3.send("00A4000C023F00")), "9000");
  EXPECT_EQ(X(ch3.send("8450000103" "8B0101")), "6985");
}

TEST(Objects, CardMemoryRunsOut) {
  TestCard c;
  Channel ch = Channel::open(c, ciph_key(), 2);
  int stored = 0;
  for (int n = 1; n <= 39; ++n) {
    Bytes r = ch.send("844800" + hex2(n) + "0A" "82023E80830105860100");
    if (X(r) == "6A84") break;
    ASSERT_EQ(X(r), "9000");
    write_pieces(ch, n, Bytes(0x3E80, static_cast<std::uint8_t>(n)));
    ++stored;
  }
  EXPECT_EQ(stored, 6);  // 6 x 16000 bytes fit in 96 KB with the files, a seventh does not
}
