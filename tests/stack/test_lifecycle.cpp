// Cards coming and going behind pcscd: removal and re-insertion, a killed
// simulator that restarts with its card file intact, and the connection
// faults of the simulator as the host sees them.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "stack_client.h"

namespace stacktest {
namespace {

// Waits (bounded, 30 s) for pcscd to report the reader with `present`.
bool WaitReader(int reader, bool present) {
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return false;
  const std::string name = ReaderName(reader);
  SCARD_READERSTATE rs{};
  rs.szReader = name.c_str();
  rs.dwCurrentState = SCARD_STATE_UNAWARE;
  bool ok = false;
  for (int i = 0; i < 30 && !ok; ++i) {
    LONG rv = SCardGetStatusChange(ctx, 1000, &rs, 1);
    if (rv != SCARD_S_SUCCESS && rv != static_cast<LONG>(SCARD_E_TIMEOUT)) break;
    rs.dwCurrentState = rs.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    const bool is_present = (rs.dwEventState & SCARD_STATE_PRESENT) && !(rs.dwEventState & SCARD_STATE_MUTE);
    ok = present ? is_present : (rs.dwEventState & SCARD_STATE_EMPTY) != 0;
  }
  SCardReleaseContext(ctx);
  return ok;
}

Bytes Verify(Card& c, std::string_view pin) { return c.Transmit(Cat({H("00 20 00 11 08"), PinBlock(pin)})); }

TEST(Lifecycle, RemovalAndReinsertion) {
  Card before(0);
  ASSERT_TRUE(before.ok());
  const Bytes id = before.Transmit(H("00 CA 01 00 10"));
  ASSERT_EQ(Sw(id), 0x9000);
  std::string out;
  ASSERT_EQ(Vornenv({"remove", "0"}, &out), 0) << out;
  EXPECT_TRUE(WaitReader(0, false));
  // The old handle learns that its card is gone.
  EXPECT_TRUE(before.Transmit(H("00 CA 01 00 10")).empty());
  EXPECT_EQ(before.last_rv(), static_cast<LONG>(SCARD_W_REMOVED_CARD));
  Card none(0);
  EXPECT_FALSE(none.ok());
  EXPECT_EQ(none.connect_rv(), static_cast<LONG>(SCARD_E_NO_SMARTCARD));

  ASSERT_EQ(Vornenv({"insert", "0", Env("VORN_DEMO_CARD_0")}, &out), 0) << out;
  Card after(0);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(Hex(after.Atr()), "3B7F940000803180719067564F524E312E309000");
  EXPECT_EQ(Hex(after.Transmit(H("00 CA 01 00 10"))), Hex(id));
  // The trace shows the power cycle.
  std::vector<std::string> power;
  for (const auto& e : ReadTrace(0))
    if (e.kind == "POWER") power.push_back(e.rest.substr(0, e.rest.find(' ')));
  ASSERT_GE(power.size(), 3u);
  EXPECT_EQ(power.front(), "on");
  EXPECT_NE(std::find(power.begin(), power.end(), "off"), power.end());
  EXPECT_EQ(power.back(), "on");
}

// SIGKILL while the card is being written: the card file is always either
// the old or the new state, never a broken one.
TEST(Lifecycle, KilledSimulatorRestartsWithStateIntact) {
  const std::string path = InsertFreshCard(1, "killed", {"--serial", "1122334455667788"});
  std::set<std::string> written;
  std::atomic<int> updates{0};
  {
    Card card(1);
    ASSERT_TRUE(card.ok());
    ASSERT_EQ(Hex(Verify(card, "0000")), "63C2");
    ASSERT_EQ(card.Transmit(H("00 A4 00 04 02 0F CF"))[0], 0x61);
    for (int i = 0; i < 3; ++i) {
      Bytes v(8, static_cast<std::uint8_t>(0xA0 + i));
      written.insert(Hex(v));
      ASSERT_EQ(Hex(card.Transmit(Cat({H("00 D6 00 00 08"), v}))), "9000");
    }
    std::atomic<bool> stop{false};
    std::mutex mu;
    std::thread writer([&] {
      for (int i = 3; !stop; ++i) {
        Bytes v(8, static_cast<std::uint8_t>(i));
        v[0] = static_cast<std::uint8_t>(i >> 8);
        {
          std::lock_guard<std::mutex> lock(mu);
          written.insert(Hex(v));
        }
        if (Sw(card.Transmit(Cat({H("00 D6 00 00 08"), v}))) != 0x9000) break;
        ++updates;
      }
    });
    while (updates < 20) std::this_thread::yield();
    std::string out;
    EXPECT_EQ(Vornenv({"remove", "1", "--kill"}, &out), 0) << out;
    stop = true;
    writer.join();
  }
  EXPECT_TRUE(WaitReader(1, false));
  std::string out;
  ASSERT_EQ(Vornenv({"insert", "1", path}, &out), 0) << out;
  Card again(1);
  ASSERT_TRUE(again.ok());
  const Bytes id = again.Transmit(H("00 CA 01 00 10"));
  ASSERT_EQ(id.size(), 18u);
  EXPECT_EQ(Hex(std::span(id).subspan(8, 8)), "1122334455667788");
  EXPECT_EQ(Hex(again.Transmit(H("00 20 00 11 00"))), "63C2");
  ASSERT_EQ(again.Transmit(H("00 A4 00 04 02 0F CF"))[0], 0x61);
  Bytes cache = again.Transmit(H("00 B0 00 00 08"));
  ASSERT_EQ(cache.size(), 10u);
  EXPECT_TRUE(written.count(Hex(Data(cache)))) << Hex(cache) << " after " << updates << " updates";
}

TEST(Lifecycle, DroppedConnectionMidCommand) {
  const std::string path = InsertFreshCard(1, "dropped");
  std::size_t mark = ReadTrace(1).size();
  {
    Card card(1);
    ASSERT_TRUE(card.ok());
    ASSERT_EQ(Hex(Verify(card, "0000")), "63C2");
    ASSERT_EQ(Hex(Verify(card, "1234")), "9000");
    SetFaults(1, "drop CA x1\n");
    // No status word comes back for the dropped command, and the card stays
    // unusable for this connection.
    EXPECT_LT(card.Transmit(H("00 CA 02 00 01")).size(), 2u);
    EXPECT_LT(card.Transmit(H("00 CA 02 00 01")).size(), 2u);
    SetFaults(1, "");
  }
  bool saw_drop = false;
  for (const auto& e : TraceSince(1, mark)) saw_drop |= e.rsp == "-" && e.rest.find("fault=drop") != std::string::npos;
  EXPECT_TRUE(saw_drop);
  // The simulator reconnects within 100 ms, faster than pcscd polls, so pcscd
  // never sees the card leave; the user re-inserts it. The card was powered
  // off meanwhile: the verified state is gone, the persistent state is not.
  std::string out;
  ASSERT_EQ(Vornenv({"remove", "1"}, &out), 0) << out;
  ASSERT_EQ(Vornenv({"insert", "1", path}, &out), 0) << out;
  Card card(1);
  ASSERT_TRUE(card.ok()) << std::hex << card.connect_rv();
  EXPECT_EQ(Hex(card.Transmit(H("00 CA 02 00 01"))), "049000");
  EXPECT_EQ(Hex(card.Transmit(H("00 20 00 11 00"))), "63C3");
}

TEST(Lifecycle, StatusTruncateAndDelayFaultsReachTheHost) {
  InsertFreshCard(1, "faults");
  std::size_t mark = ReadTrace(1).size();
  Card card(1);
  ASSERT_TRUE(card.ok());
  SetFaults(1, "sw CA 6F00 x1\ntruncate B0 3 x1\ndelay 84 20 x1\n");
  EXPECT_EQ(Hex(card.Transmit(H("00 CA 02 00 01"))), "6F00");
  EXPECT_EQ(Hex(card.Transmit(H("00 CA 02 00 01"))), "049000");
  ASSERT_EQ(card.Transmit(H("00 A4 00 04 02 0F CF"))[0], 0x61);
  EXPECT_EQ(card.Transmit(H("00 B0 00 00 08")).size(), 3u);
  EXPECT_EQ(card.Transmit(H("00 B0 00 00 08")).size(), 10u);
  Bytes challenge = card.Transmit(H("00 84 00 00 08"));
  EXPECT_EQ(challenge.size(), 10u);
  EXPECT_EQ(Sw(challenge), 0x9000);
  SetFaults(1, "");
  std::vector<std::string> faults;
  for (const auto& e : TraceSince(1, mark))
    if (e.rest.rfind("fault=", 0) == 0) faults.push_back(e.rest);
  EXPECT_EQ(faults, (std::vector<std::string>{"fault=sw", "fault=truncate", "fault=delay"}));
}

}  // namespace
}  // namespace stacktest
