// The card file (atomic saves, reload after every change, malformed files)
// and fault injection.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "sim_host.h"

using namespace simtest;
using vorn::cardsim::Card;
using vorn::cardsim::Fault;
using vorn::cardsim::FaultKind;

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cardsim-test-XXXXXX").string();
    char* p = mkdtemp(tmpl.data());
    EXPECT_NE(p, nullptr);
    path = tmpl;
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string file(const char* name) const { return path + "/" + name; }
};

}  // namespace

TEST(State, SaveLoadRoundTripWithoutTempFiles) {
  TempDir d;
  std::string err;
  auto card = Card::demo(vorn::cardsim::demo_defaults(), &err);
  ASSERT_TRUE(card) << err;
  ASSERT_EQ(card->save(d.file("demo.vcs")), VORN_OK);
  auto again = Card::load(d.file("demo.vcs"), &err);
  ASSERT_TRUE(again) << err;
  EXPECT_EQ(again->to_text(), card->to_text());
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(d.path)) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1);
  EXPECT_NE(card->to_text().find("pin_state 4\n"), std::string::npos);
  EXPECT_EQ(card->save(d.file("missing-dir/x.vcs")), CARDERR_UNKNOWN);
}

TEST(State, EveryPersistentChangeReachesTheFile) {
  TempDir d;
  std::string err;
  auto card = Card::personalise({}, &err);
  ASSERT_EQ(card->save(d.file("c.vcs")), VORN_OK);
  card->power_on();
  // A wrong PIN, then a file update; a "killed" card reloads both.
  EXPECT_EQ(X(card->transmit(H("002000110839393939FFFFFFFF"))), "63C2");
  card->transmit(H("00A40004020FCF"));
  EXPECT_EQ(X(card->transmit(H("00D6000004DEADBEEF"))), "9000");
  EXPECT_EQ(X(card->transmit(H("0020001100"))), "63C2");
  auto reloaded = Card::load(d.file("c.vcs"), &err);
  ASSERT_TRUE(reloaded) << err;
  reloaded->power_on();
  EXPECT_EQ(X(reloaded->transmit(H("0020001100"))), "63C2");
  reloaded->transmit(H("00A40004020FCF"));
  EXPECT_EQ(X(reloaded->transmit(H("00B0000004"))), "DEADBEEF9000");
  // Volatile state is not in the file: a verified PIN is gone after reload.
  EXPECT_EQ(X(card->transmit(H("002000110831323334FFFFFFFF"))), "9000");
  auto third = Card::load(d.file("c.vcs"), &err);
  third->power_on();
  EXPECT_EQ(X(third->transmit(H("0020001100"))), "63C3");
}

TEST(State, WriteFailureIsReportedAndRolledBack) {
  TempDir d;
  std::string err;
  auto card = Card::personalise({}, &err);
  ASSERT_EQ(card->save(d.file("c.vcs")), VORN_OK);
  card->power_on();
  std::filesystem::remove_all(d.path);  // the card file's folder is gone
  card->transmit(H("00A40004020FCF"));
  EXPECT_EQ(X(card->transmit(H("00D6000004DEADBEEF"))), "6581");
  EXPECT_EQ(X(card->transmit(H("00B0000004"))), "A4B07BD19000");
  std::filesystem::create_directory(d.path);
}

TEST(State, MalformedCardFilesAreRefused) {
  std::string err;
  auto good = Card::personalise({}, &err)->to_text();
  struct Case {
    std::string text;
    std::string error;
  };
  auto replace = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  const Case cases[] = {
      {"", "line 0: truncated card file"},
      {"hello\n", "line 1: not a VORN card file"},
      {good.substr(0, good.size() - 4), "line 11: truncated card file"},
      {replace("pin_state 4", "pin_state 5"), "line 6: bad pin_state"},
      {replace("atr 3B7F", "atr 3B7"), "line 2: bad ATR"},
      {replace("obj 2 40 90 5 0", "obj 2 41 90 5 0"), "line 11: bad object line"},
      {replace("obj 2 40 90 5 0 - -", "obj 2 40 90 5 0 - -\nobj 2 40 90 5 0 - -"), "line 12: object listed twice"},
      {replace("sign_key ", "color "), "line 3: unknown line 'color'"},
      {replace("ident 564F", "# ident 564F"), "line 12: mandatory line missing"},
      {good + "atr 3B00\n", "line 13: text after end"},
      {replace("pin 11 31323334FFFFFFFF 3", "pin 11 31323334FFFFFFFF 4"), "line 7: bad pin line"},
  };
  for (const auto& c : cases) {
    err.clear();
    EXPECT_EQ(Card::from_text(c.text, &err), nullptr) << c.text;
    EXPECT_EQ(err, c.error);
  }
  EXPECT_EQ(Card::load("/nonexistent/card.vcs", &err), nullptr);
  EXPECT_EQ(err, "cannot read /nonexistent/card.vcs");
}

TEST(Faults, FileFormat) {
  std::vector<Fault> f;
  std::string err;
  ASSERT_EQ(vorn::cardsim::faults_parse("# comment\n\nsw 20 6581\nbadmac C0 x2\ntruncate * 1\ndelay B0 15\ndrop 2A x1\n",
                                        &f, &err),
            VORN_OK)
      << err;
  ASSERT_EQ(f.size(), 5u);
  EXPECT_EQ(f[0].kind, FaultKind::kStatus);
  EXPECT_EQ(f[0].ins, 0x20);
  EXPECT_EQ(f[0].sw, 0x6581);
  EXPECT_EQ(f[0].remaining, -1);
  EXPECT_EQ(f[1].kind, FaultKind::kBadMac);
  EXPECT_EQ(f[1].remaining, 2);
  EXPECT_EQ(f[2].ins, -1);
  EXPECT_EQ(f[2].length, 1u);
  EXPECT_EQ(f[3].delay_ms, 15u);
  EXPECT_EQ(f[4].kind, FaultKind::kDrop);
  const std::pair<const char*, const char*> bad[] = {
      {"sw 20 65\n", "line 1: sw needs 4 hex digits"},
      {"sw 2 6581\n", "line 1: instruction must be 2 hex digits or *"},
      {"\nfreeze 20\n", "line 2: unknown fault 'freeze'"},
      {"delay 20 -5\n", "line 1: delay needs milliseconds (at most 600000)"},
      {"drop 20 x0\n", "line 1: bad count"},
      {"drop\n", "line 1: missing instruction"},
      {"truncate CA 0\n", "line 1: truncate needs a byte count of 1 or more"},
      {"endless 50\n", "line 1: endless needs 'empty' or 'byte HH'"},
      {"endless 50 byte 1FF\n", "line 1: endless needs 'empty' or 'byte HH'"},
      {"endless 50 full\n", "line 1: endless needs 'empty' or 'byte HH'"},
  };
  for (const auto& [text, msg] : bad) {
    EXPECT_EQ(vorn::cardsim::faults_parse(text, &f, &err), CARDERR_BAD_ARG) << text;
    EXPECT_EQ(err, msg);
  }
}

TEST(Faults, InjectedAnswers) {
  TestCard c;
  std::vector<Fault> f;
  std::string err;
  ASSERT_EQ(vorn::cardsim::faults_parse("sw CA 6F01 x1\ntruncate A4 1 x1\ndrop 84 x1\ndelay 2E 20\n", &f, &err), VORN_OK);
  c.card->set_faults(f);
  EXPECT_EQ(X(c.tx("00CA020001")), "6F01");
  EXPECT_EQ(X(c.tx("00CA020001")), "049000");  // used up
  EXPECT_EQ(X(c.tx("00A40004023F00")), "61");
  EXPECT_EQ(X(c.tx("00A40004023F00")), "6116");
  auto o = c.card->process(H("0084000008"));
  EXPECT_TRUE(o.drop);
  EXPECT_TRUE(o.response.empty());
  o = c.card->process(H("002E001100"));
  EXPECT_EQ(o.delay_ms, 20u);
  EXPECT_EQ(X(o.response), "9000");
  // A truncation to nothing still leaves one byte on the wire.
  Fault empty;
  empty.kind = FaultKind::kTruncate;
  empty.ins = 0xA4;
  empty.length = 0;
  c.card->set_faults({empty});
  EXPECT_EQ(X(c.tx("00A40004023F00")), "61");
  bool noted = false;
  for (const auto& l : c.trace) noted = noted || l.find("rsp=6F01 fault=sw") != std::string::npos;
  EXPECT_TRUE(noted);
}

TEST(Faults, BadMacSpoilsTheNextEncipheredAnswer) {
  TestCard c;
  Channel ch = Channel::open(c, sign_key(), 1);
  std::vector<Fault> f;
  std::string err;
  ASSERT_EQ(vorn::cardsim::faults_parse("badmac CA x1\n", &f, &err), VORN_OK);
  c.card->set_faults(f);
  EXPECT_EQ(X(c.tx(ch.wrap(H("00CA010010")))), "6124");
  Bytes wire = c.tx("04C0000024");
  ASSERT_EQ(wire.size(), 38u);
  Bytes plain = aes_ecb(ch.session, Bytes(wire.begin(), wire.begin() + 32), false);
  EXPECT_NE(X(mac4(ch.session, Bytes(plain.begin(), plain.begin() + 16))), X(Bytes(wire.begin() + 32, wire.begin() + 36)));
  // The next one is sound again.
  EXPECT_EQ(X(ch.send("00CA020001")), "049000");
}

TEST(Faults, EndlessAnswersPromiseMoreForEver) {
  std::vector<Fault> f;
  std::string err;
  ASSERT_EQ(vorn::cardsim::faults_parse("endless CA empty x2\nendless 84 byte fc\n", &f, &err), VORN_OK) << err;
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].kind, FaultKind::kEndless);
  EXPECT_EQ(f[0].piece, -1);
  EXPECT_EQ(f[0].remaining, 2);
  EXPECT_EQ(f[1].ins, 0x84);
  EXPECT_EQ(f[1].piece, 0xFC);

  // Plain: the fault acts on the GET RESPONSE of the named command only.
  TestCard c;
  c.card->set_faults(f);
  EXPECT_EQ(X(c.tx("00CA020001")), "049000");  // answered directly, nothing to fetch
  EXPECT_EQ(X(c.tx("00A40004023F00")), "6116");
  EXPECT_EQ(X(c.tx("00C0000016")).substr(44), "9000");  // not an answer to CA or 84

  // Under the channel: a correctly MACed empty piece and 61 00, twice (x2);
  // then the pending answer comes whole.
  Channel ch = Channel::open(c, sign_key(), 1);
  c.trace.clear();
  EXPECT_EQ(X(c.tx(ch.wrap(H("00CA010010")))), "6124");
  for (int i = 0; i < 2; ++i) {
    Bytes wire = c.tx("04C0000024");
    EXPECT_EQ(wire.size(), 22u);
    EXPECT_EQ(X(ch.unwrap(wire)), "6100");
  }
  EXPECT_EQ(ch.unwrap(c.tx("04C0000000")).size(), 18u);  // 16 bytes and 90 00
  ASSERT_EQ(c.trace.size(), 4u);
  EXPECT_NE(c.trace[1].find(" prsp=6100 fault=endless"), std::string::npos) << c.trace[1];
  EXPECT_EQ(c.trace[3].find("fault="), std::string::npos) << c.trace[3];

  // The 1-byte variant never ends: the same byte and 61 00 every time.
  EXPECT_EQ(c.tx(ch.wrap(H("0084000010")))[0], 0x61);
  for (int i = 0; i < 300; ++i) {
    Bytes wire = c.tx("04C0000000");
    ASSERT_EQ(wire.size(), 22u);
    ASSERT_EQ(X(ch.unwrap(wire)), "FC6100") << i;
  }
}
