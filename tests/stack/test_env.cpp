// The environment tool itself: reader counts, names and ports of a private
// stack, and the guards that keep stacks apart.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "stack_client.h"

extern char** environ;

namespace stacktest {
namespace {

std::vector<std::string> ListReaders(LONG* rv_out) {
  SCARDCONTEXT ctx = 0;
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
  std::vector<std::string> names;
  if (rv == SCARD_S_SUCCESS) {
    DWORD len = 0;
    rv = SCardListReaders(ctx, nullptr, nullptr, &len);
    if (rv == SCARD_S_SUCCESS) {
      std::string buf(len, '\0');
      rv = SCardListReaders(ctx, nullptr, buf.data(), &len);
      for (std::size_t pos = 0; pos < buf.size() && buf[pos] != '\0';) {
        std::string name(buf.c_str() + pos);
        pos += name.size() + 1;
        names.push_back(name);
      }
    }
    SCardReleaseContext(ctx);
  }
  *rv_out = rv;
  return names;
}

// TCP ports in LISTEN state, from /proc/net/tcp.
std::set<int> ListeningPorts() {
  std::set<int> ports;
  for (const auto& line : ReadLines("/proc/net/tcp")) {
    auto colon = line.find(':', line.find(':') + 1);
    if (colon == std::string::npos || line.size() < colon + 12) continue;
    std::string port_hex = line.substr(colon + 1, 4);
    std::string state = line.substr(colon + 1 + 4 + 1 + 8 + 1 + 4 + 1, 2);
    if (state == "0A") ports.insert(std::stoi(port_hex, nullptr, 16));
  }
  return ports;
}

// Field `key` of the reader objects in `vornenv status --json` (numbers only).
std::vector<long> StatusNumbers(const std::string& json, const std::string& key) {
  std::vector<long> out;
  std::string needle = "\"" + key + "\": ";
  for (auto pos = json.find(needle); pos != std::string::npos; pos = json.find(needle, pos + 1)) {
    out.push_back(std::strtol(json.c_str() + pos + needle.size(), nullptr, 10));
  }
  return out;
}

bool Alive(long pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(f, stat);
  if (stat.empty()) return false;
  auto paren = stat.rfind(')');
  return paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] != 'Z';
}

TEST(Readers, CountNamesAndEmptySlots) {
  const int requested = std::atoi(Env("VORNENV_EXPECT_READERS").c_str());
  // vpcd opens its slots in pairs: one entry on port P gives P and P+1.
  const int expected = (requested + 1) / 2 * 2;
  LONG rv = 0;
  auto names = ListReaders(&rv);
  if (expected == 0) {
    EXPECT_EQ(rv, static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE));
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(ReaderName(0), "");
    return;
  }
  ASSERT_EQ(rv, SCARD_S_SUCCESS);
  ASSERT_EQ(names.size(), static_cast<std::size_t>(expected));
  std::set<std::string> distinct(names.begin(), names.end());
  EXPECT_EQ(distinct.size(), names.size());
  for (int i = 0; i < expected; ++i) {
    EXPECT_EQ(ReaderName(i), names[static_cast<std::size_t>(i)]) << "reader " << i;
    SCARDCONTEXT ctx = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_S_SUCCESS);
    SCARD_READERSTATE rs{};
    rs.szReader = names[static_cast<std::size_t>(i)].c_str();
    rs.dwCurrentState = SCARD_STATE_UNAWARE;
    EXPECT_EQ(SCardGetStatusChange(ctx, 0, &rs, 1), SCARD_S_SUCCESS);
    EXPECT_TRUE(rs.dwEventState & SCARD_STATE_EMPTY) << names[static_cast<std::size_t>(i)];
    SCardReleaseContext(ctx);
  }
  EXPECT_EQ(ReaderName(expected), "");
}

TEST(Readers, PortsComeInListeningPairs) {
  std::string json;
  ASSERT_EQ(Vornenv({"status", "--json"}, &json), 0) << json;
  auto ports = StatusNumbers(json, "port");
  const int requested = std::atoi(Env("VORNENV_EXPECT_READERS").c_str());
  ASSERT_EQ(ports.size(), static_cast<std::size_t>((requested + 1) / 2 * 2));
  auto listening = ListeningPorts();
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i % 2 == 1) {
      EXPECT_EQ(ports[i], ports[i - 1] + 1);
    }
    EXPECT_TRUE(listening.count(static_cast<int>(ports[i]))) << "port " << ports[i] << " not listening";
  }
}

// Cards answer in every reader, each its own: a card per chosen reader with
// its own serial, read back through pcscd.
TEST(Readers, EveryReaderCarriesItsOwnCard) {
  const int requested = std::atoi(Env("VORNENV_EXPECT_READERS").c_str());
  if (requested == 0 || Env("VORN_CARDSIM").empty()) GTEST_SKIP() << "no readers or no simulator";
  const int count = (requested + 1) / 2 * 2;
  std::vector<int> chosen{0, count - 1};
  if (count > 2) {
    chosen.push_back(2);
    chosen.push_back(count / 2 + 1);
  }
  for (int r : chosen) {
    char serial[17];
    std::snprintf(serial, sizeof serial, "00000000000000%02X", r);
    InsertFreshCard(r, "reader" + std::to_string(r), {"--serial", serial});
  }
  for (int r : chosen) {
    Card card(r);
    ASSERT_TRUE(card.ok()) << "reader " << r << " rv " << std::hex << card.connect_rv();
    Bytes id = card.Transmit(H("00 CA 01 00 10"));
    ASSERT_EQ(id.size(), 18u) << "reader " << r;
    char serial[17];
    std::snprintf(serial, sizeof serial, "00000000000000%02X", r);
    EXPECT_EQ(Hex(std::span(id).subspan(8, 8)), serial) << "reader " << r;
  }
}

TEST(Guards, SecondPcscdOnTheSameSocketIsRefused) {
  std::string out;
  EXPECT_EQ(Vornenv({"up", "--dir", StackFile("second"), "--socket", Env("PCSCLITE_CSOCK_NAME"), "--readers", "0"},
                    &out),
            1);
  EXPECT_NE(out.find("something already listens on " + Env("PCSCLITE_CSOCK_NAME")), std::string::npos) << out;
  LONG rv = 0;
  EXPECT_EQ(ListReaders(&rv).size(), 2u);
  EXPECT_EQ(rv, SCARD_S_SUCCESS);
}

TEST(Guards, UpTwiceInOneDirectoryIsRefused) {
  std::string out;
  EXPECT_EQ(Vornenv({"up", "--socket", StackFile("other.comm"), "--readers", "0"}, &out), 1);
  EXPECT_NE(out.find("a stack is already up in " + Env("VORNENV_DIR")), std::string::npos) << out;
}

TEST(Guards, BadReaderAndEmptyReaderAreErrors) {
  std::string out;
  EXPECT_EQ(Vornenv({"remove", "7"}, &out), 1);
  EXPECT_NE(out.find("no reader '7': this stack has readers 0..1"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(Vornenv({"remove", "1"}, &out), 1);
  EXPECT_NE(out.find("reader 1 is empty"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(Vornenv({"insert", "0", StackFile("missing.card")}, &out), 1);
  EXPECT_NE(out.find("card file " + StackFile("missing.card") + " does not exist"), std::string::npos) << out;
}

TEST(Guards, DownOfAnInnerStackStopsOnlyItsOwnProcesses) {
  const std::string inner = StackFile("inner");
  std::string out;
  ASSERT_EQ(Vornenv({"up", "--dir", inner, "--socket", inner + ".comm", "--readers", "2"}, &out), 0) << out;
  std::string json;
  ASSERT_EQ(Vornenv({"status", "--json", "--dir", inner}, &json), 0);
  long inner_pcscd = StatusNumbers(json, "pcscd").at(0);
  std::string outer_json;
  ASSERT_EQ(Vornenv({"status", "--json"}, &outer_json), 0);
  long outer_pcscd = StatusNumbers(outer_json, "pcscd").at(0);
  ASSERT_NE(inner_pcscd, outer_pcscd);
  EXPECT_TRUE(Alive(inner_pcscd));

  ASSERT_EQ(Vornenv({"down", "--dir", inner}, &out), 0) << out;
  EXPECT_FALSE(Alive(inner_pcscd));
  EXPECT_TRUE(Alive(outer_pcscd));
  struct stat st{};
  EXPECT_NE(stat((inner + ".comm").c_str(), &st), 0) << "the private socket outlived its stack";
  LONG rv = 0;
  EXPECT_EQ(ListReaders(&rv).size(), 2u);
}

// A restarted pcscd on the same socket: the old readers keep their names,
// ports and simulator (which reconnects), the new ones come up empty; a
// restart never takes readers away.
TEST(Guards, RestartPcscdAddsReadersAndKeepsTheCards) {
  if (Env("VORN_CARDSIM").empty()) GTEST_SKIP() << "no simulator";
  const std::string inner = StackFile("restart");
  const std::string card = StackFile("restart.card");
  std::string out;
  ASSERT_EQ(Cardsim({"personalise", "--card", card}, &out), 0) << out;
  ASSERT_EQ(Vornenv({"up", "--dir", inner, "--socket", inner + ".comm", "--readers", "2", "--card", card}, &out), 0)
      << out;
  std::string before;
  ASSERT_EQ(Vornenv({"status", "--json", "--dir", inner}, &before), 0);
  out.clear();
  ASSERT_EQ(Vornenv({"restart-pcscd", "--dir", inner, "--readers", "3"}, &out), 0) << out;
  EXPECT_NE(out.find("new reader 2: Virtual PCD 1 00 00\nvornenv: new reader 3: Virtual PCD 1 00 01"),
            std::string::npos) << out;
  std::string after;
  ASSERT_EQ(Vornenv({"status", "--json", "--dir", inner}, &after), 0);
  EXPECT_NE(StatusNumbers(before, "pcscd").at(0), StatusNumbers(after, "pcscd").at(0));
  EXPECT_TRUE(Alive(StatusNumbers(after, "pcscd").at(0)));
  EXPECT_FALSE(Alive(StatusNumbers(before, "pcscd").at(0)));
  const std::vector<long> ports = StatusNumbers(after, "port");
  ASSERT_EQ(ports.size(), 4u) << after;
  EXPECT_EQ(std::vector<long>(ports.begin(), ports.begin() + 2), StatusNumbers(before, "port"));
  EXPECT_EQ(ports[3], ports[2] + 1);
  const long sim = StatusNumbers(before, "simulator").at(0);  // null reads as 0
  EXPECT_TRUE(Alive(sim));
  EXPECT_EQ(StatusNumbers(after, "simulator"), (std::vector<long>{sim, 0, 0, 0}));
  for (const char* name : {"Virtual PCD 0 00 00", "Virtual PCD 0 00 01", "Virtual PCD 1 00 00", "Virtual PCD 1 00 01"})
    EXPECT_NE(after.find(std::string("\"name\": \"") + name + "\""), std::string::npos) << name;
  std::size_t present = 0;
  const std::string yes = "\"present\": true";
  for (auto pos = after.find(yes); pos != std::string::npos; pos = after.find(yes, pos + 1)) ++present;
  EXPECT_EQ(present, 1u) << after;  // reader 0's card, seen by the new pcscd
  EXPECT_NE(after.find("\"atr\": \"3B7F"), std::string::npos) << after;
  out.clear();
  EXPECT_EQ(Vornenv({"restart-pcscd", "--dir", inner, "--readers", "2"}, &out), 1);
  EXPECT_NE(out.find("--readers 2: the stack has 4 readers; a restart only adds readers"), std::string::npos) << out;
  ASSERT_EQ(Vornenv({"down", "--dir", inner}, &out), 0) << out;
}

// Nobody else reads the simulator's log: a sanitizer report in it must fail
// the run, and a clean log must not.
TEST(Guards, SanitizerReportOfTheSimulatorFailsTheRun) {
  std::string with = Env("VORNENV_TOOL");
  with.replace(with.rfind("vornenv"), 7, "with-vornenv");
  std::string out;
  EXPECT_EQ(stacktest::Run({with, "--readers", "2", "--", "sh", "-c",
                            "echo 'card.cpp:1:2: runtime error: shift' >> $VORNENV_DIR/reader1.log"},
                           &out),
            1);
  EXPECT_NE(out.find("sanitizer report from the simulator (reader1.log)"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(stacktest::Run({with, "--readers", "2", "--", "sh", "-c", "echo fine >> $VORNENV_DIR/reader1.log"}, &out),
            0)
      << out;
  EXPECT_EQ(stacktest::Run({with, "--readers", "0", "--", "sh", "-c", "exit 7"}, &out), 7);
}

// A with-vornenv that is killed outright (as a ctest timeout does) must not
// leave its pcscd behind: the stack's keeper tears it down.
TEST(Guards, KilledOwnerLeavesNoStackBehind) {
  const std::string nest = StackFile("nest");
  ASSERT_EQ(mkdir(nest.c_str(), 0700), 0);
  const std::string pidfile = nest + "/command.pid";
  std::string with = Env("VORNENV_TOOL");
  with.replace(with.rfind("vornenv"), 7, "with-vornenv");
  std::string tmpdir = "TMPDIR=" + nest;
  std::string script = "echo $$ > " + pidfile + "; exec sleep 600";
  std::vector<std::string> argv{with, "--readers", "2", "--", "sh", "-c", script};
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("TMPDIR=", 0) != 0) env.push_back(*e);
  env.push_back(tmpdir.data());
  env.push_back(nullptr);
  pid_t owner = 0;
  ASSERT_EQ(posix_spawn(&owner, with.c_str(), nullptr, nullptr, args.data(), env.data()), 0);

  // Wait (bounded) for the nested command to run, then find the nested stack.
  long command_pid = 0;
  for (int i = 0; i < 600 && command_pid == 0; ++i) {
    auto lines = ReadLines(pidfile);
    if (!lines.empty() && !lines[0].empty()) command_pid = std::atol(lines[0].c_str());
    else std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_NE(command_pid, 0) << "nested with-vornenv never ran its command";
  std::string nested_dir;
  std::string ls;
  stacktest::Run({"sh", "-c", "ls -d " + nest + "/vornenv.*"}, &ls);
  nested_dir = ls.substr(0, ls.find('\n'));
  std::string json;
  ASSERT_EQ(Vornenv({"status", "--json", "--dir", nested_dir}, &json), 0) << json;
  long nested_pcscd = StatusNumbers(json, "pcscd").at(0);
  EXPECT_TRUE(Alive(nested_pcscd));

  kill(owner, SIGKILL);
  waitpid(owner, nullptr, 0);
  kill(static_cast<pid_t>(command_pid), SIGKILL);
  bool gone = false;
  for (int i = 0; i < 600 && !gone; ++i) {
    gone = !Alive(nested_pcscd) && access(nested_dir.c_str(), F_OK) != 0;
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(gone) << "pcscd " << nested_pcscd << " or " << nested_dir << " outlived the killed owner";
}

}  // namespace
}  // namespace stacktest
