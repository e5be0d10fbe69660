// The card layer in-process against the card simulator, through the PC/SC
// stand-in of fake_pcsc.cpp: exact APDUs (from the simulator's own trace,
// which shows the deciphered form of every command under the channel), the
// shared table, PINs, objects, keys and injected card faults.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cardlayer.h"
#include "fake_pcsc.h"
#include "test_util.h"

using clt::Bytes;
using clt::hex;
using clt::rsa_public;
using clt::unhex;
using vorn::cardsim::Card;
using vorn::cardsim::Fault;
using vorn::cardsim::FaultKind;

namespace {

constexpr SCARDHANDLE kH = 0x1001;
constexpr std::uint32_t kKey = 0;

std::string g_image;

// Cards: a fresh personalisation is cheap; the demo content (two RSA-2048
// keys) is made once per process and copied.
std::unique_ptr<Card> personalised() {
  std::string err;
  vorn::cardsim::PersoOptions o;
  auto c = Card::personalise(o, &err);
  EXPECT_TRUE(c) << err;
  return c;
}

std::unique_ptr<Card> from_text(const std::string& text) {
  std::string err;
  auto c = Card::from_text(text, &err);
  EXPECT_TRUE(c) << err;
  return c;
}

std::unique_ptr<Card> demo() {
  static std::string text;
  if (text.empty()) {
    std::string err;
    auto c = Card::demo(vorn::cardsim::demo_defaults(), &err);
    EXPECT_TRUE(c) << err;
    text = c->to_text();
  }
  return from_text(text);
}

// Replaces the line starting with `prefix` (or appends before "end").
std::string set_line(std::string text, const std::string& prefix, const std::string& line) {
  std::size_t at = text.find("\n" + prefix);
  if (at != std::string::npos) {
    std::size_t end = text.find('\n', at + 1);
    text.replace(at + 1, end - at - 1, line);
  } else {
    at = text.rfind("end\n");
    text.insert(at, line + "\n");
  }
  return text;
}

const Bytes kPin1234 = unhex("31323334FFFFFFFF");
const Bytes kPuk = unhex("3132333435363738");

class Layer : public ::testing::Test {
 protected:
  void SetUp() override {
    // A private directory of this process for the tables.
    static std::string dir = [] {
      char t[] = "/tmp/clfake.XXXXXX";
      EXPECT_NE(mkdtemp(t), nullptr);
      setenv("XDG_RUNTIME_DIR", t, 1);
      return std::string(t);
    }();
    static std::atomic<int> n{0};
    g_image = "clfake" + std::to_string(getpid()) + "x" + std::to_string(n++);
    ASSERT_EQ(card_table_open(g_image.c_str()), VORN_OK);
  }
  void TearDown() override {
    for (auto& [h, c] : plugged_) fake::unplug(h);
    card_table_close();
    card_table_unlink(g_image.c_str());
  }
  Card* plug(std::unique_ptr<Card> c, SCARDHANDLE h = kH) {
    c->power_on();
    Card* raw = c.get();
    fake::plug(h, raw);
    plugged_.emplace_back(h, std::move(c));
    return raw;
  }
  // Attach and forget the APDUs of the attach.
  void attach(SCARDHANDLE h = kH, std::uint32_t key = kKey) {
    card_attach(h, key);
    fake::clear(h);
  }
  std::vector<std::string> plain(SCARDHANDLE h = kH) { return clt::plain_commands(fake::trace(h)); }
  CardSlot slot_of(std::uint32_t key) {
    CardSlot s{};
    for (unsigned i = 0; i < CARD_TABLE_SLOTS; ++i) {
      EXPECT_EQ(card_table_read(i, &s), VORN_OK);
      if (s.readerKey == key) return s;
    }
    std::memset(&s, 0, sizeof s);
    s.readerKey = CARD_SLOT_FREE;
    return s;
  }
  Bytes session_key(std::uint32_t key = kKey) {
    CardSlot s = slot_of(key);
    return Bytes(s.sessionKey, s.sessionKey + 16);
  }
  std::vector<std::pair<SCARDHANDLE, std::unique_ptr<Card>>> plugged_;
};

bool starts(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

std::size_t count_prefix(const std::vector<std::string>& v, const std::string& prefix) {
  return static_cast<std::size_t>(std::count_if(v.begin(), v.end(), [&](const std::string& s) { return starts(s, prefix); }));
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared table

TEST_F(Layer, AttachClaimsSlotAndLoadsPinCache) {
  plug(personalised());
  card_attach(kH, 7);
  // Only 3F00 and the cache file: no channel was open.
  auto p = plain();
  ASSERT_GE(p.size(), 3u);
  EXPECT_EQ(p[0], "00A40004023F00");
  EXPECT_EQ(count_prefix(p, "00A40004020FCF"), 1u);
  EXPECT_EQ(p.back(), "00B0000008");
  CardSlot s = slot_of(7);
  EXPECT_EQ(s.refCount, 1u);
  EXPECT_EQ(s.handles[0], static_cast<std::uintptr_t>(kH));
  EXPECT_EQ(s.channelState, 0);
  // The personalised PIN 1234 enciphered under the test PIN-cache key.
  EXPECT_EQ(hex(s.pinCache, 8), "A4B07BD1FD0EC0D0");
  const std::uint8_t* cache = pin_cache_get(7, kH);
  ASSERT_NE(cache, nullptr);
  EXPECT_EQ(hex(cache, 8), "A4B07BD1FD0EC0D0");
  EXPECT_EQ(pin_cache_get(7, kH + 1), nullptr);
  EXPECT_EQ(pin_cache_get(8, kH), nullptr);
}

TEST_F(Layer, SharedObjectIsPrivateToTheUser) {
  plug(personalised());
  attach();
  struct stat st {};
  std::string path = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/cardtable-" + g_image;
  ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_uid, geteuid());
}

TEST_F(Layer, SecondHandleJoinsAndLastDetachClosesChannel) {
  plug(personalised());
  attach(kH);
  fake::alias(kH + 1, kH);
  card_attach(kH + 1, kKey);  // the same card through a second handle
  CardSlot s = slot_of(kKey);
  EXPECT_EQ(s.refCount, 2u);
  EXPECT_EQ(s.handles[1], static_cast<std::uintptr_t>(kH + 1));
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_CIPH), VORN_OK);
  const Bytes key = session_key();
  EXPECT_NE(hex(key), std::string(32, '0'));
  // The second handle sees the same channel and key.
  EXPECT_EQ(sm_state_get(kKey, kH + 1), CARD_CHANNEL_OPEN);
  EXPECT_EQ(sm_app_get(kKey, kH + 1), CARD_APP_CIPH);
  EXPECT_EQ(hex(sm_key_get(kKey, kH + 1), 16), hex(key));

  fake::clear(kH);
  card_detach(kH, kKey);
  EXPECT_TRUE(plain().empty());
  s = slot_of(kKey);
  EXPECT_EQ(s.refCount, 1u);
  EXPECT_EQ(s.handles[0], 0u);
  EXPECT_EQ(s.channelState, CARD_CHANNEL_OPEN);
  EXPECT_EQ(hex(s.sessionKey, 16), hex(key));

  // The last detach closes the channel with the closing select (wrapped),
  // then selects 3F00 in plain, and frees the slot.
  card_detach(kH + 1, kKey);
  auto t = fake::trace(kH);
  ASSERT_EQ(t.size(), 2u);
  Bytes closing = unhex("04A4044C0C") ;
  closing.insert(closing.end(), kAidCiph.begin(), kAidCiph.end());
  EXPECT_EQ(t[0].cmd, hex(clt::ref_wrap(key, closing)));
  EXPECT_EQ(t[0].rsp, "9000");
  EXPECT_EQ(t[1].cmd, "00A40004023F00");
  EXPECT_TRUE(starts(t[1].rsp, "61"));
  s = slot_of(kKey);
  EXPECT_EQ(s.readerKey, CARD_SLOT_FREE);
  CardSlot raw{};
  bool all_free = true;
  for (unsigned i = 0; i < CARD_TABLE_SLOTS; ++i) {
    ASSERT_EQ(card_table_read(i, &raw), VORN_OK);
    all_free = all_free && raw.readerKey == CARD_SLOT_FREE && raw.refCount == 0 &&
               hex(raw.sessionKey, 16) == std::string(32, '0') && hex(raw.pinCache, 8) == std::string(16, '0');
  }
  EXPECT_TRUE(all_free);
}

TEST_F(Layer, TenReadersFillTheTableAndTheEleventhWorksInPlain) {
  for (SCARDHANDLE i = 0; i < 11; ++i) plug(personalised(), 0x2000 + i);
  for (std::uint32_t i = 0; i < 11; ++i) card_attach(0x2000 + i, i);
  for (std::uint32_t i = 0; i < 10; ++i) {
    CardSlot s{};
    ASSERT_EQ(card_table_read(i, &s), VORN_OK);
    EXPECT_EQ(s.readerKey, i);
    EXPECT_EQ(s.refCount, 1u);
  }
  // The eleventh card has no slot: no PIN cache load, plain mode only.
  EXPECT_EQ(fake::transmits(0x2000 + 10), 0u);
  EXPECT_EQ(pin_cache_get(10, 0x2000 + 10), nullptr);
  EXPECT_EQ(sm_state_get(10, 0x2000 + 10), 0);
  EXPECT_EQ(card_max_chunk(10, 0x2000 + 10, CARD_DIR_SEND), 255u);
  EXPECT_EQ(card_max_chunk(10, 0x2000 + 10, CARD_DIR_RECV), 256u);
  std::uint8_t id[16];
  DWORD len = sizeof id;
  ASSERT_EQ(card_get_data(10, 0x2000 + 10, CARD_DATA_ID, id, &len), VORN_OK);
  EXPECT_EQ(len, 16u);
  EXPECT_EQ(hex(id, 4), "564F524E");
  EXPECT_EQ(plain(0x2000 + 10), (std::vector<std::string>{"00CA010010"}));
  // Detaching it touches nothing.
  fake::clear(0x2000 + 10);
  card_detach(0x2000 + 10, 10);
  EXPECT_EQ(fake::transmits(0x2000 + 10), 0u);
}

TEST_F(Layer, ThirtyFirstHandleIsNotRecorded) {
  plug(personalised());
  attach(kH);
  for (SCARDHANDLE h = 2; h <= 31; ++h) card_attach(kH + h, kKey);
  CardSlot s = slot_of(kKey);
  EXPECT_EQ(s.refCount, 31u);
  EXPECT_EQ(s.handles[29], static_cast<std::uintptr_t>(kH + 30));
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  EXPECT_EQ(sm_state_get(kKey, kH + 30), CARD_CHANNEL_OPEN);
  EXPECT_EQ(sm_state_get(kKey, kH + 31), 0);
  EXPECT_EQ(sm_key_get(kKey, kH + 31), nullptr);
}

TEST_F(Layer, ProcessesClaimingAtOnceGetDistinctSlots) {
  plug(personalised());
  // Eight children attach eight reader keys at the same moment; the lock on
  // the shared table keeps every claim in its own slot.
  std::vector<pid_t> kids;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  for (std::uint32_t k = 0; k < 8; ++k) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) < 0) _exit(3);
      card_attach(kH, 100 + k);
      _exit(0);
    }
    kids.push_back(pid);
  }
  close(go[0]);
  close(go[1]);  // releases all children at once
  for (pid_t p : kids) {
    int st = 0;
    ASSERT_EQ(waitpid(p, &st, 0), p);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
  std::vector<std::uint32_t> keys;
  for (unsigned i = 0; i < CARD_TABLE_SLOTS; ++i) {
    CardSlot s{};
    ASSERT_EQ(card_table_read(i, &s), VORN_OK);
    if (s.readerKey != CARD_SLOT_FREE) {
      keys.push_back(s.readerKey);
      EXPECT_EQ(s.refCount, 1u);
    }
  }
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::uint32_t>{100, 101, 102, 103, 104, 105, 106, 107}));
}

TEST_F(Layer, ForkedChildTakesTheTableLockOfItsOwn) {
  plug(personalised());
  attach(kH, kKey);
  int go[2], done[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CardSlot first{};
    if (card_table_read(0, &first) != VORN_OK) _exit(9);  // the child's first use maps the table
    if (write(done[1], "r", 1) != 1) _exit(11);
    char c;
    if (read(go[0], &c, 1) != 1) _exit(10);
    // The parent holds the lock now: the child must not get it, nor free it.
    vorn_rv rv = card_table_hold(false);
    if (rv == VORN_OK) card_table_release();
    if (write(done[1], "x", 1) != 1) _exit(11);
    if (read(go[0], &c, 1) != 1) _exit(12);
    card_attach(kH + 1, kKey);  // joins the parent's slot
    _exit(rv == static_cast<vorn_rv>(SCARD_E_TIMEOUT) ? 0 : 13);
  }
  char c;
  ASSERT_EQ(read(done[0], &c, 1), 1);
  ASSERT_EQ(card_table_hold(true), VORN_OK);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  ASSERT_EQ(read(done[0], &c, 1), 1);
  // A third party opening the table file still finds it locked.
  std::string path = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/cardtable-" + g_image;
  int probe = open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  EXPECT_NE(flock(probe, LOCK_EX | LOCK_NB), 0) << "the child's unlock released the parent's lock";
  close(probe);
  card_table_release();
  ASSERT_EQ(write(go[1], "g", 1), 1);
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st)) << st;
  EXPECT_EQ(WEXITSTATUS(st), 0) << "the child got the lock the parent held";
  CardSlot s = slot_of(kKey);
  EXPECT_EQ(s.refCount, 2u);
  EXPECT_EQ(s.handles[0], static_cast<std::uintptr_t>(kH));
  EXPECT_EQ(s.handles[1], static_cast<std::uintptr_t>(kH + 1));
  for (int fd : {go[0], go[1], done[0], done[1]}) close(fd);
}

// ---------------------------------------------------------------------------
// Transport and channel

TEST_F(Layer, PlainAnswer61ReachesTheCaller) {
  plug(personalised());
  attach();
  const std::uint8_t sel[7] = {0x00, 0xA4, 0x00, 0x04, 0x02, 0x50, 0x32};
  std::uint8_t r[258];
  DWORD n = sizeof r;
  ASSERT_EQ(card_transmit(kKey, kH, SCARD_PCI_T0, sel, 7, nullptr, r, &n), VORN_OK);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(r[0], 0x61);
  const std::uint8_t get[5] = {0x00, 0xC0, 0x00, 0x00, r[1]};
  const DWORD want = r[1];
  n = sizeof r;
  ASSERT_EQ(card_transmit(kKey, kH, SCARD_PCI_T0, get, 5, nullptr, r, &n), VORN_OK);
  EXPECT_EQ(n, want + 2);
  EXPECT_EQ(hex(r + n - 2, 2), "9000");
  // A response buffer too small for the answer is refused by the reader.
  n = 1;
  EXPECT_NE(card_transmit(kKey, kH, SCARD_PCI_T0, sel, 7, nullptr, r, &n), VORN_OK);
}

TEST_F(Layer, OpeningTheChannelSendsTheAuthenticationAndStoresTheKey) {
  plug(personalised());
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_CIPH), VORN_OK);
  auto t = fake::trace(kH);
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].cmd, "00A404040CA00000006341502D43495048");
  EXPECT_TRUE(starts(t[1].cmd, "804C020208"));
  EXPECT_EQ(t[1].cmd.size(), 26u);
  EXPECT_EQ(t[2].cmd, "00C00000" + t[1].rsp.substr(2, 2));
  EXPECT_TRUE(starts(t[3].cmd, "804E00001C"));
  EXPECT_EQ(t[3].cmd.size(), 66u);
  EXPECT_EQ(t[3].rsp, "9000");
  // The card accepted the host cryptogram; the key it derived is the one
  // in the slot, as a wrapped command shows.
  CardSlot s = slot_of(kKey);
  EXPECT_EQ(s.channelState, CARD_CHANNEL_OPEN);
  EXPECT_EQ(s.channelApp, CARD_APP_CIPH);
  EXPECT_EQ(card_channel_opened(), 1u);
  fake::clear(kH);
  std::uint8_t map[40];
  DWORD len = sizeof map;
  ASSERT_EQ(card_get_data(kKey, kH, CARD_DATA_OBJ_MAP, map, &len), VORN_OK);
  EXPECT_EQ(len, 40u);
  EXPECT_EQ(map[39], 0x90);  // the container map's byte
  t = fake::trace(kH);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].cmd, hex(clt::ref_wrap(session_key(), unhex("00CA030028"))));
  EXPECT_TRUE(starts(t[1].cmd, "04C00000"));
}

TEST_F(Layer, HostChallengesNeverRepeat) {
  // Host challenges come from the system generator: two openings within the
  // same second still send different challenges and keys.
  plug(personalised());
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  const Bytes k1 = session_key();
  const std::string rh1 = fake::trace(kH).at(1).cmd;
  fake::clear(kH);
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  const std::string rh2 = fake::trace(kH).at(1).cmd;
  EXPECT_TRUE(starts(rh1, "804C020208"));
  EXPECT_TRUE(starts(rh2, "804C020208"));
  EXPECT_NE(rh1, rh2);
  EXPECT_NE(hex(k1), hex(session_key()));
  // The host half of the key differs, not only the card's.
  EXPECT_NE(hex(k1.data(), 8), hex(session_key().data(), 8));
}

TEST_F(Layer, WrappedCommandsCarryPaddingAndMac) {
  plug(personalised());
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_CIPH), VORN_OK);
  fake::clear(kH);
  // MSE SET with an IV tag of 14 bytes: 16 data bytes -> Lc 24.
  Bytes iv14(14, 0x11), iv13(13, 0x22);
  EXPECT_EQ(key_set_env(kKey, kH, 0, 0, 0, iv14.data(), 14), VORN_OK);
  EXPECT_EQ(key_set_env(kKey, kH, 0, 0, 0, iv13.data(), 13), VORN_OK);
  std::uint8_t tries = 0;
  pin_verify_raw(kKey, kH, PIN_REF_USER, nullptr, &tries);
  auto t = fake::trace(kH);
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].cmd.substr(0, 10), "8422000024");
  EXPECT_EQ(t[0].plain(), "8022000010890E" + hex(iv14));
  EXPECT_EQ(t[1].cmd.substr(0, 10), "8422000014");
  EXPECT_EQ(t[2].cmd.substr(0, 10), "0420001104");
  EXPECT_EQ(t[2].cmd.size(), 18u);
  const Bytes key = session_key();
  Bytes mse = unhex("8422000010890E");
  mse.insert(mse.end(), iv14.begin(), iv14.end());
  EXPECT_EQ(t[0].cmd, hex(clt::ref_wrap(key, mse)));
  EXPECT_EQ(t[2].cmd, hex(clt::ref_wrap(key, unhex("0020001100"))));
}

TEST_F(Layer, ReadBinaryUnderTheChannelReturnsOnlyTheData) {
  plug(personalised());
  attach();
  std::uint8_t plain16[16];
  DWORD len = sizeof plain16;
  ASSERT_EQ(card_read_binary(kKey, kH, CARD_FILE_TOKEN_INFO, 0, 16, plain16, &len), VORN_OK);
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  // Select the file under the channel, then READ BINARY 16 directly.
  ASSERT_EQ(card_select_file(kKey, kH, CARD_FILE_TOKEN_INFO, nullptr, nullptr), VORN_OK);
  fake::clear(kH);
  const std::uint8_t rb[5] = {0x00, 0xB0, 0x00, 0x00, 0x10};
  std::uint8_t r[258];
  std::memset(r, 0xEE, sizeof r);
  DWORD n = sizeof r;
  ASSERT_EQ(card_transmit(kKey, kH, SCARD_PCI_T0, rb, 5, nullptr, r, &n), VORN_OK);
  ASSERT_EQ(n, 18u);
  EXPECT_EQ(hex(r, 16), hex(plain16, 16));
  EXPECT_EQ(hex(r + 16, 2), "9000");
  EXPECT_EQ(r[18], 0xEE);  // nothing behind the status word
  auto t = fake::trace(kH);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].cmd, hex(clt::ref_wrap(session_key(), unhex("00B0000010"))));
  // 16 data bytes + 16 padding + 4 MAC = 36 on the wire.
  EXPECT_EQ(t[0].rsp, "6124");
  EXPECT_EQ(t[1].cmd, "04C0000024");
  EXPECT_EQ(t[1].rsp.size(), 2u * 38);

  // The cache file, 8 bytes, through card_read_binary under the channel.
  std::uint8_t cache[8];
  len = sizeof cache;
  ASSERT_EQ(card_read_binary(kKey, kH, CARD_FILE_PIN_CACHE, 0, 8, cache, &len), VORN_OK);
  EXPECT_EQ(len, 8u);
  EXPECT_EQ(hex(cache, 8), "A4B07BD1FD0EC0D0");
}

TEST_F(Layer, MacFailureGivesMacErrorAndCopiesNothing) {
  Card* c = plug(personalised());
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  c->set_faults({Fault{FaultKind::kBadMac, 0xCA, 0, 0, 0, 1}});
  const std::uint8_t gd[5] = {0x00, 0xCA, 0x01, 0x00, 0x10};
  std::uint8_t r[64];
  std::memset(r, 0xEE, sizeof r);
  DWORD n = sizeof r;
  EXPECT_EQ(card_transmit(kKey, kH, SCARD_PCI_T0, gd, 5, nullptr, r, &n), CARDERR_MAC);
  EXPECT_EQ(n, sizeof r);
  EXPECT_TRUE(std::all_of(r, r + sizeof r, [](std::uint8_t b) { return b == 0xEE; }));
  // The same through GET RESPONSE sent by the caller (SELECT, then 00 C0).
  c->set_faults({Fault{FaultKind::kBadMac, 0xA4, 0, 0, 0, 1}});
  std::uint8_t fci[64];
  std::memset(fci, 0xEE, sizeof fci);
  DWORD fl = sizeof fci;
  EXPECT_EQ(card_select_file(kKey, kH, CARD_FILE_TOKEN_INFO, fci, &fl), CARDERR_MAC);
  EXPECT_EQ(fl, sizeof fci);
  EXPECT_TRUE(std::all_of(fci, fci + sizeof fci, [](std::uint8_t b) { return b == 0xEE; }));
}

TEST_F(Layer, SwitchingApplicationsSelectsUnderTheOldKey) {
  plug(personalised());
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  const Bytes sign_key = session_key();
  fake::clear(kH);
  ASSERT_EQ(sm_select_for_object(kKey, kH, 0xC0110003), VORN_OK);
  auto t = fake::trace(kH);
  ASSERT_EQ(t.size(), 4u);
  Bytes sel = unhex("00A404040C");
  sel.insert(sel.end(), kAidCiph.begin(), kAidCiph.end());
  EXPECT_EQ(t[0].cmd, hex(clt::ref_wrap(sign_key, sel)));
  EXPECT_TRUE(starts(t[0].rsp, "61"));
  EXPECT_TRUE(starts(t[1].cmd, "804C020208"));  // in plain: the old channel is closed
  EXPECT_EQ(sm_app_get(kKey, kH), CARD_APP_CIPH);
  EXPECT_NE(hex(session_key()), hex(sign_key));
  // Same application again: nothing is sent.
  fake::clear(kH);
  EXPECT_EQ(sm_select_for_object(kKey, kH, 0xC0320002), VORN_OK);
  EXPECT_EQ(fake::transmits(kH), 0u);
  EXPECT_EQ(sm_select_for_object(kKey, kH, 0x80000001), CARDERR_BAD_ARG);
  EXPECT_EQ(sm_open_app_channel(kKey, kH, 3), CARDERR_BAD_ARG);
  EXPECT_EQ(sm_open_channel(kKey, kH, 0), CARDERR_BAD_APP);
  EXPECT_EQ(fake::transmits(kH), 0u);
}

TEST_F(Layer, ChannelResetClosesSelectsMasterFileAndWipesKey) {
  plug(personalised());
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  fake::clear(kH);
  sm_channel_reset(kH, kKey);
  auto p = plain();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_TRUE(starts(p[0], "00A4044C0C"));
  EXPECT_EQ(p[1], "00A40004023F00");
  CardSlot s = slot_of(kKey);
  EXPECT_EQ(s.channelState, 0);
  EXPECT_EQ(s.channelApp, 0);
  EXPECT_EQ(hex(s.sessionKey, 16), std::string(32, '0'));
  EXPECT_EQ(card_channel_opened(), 0u);
}

TEST_F(Layer, SelectByAidClosesTheChannelAndWipesTheKey) {
  plug(personalised());
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_CIPH), VORN_OK);
  std::uint8_t fci[64];
  DWORD fl = sizeof fci;
  ASSERT_EQ(card_select_aid(kKey, kH, kAidSign.data(), 12, fci, &fl), VORN_OK);
  EXPECT_GT(fl, 0u);
  CardSlot s = slot_of(kKey);
  EXPECT_EQ(s.channelState, 0);
  EXPECT_EQ(hex(s.sessionKey, 16), std::string(32, '0'));
  fake::clear(kH);
  Bytes aid17(17, 0xA0);
  EXPECT_EQ(card_select_aid(kKey, kH, aid17.data(), 17, nullptr, nullptr), CARDERR_BAD_AID);
  EXPECT_EQ(card_select_aid(kKey, kH, nullptr, 12, nullptr, nullptr), CARDERR_BAD_AID);
  EXPECT_EQ(card_select_aid(kKey, kH, aid17.data(), 0, nullptr, nullptr), CARDERR_BAD_AID);
  EXPECT_EQ(card_select_aid_sm(kKey, kH, aid17.data(), 17), CARDERR_BAD_AID);
  EXPECT_EQ(card_select_file(kKey, kH, 0, nullptr, nullptr), CARDERR_BAD_FILE_ID);
  EXPECT_EQ(card_read_binary(kKey, kH, 0, 0, 8, fci, &fl), CARDERR_BAD_ARG);
  EXPECT_EQ(card_get_data(kKey, kH, 4, fci, &fl), CARDERR_BAD_ARG);
  EXPECT_EQ(fake::transmits(kH), 0u);
}

TEST_F(Layer, FilesReadAndWriteInPiecesAndCheckSizes) {
  plug(personalised());
  attach();
  DWORD size = 0;
  ASSERT_EQ(card_read_binary(kKey, kH, CARD_FILE_TOKEN_INFO, 0, 0, nullptr, &size), VORN_OK);
  EXPECT_GT(size, 16u);
  std::vector<std::uint8_t> whole(size);
  DWORD len = size;
  ASSERT_EQ(card_read_binary(kKey, kH, CARD_FILE_TOKEN_INFO, 0, 0, whole.data(), &len), VORN_OK);
  EXPECT_EQ(len, size);
  EXPECT_EQ(whole[0], 0x03);  // the flags item comes first
  // A buffer smaller than the file: refused with the needed size.
  std::uint8_t small[4];
  len = sizeof small;
  EXPECT_EQ(card_read_binary(kKey, kH, CARD_FILE_TOKEN_INFO, 0, 0, small, &len), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, size);
  // Write the cache file in plain and read it back under the channel.
  const Bytes v = unhex("0102030405060708");
  ASSERT_EQ(card_update_binary(kKey, kH, CARD_FILE_PIN_CACHE, 0, 8, v.data()), VORN_OK);
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  ASSERT_EQ(card_update_binary(kKey, kH, CARD_FILE_PIN_CACHE, 4, 4, v.data()), VORN_OK);
  std::uint8_t back[8];
  len = sizeof back;
  ASSERT_EQ(card_read_binary(kKey, kH, CARD_FILE_PIN_CACHE, 0, 8, back, &len), VORN_OK);
  EXPECT_EQ(hex(back, 8), "0102030401020304");
  EXPECT_EQ(card_update_binary(kKey, kH, CARD_FILE_PIN_CACHE, 0, 0, v.data()), CARDERR_BAD_ARG);
  // Reading past the end: the card refuses, and the count does not add up.
  len = sizeof back;
  EXPECT_NE(card_read_binary(kKey, kH, CARD_FILE_PIN_CACHE, 4, 8, back, &len), VORN_OK);
}

// ---------------------------------------------------------------------------
// PIN

TEST_F(Layer, VerifyTwiceWritesTheCacheFileOnce) {
  std::string text = personalised()->to_text();
  text = set_line(text, "file 0FCF", "file 0FCF 0000000000000000");
  plug(from_text(text));
  attach();
  std::uint8_t tries = 0;
  ASSERT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  EXPECT_EQ(tries, 3);
  ASSERT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  auto p = plain();
  EXPECT_EQ(count_prefix(p, "00D6000008"), 1u);
  EXPECT_EQ(count_prefix(p, "0020001108"), 2u);
  EXPECT_EQ(hex(pin_cache_get(kKey, kH), 8), "A4B07BD1FD0EC0D0");
  // The file holds it too.
  std::uint8_t f[8];
  DWORD len = 8;
  ASSERT_EQ(card_read_binary(kKey, kH, CARD_FILE_PIN_CACHE, 0, 8, f, &len), VORN_OK);
  EXPECT_EQ(hex(f, 8), "A4B07BD1FD0EC0D0");
}

TEST_F(Layer, VerifyUnderTheChannelWritesCacheInPlainAndReopens) {
  std::string text = personalised()->to_text();
  text = set_line(text, "file 0FCF", "file 0FCF 0000000000000000");
  plug(from_text(text));
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_CIPH), VORN_OK);
  fake::clear(kH);
  std::uint8_t tries = 0;
  ASSERT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  auto p = plain();
  ASSERT_EQ(p.size(), 9u);
  EXPECT_EQ(p[0], "0020001108****************");
  EXPECT_TRUE(starts(p[1], "00A4044C0C"));
  EXPECT_EQ(p[2], "00A40004023F00");
  EXPECT_EQ(p[3], "00A40004020FCF");
  EXPECT_EQ(p[4], "00D6000008A4B07BD1FD0EC0D0");
  EXPECT_EQ(p[5], "00A404040CA00000006341502D43495048");
  EXPECT_TRUE(starts(p[6], "804C020208"));
  EXPECT_EQ(sm_state_get(kKey, kH), CARD_CHANNEL_OPEN);
  EXPECT_EQ(sm_app_get(kKey, kH), CARD_APP_CIPH);
}

TEST_F(Layer, CacheWriteFailureIsReportedEvenWhenTheChannelComesBack) {
  std::string text = personalised()->to_text();
  text = set_line(text, "file 0FCF", "file 0FCF 0000000000000000");
  Card* c = plug(from_text(text));
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  c->set_faults({Fault{FaultKind::kStatus, 0xD6, 0x6A82, 0, 0, 1}});
  std::uint8_t tries = 0;
  EXPECT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), 0x20006A82u);
  EXPECT_EQ(sm_state_get(kKey, kH), CARD_CHANNEL_OPEN);
  EXPECT_EQ(sm_app_get(kKey, kH), CARD_APP_SIGN);
  EXPECT_EQ(hex(pin_cache_get(kKey, kH), 8), std::string(16, '0'));
}

TEST_F(Layer, PinReferencesAndTries) {
  plug(personalised());
  attach();
  std::uint8_t tries = 0xFF;
  for (std::uint8_t ref : {0x00, 0x09, 0x0B, 0x10, 0x12, 0x81}) {
    EXPECT_EQ(pin_verify(kKey, kH, ref, kPin1234.data(), &tries), CARDERR_BAD_PIN_REF) << int(ref);
    EXPECT_EQ(pin_logout(kKey, kH, ref), CARDERR_BAD_PIN_REF);
    EXPECT_EQ(pin_change(kKey, kH, 0, ref, kPin1234.data(), kPin1234.data(), &tries), CARDERR_BAD_PIN_REF);
    EXPECT_EQ(pin_unblock(kKey, kH, ref, kPuk.data(), kPin1234.data(), &tries), CARDERR_BAD_PIN_REF);
  }
  EXPECT_EQ(pin_change_raw(kKey, kH, 0x40, PIN_REF_USER, kPin1234.data(), kPin1234.data(), &tries), CARDERR_BAD_ARG);
  EXPECT_EQ(pin_change_raw(kKey, kH, 0x00, PIN_REF_USER, nullptr, kPin1234.data(), &tries), CARDERR_BAD_ARG);
  EXPECT_EQ(pin_unblock_raw(kKey, kH, PIN_REF_USER, kPuk.data(), nullptr, &tries), CARDERR_BAD_ARG);
  EXPECT_EQ(fake::transmits(kH), 0u);
  EXPECT_EQ(tries, 0xFF);

  const Bytes wrong = unhex("39393939FFFFFFFF");
  EXPECT_EQ(pin_verify(kKey, kH, PIN_REF_USER, wrong.data(), &tries), CARDERR_WRONG_PIN);
  EXPECT_EQ(tries, 2);
  EXPECT_EQ(plain(), (std::vector<std::string>{"0020001108****************"}));
  // State query without a PIN: not verified yet.
  EXPECT_EQ(pin_verify_raw(kKey, kH, PIN_REF_USER, nullptr, &tries), CARDERR_WRONG_PIN);
  ASSERT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  EXPECT_EQ(tries, 3);
  tries = 0;
  EXPECT_EQ(pin_verify_raw(kKey, kH, PIN_REF_USER, nullptr, &tries), VORN_OK);
  EXPECT_EQ(tries, 3);
  EXPECT_EQ(pin_logout(kKey, kH, PIN_REF_USER), VORN_OK);
  EXPECT_EQ(pin_verify_raw(kKey, kH, PIN_REF_USER, nullptr, &tries), CARDERR_WRONG_PIN);
}

TEST_F(Layer, UnblockSequenceAndItsRestoringChange) {
  plug(personalised());
  attach();
  const Bytes wrong = unhex("39393939FFFFFFFF");
  std::uint8_t tries = 0;
  for (int i = 0; i < 3; ++i) pin_verify(kKey, kH, PIN_REF_USER, wrong.data(), &tries);
  EXPECT_EQ(tries, 0);
  EXPECT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), CARDERR_SW_PIN_BLOCKED);
  fake::clear(kH);
  const Bytes newpin = unhex("34333231FFFFFFFF");
  ASSERT_EQ(pin_unblock(kKey, kH, PIN_REF_USER, kPuk.data(), newpin.data(), &tries), VORN_OK);
  auto p = plain();
  ASSERT_EQ(p.size(), 8u) << ::testing::PrintToString(p);
  EXPECT_TRUE(starts(p[0], "0024801110"));  // PUK -> X
  EXPECT_TRUE(starts(p[1], "002C001110"));  // unblock with X
  EXPECT_TRUE(starts(p[2], "0024801110"));  // X -> PUK
  EXPECT_TRUE(starts(p[3], "0020001108"));  // verify the new PIN
  EXPECT_EQ(p[4], "00A40004023F00");
  EXPECT_EQ(p[5], "00A40004020FCF");
  EXPECT_EQ(p[6], "00D6000008" + hex(clt::des2_ecb(unhex("0123456789ABCDEFFEDCBA9876543210"), newpin, true)));
  EXPECT_EQ(p[7], "002E001100");
  // Only the status words are left to check: every step succeeded.
  auto t = fake::trace(kH);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(t[i].rsp, "9000") << i;
  // The new PIN works and the PUK is still the caller's.
  EXPECT_EQ(pin_verify_raw(kKey, kH, PIN_REF_USER, newpin.data(), &tries), VORN_OK);
  EXPECT_EQ(pin_change_raw(kKey, kH, 0x80, PIN_REF_USER, kPuk.data(), kPuk.data(), &tries), VORN_OK);
}

TEST_F(Layer, UnblockFailureStillRestoresThePuk) {
  Card* c = plug(personalised());
  attach();
  c->set_faults({Fault{FaultKind::kStatus, 0x2C, 0x6A80, 0, 0, 1}});
  const Bytes newpin = unhex("34333231FFFFFFFF");
  std::uint8_t tries = 0;
  EXPECT_EQ(pin_unblock(kKey, kH, PIN_REF_USER, kPuk.data(), newpin.data(), &tries), 0x20006A80u);
  auto p = plain();
  ASSERT_EQ(p.size(), 3u);
  EXPECT_TRUE(starts(p[0], "0024801110"));
  EXPECT_TRUE(starts(p[1], "002C001110"));
  EXPECT_TRUE(starts(p[2], "0024801110"));
  // The old PIN still works and the PUK is the caller's again.
  EXPECT_EQ(pin_verify_raw(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  EXPECT_EQ(pin_change_raw(kKey, kH, 0x80, PIN_REF_USER, kPuk.data(), kPuk.data(), &tries), VORN_OK);
  // A wrong PUK stops at the first step.
  fake::clear(kH);
  const Bytes bad_puk = unhex("3030303030303030");
  EXPECT_EQ(pin_unblock(kKey, kH, PIN_REF_USER, bad_puk.data(), newpin.data(), &tries), CARDERR_WRONG_PIN);
  EXPECT_EQ(plain().size(), 1u);
}

TEST_F(Layer, WithoutASlotVerifyWritesTheCacheAndUnblockIsRefused) {
  plug(personalised());
  // Not attached: no slot.
  std::uint8_t tries = 0;
  const Bytes newpin = unhex("34333231FFFFFFFF");
  EXPECT_EQ(pin_unblock(kKey, kH, PIN_REF_USER, kPuk.data(), newpin.data(), &tries), CARDERR_BAD_ARG);
  EXPECT_EQ(fake::transmits(kH), 0u);
  ASSERT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  ASSERT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  EXPECT_EQ(count_prefix(plain(), "00D6000008"), 2u);
  // Another reference unblocks without the cache (SO PIN with its own code
  // does not exist on this card, so the card's refusal comes back).
  fake::clear(kH);
  EXPECT_NE(pin_unblock(kKey, kH, PIN_REF_SO, kPuk.data(), newpin.data(), &tries), CARDERR_BAD_ARG);
  EXPECT_EQ(plain().size(), 1u);
}

TEST_F(Layer, ChangingThePukLeavesTheCacheAlone) {
  plug(personalised());
  attach();
  std::uint8_t tries = 0;
  const Bytes newpuk = unhex("3837363534333231");
  ASSERT_EQ(pin_change(kKey, kH, 0x80, PIN_REF_USER, kPuk.data(), newpuk.data(), &tries), VORN_OK);
  EXPECT_EQ(plain(), (std::vector<std::string>{"0024801110********************************"}));
  // Changing the PIN rewrites it, always.
  fake::clear(kH);
  ASSERT_EQ(pin_change(kKey, kH, 0x00, PIN_REF_USER, kPin1234.data(), kPin1234.data(), &tries), VORN_OK);
  EXPECT_EQ(count_prefix(plain(), "00D6000008A4B07BD1FD0EC0D0"), 1u);
}

// ---------------------------------------------------------------------------
// Objects

TEST_F(Layer, ListHidesFlaggedObjectsAndTheContainerMap) {
  std::string text = personalised()->to_text();
  text = set_line(text, "obj 2 40", "obj 2 40 02 5 0 - -");
  text = set_line(text, "obj 1 5 ", "obj 1 5 83 5 0 - -");
  text = set_line(text, "obj 1 7 ", "obj 1 7 11 5 0 - 3000");
  text = set_line(text, "obj 2 39 ", "obj 2 39 1A 5 0 - 01");
  plug(from_text(text));
  attach();
  std::uint32_t h[80];
  DWORD n = 79;
  EXPECT_EQ(obj_list(kKey, kH, h, &n), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 80u);
  EXPECT_EQ(fake::transmits(kH), 0u);
  n = 80;
  ASSERT_EQ(obj_list(kKey, kH, h, &n), VORN_OK);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(h[0], 0xF0110007u);
  EXPECT_EQ(h[1], 0xC01A0027u);
}

TEST_F(Layer, BadHandlesAreRefusedBeforeAnyApdu) {
  plug(personalised());
  attach();
  std::uint8_t buf[8];
  DWORD len = sizeof buf;
  for (std::uint32_t h : {0x80000001u, 0x40000001u, 0xC0000000u, 0xC0000029u, 0xF00000FFu}) {
    EXPECT_EQ(obj_read_value(kKey, kH, h, 0, buf, &len), CARDERR_BAD_ARG) << std::hex << h;
    EXPECT_EQ(obj_delete(kKey, kH, h), CARDERR_BAD_ARG);
    EXPECT_EQ(obj_write_attrs(kKey, kH, h, nullptr, 0), CARDERR_BAD_ARG);
  }
  EXPECT_EQ(fake::transmits(kH), 0u);
}

TEST_F(Layer, AttributeListsRoundTripInPieces) {
  plug(personalised());
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_CIPH), VORN_OK);
  const Bytes value = unhex("DEADBEEF");
  std::uint32_t obj = 0;
  ASSERT_EQ(key_store(kKey, kH, 0x18, 0, 0, value.data(), 4, &obj), VORN_OK);
  EXPECT_EQ(obj, 0xC0180001u);
  // No attribute list yet: every length 0.
  std::uint8_t b[8];
  CardAttr none[1] = {{0x0003, b, sizeof b}};
  ASSERT_EQ(obj_read_attrs(kKey, kH, obj, none, 1), VORN_OK);
  EXPECT_EQ(none[0].len, 0u);

  // 63 attributes: a 254-byte head that no single piece under the channel holds.
  std::vector<Bytes> vals;
  std::vector<CardAttr> t;
  for (unsigned i = 0; i < 63; ++i) vals.push_back(Bytes(5 + i % 11, static_cast<std::uint8_t>(i)));
  for (unsigned i = 0; i < 63; ++i) t.push_back({0x0100u + i, vals[i].data(), static_cast<unsigned long>(vals[i].size())});
  DWORD size = 0;
  ASSERT_EQ(attr_list_encode(t.data(), 63, nullptr, &size), VORN_OK);
  fake::clear(kH);
  ASSERT_EQ(obj_write_attrs(kKey, kH, obj, t.data(), 63), VORN_OK);
  auto p = plain();
  const DWORD pieces = (size + 238) / 239;
  ASSERT_EQ(p.size(), 1 + pieces);
  char head[64];
  std::snprintf(head, sizeof head, "80480001078202%04X830106", static_cast<unsigned>(size));
  EXPECT_EQ(p[0], head);
  for (DWORD i = 0; i < pieces; ++i) {
    char pre[16];
    std::snprintf(pre, sizeof pre, "8048%02X01", static_cast<unsigned>((i + 2) | (i + 1 == pieces ? 0x80 : 0)));
    EXPECT_TRUE(starts(p[1 + i], pre)) << p[1 + i];
  }

  // Size query, then the values; the last attribute needs every piece.
  std::vector<CardAttr> q = {{0x0100 + 62, nullptr, 0}, {0x0100, nullptr, 0}, {0x0999, nullptr, 7}};
  ASSERT_EQ(obj_read_attrs(kKey, kH, obj, q.data(), 3), VORN_OK);
  EXPECT_EQ(q[0].len, vals[62].size());
  EXPECT_EQ(q[1].len, vals[0].size());
  EXPECT_EQ(q[2].len, 0u);
  std::vector<Bytes> back(63, Bytes(16, 0xEE));
  std::vector<CardAttr> r;
  for (unsigned i = 0; i < 63; ++i) r.push_back({0x0100u + i, back[i].data(), 16});
  ASSERT_EQ(obj_read_attrs(kKey, kH, obj, r.data(), 63), VORN_OK);
  for (unsigned i = 0; i < 63; ++i) {
    ASSERT_EQ(r[i].len, vals[i].size()) << i;
    EXPECT_EQ(hex(back[i].data(), r[i].len), hex(vals[i])) << i;
  }
  // One entry too short: the needed size and BUFFER_TOO_SMALL, the rest filled.
  std::uint8_t tiny[2], ok[16];
  CardAttr mix[2] = {{0x0100 + 10, tiny, 2}, {0x0100 + 20, ok, 16}};
  EXPECT_EQ(obj_read_attrs(kKey, kH, obj, mix, 2), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(mix[0].len, vals[10].size());
  EXPECT_EQ(mix[1].len, vals[20].size());
  EXPECT_EQ(hex(ok, mix[1].len), hex(vals[20]));
  // Removing the list (a rewrite: the card wants the PIN for this object).
  std::uint8_t tries = 0;
  ASSERT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  ASSERT_EQ(obj_write_attrs(kKey, kH, obj, nullptr, 0), VORN_OK);
  ASSERT_EQ(obj_read_attrs(kKey, kH, obj, r.data(), 1), VORN_OK);
  EXPECT_EQ(r[0].len, 0u);
}

TEST_F(Layer, ValuesSizesAndShortBuffers) {
  plug(demo());
  attach();
  const std::uint32_t cert = 0xF0110003;
  DWORD size = 0;
  ASSERT_EQ(obj_read_value(kKey, kH, cert, 0, nullptr, &size), VORN_OK);
  ASSERT_GT(size, 300u);
  std::vector<std::uint8_t> v(size);
  DWORD len = size;
  ASSERT_EQ(obj_read_value(kKey, kH, cert, 0, v.data(), &len), VORN_OK);
  EXPECT_EQ(len, size);
  // The certificate's key identifier is the one in its attribute list.
  std::uint8_t id[20], attr_id[20];
  ASSERT_EQ(cert_key_id(v.data(), len, id), VORN_OK);
  CardAttr a[1] = {{CARD_ATTR_KEY_ID, attr_id, 20}};
  ASSERT_EQ(obj_read_attrs(kKey, kH, cert, a, 1), VORN_OK);
  EXPECT_EQ(hex(id, 20), hex(attr_id, 20));
  std::uint8_t cn[64];
  DWORD cn_len = sizeof cn;
  ASSERT_EQ(cert_common_name(v.data(), len, cn, &cn_len), VORN_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(cn), cn_len), "VORN demo signature key");
  // A buffer one byte short: the needed size, not a cut value.
  std::vector<std::uint8_t> shorter(size - 1, 0xEE);
  len = size - 1;
  EXPECT_EQ(obj_read_value(kKey, kH, cert, 0, shorter.data(), &len), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, size);
  len = 0;
  EXPECT_EQ(obj_read_value(kKey, kH, cert, 0, v.data(), &len), CARDERR_BAD_ARG);
}

TEST_F(Layer, FreeNumbersAndDelete) {
  plug(demo());
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  std::uint8_t a = 0, b = 0;
  ASSERT_EQ(obj_find_free(kKey, kH, &a), VORN_OK);
  EXPECT_EQ(a, 4);
  ASSERT_EQ(obj_find_two_free(kKey, kH, &a, &b), VORN_OK);
  EXPECT_EQ(a, 4);
  EXPECT_EQ(b, 5);
  fake::clear(kH);
  ASSERT_EQ(obj_delete(kKey, kH, 0xF0320002), VORN_OK);
  EXPECT_EQ(plain(), (std::vector<std::string>{"8052000200"}));
  ASSERT_EQ(obj_find_two_free(kKey, kH, &a, &b), VORN_OK);
  EXPECT_EQ(a, 2);
  EXPECT_EQ(b, 4);
}

// ---------------------------------------------------------------------------
// Keys

namespace {

Bytes pkcs1_type1(std::size_t k, const Bytes& data) {
  Bytes b(k, 0xFF);
  b[0] = 0x00;
  b[1] = 0x01;
  b[k - data.size() - 1] = 0x00;
  std::copy(data.begin(), data.end(), b.end() - static_cast<std::ptrdiff_t>(data.size()));
  return b;
}

}  // namespace

TEST_F(Layer, SigningChainsTheFirst128BytesUnderTheChannel) {
  plug(demo());
  attach();
  const std::uint32_t priv = 0xF05B0001;
  DWORD sig_len = 0;
  ASSERT_EQ(key_sign(kKey, kH, priv, nullptr, 0, nullptr, &sig_len), VORN_OK);
  EXPECT_EQ(sig_len, 256u);
  // The public modulus, from the public key's attribute 0120 of the private key.
  std::uint8_t mod[256];
  CardAttr a[1] = {{0x0120, mod, sizeof mod}};
  ASSERT_EQ(obj_read_attrs(kKey, kH, priv, a, 1), VORN_OK);
  ASSERT_EQ(a[0].len, 256u);
  const Bytes modulus(mod, mod + 256);

  Bytes digest_info = unhex("3021300906052B0E03021A05000414");
  digest_info.resize(35, 0x5A);
  const Bytes block = pkcs1_type1(256, digest_info);
  std::uint8_t tries = 0;
  ASSERT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  fake::clear(kH);
  std::uint8_t sig[256];
  sig_len = sizeof sig;
  ASSERT_EQ(key_sign(kKey, kH, priv, block.data(), 256, sig, &sig_len), VORN_OK);
  EXPECT_EQ(sig_len, 256u);
  auto p = plain();
  ASSERT_GE(p.size(), 4u);
  EXPECT_EQ(p[0], "8022000003810101");
  EXPECT_EQ(p[1], "902A9E9A80" + hex(block.data(), 128));
  EXPECT_EQ(p[2], "802A9E9A80" + hex(block.data() + 128, 128));
  EXPECT_TRUE(starts(p[3], "00C00000"));
  auto t = fake::trace(kH);
  EXPECT_EQ(t[1].rsp, "6883");
  EXPECT_EQ(hex(rsa_public(modulus, Bytes(sig, sig + 256))), hex(block));

  // 35 bytes: one APDU.
  fake::clear(kH);
  sig_len = sizeof sig;
  ASSERT_EQ(key_sign(kKey, kH, priv, digest_info.data(), 35, sig, &sig_len), VORN_OK);
  p = plain();
  EXPECT_EQ(p[1], "802A9E9A23" + hex(digest_info));
  EXPECT_EQ(count_prefix(p, "902A"), 0u);
  // A buffer too small for the signature.
  sig_len = 100;
  EXPECT_EQ(key_sign(kKey, kH, priv, digest_info.data(), 35, sig, &sig_len), CARDERR_BAD_ARG);
}

TEST_F(Layer, KeyPairGenerationChecksTheBufferFirst) {
  plug(personalised());
  attach();
  std::uint8_t mod[256];
  std::uint32_t priv = 0, pub = 0;
  DWORD len = 200;
  EXPECT_EQ(key_gen_pair(kKey, kH, CARD_ALG_RSA2048, 0x1B, 0x12, &priv, &pub, mod, &len), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 256u);
  len = 127;
  EXPECT_EQ(key_gen_pair(kKey, kH, CARD_ALG_RSA1024, 0x1B, 0x12, &priv, &pub, mod, &len), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 128u);
  len = 256;
  EXPECT_EQ(key_gen_pair(kKey, kH, 26, 0x1B, 0x12, &priv, &pub, mod, &len), CARDERR_BAD_ARG);
  EXPECT_EQ(key_gen_pair(kKey, kH, CARD_ALG_RSA1024, 0x03, 0x12, &priv, &pub, mod, &len), CARDERR_BAD_ARG);
  // No channel application open.
  EXPECT_EQ(key_gen_pair(kKey, kH, CARD_ALG_RSA1024, 0x1B, 0x12, &priv, &pub, mod, &len), CARDERR_BAD_ARG);
  EXPECT_EQ(fake::transmits(kH), 0u);
}

TEST_F(Layer, GeneratedPairDeciphersOnTheCard) {
  plug(personalised());
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_CIPH), VORN_OK);
  fake::clear(kH);
  std::uint8_t mod[128];
  std::uint32_t priv = 0, pub = 0;
  DWORD len = sizeof mod;
  ASSERT_EQ(key_gen_pair(kKey, kH, CARD_ALG_RSA1024, 0x3B, 0x12, &priv, &pub, mod, &len), VORN_OK);
  EXPECT_EQ(len, 128u);
  EXPECT_EQ(priv, 0xC07B0001u) << ::testing::PrintToString(plain());
  EXPECT_EQ(pub, 0xC0320002u);
  auto p = plain();
  EXPECT_EQ(p[0], "802200000380011B");
  EXPECT_EQ(p[1], "00CA030028");
  EXPECT_TRUE(starts(p[2], "00C00000"));
  EXPECT_EQ(p[3], "8046010209840101850100870101");
  // Encrypt on the host (PKCS#1 type 2 block), decipher on the card, which
  // strips the padding.
  const Bytes modulus(mod, mod + 128);
  const Bytes secret = unhex("00112233445566778899AABBCCDDEEFF01020304");
  Bytes msg(128, 0x5A);
  msg[0] = 0x00;
  msg[1] = 0x02;
  msg[128 - secret.size() - 1] = 0x00;
  std::copy(secret.begin(), secret.end(), msg.end() - static_cast<std::ptrdiff_t>(secret.size()));
  const Bytes c = rsa_public(modulus, msg);
  std::uint8_t tries = 0;
  ASSERT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  std::uint8_t out[128];
  DWORD out_len = sizeof out;
  fake::clear(kH);
  ASSERT_EQ(key_crypt(kKey, kH, CARD_ALG_RSA1024, 0, priv, nullptr, 0, c.data(), 128, out, &out_len, KEY_DECIPHER), VORN_OK);
  EXPECT_EQ(hex(out, out_len), hex(secret));
  p = plain();
  EXPECT_EQ(p[0], "8022000003810101");
  EXPECT_EQ(p[1], "802A808680" + hex(c));
  // The on-card private key only deciphers.
  out_len = sizeof out;
  EXPECT_EQ(key_crypt(kKey, kH, CARD_ALG_RSA1024, 0, priv, nullptr, 0, c.data(), 128, out, &out_len, KEY_ENCIPHER), CARDERR_BAD_ARG);
}

TEST_F(Layer, SecretKeyEnciphersAndDeciphersInTheRightDirection) {
  plug(personalised());
  attach();
  std::uint32_t key = 0;
  ASSERT_EQ(key_gen_secret(kKey, kH, CARD_ALG_AES128, 0x1C, &key), VORN_OK);
  EXPECT_EQ(key, 0xC05C0001u);
  std::uint8_t tries = 0;
  ASSERT_EQ(pin_verify(kKey, kH, PIN_REF_USER, kPin1234.data(), &tries), VORN_OK);
  Bytes data(40);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  std::uint8_t enc[48], dec[48];
  DWORD el = sizeof enc, dl = sizeof dec;
  // AES in CBC needs whole blocks; in mode 2 any length.
  EXPECT_EQ(key_crypt(kKey, kH, CARD_ALG_AES128, 1, key, nullptr, 0, data.data(), 40, enc, &el, KEY_ENCIPHER), CARDERR_BAD_LENGTH);
  fake::clear(kH);
  Bytes d32(data.begin(), data.begin() + 32);
  el = sizeof enc;
  ASSERT_EQ(key_crypt(kKey, kH, CARD_ALG_AES128, 4, key, nullptr, 0, d32.data(), 32, enc, &el, KEY_ENCIPHER), VORN_OK);
  EXPECT_EQ(el, 32u);
  auto p = plain();
  EXPECT_EQ(p[0], "80220000068A0104810101");
  EXPECT_EQ(p[1], "802A868020" + hex(d32));
  EXPECT_NE(hex(enc, 32), hex(d32));
  EXPECT_EQ(hex(enc, 16) == hex(enc + 16, 16), hex(d32.data(), 16) == hex(d32.data() + 16, 16));
  fake::clear(kH);
  ASSERT_EQ(key_crypt(kKey, kH, CARD_ALG_AES128, 4, key, nullptr, 0, enc, 32, dec, &dl, KEY_DECIPHER), VORN_OK);
  EXPECT_EQ(hex(dec, dl), hex(d32));
  EXPECT_EQ(plain()[1], "802A808620" + hex(enc, 32));
  // CFB8 (mode 2) with an IV takes 40 bytes.
  const Bytes iv(16, 0x42);
  el = sizeof enc;
  ASSERT_EQ(key_crypt(kKey, kH, CARD_ALG_AES128, 2, key, iv.data(), 16, data.data(), 40, enc, &el, KEY_ENCIPHER), VORN_OK);
  dl = sizeof dec;
  ASSERT_EQ(key_crypt(kKey, kH, CARD_ALG_AES128, 2, key, iv.data(), 16, enc, 40, dec, &dl, KEY_DECIPHER), VORN_OK);
  EXPECT_EQ(hex(dec, dl), hex(data));
}

TEST_F(Layer, CryptArgumentsAreCheckedBeforeAnyApdu) {
  plug(personalised());
  attach();
  Bytes d(32, 1);
  std::uint8_t out[64];
  DWORD ol = sizeof out;
  EXPECT_EQ(key_crypt(kKey, kH, 1, 1, 0xF05C0001, nullptr, 0, d.data(), 32, out, &ol, KEY_ENCIPHER), CARDERR_BAD_ARG);
  ol = 16;
  EXPECT_EQ(key_crypt(kKey, kH, 1, 1, 0xC05C0001, nullptr, 0, d.data(), 32, out, &ol, KEY_ENCIPHER), CARDERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(ol, 32u);
  ol = 64;
  EXPECT_EQ(key_crypt(kKey, kH, 1, 1, 0xC05C0001, nullptr, 0, d.data(), 32, nullptr, &ol, KEY_ENCIPHER), CARDERR_BUFFER_TOO_SMALL);
  ol = 64;
  const Bytes iv8(8, 0);
  EXPECT_EQ(key_crypt(kKey, kH, 1, 1, 0xC05C0001, iv8.data(), 8, d.data(), 32, out, &ol, KEY_ENCIPHER), CARDERR_BAD_LENGTH);
  EXPECT_EQ(key_crypt(kKey, kH, 17, 1, 0xC05C0001, nullptr, 0, d.data(), 30, out, &ol, KEY_ENCIPHER), CARDERR_BAD_LENGTH);
  EXPECT_EQ(key_crypt(kKey, kH, 48, 1, 0xC05C0001, nullptr, 0, d.data(), 32, out, &ol, KEY_ENCIPHER), CARDERR_BAD_ALGORITHM);
  EXPECT_EQ(key_crypt(kKey, kH, 1, 5, 0xC05C0001, nullptr, 0, d.data(), 32, out, &ol, KEY_ENCIPHER), CARDERR_BAD_ARG);
  EXPECT_EQ(key_crypt(kKey, kH, 1, 1, 0xC05C0001, nullptr, 0, d.data(), 32, out, &ol, 0), CARDERR_BAD_ARG);
  EXPECT_EQ(key_set_env(kKey, kH, 0, 0, 0, nullptr, 0), CARDERR_BAD_ARG);
  std::uint32_t h = 0;
  EXPECT_EQ(key_gen_secret(kKey, kH, 27, 0x1C, &h), CARDERR_BAD_ARG);
  EXPECT_EQ(key_store(kKey, kH, 0x1D, 0, 0, d.data(), 32, &h), CARDERR_BAD_ARG);  // kind 5
  EXPECT_EQ(key_store(kKey, kH, 0x04, 0, 0, d.data(), 32, &h), CARDERR_BAD_ARG);  // no access class
  EXPECT_EQ(key_store(kKey, kH, 0x1C, 0, 0, d.data(), 0, &h), CARDERR_BAD_ARG);
  EXPECT_EQ(card_get_challenge(kKey, kH, out, 0), CARDERR_BAD_ARG);
  EXPECT_EQ(fake::transmits(kH), 0u);
}

TEST_F(Layer, GetChallengeSplitsByChannelState) {
  plug(personalised());
  attach();
  std::vector<std::uint8_t> r(300);
  ASSERT_EQ(card_get_challenge(kKey, kH, r.data(), 300), VORN_OK);
  EXPECT_EQ(plain(), (std::vector<std::string>{"0084000000", "008400002C"}));
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  fake::clear(kH);
  std::vector<std::uint8_t> s(300, 0);
  ASSERT_EQ(card_get_challenge(kKey, kH, s.data(), 300), VORN_OK);
  auto t = fake::trace(kH);
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].plain(), "00840000EF");
  EXPECT_EQ(t[0].cmd, hex(clt::ref_wrap(session_key(), unhex("00840000EF"))));
  EXPECT_EQ(t[2].cmd, hex(clt::ref_wrap(session_key(), unhex("008400003D"))));
  EXPECT_NE(hex(r), hex(s));
}

TEST_F(Layer, StoringAValueSendsItInPieces) {
  plug(personalised());
  attach();
  ASSERT_EQ(sm_open_app_channel(kKey, kH, CARD_APP_SIGN), VORN_OK);
  Bytes v(600);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::uint8_t>(i);
  fake::clear(kH);
  std::uint32_t h = 0;
  ASSERT_EQ(key_store(kKey, kH, 0x11, 0, 0, v.data(), 600, &h), VORN_OK);
  EXPECT_EQ(h, 0xF0110001u);
  auto p = plain();
  ASSERT_EQ(p.size(), 6u) << ::testing::PrintToString(p);
  EXPECT_EQ(p[0], "00CA030028");
  // Kind 1 (certificate) is card type 04; access bits 10 are class 00.
  EXPECT_EQ(p[2], "804800010A82020258830104860100");
  EXPECT_EQ(p[3], "80480201EF" + hex(v.data(), 239));
  EXPECT_EQ(p[4], "80480301EF" + hex(v.data() + 239, 239));
  EXPECT_EQ(p[5], "804884017A" + hex(v.data() + 478, 122));
  std::vector<std::uint8_t> back(600);
  DWORD len = 600;
  ASSERT_EQ(obj_read_value(kKey, kH, h, 0, back.data(), &len), VORN_OK);
  EXPECT_EQ(hex(back.data(), len), hex(v));
}

// ---------------------------------------------------------------------------
// Card faults: every kind gives a clean error code, never a crash or hang.

TEST_F(Layer, EveryInjectedFaultGivesACleanError) {
  const std::string base = demo()->to_text();
  struct Case {
    const char* name;
    Fault fault;
  };
  std::vector<Case> cases;
  for (int ins : {0xA4, 0xC0, 0x4C, 0x4E, 0xCA, 0x50, 0x22, 0x2A, 0x20, 0xB0, 0x84}) {
    cases.push_back({"sw", Fault{FaultKind::kStatus, ins, 0x6F00, 0, 0, -1}});
    for (std::uint32_t cut : {0u, 1u}) cases.push_back({"truncate", Fault{FaultKind::kTruncate, ins, 0, cut, 0, -1}});
    cases.push_back({"drop", Fault{FaultKind::kDrop, ins, 0, 0, 0, 1}});
    cases.push_back({"delay", Fault{FaultKind::kDelay, ins, 0, 0, 1, 1}});
  }
  // Answers that carry enciphered data.
  for (int ins : {0xC0, 0xCA, 0x50, 0x2A, 0xB0, 0x84}) cases.push_back({"badmac", Fault{FaultKind::kBadMac, ins, 0, 0, 0, -1}});
  for (std::uint32_t cut : {3u, 7u, 20u, 37u}) cases.push_back({"truncate", Fault{FaultKind::kTruncate, 0xC0, 0, cut, 0, -1}});
  const Bytes digest(35, 0x33);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " ins " + std::to_string(c.fault.ins));
    Card* card = plug(from_text(base), 0x3000);
    card->set_faults({c.fault});
    card_attach(0x3000, 5);
    vorn_rv worst = VORN_OK;
    std::uint32_t handles[80];
    DWORD n = 80;
    vorn_rv rv = obj_list(5, 0x3000, handles, &n);
    if (rv != VORN_OK) worst = rv;
    rv = sm_select_for_object(5, 0x3000, 0xF05B0001);
    if (rv != VORN_OK) worst = rv;
    std::uint8_t tries = 0;
    rv = pin_verify(5, 0x3000, PIN_REF_USER, kPin1234.data(), &tries);
    if (rv != VORN_OK) worst = rv;
    std::uint8_t sig[256];
    DWORD sl = sizeof sig;
    rv = key_sign(5, 0x3000, 0xF05B0001, digest.data(), 35, sig, &sl);
    if (rv != VORN_OK) worst = rv;
    std::uint8_t rnd[64];
    rv = card_get_challenge(5, 0x3000, rnd, sizeof rnd);
    if (rv != VORN_OK) worst = rv;
    DWORD fl = 8;
    rv = card_read_binary(5, 0x3000, CARD_FILE_PIN_CACHE, 0, 8, rnd, &fl);
    if (rv != VORN_OK) worst = rv;
    std::uint8_t cert[2048];
    DWORD cl = sizeof cert;
    rv = obj_read_value(5, 0x3000, 0xC0110003, 0, cert, &cl);
    if (rv != VORN_OK) worst = rv;
    if (c.fault.kind != FaultKind::kDelay) {
      EXPECT_NE(worst, VORN_OK);
    } else {
      EXPECT_EQ(worst, VORN_OK);
    }
    card_detach(0x3000, 5);
    fake::unplug(0x3000);
    plugged_.pop_back();
    // The slot is free again for the next case, even after a failure.
    EXPECT_EQ(slot_of(5).readerKey, CARD_SLOT_FREE);
  }
}

// ---------------------------------------------------------------------------
// Card operations and the reader helpers

namespace {

// A PIN source of the test: a block or none, logging out or not.
class TestPin final : public CardPinSource {
 public:
  TestPin(const Bytes& block, bool logout) : block_(block), logout_(logout) {}
  bool card_pin(std::uint32_t, SCARDHANDLE, std::uint8_t* ref, std::uint8_t* block8) const override {
    if (block_.empty()) return false;
    *ref = PIN_REF_USER;
    std::memcpy(block8, block_.data(), 8);
    return true;
  }
  bool logout_at_close() const override { return logout_; }

 private:
  Bytes block_;
  bool logout_;
};

}  // namespace

// Whatever the verification gave, the close resets the channel and logs out
// the reference of a PIN that was to be verified; the destructor closes an
// operation the caller left open.
TEST_F(Layer, CardOperationClosesAndLogsOutOnEveryPath) {
  struct Case {
    const char* name;
    Bytes pin;
    bool logout;
    vorn_rv open_rv;
    std::size_t verifies, logouts;
  } cases[] = {
      {"good PIN", kPin1234, true, VORN_OK, 1, 1},
      {"wrong PIN", unhex("39393939FFFFFFFF"), true, CARDERR_WRONG_PIN, 1, 1},
      {"no PIN", {}, true, VORN_OK, 0, 0},
      {"kept verified", kPin1234, false, VORN_OK, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plug(personalised());
    attach();
    {
      CardOperation op;
      ASSERT_EQ(op.begin(kKey, kH, CARD_APP_CIPH, TestPin(c.pin, c.logout)), c.open_rv);
      EXPECT_TRUE(op.begun());
      // A second open verifies again; the close logs out once.
      if (c.open_rv == VORN_OK) {
        EXPECT_EQ(op.open(CARD_APP_CIPH, TestPin(c.pin, c.logout)), VORN_OK);
      }
    }
    const std::size_t opens = c.open_rv == VORN_OK ? 2 : 1;
    auto p = plain();
    EXPECT_EQ(count_prefix(p, "00A404040CA00000006341502D43495048"), opens);
    EXPECT_EQ(count_prefix(p, "0020001108"), c.verifies * opens);
    EXPECT_EQ(count_prefix(p, "002E0011"), c.logouts);
    ASSERT_GE(p.size(), 2u);
    // The channel reset comes before the logout.
    const std::size_t at = p.size() - 2 - c.logouts;
    EXPECT_TRUE(starts(p[at], "00A4044C0C"));
    EXPECT_EQ(p[at + 1], "00A40004023F00");
    EXPECT_EQ(sm_state_get(kKey, kH), CARD_CHANNEL_CLOSED);
    card_detach(kH, kKey);
    for (auto& [h, card] : plugged_) fake::unplug(h);
    plugged_.clear();
  }
}

TEST_F(Layer, CardOperationOutsideATransactionSendsNothing) {
  plug(personalised());
  attach();
  CardOperation op;
  EXPECT_EQ(op.open(CARD_APP_SIGN, card_no_pin()), CARDERR_BAD_ARG);
  EXPECT_EQ(op.close(), VORN_OK);
  EXPECT_EQ(op.end(), VORN_OK);
  EXPECT_TRUE(plain().empty());
}

TEST(Readers, SerialIsUpperCaseHexOfBytes8To15) {
  const Bytes id = unhex("00112233445566778899AABBCCDDEEFF");
  std::uint8_t out[17] = {};
  card_serial_hex(id.data(), out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), "8899AABBCCDDEEFF");
}
