// SELECT round trip through libpcsclite -> pcscd -> vpcd -> vorn-cardsim.
// Reader 0 holds the demo card behind a simulator with its socket tuning;
// the same card file goes into reader 1 behind a simulator started with
// VORN_CARDSIM_NO_TCP_TUNING=1 (the baseline, measured in the same run).
// Run under tools/with-vornenv --readers 2 --demo-card (target bench-stack).
// Prints "VALUE name number" and "RATIO name number" lines.
#include <spawn.h>
#include <sys/wait.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Bytes = std::vector<unsigned char>;

int run(std::vector<std::string> argv, bool untuned) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<std::string> env_store;
  for (char** e = environ; *e; ++e) env_store.emplace_back(*e);
  if (untuned) env_store.emplace_back("VORN_CARDSIM_NO_TCP_TUNING=1");
  std::vector<char*> env;
  for (auto& e : env_store) env.push_back(e.data());
  env.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), env.data()) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Median seconds per round trip of `apdus` (sent in order, each must answer
// with a 2-byte status word starting 61 or 90) over `rounds` repetitions.
double median_rtt(SCARDHANDLE h, const std::vector<Bytes>& apdus, int rounds) {
  std::vector<double> t;
  unsigned char rsp[300];
  for (int i = 0; i < rounds; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& a : apdus) {
      DWORD len = sizeof rsp;
      if (SCardTransmit(h, SCARD_PCI_T0, a.data(), static_cast<DWORD>(a.size()), nullptr, rsp, &len) !=
              SCARD_S_SUCCESS ||
          len < 2 || (rsp[len - 2] != 0x61 && rsp[len - 2] != 0x90)) {
        std::fprintf(stderr, "bench: unexpected answer\n");
        std::exit(1);
      }
    }
    t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / apdus.size());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

SCARDHANDLE connect(SCARDCONTEXT ctx, const char* env_name) {
  const char* reader = std::getenv(env_name);
  SCARDHANDLE h = 0;
  DWORD proto = 0;
  if (!reader || SCardConnect(ctx, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &proto) != SCARD_S_SUCCESS) {
    std::fprintf(stderr, "bench: cannot connect to %s (run under tools/with-vornenv)\n", env_name);
    std::exit(1);
  }
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int slow_rounds = argc > 2 ? std::atoi(argv[2]) : 20;
  const char* tool = std::getenv("VORNENV_TOOL");
  const char* card = std::getenv("VORN_DEMO_CARD_0");
  if (!tool || !card) {
    std::fprintf(stderr, "bench: run under tools/with-vornenv --readers 2 --demo-card\n");
    return 1;
  }
  if (run({tool, "insert", "1", card}, true) != 0) return 1;

  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return 1;
  SCARDHANDLE tuned = connect(ctx, "VORNENV_READER_0");
  SCARDHANDLE untuned = connect(ctx, "VORNENV_READER_1");
  const Bytes select_mf{0x00, 0xA4, 0x00, 0x04, 0x02, 0x3F, 0x00};
  const Bytes select_sign{0x00, 0xA4, 0x04, 0x04, 0x0C, 0xA0, 0x00, 0x00, 0x00, 0x63,
                          0x41, 0x50, 0x2D, 0x53, 0x49, 0x47, 0x4E};
  const Bytes get_data{0x00, 0xCA, 0x01, 0x00, 0x10};

  median_rtt(tuned, {select_mf}, 50);  // warm-up
  double mf = median_rtt(tuned, {select_mf}, rounds);
  double aid = median_rtt(tuned, {select_sign}, rounds);
  double gd = median_rtt(tuned, {get_data}, rounds);
  double mf_slow = median_rtt(untuned, {select_mf}, slow_rounds);

  std::printf("VALUE stack_select_3f00_ms %.4f\n", mf * 1e3);
  std::printf("VALUE stack_select_aid_ms %.4f\n", aid * 1e3);
  std::printf("VALUE stack_get_data_ms %.4f\n", gd * 1e3);
  std::printf("VALUE stack_select_3f00_untuned_ms %.4f\n", mf_slow * 1e3);
  std::printf("RATIO stack_select_untuned_vs_tuned %.1f\n", mf_slow / mf);
  SCardDisconnect(tuned, SCARD_LEAVE_CARD);
  SCardDisconnect(untuned, SCARD_LEAVE_CARD);
  SCardReleaseContext(ctx);
  return 0;
}
