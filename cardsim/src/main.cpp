// vorn-cardsim: personalises card files and plugs a card into a vpcd reader.
//   vorn-cardsim personalise --card FILE [options]
//   vorn-cardsim demo --card FILE [options]
//   vorn-cardsim add-cert --card FILE --cert DER [--app 1|2]
//   vorn-cardsim run --card FILE --port P [--host H] [--trace FILE] [--faults FILE]
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "cardsim/cardsim.h"

using vorn::cardsim::Bytes;
using vorn::cardsim::Card;

namespace {

std::atomic<bool> g_stop{false};
// VORN_CARDSIM_NO_TCP_TUNING=1 leaves the socket at its defaults; only the
// round-trip benchmark uses it, as its baseline.
bool g_tcp_tuning = true;

void on_signal(int) { g_stop = true; }

constexpr const char* k_usage =
    "usage:\n"
    "  vorn-cardsim personalise --card FILE [--serial 16HEX] [--label TEXT] [--manufacturer TEXT]\n"
    "               [--flags HEX] [--pin PIN] [--puk PUK] [--so-pin PIN] [--pin-state 3|4] [--atr HEX]\n"
    "  vorn-cardsim demo --card FILE [same options]\n"
    "  vorn-cardsim add-cert --card FILE --cert DER [--app 1|2]\n"
    "  vorn-cardsim run --card FILE --port P [--host 127.0.0.1] [--trace FILE] [--faults FILE]\n";

int usage() {
  std::fputs(k_usage, stderr);
  return 2;
}

// Sleeps in small steps so that a stop request ends the wait.
void nap(std::uint32_t ms) {
  while (ms > 0 && !g_stop) {
    std::uint32_t step = ms < 50 ? ms : 50;
    ::usleep(step * 1000);
    ms -= step;
  }
}

// Reads exactly n bytes; false on end of stream, error or a stop request.
bool read_full(int fd, std::uint8_t* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    if (g_stop) return false;
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, 200);  // wake up now and then to notice a stop request
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0) continue;
    ssize_t k = ::recv(fd, buf + got, n - got, 0);
    if (k <= 0) {
      if (k < 0 && errno == EINTR) continue;
      return false;
    }
    got += static_cast<std::size_t>(k);
    if (g_tcp_tuning) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);  // no delayed ACK stalls
    }
  }
  return true;
}

bool send_frame(int fd, const Bytes& payload) {
  Bytes frame{static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size())};
  frame.insert(frame.end(), payload.begin(), payload.end());
  std::size_t off = 0;
  while (off < frame.size()) {
    ssize_t k = ::send(fd, frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    off += static_cast<std::size_t>(k);
  }
  return true;
}

int connect_to(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0) return -1;
  int fd = -1;
  for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
    fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) break;
    ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(res);
  if (fd >= 0 && g_tcp_tuning) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  }
  return fd;
}

struct FaultFile {
  std::string path;
  struct stat last {};
  bool seen = false;

  // Re-reads the file when it changed; applies its faults to the card.
  void refresh(Card& card) {
    if (path.empty()) return;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      if (seen) card.set_faults({});
      seen = false;
      return;
    }
    if (seen && st.st_mtim.tv_sec == last.st_mtim.tv_sec && st.st_mtim.tv_nsec == last.st_mtim.tv_nsec &&
        st.st_size == last.st_size && st.st_ino == last.st_ino)
      return;
    seen = true;
    last = st;
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<vorn::cardsim::Fault> faults;
    std::string err;
    if (vorn::cardsim::faults_parse(text, &faults, &err) != VORN_OK) {
      std::fprintf(stderr, "vorn-cardsim: %s: %s (no faults applied)\n", path.c_str(), err.c_str());
      faults.clear();
    }
    card.set_faults(std::move(faults));
  }
};

int run(Card& card, const std::string& host, const std::string& port, FaultFile& faults) {
  bool warned = false;
  while (!g_stop) {
    int fd = connect_to(host, port);
    if (fd < 0) {
      if (!warned) std::fprintf(stderr, "vorn-cardsim: waiting for vpcd on %s:%s\n", host.c_str(), port.c_str());
      warned = true;
      nap(100);
      continue;
    }
    warned = false;
    while (!g_stop) {
      std::uint8_t len[2];
      if (!read_full(fd, len, 2)) break;
      std::size_t n = static_cast<std::size_t>(len[0]) << 8 | len[1];
      Bytes payload(n);
      if (n > 0 && !read_full(fd, payload.data(), n)) break;
      if (n == 1) {
        switch (payload[0]) {
          case 0: card.power_off(); break;
          case 1: card.power_on(); break;
          case 2: card.reset(); break;
          case 4:
            if (!send_frame(fd, card.atr())) goto lost;
            break;
          default: break;
        }
        continue;
      }
      faults.refresh(card);
      vorn::cardsim::Outcome o = card.process(payload);
      if (o.drop) break;
      if (o.delay_ms > 0) nap(o.delay_ms);
      if (g_stop || !send_frame(fd, o.response)) break;
    }
  lost:
    ::close(fd);
    card.power_off();
    if (!g_stop) nap(100);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h") {
    std::fputs(k_usage, stdout);
    return 0;
  }
  std::map<std::string, std::string> opt;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) != 0 || i + 1 >= argc) return usage();
    opt[a.substr(2)] = argv[++i];
  }
  static const char* known[] = {"card", "serial", "label", "manufacturer", "flags", "pin", "puk", "so-pin",
                                "pin-state", "atr", "port", "host", "trace", "faults", "cert", "app"};
  for (const auto& [k, v] : opt) {
    bool ok = false;
    for (const char* n : known) ok = ok || k == n;
    if (!ok) {
      std::fprintf(stderr, "vorn-cardsim: unknown option --%s\n", k.c_str());
      return 2;
    }
  }
  if (!opt.count("card")) return usage();
  const std::string file = opt["card"];

  if (cmd == "personalise" || cmd == "demo") {
    vorn::cardsim::PersoOptions o = cmd == "demo" ? vorn::cardsim::demo_defaults() : vorn::cardsim::PersoOptions{};
    Bytes b;
    if (opt.count("serial")) {
      if (!vorn::cardsim::from_hex(opt["serial"], &b) || b.size() != 8) {
        std::fprintf(stderr, "vorn-cardsim: --serial needs 16 hex digits\n");
        return 2;
      }
      std::copy(b.begin(), b.end(), o.serial.begin());
      o.serial_given = true;
    }
    if (opt.count("label")) o.label = opt["label"];
    if (opt.count("manufacturer")) o.manufacturer = opt["manufacturer"];
    if (opt.count("flags") && !vorn::cardsim::from_hex(opt["flags"], &o.flags)) {
      std::fprintf(stderr, "vorn-cardsim: --flags needs hex digits\n");
      return 2;
    }
    if (opt.count("pin")) o.pin = opt["pin"];
    if (opt.count("puk")) o.puk = opt["puk"];
    if (opt.count("so-pin")) o.so_pin = opt["so-pin"];
    if (opt.count("pin-state")) {
      const std::string& s = opt["pin-state"];
      if (s != "3" && s != "4") {
        std::fprintf(stderr, "vorn-cardsim: --pin-state must be 3 or 4\n");
        return 2;
      }
      o.pin_state = static_cast<std::uint8_t>(s[0] - '0');
    }
    if (opt.count("atr") && !vorn::cardsim::from_hex(opt["atr"], &o.atr)) {
      std::fprintf(stderr, "vorn-cardsim: --atr needs hex digits\n");
      return 2;
    }
    std::string err;
    auto card = cmd == "demo" ? Card::demo(o, &err) : Card::personalise(o, &err);
    if (!card) {
      std::fprintf(stderr, "vorn-cardsim: %s\n", err.c_str());
      return 1;
    }
    if (card->save(file) != VORN_OK) {
      std::fprintf(stderr, "vorn-cardsim: cannot write %s\n", file.c_str());
      return 1;
    }
    return 0;
  }
  if (cmd == "add-cert") {
    if (!opt.count("cert")) return usage();
    const std::string app = opt.count("app") ? opt["app"] : "1";
    if (app != "1" && app != "2") {
      std::fprintf(stderr, "vorn-cardsim: --app must be 1 or 2\n");
      return 2;
    }
    std::ifstream in(opt["cert"], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "vorn-cardsim: cannot read %s\n", opt["cert"].c_str());
      return 1;
    }
    Bytes der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string err;
    auto card = Card::load(file, &err);
    if (!card || card->add_certificate(app[0] - '0', der, &err) != VORN_OK) {
      std::fprintf(stderr, "vorn-cardsim: %s\n", err.c_str());
      return 1;
    }
    if (card->save(file) != VORN_OK) {
      std::fprintf(stderr, "vorn-cardsim: cannot write %s\n", file.c_str());
      return 1;
    }
    return 0;
  }
  if (cmd != "run" || !opt.count("port")) return usage();

  std::string err;
  auto card = Card::load(file, &err);
  if (!card) {
    std::fprintf(stderr, "vorn-cardsim: %s\n", err.c_str());
    return 1;
  }
  std::FILE* trace = nullptr;
  if (opt.count("trace")) {
    trace = std::fopen(opt["trace"].c_str(), "a");
    if (trace == nullptr) {
      std::fprintf(stderr, "vorn-cardsim: cannot open trace %s\n", opt["trace"].c_str());
      return 1;
    }
    card->set_trace([trace](std::string_view line) {
      std::fwrite(line.data(), 1, line.size(), trace);
      std::fputc('\n', trace);
      std::fflush(trace);
    });
  }
  const char* tuning = std::getenv("VORN_CARDSIM_NO_TCP_TUNING");
  g_tcp_tuning = tuning == nullptr || std::string(tuning) != "1";
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  FaultFile faults;
  if (opt.count("faults")) faults.path = opt["faults"];
  int rc = run(*card, opt.count("host") ? opt["host"] : "127.0.0.1", opt["port"], faults);
  if (trace != nullptr) std::fclose(trace);
  return rc;
}
