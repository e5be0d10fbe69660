// Round trip of SELECT 3F00 through the real stack (libpcsclite -> pcscd ->
// vpcd -> vorn-cardsim), against the same command answered in-process by
// the card library (the baseline, measured in the same run) and against the
// simulator reached directly over the vpcd protocol (with $VORN_CARDSIM), so
// the simulator's own share of a round trip shows. Run it under
// tools/with-vornenv with one card in reader 0:
//   tools/with-vornenv --demo-card -- build/bench/cardsim/bench_cardsim_rtt
// Prints "VALUE name number" and "RATIO name number" lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
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

bool read_n(int fd, std::uint8_t* b, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    ssize_t k = ::recv(fd, b + got, n - got, 0);
    if (k <= 0) return false;
    got += static_cast<std::size_t>(k);
  }
  return true;
}

// The simulator alone: this program plays vpcd (the TCP server of the vpcd
// protocol) for a vorn-cardsim child. Returns seconds per SELECT, or -1.
double direct_rtt(const char* sim, int rounds) {
  char dir[] = "/tmp/bench-cardsim-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return -1;
  std::string card = std::string(dir) + "/card.vcs";
  std::string cmd = std::string(sim) + " personalise --card " + card;
  if (std::system(cmd.c_str()) != 0) return -1;
  int srv = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t al = sizeof a;
  if (::bind(srv, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(srv, 1) != 0 ||
      ::getsockname(srv, reinterpret_cast<sockaddr*>(&a), &al) != 0)
    return -1;
  std::string port = std::to_string(ntohs(a.sin_port));
  pid_t child = ::fork();
  if (child == 0) {
    ::execl(sim, sim, "run", "--card", card.c_str(), "--port", port.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int fd = ::accept(srv, nullptr, nullptr);
  double result = -1;
  if (fd >= 0) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::uint8_t on[3] = {0, 1, 1};
    const std::uint8_t sel[9] = {0, 7, 0x00, 0xA4, 0x00, 0x04, 0x02, 0x3F, 0x00};
    std::uint8_t rsp[4];
    bool ok = ::send(fd, on, sizeof on, 0) == 3;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; ok && i < rounds; ++i) {
      ok = ::send(fd, sel, sizeof sel, 0) == 9 && read_n(fd, rsp, 4) && rsp[1] == 2 && rsp[2] == 0x61;
    }
    if (ok) result = seconds_since(t0) / rounds;
    ::close(fd);
  }
  ::kill(child, SIGTERM);
  ::waitpid(child, nullptr, 0);
  ::close(srv);
  ::unlink(card.c_str());
  ::rmdir(dir);
  return result;
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
  const char* sim = std::getenv("VORN_CARDSIM");
  if (sim != nullptr) {
    double direct = direct_rtt(sim, rounds);
    if (direct > 0) {
      std::printf("VALUE cardsim_select_direct_ms %.4f\n", direct * 1e3);
      std::printf("RATIO cardsim_select_stack_vs_direct %.1f\n", stack / direct);
    }
  }
  std::printf("VALUE cardsim_select_inprocess_us %.3f\n", local * 1e6);
  std::printf("VALUE cardsim_select_stack_ms %.4f\n", stack * 1e3);
  std::printf("RATIO cardsim_select_stack_vs_inprocess %.1f\n", stack / local);
  return 0;
}
