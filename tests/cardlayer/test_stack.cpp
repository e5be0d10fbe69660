// The card layer through the real PC/SC stack: pcscd + vpcd + vorn-cardsim,
// one private stack per test group (tools/with-vornenv). The APDUs are
// checked in the simulator's trace file of the reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cardlayer.h"
#include "cardsim/cardsim.h"
#include "stack_util.h"
#include "test_util.h"

using clt::Bytes;
using clt::Conn;
using clt::hex;
using clt::unhex;

namespace {

const Bytes kPin1234 = unhex("31323334FFFFFFFF");
const Bytes kPuk = unhex("3132333435363738");
constexpr std::uint32_t kKey = 0;

bool starts(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

std::vector<std::string> plain_since(int reader, std::size_t mark) {
  return clt::plain_commands(clt::trace_since(reader, mark));
}

CardSlot slot_of(std::uint32_t key) {
  CardSlot s{};
  for (unsigned i = 0; i < CARD_TABLE_SLOTS; ++i) {
    if (card_table_read(i, &s) == VORN_OK && s.readerKey == key) return s;
  }
  std::memset(&s, 0, sizeof s);
  s.readerKey = CARD_SLOT_FREE;
  return s;
}

class Stack : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(clt::env("VORNENV_DIR").empty()) << "run under tools/with-vornenv";
    image_ = "clstack" + std::to_string(getpid());
    ASSERT_EQ(card_table_open(image_.c_str()), VORN_OK);
  }
  void TearDown() override {
    card_table_close();
    card_table_unlink(image_.c_str());
  }
  std::string image_;
};

}  // namespace

// ---------------------------------------------------------------------------
// One demo card: channel, wrapping, reads, signing, detach.

TEST_F(Stack, ChannelWrappingAndDetach) {
  Conn c(0);
  ASSERT_EQ(c.rv(), VORN_OK);
  card_attach(c.h(), kKey);
  EXPECT_EQ(slot_of(kKey).refCount, 1u);

  std::size_t m = clt::trace_mark(0);
  ASSERT_EQ(sm_open_app_channel(kKey, c.h(), CARD_APP_CIPH), VORN_OK);
  auto t = clt::trace_since(0, m);
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].cmd, "00A404040CA00000006341502D43495048");
  EXPECT_TRUE(starts(t[1].cmd, "804C020208"));
  EXPECT_EQ(t[2].cmd, "00C00000" + t[1].rsp.substr(2, 2));
  EXPECT_TRUE(starts(t[3].cmd, "804E00001C"));
  EXPECT_EQ(t[3].rsp, "9000");
  const CardSlot s = slot_of(kKey);
  ASSERT_EQ(s.channelState, CARD_CHANNEL_OPEN);
  const Bytes key(s.sessionKey, s.sessionKey + 16);

  // Lc of 24, 14 and 04 on the wire.
  m = clt::trace_mark(0);
  Bytes iv14(14, 0x11), iv13(13, 0x22);
  EXPECT_EQ(key_set_env(kKey, c.h(), 0, 0, 0, iv14.data(), 14), VORN_OK);
  EXPECT_EQ(key_set_env(kKey, c.h(), 0, 0, 0, iv13.data(), 13), VORN_OK);
  std::uint8_t tries = 0;
  EXPECT_EQ(pin_verify_raw(kKey, c.h(), PIN_REF_USER, nullptr, &tries), CARDERR_WRONG_PIN);
  t = clt::trace_since(0, m);
  ASSERT_EQ(t.size(), 3u);
  Bytes mse = unhex("8422000010890E");
  mse.insert(mse.end(), iv14.begin(), iv14.end());
  EXPECT_EQ(t[0].cmd, hex(clt::ref_wrap(key, mse)));
  EXPECT_EQ(t[0].cmd.substr(8, 2), "24");
  EXPECT_EQ(t[1].cmd.substr(8, 2), "14");
  EXPECT_EQ(t[2].cmd, hex(clt::ref_wrap(key, unhex("0020001100"))));
  EXPECT_EQ(t[2].cmd.substr(8, 2), "04");

  // READ BINARY of 16 bytes: exactly 16 bytes and 90 00 for the caller.
  std::uint8_t plain16[16];
  DWORD len = 16;
  ASSERT_EQ(card_read_binary(kKey, c.h(), CARD_FILE_TOKEN_INFO, 0, 16, plain16, &len), VORN_OK);
  m = clt::trace_mark(0);
  const std::uint8_t rb[5] = {0x00, 0xB0, 0x00, 0x00, 0x10};
  std::uint8_t r[258];
  DWORD n = sizeof r;
  ASSERT_EQ(card_transmit(kKey, c.h(), SCARD_PCI_T0, rb, 5, nullptr, r, &n), VORN_OK);
  ASSERT_EQ(n, 18u);
  EXPECT_EQ(hex(r, 16), hex(plain16, 16));
  EXPECT_EQ(hex(r + 16, 2), "9000");
  t = clt::trace_since(0, m);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].cmd, hex(clt::ref_wrap(key, unhex("00B0000010"))));
  EXPECT_EQ(t[0].rsp, "6124");
  EXPECT_EQ(t[1].cmd, "04C0000024");
  EXPECT_EQ(t[1].prsp, hex(plain16, 16) + "9000");

  // GET CHALLENGE of 300 under the channel: 239 + 61.
  std::vector<std::uint8_t> rnd(300);
  m = clt::trace_mark(0);
  ASSERT_EQ(card_get_challenge(kKey, c.h(), rnd.data(), 300), VORN_OK);
  auto p = plain_since(0, m);
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[0], "00840000EF");
  EXPECT_EQ(p[2], "008400003D");

  // Signing 256 bytes chains the first 128.
  ASSERT_EQ(sm_select_for_object(kKey, c.h(), 0xF05B0001), VORN_OK);
  ASSERT_EQ(pin_verify(kKey, c.h(), PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  Bytes block(256, 0xFF);
  block[0] = 0x00;
  block[1] = 0x01;
  block[200] = 0x00;
  std::uint8_t sig[256];
  DWORD sl = sizeof sig;
  m = clt::trace_mark(0);
  ASSERT_EQ(key_sign(kKey, c.h(), 0xF05B0001, block.data(), 256, sig, &sl), VORN_OK);
  EXPECT_EQ(sl, 256u);
  p = plain_since(0, m);
  ASSERT_GE(p.size(), 3u);
  EXPECT_EQ(p[0], "8022000003810101");
  EXPECT_EQ(p[1], "902A9E9A80" + hex(block.data(), 128));
  EXPECT_EQ(p[2], "802A9E9A80" + hex(block.data() + 128, 128));

  // Opening AP-CIPH while AP-SIGN is open: the SELECT goes out wrapped under
  // the AP-SIGN key, and the card's 61 xx closes that channel.
  const CardSlot signing = slot_of(kKey);
  const Bytes old_key(signing.sessionKey, signing.sessionKey + 16);
  m = clt::trace_mark(0);
  ASSERT_EQ(sm_open_app_channel(kKey, c.h(), CARD_APP_CIPH), VORN_OK);
  t = clt::trace_since(0, m);
  ASSERT_EQ(t.size(), 4u);
  Bytes sel = unhex("00A404040C");
  sel.insert(sel.end(), kAidCiph.begin(), kAidCiph.end());
  EXPECT_EQ(t[0].cmd, hex(clt::ref_wrap(old_key, sel)));
  EXPECT_TRUE(starts(t[0].rsp, "61"));
  EXPECT_TRUE(starts(t[1].cmd, "804C020208"));

  // The last detach closes the channel and selects 3F00.
  const CardSlot before = slot_of(kKey);
  const Bytes sign_key(before.sessionKey, before.sessionKey + 16);
  m = clt::trace_mark(0);
  card_detach(c.h(), kKey);
  t = clt::trace_since(0, m);
  ASSERT_EQ(t.size(), 2u);
  Bytes closing = unhex("04A4044C0C");
  closing.insert(closing.end(), kAidCiph.begin(), kAidCiph.end());
  EXPECT_EQ(t[0].cmd, hex(clt::ref_wrap(sign_key, closing)));
  EXPECT_EQ(t[0].rsp, "9000");
  EXPECT_EQ(t[1].cmd, "00A40004023F00");
  EXPECT_EQ(slot_of(kKey).readerKey, CARD_SLOT_FREE);
}

TEST_F(Stack, PinCacheAndUnblock) {
  Conn c(0);
  ASSERT_EQ(c.rv(), VORN_OK);
  card_attach(c.h(), kKey);
  std::uint8_t tries = 0;
  const Bytes pin2 = unhex("35363738FFFFFFFF");
  // Changing the PIN rewrites the cache; verifying it twice writes nothing more.
  std::size_t m = clt::trace_mark(0);
  ASSERT_EQ(pin_change(kKey, c.h(), 0x00, PIN_REF_USER, kPin1234.data(), pin2.data(), &tries), VORN_OK);
  ASSERT_EQ(pin_verify(kKey, c.h(), PIN_REF_USER, pin2.data(), &tries), VORN_OK);
  ASSERT_EQ(pin_verify(kKey, c.h(), PIN_REF_USER, pin2.data(), &tries), VORN_OK);
  auto p = plain_since(0, m);
  const std::string enc2 = hex(clt::des2_ecb(unhex("0123456789ABCDEFFEDCBA9876543210"), pin2, true));
  EXPECT_EQ(std::count(p.begin(), p.end(), "00D6000008" + enc2), 1);
  EXPECT_EQ(std::count_if(p.begin(), p.end(), [](const std::string& s) { return starts(s, "00D6"); }), 1);
  EXPECT_EQ(hex(pin_cache_get(kKey, c.h()), 8), enc2);

  // Block the PIN, then unblock it with the PUK under the AP-CIPH channel.
  const Bytes wrong = unhex("30303030FFFFFFFF");
  for (int i = 0; i < 3; ++i) pin_verify(kKey, c.h(), PIN_REF_USER, wrong.data(), &tries);
  EXPECT_EQ(pin_verify(kKey, c.h(), PIN_REF_USER, pin2.data(), &tries), CARDERR_SW_PIN_BLOCKED);
  ASSERT_EQ(sm_open_app_channel(kKey, c.h(), CARD_APP_CIPH), VORN_OK);
  m = clt::trace_mark(0);
  ASSERT_EQ(pin_unblock(kKey, c.h(), PIN_REF_USER, kPuk.data(), kPin1234.data(), &tries), VORN_OK);
  p = plain_since(0, m);
  ASSERT_GE(p.size(), 8u);
  EXPECT_TRUE(starts(p[0], "0024801110"));
  EXPECT_TRUE(starts(p[1], "002C001110"));
  EXPECT_TRUE(starts(p[2], "0024801110"));
  EXPECT_TRUE(starts(p[3], "0020001108"));
  EXPECT_TRUE(starts(p[4], "00A4044C0C"));  // the cache write leaves the channel
  EXPECT_EQ(p[5], "00A40004023F00");
  EXPECT_EQ(p[6], "00A40004020FCF");
  EXPECT_EQ(p[7], "00D6000008A4B07BD1FD0EC0D0");
  EXPECT_EQ(p.back(), "002E001100");
  EXPECT_EQ(sm_app_get(kKey, c.h()), CARD_APP_CIPH);  // and comes back
  EXPECT_EQ(pin_verify_raw(kKey, c.h(), PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  // The PUK is still the caller's.
  EXPECT_EQ(pin_change_raw(kKey, c.h(), 0x80, PIN_REF_USER, kPuk.data(), kPuk.data(), &tries), VORN_OK);
  // No APDU for a reference the layer refuses.
  m = clt::trace_mark(0);
  EXPECT_EQ(pin_verify(kKey, c.h(), 0x0B, kPin1234.data(), &tries), CARDERR_BAD_PIN_REF);
  EXPECT_EQ(clt::trace_mark(0), m);
  card_detach(c.h(), kKey);
}

// A refused step after the card accepted a PIN: the reference is logged out
// again, and an unblock that cannot give the PUK back says so.
TEST_F(Stack, PinStepsRefusedAfterTheCardSaidYes) {
  Conn c(0);
  ASSERT_EQ(c.rv(), VORN_OK);
  card_attach(c.h(), kKey);
  std::uint8_t tries = 0;
  // The host copy differs from the PIN, so the verify writes 0FCF; the card
  // refuses the write.
  const Bytes junk(8, 0x5A);
  pin_cache_set(kKey, c.h(), junk.data());
  clt::set_faults(0, "sw D6 6A82\n");
  EXPECT_EQ(pin_verify(kKey, c.h(), PIN_REF_USER, kPin1234.data(), &tries), 0x20006A82u);
  clt::set_faults(0, "");
  // VERIFY without data: 63 C3, not verified.
  EXPECT_EQ(pin_verify_raw(kKey, c.h(), PIN_REF_USER, nullptr, &tries), CARDERR_WRONG_PIN);
  EXPECT_EQ(tries, 3);
  ASSERT_EQ(pin_verify(kKey, c.h(), PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  ASSERT_EQ(pin_logout(kKey, c.h(), PIN_REF_USER), VORN_OK);

  // The unblock's first PUK change is answered 90 00 without being carried
  // out, after the test made the same change itself (the PUK becomes X, the
  // cached PIN); then the change back (and its one retry) is refused.
  struct Case {
    const char* faults;
    bool pin_set;  // the unblock itself went through
  };
  const Case cases[] = {{"sw 24 9000 x1\nsw 24 6A80\n", true},
                        {"sw 24 9000 x1\nsw 2C 6A80 x1\nsw 24 6A80\n", false}};
  Bytes pin = kPin1234;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.faults);
    const Bytes x = pin;  // the cache holds the PIN last verified
    ASSERT_EQ(pin_change_raw(kKey, c.h(), 0x80, PIN_REF_USER, kPuk.data(), x.data(), &tries), VORN_OK);
    const Bytes fresh = unhex(k.pin_set ? "35363738FFFFFFFF" : "39393939FFFFFFFF");
    clt::set_faults(0, k.faults);
    const std::size_t m = clt::trace_mark(0);
    EXPECT_EQ(pin_unblock(kKey, c.h(), PIN_REF_USER, kPuk.data(), fresh.data(), &tries),
              CARDERR_PUK_NOT_RESTORED);
    clt::set_faults(0, "");
    auto p = plain_since(0, m);
    EXPECT_EQ(std::count_if(p.begin(), p.end(), [](const std::string& s) { return starts(s, "0024801110"); }), 3);
    if (k.pin_set) pin = fresh;
    // The card never stays verified, and the PIN is the one reported.
    EXPECT_EQ(pin_verify_raw(kKey, c.h(), PIN_REF_USER, nullptr, &tries), CARDERR_WRONG_PIN);
    EXPECT_EQ(pin_verify_raw(kKey, c.h(), PIN_REF_USER, pin.data(), &tries), VORN_OK);
    ASSERT_EQ(pin_logout(kKey, c.h(), PIN_REF_USER), VORN_OK);
    // The PUK is X: the way back is a PUK change from X to the PUK.
    EXPECT_EQ(pin_change_raw(kKey, c.h(), 0x80, PIN_REF_USER, x.data(), kPuk.data(), &tries), VORN_OK);
    EXPECT_EQ(pin_change_raw(kKey, c.h(), 0x80, PIN_REF_USER, kPuk.data(), kPuk.data(), &tries), VORN_OK);
    ASSERT_EQ(pin_verify(kKey, c.h(), PIN_REF_USER, pin.data(), &tries), VORN_OK);
    ASSERT_EQ(pin_logout(kKey, c.h(), PIN_REF_USER), VORN_OK);
  }
  card_detach(c.h(), kKey);
}

TEST_F(Stack, ObjectsListAndAttributeLists) {
  Conn c(0);
  ASSERT_EQ(c.rv(), VORN_OK);
  card_attach(c.h(), kKey);
  std::uint32_t h[80];
  DWORD n = 80;
  ASSERT_EQ(obj_list(kKey, c.h(), h, &n), VORN_OK);
  EXPECT_EQ(std::vector<std::uint32_t>(h, h + n),
            (std::vector<std::uint32_t>{0xF05B0001, 0xF0320002, 0xF0110003, 0xC05B0001, 0xC0320002, 0xC0110003}));
  // A new data object with a 63-attribute list, written and read in pieces.
  std::uint8_t tries = 0;
  ASSERT_EQ(pin_verify(kKey, c.h(), PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  const Bytes v = unhex("0102030405");
  std::uint32_t obj = 0;
  ASSERT_EQ(key_store(kKey, c.h(), 0x18, 0, 0, v.data(), 5, &obj), VORN_OK);
  EXPECT_EQ(obj, 0xC0180004u);
  std::vector<Bytes> vals;
  std::vector<CardAttr> t;
  for (unsigned i = 0; i < 63; ++i) vals.push_back(Bytes(3 + i % 5, static_cast<std::uint8_t>(0x40 + i)));
  for (unsigned i = 0; i < 63; ++i) t.push_back({0x0200u + i, vals[i].data(), static_cast<unsigned long>(vals[i].size())});
  std::size_t m = clt::trace_mark(0);
  ASSERT_EQ(obj_write_attrs(kKey, c.h(), obj, t.data(), 63), VORN_OK);
  auto p = plain_since(0, m);
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[0], "804800040782020236830106");  // 2 + 252 + 312 bytes
  EXPECT_TRUE(starts(p[1], "80480204EF00FC"));
  EXPECT_TRUE(starts(p[2], "80480304EF"));
  EXPECT_TRUE(starts(p[3], "80488404"));
  std::vector<Bytes> back(63, Bytes(8));
  std::vector<CardAttr> r;
  for (unsigned i = 0; i < 63; ++i) r.push_back({0x0200u + i, back[i].data(), 8});
  ASSERT_EQ(obj_read_attrs(kKey, c.h(), obj, r.data(), 63), VORN_OK);
  for (unsigned i = 0; i < 63; ++i) EXPECT_EQ(hex(back[i].data(), r[i].len), hex(vals[i])) << i;
  ASSERT_EQ(obj_delete(kKey, c.h(), obj), VORN_OK);
  n = 80;
  ASSERT_EQ(obj_list(kKey, c.h(), h, &n), VORN_OK);
  EXPECT_EQ(n, 6u);
  card_detach(c.h(), kKey);
}

// ---------------------------------------------------------------------------
// Two real processes share one card's channel.

TEST_F(Stack, TwoProcessesShareTheChannel) {
  const std::string peer = clt::env("CARDLAYER_PEER");
  ASSERT_FALSE(peer.empty());
  Conn c(0);
  ASSERT_EQ(c.rv(), VORN_OK);
  card_attach(c.h(), kKey);
  ASSERT_EQ(sm_open_app_channel(kKey, c.h(), CARD_APP_CIPH), VORN_OK);
  const CardSlot mine = slot_of(kKey);
  const std::string key = hex(mine.sessionKey, 16);
  // Let the other process have the card.
  ASSERT_EQ(card_end(c.h()), VORN_OK);

  std::size_t m = clt::trace_mark(0);
  std::string cmd = peer + " " + image_ + " '" + clt::reader_name(0) + "'";
  FILE* f = popen(cmd.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, f) != nullptr) out += buf;
  ASSERT_EQ(pclose(f), 0) << out;
  EXPECT_EQ(out, "attach ref=2 state=2 app=2 key=" + key + "\n" + "getdata rv=00000000 len=40\n" + "detach ref=1 state=2\n");
  // The other process's GET DATA went out wrapped under the shared key.
  auto t = clt::trace_since(0, m);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].cmd, hex(clt::ref_wrap(Bytes(mine.sessionKey, mine.sessionKey + 16), unhex("00CA030028"))));

  // Its detach kept the channel for this process.
  ASSERT_EQ(card_begin(c.h()), VORN_OK);
  CardSlot s = slot_of(kKey);
  EXPECT_EQ(s.refCount, 1u);
  EXPECT_EQ(s.channelState, CARD_CHANNEL_OPEN);
  EXPECT_EQ(hex(s.sessionKey, 16), key);
  std::uint8_t map[40];
  DWORD len = sizeof map;
  EXPECT_EQ(card_get_data(kKey, c.h(), CARD_DATA_OBJ_MAP, map, &len), VORN_OK);
  // The last detach closes the channel, selects 3F00 and frees the slot.
  m = clt::trace_mark(0);
  card_detach(c.h(), kKey);
  auto p = plain_since(0, m);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0], "00A4044C0CA00000006341502D43495048");
  EXPECT_EQ(p[1], "00A40004023F00");
  EXPECT_EQ(slot_of(kKey).readerKey, CARD_SLOT_FREE);
}

// ---------------------------------------------------------------------------
// Eleven readers: ten fill the table, the eleventh works in plain. ATRs of
// 19 and 21 bytes never match.

TEST_F(Stack, ElevenReadersAndAtrs) {
  const std::string dir = clt::env("VORNENV_DIR");
  const std::string tool = clt::env("VORNENV_TOOL");
  ASSERT_FALSE(tool.empty());
  // One card per reader of the stack; eleven reader keys spread over them
  // (each key its own connection), so that ten keys fill the table.
  int readers = 0;
  while (!clt::reader_name(readers).empty()) ++readers;
  ASSERT_GE(readers, 1);
  for (int i = 0; i < readers; ++i) {
    vorn::cardsim::PersoOptions o;
    std::string err;
    auto card = vorn::cardsim::Card::personalise(o, &err);
    ASSERT_TRUE(card) << err;
    std::string path = dir + "/cl" + std::to_string(i) + ".vcs";
    ASSERT_EQ(card->save(path), VORN_OK);
    std::string cmd = tool + " insert " + std::to_string(i) + " " + path + " >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::vector<std::unique_ptr<Conn>> conns;
  for (int i = 0; i < 11; ++i) {
    // Several connections to one card: no transactions, or they would wait
    // for one another.
    conns.push_back(std::make_unique<Conn>(i % readers, false));
    ASSERT_EQ(conns.back()->rv(), VORN_OK) << i;
    card_attach(conns.back()->h(), static_cast<std::uint32_t>(i));
  }
  for (std::uint32_t i = 0; i < 10; ++i) {
    CardSlot s{};
    ASSERT_EQ(card_table_read(i, &s), VORN_OK);
    EXPECT_EQ(s.readerKey, i);
    EXPECT_EQ(s.refCount, 1u);
    EXPECT_EQ(s.handles[0], static_cast<std::uintptr_t>(conns[i]->h()));
    EXPECT_EQ(hex(s.pinCache, 8), "A4B07BD1FD0EC0D0");
  }
  // The eleventh: no slot, plain commands only.
  const int r10 = 10 % readers;
  SCARDHANDLE h10 = conns[10]->h();
  EXPECT_EQ(pin_cache_get(10, h10), nullptr);
  EXPECT_EQ(card_max_chunk(10, h10, CARD_DIR_SEND), 255u);
  std::size_t m = clt::trace_mark(r10);
  std::uint8_t id[16];
  DWORD len = sizeof id;
  ASSERT_EQ(card_get_data(10, h10, CARD_DATA_ID, id, &len), VORN_OK);
  EXPECT_EQ(len, 16u);
  auto t = clt::trace_since(r10, m);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].cmd, "00CA010010");
  EXPECT_EQ(t[0].rsp.substr(32), "9000");
  for (int i = 10; i >= 0; --i) card_detach(conns[static_cast<std::size_t>(i)]->h(), static_cast<std::uint32_t>(i));
  for (unsigned i = 0; i < CARD_TABLE_SLOTS; ++i) {
    CardSlot s{};
    ASSERT_EQ(card_table_read(i, &s), VORN_OK);
    EXPECT_EQ(s.readerKey, CARD_SLOT_FREE);
  }
  conns.clear();

  // ATRs as the readers report them.
  const std::string atr20 = "3B7F940000803180719067564F524E312E309000";
  const std::string atrs[3] = {atr20, atr20.substr(0, 38), atr20 + "00"};
  for (int k = 0; k < 3; ++k) {
    const int rd = k % readers;
    vorn::cardsim::PersoOptions o;
    o.atr = unhex(atrs[k]);
    std::string err;
    auto card = vorn::cardsim::Card::personalise(o, &err);
    ASSERT_TRUE(card) << err;
    std::string path = dir + "/atr" + std::to_string(k) + ".vcs";
    ASSERT_EQ(card->save(path), VORN_OK);
    ASSERT_EQ(std::system((tool + " remove " + std::to_string(rd) + " >/dev/null").c_str()), 0);
    ASSERT_EQ(std::system((tool + " insert " + std::to_string(rd) + " " + path + " >/dev/null").c_str()), 0);
    SCARDCONTEXT ctx = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx), SCARD_S_SUCCESS);
    std::string name = clt::reader_name(rd);
    SCARD_READERSTATE st{};
    st.szReader = name.c_str();
    st.dwCurrentState = SCARD_STATE_UNAWARE;
    ASSERT_EQ(SCardGetStatusChange(ctx, 0, &st, 1), SCARD_S_SUCCESS);
    SCardReleaseContext(ctx);
    EXPECT_EQ(hex(st.rgbAtr, st.cbAtr), atrs[k]);
    EXPECT_EQ(card_atr_match(st.rgbAtr, st.cbAtr), k == 0) << k;
    EXPECT_TRUE(card_atr_has_vorn(st.rgbAtr, st.cbAtr));
  }
}

// ---------------------------------------------------------------------------
// Every fault the simulator can inject gives a clean error code.

TEST_F(Stack, InjectedFaultsGiveCleanErrors) {
  struct Case {
    std::string fault;
    bool fails;
  };
  const std::vector<Case> cases = {
      {"sw 4C 6982 x1\n", true},     {"sw CA 6A88\n", true},      {"badmac CA\n", true},
      {"badmac C0\n", true},         {"truncate C0 5\n", true},   {"truncate CA 1\n", true},
      {"truncate 4E 1\n", true},     {"delay CA 150 x1\n", false}, {"drop CA x1\n", true},
      {"sw 2A 6982\n", true},        {"truncate 2A 1\n", true},   {"sw A4 6A82\n", true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.fault);
    clt::set_faults(0, "");
    Conn c(0);
    ASSERT_EQ(c.rv(), VORN_OK);
    card_attach(c.h(), kKey);
    clt::set_faults(0, k.fault);
    vorn_rv worst = VORN_OK;
    vorn_rv rv = sm_open_app_channel(kKey, c.h(), CARD_APP_SIGN);
    if (rv != VORN_OK) worst = rv;
    std::uint8_t map[40];
    DWORD len = sizeof map;
    rv = card_get_data(kKey, c.h(), CARD_DATA_OBJ_MAP, map, &len);
    if (rv != VORN_OK) worst = rv;
    std::uint8_t tries = 0;
    rv = pin_verify(kKey, c.h(), PIN_REF_USER, kPin1234.data(), &tries);
    if (rv != VORN_OK) worst = rv;
    const Bytes di(35, 0x21);
    std::uint8_t sig[256];
    DWORD sl = sizeof sig;
    rv = key_sign(kKey, c.h(), 0xF05B0001, di.data(), 35, sig, &sl);
    if (rv != VORN_OK) worst = rv;
    if (k.fails) {
      EXPECT_NE(worst, VORN_OK);
    } else {
      EXPECT_EQ(worst, VORN_OK);
    }
    clt::set_faults(0, "");
    card_detach(c.h(), kKey);
    EXPECT_EQ(slot_of(kKey).readerKey, CARD_SLOT_FREE);
  }
}
