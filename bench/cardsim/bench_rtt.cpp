// Round trip of SELECT 3F00 through the real stack (libpcsclite -> pcscd ->
// vpcd -> vorn-cardsim), against the same command answered in-process by
// the card library (the baseline, measured in the same run). Run it under
// tools/with-vornenv with one card in reader 0:
//   tools/with-vornenv --demo-card -- build/bench/cardsim/bench_cardsim_rtt
// Prints "VALUE name number" and "RATIO name number" lines.
#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cardsim/cardsim.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::vector<std::uint8_t> select{0x00, 0xA4, 0x00, 0x04, 0x02, 0x3F, 0x00};

  // Baseline: the card library itself.
  std::string err;
  auto card = vorn::cardsim::Card::personalise({}, &err);
  if (!card) {
    std::fprintf(stderr, "bench: %s\n", err.c_str());
    return 1;
  }
  card->power_on();
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) card->transmit(select);
  double local = seconds_since(t0) / rounds;

  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) {
    std::fprintf(stderr, "bench: no PC/SC service\n");
    return 1;
  }
  const char* reader = std::getenv("VORNENV_READER_0");
  std::string name;
  if (reader != nullptr) {
    name = reader;
  } else {
    DWORD len = 0;
    SCardListReaders(ctx, nullptr, nullptr, &len);
    std::vector<char> buf(len + 1);
    if (len == 0 || SCardListReaders(ctx, nullptr, buf.data(), &len) != SCARD_S_SUCCESS) {
      std::fprintf(stderr, "bench: no reader\n");
      return 1;
    }
    name = buf.data();
  }
  SCARDHANDLE h = 0;
  DWORD proto = 0;
  if (SCardConnect(ctx, name.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &proto) != SCARD_S_SUCCESS) {
    std::fprintf(stderr, "bench: cannot connect to %s\n", name.c_str());
    return 1;
  }
  std::uint8_t rsp[258];
  auto transmit = [&]() {
    DWORD rlen = sizeof rsp;
    return SCardTransmit(h, SCARD_PCI_T0, select.data(), static_cast<DWORD>(select.size()), nullptr, rsp, &rlen) ==
               SCARD_S_SUCCESS &&
           rlen == 2 && rsp[0] == 0x61;
  };
  for (int i = 0; i < 20; ++i) transmit();  // warm up
  const int stack_rounds = rounds / 2 > 0 ? rounds / 2 : 1;
  t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < stack_rounds; ++i) {
    if (!transmit()) {
      std::fprintf(stderr, "bench: SELECT 3F00 failed\n");
      return 1;
    }
  }
  double stack = seconds_since(t0) / stack_rounds;
  SCardDisconnect(h, SCARD_LEAVE_CARD);
  SCardReleaseContext(ctx);
  std::printf("VALUE cardsim_select_inprocess_us %.3f\n", local * 1e6);
  std::printf("VALUE cardsim_select_stack_ms %.4f\n", stack * 1e3);
  std::printf("RATIO cardsim_select_stack_vs_inprocess %.1f\n", stack / local);
  return 0;
}
