// A card that lies about the rest of its answer: every GET RESPONSE is
// answered with an empty (or 1-byte) correctly MACed piece and 61 00. Each
// chained read of the layer must give up with CARDERR_UNKNOWN after a
// bounded number of GET RESPONSE rounds, and the card must work again once
// it stops lying. Runs through pcscd + vpcd + vorn-cardsim.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "cardlayer.h"
#include "stack_util.h"
#include "test_util.h"

using clt::Bytes;
using clt::Conn;
using clt::hex;
using clt::unhex;

namespace {

const Bytes kPin1234 = unhex("31323334FFFFFFFF");
constexpr std::uint32_t kKey = 0;
constexpr std::uint32_t kSignKey = 0xF05B0001;
constexpr std::uint32_t kSignCert = 0xF0110003;
constexpr std::uint32_t kCiphKey = 0xC05B0001;
// GET RESPONSE rounds allowed for an attribute list or a value (0xFFFF bytes
// in 239-byte pieces, + 2) and for a 256-byte key answer.
constexpr std::size_t kListRounds = 0xFFFF / 239 + 2;
constexpr std::size_t kKeyRounds = 256 / 239 + 2;

// PKCS#1 v1.5 block type 2 of `msg`, raised to 65537 mod `modulus`.
Bytes rsa_encrypt(const Bytes& modulus, const Bytes& msg) {
  Bytes block(modulus.size(), 0x5B);
  block[0] = 0x00;
  block[1] = 0x02;
  block[block.size() - msg.size() - 1] = 0x00;
  std::copy(msg.begin(), msg.end(), block.end() - static_cast<std::ptrdiff_t>(msg.size()));
  return clt::rsa_public(modulus, block);
}

class LyingCard : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(clt::env("VORNENV_DIR").empty()) << "run under tools/with-vornenv";
    image_ = "cllying" + std::to_string(getpid());
    ASSERT_EQ(card_table_open(image_.c_str()), VORN_OK);
  }
  void TearDown() override {
    clt::set_faults(0, "");
    card_table_close();
    card_table_unlink(image_.c_str());
  }
  std::string image_;
};

}  // namespace

TEST_F(LyingCard, EveryChainedReadGivesUpAndTheCardWorksAgain) {
  clt::set_faults(0, "");
  Conn c(0);
  ASSERT_EQ(c.rv(), VORN_OK);
  card_attach(c.h(), kKey);
  const SCARDHANDLE h = c.h();
  std::uint8_t mod[256];
  CardAttr ma[1] = {{0x0120, mod, sizeof mod}};
  ASSERT_EQ(obj_read_attrs(kKey, h, kCiphKey, ma, 1), VORN_OK);
  ASSERT_EQ(ma[0].len, 256u);
  const Bytes secret = unhex("00112233445566778899AABBCCDDEEFF");
  const Bytes wrapped = rsa_encrypt(Bytes(mod, mod + 256), secret);
  const Bytes digest_info(35, 0x21);

  // Each operation returns its result and its output bytes.
  using Op = std::function<vorn_rv(Bytes*)>;
  auto verified = [&](vorn_rv rv) {
    std::uint8_t tries = 0;
    return rv == VORN_OK ? pin_verify(kKey, h, PIN_REF_USER, kPin1234.data(), &tries) : rv;
  };
  struct Case {
    const char* name;
    const char* ins;        // the command whose answer is fetched
    std::size_t empty_rounds, byte_rounds;
    Op op;
  };
  const std::vector<Case> cases = {
      {"attribute list", "50", 1, kListRounds,
       [&](Bytes* out) {
         out->assign(256, 0);
         CardAttr a[1] = {{0x0003, out->data(), 256}};
         vorn_rv rv = obj_read_attrs(kKey, h, kSignCert, a, 1);
         out->resize(a[0].len);
         return rv;
       }},
      {"certificate value", "50", 1, kListRounds,
       [&](Bytes* out) {
         out->assign(4096, 0);
         DWORD len = 4096;
         vorn_rv rv = obj_read_value(kKey, h, kSignCert, 0, out->data(), &len);
         out->resize(rv == VORN_OK ? len : 0);
         return rv;
       }},
      {"2048-bit signature", "2A", 1, kKeyRounds,
       [&](Bytes* out) {
         out->assign(256, 0);
         DWORD len = 256;
         vorn_rv rv = verified(VORN_OK);
         if (rv == VORN_OK) rv = key_sign(kKey, h, kSignKey, digest_info.data(), 35, out->data(), &len);
         out->resize(rv == VORN_OK ? len : 0);
         return rv;
       }},
      {"2048-bit decipherment", "2A", 1, kKeyRounds,
       [&](Bytes* out) {
         out->assign(256, 0);
         DWORD len = 256;
         vorn_rv rv = verified(VORN_OK);
         if (rv == VORN_OK) {
           rv = key_crypt(kKey, h, CARD_ALG_RSA2048, 0, kCiphKey, nullptr, 0, wrapped.data(), 256,
                          out->data(), &len, KEY_DECIPHER);
         }
         out->resize(rv == VORN_OK ? len : 0);
         return rv;
       }},
      {"GET CHALLENGE", "84", 1, 1,
       [&](Bytes* out) {
         out->assign(16, 0);
         vorn_rv rv = sm_open_app_channel(kKey, h, CARD_APP_SIGN);
         if (rv == VORN_OK) rv = card_get_challenge(kKey, h, out->data(), 16);
         out->clear();  // random: only the result counts
         return rv;
       }},
      {"GET DATA", "CA", 1, 1,
       [&](Bytes* out) {
         out->assign(16, 0);
         DWORD len = 16;
         vorn_rv rv = sm_open_app_channel(kKey, h, CARD_APP_SIGN);
         if (rv == VORN_OK) rv = card_get_data(kKey, h, CARD_DATA_ID, out->data(), &len);
         return rv;
       }},
      {"READ BINARY", "B0", 1, 1,
       [&](Bytes* out) {
         out->assign(256, 0);
         DWORD len = 256;
         vorn_rv rv = sm_open_app_channel(kKey, h, CARD_APP_CIPH);
         if (rv == VORN_OK) rv = card_read_binary(kKey, h, 0x5032, 0, 0, out->data(), &len);
         out->resize(rv == VORN_OK ? len : 0);
         return rv;
       }},
  };

  for (const Case& k : cases) {
    Bytes reference;
    ASSERT_EQ(k.op(&reference), VORN_OK) << k.name;
    for (const char* variant : {"empty", "byte FC"}) {
      const std::string fault = std::string("endless ") + k.ins + " " + variant + " x600\n";
      SCOPED_TRACE(std::string(k.name) + ": " + fault);
      const std::size_t want = variant[0] == 'e' ? k.empty_rounds : k.byte_rounds;
      clt::set_faults(0, fault);
      const std::size_t mark = clt::trace_mark(0);
      Bytes out;
      EXPECT_EQ(k.op(&out), CARDERR_UNKNOWN);
      // The GET RESPONSE rounds after the read's own command.
      std::size_t fetched = 0, lied = 0;
      for (const auto& a : clt::trace_since(0, mark)) {
        fetched = a.cmd.size() >= 4 && a.cmd.substr(2, 2) == "C0" ? fetched + 1 : 0;
        if (a.note.find("fault=endless") != std::string::npos) ++lied;
      }
      EXPECT_EQ(fetched, want);
      EXPECT_EQ(lied, want);
      // The card stops lying: the same read works on the same connection.
      clt::set_faults(0, "");
      Bytes again;
      EXPECT_EQ(k.op(&again), VORN_OK);
      EXPECT_EQ(hex(again), hex(reference));
    }
  }
  sm_channel_reset(h, kKey);
  card_detach(h, kKey);
}
