#include "stack_client.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "vorn/personalisation.h"

extern char** environ;

namespace stacktest {

namespace {

int HexNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One-shot EVP cipher without padding; the caller gives whole blocks.
Bytes Cipher(const EVP_CIPHER* type, std::span<const std::uint8_t> key,
             std::span<const std::uint8_t> iv, std::span<const std::uint8_t> in, bool encrypt) {
  Bytes out(in.size() + 32);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n1 = 0, n2 = 0;
  bool good = ctx && EVP_CipherInit_ex(ctx, type, nullptr, key.data(),
                                       iv.empty() ? nullptr : iv.data(), encrypt ? 1 : 0) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!good) {
    ADD_FAILURE() << "libcrypto cipher failed on " << in.size() << " bytes";
    return {};
  }
  out.resize(static_cast<std::size_t>(n1 + n2));
  return out;
}

}  // namespace

Bytes H(std::string_view hex) {
  Bytes out;
  int hi = -1;
  for (char c : hex) {
    if (c == ' ' || c == ':') continue;
    int v = HexNibble(c);
    if (v < 0) {
      ADD_FAILURE() << "bad hex in test data: " << hex;
      return {};
    }
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(hi << 4 | v));
      hi = -1;
    }
  }
  if (hi >= 0) ADD_FAILURE() << "odd hex length in test data: " << hex;
  return out;
}

std::string Hex(std::span<const std::uint8_t> b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  s.reserve(b.size() * 2);
  for (auto x : b) {
    s.push_back(digits[x >> 4]);
    s.push_back(digits[x & 15]);
  }
  return s;
}

Bytes Cat(std::initializer_list<std::span<const std::uint8_t>> parts) {
  Bytes out;
  for (auto p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::uint16_t Sw(const Bytes& rsp) {
  if (rsp.size() < 2) return 0;
  return static_cast<std::uint16_t>(rsp[rsp.size() - 2] << 8 | rsp[rsp.size() - 1]);
}

Bytes Data(const Bytes& rsp) {
  if (rsp.size() < 2) return {};
  return Bytes(rsp.begin(), rsp.end() - 2);
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string ReaderName(int index) { return Env(("VORNENV_READER_" + std::to_string(index)).c_str()); }

std::string StackFile(const std::string& name) { return Env("VORNENV_DIR") + "/" + name; }

std::string TracePath(int reader) { return StackFile("reader" + std::to_string(reader) + ".trace"); }

int Run(const std::vector<std::string>& argv, std::string* out) {
  std::string capture = StackFile("run-" + std::to_string(::getpid()) + ".out");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  std::ifstream f(capture);
  std::stringstream ss;
  ss << f.rdbuf();
  if (out) *out += ss.str();
  std::remove(capture.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Vornenv(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> argv{Env("VORNENV_TOOL")};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, out);
}

int Cardsim(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> argv{Env("VORN_CARDSIM")};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv, out);
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream f(path);
  for (std::string line; std::getline(f, line);) lines.push_back(line);
  return lines;
}

// ---------------------------------------------------------------- Card

Card::Card(int reader_index) { Connect(ReaderName(reader_index)); }
Card::Card(const std::string& reader_name) { Connect(reader_name); }

void Card::Connect(const std::string& name) {
  connect_rv_ = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_);
  if (connect_rv_ != SCARD_S_SUCCESS) {
    ctx_ = 0;
    return;
  }
  DWORD proto = 0;
  connect_rv_ = SCardConnect(ctx_, name.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &handle_, &proto);
  if (connect_rv_ != SCARD_S_SUCCESS) handle_ = 0;
}

Card::~Card() {
  if (handle_) SCardDisconnect(handle_, SCARD_LEAVE_CARD);
  if (ctx_) SCardReleaseContext(ctx_);
}

Bytes Card::Transmit(const Bytes& apdu) {
  Bytes rsp(258 + 16);
  DWORD len = static_cast<DWORD>(rsp.size());
  last_rv_ = SCardTransmit(handle_, SCARD_PCI_T0, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr,
                           rsp.data(), &len);
  if (last_rv_ != SCARD_S_SUCCESS) return {};
  rsp.resize(len);
  return rsp;
}

Bytes Card::Atr() {
  char name[256];
  DWORD name_len = sizeof name, state = 0, proto = 0;
  Bytes atr(MAX_ATR_SIZE);
  DWORD atr_len = static_cast<DWORD>(atr.size());
  last_rv_ = SCardStatus(handle_, name, &name_len, &state, &proto, atr.data(), &atr_len);
  if (last_rv_ != SCARD_S_SUCCESS) return {};
  atr.resize(atr_len);
  return atr;
}

LONG Card::Reconnect(DWORD init) {
  DWORD proto = 0;
  return SCardReconnect(handle_, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, init, &proto);
}

Bytes Card::GetResponse(std::uint8_t le) { return Transmit({0x00, 0xC0, 0x00, 0x00, le}); }

Bytes Card::TransmitChained(const Bytes& apdu) {
  Bytes rsp = Transmit(apdu);
  Bytes data;
  for (int guard = 0; guard < 64 && rsp.size() == 2 && rsp[0] == 0x61; ++guard) {
    rsp = GetResponse(rsp[1]);
    Bytes d = Data(rsp);
    data.insert(data.end(), d.begin(), d.end());
    if (rsp.size() < 2 || rsp[rsp.size() - 2] != 0x61) break;
    rsp = Bytes(rsp.end() - 2, rsp.end());
  }
  if (data.empty()) return rsp;
  data.push_back(rsp[rsp.size() - 2]);
  data.push_back(rsp[rsp.size() - 1]);
  return data;
}

// ---------------------------------------------------------------- crypto

Bytes Sha1(std::span<const std::uint8_t> data) {
  Bytes out(20);
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha1(), nullptr) != 1) {
    ADD_FAILURE() << "SHA-1 failed";
    return {};
  }
  return out;
}

Bytes Des3Ecb(const Key16& key, std::span<const std::uint8_t> block8, bool encrypt) {
  return Cipher(EVP_des_ede_ecb(), key, {}, block8, encrypt);
}

Bytes AesEcb(const Key16& key, std::span<const std::uint8_t> data, bool encrypt) {
  return Cipher(EVP_aes_128_ecb(), key, {}, data, encrypt);
}

Bytes SmMac(const Key16& session, std::span<const std::uint8_t> data) {
  Bytes padded(data.begin(), data.end());
  std::uint8_t q = static_cast<std::uint8_t>(8 - data.size() % 8);
  padded.insert(padded.end(), q, q);
  static const std::uint8_t zero_iv[8] = {};
  Bytes c = Cipher(EVP_des_ede_cbc(), session, zero_iv, padded, true);
  if (c.size() < 8) return {};
  return Bytes(c.end() - 8, c.end() - 4);
}

Bytes Channel::Wrap(const Bytes& plain) const {
  Bytes cmd = plain;
  if (cmd.size() < 4) return cmd;
  cmd[0] |= 0x04;
  const std::uint8_t ins = cmd[1];
  if (ins == 0xC0) return cmd;
  if ((ins == 0xB0 || ins == 0xB2 || ins == 0x84 || ins == 0xCA) && cmd.size() == 5) {
    std::uint8_t le = cmd[4];
    cmd[4] = 0x01;
    cmd.push_back(le);
  }
  if (cmd.size() == 4) cmd.push_back(0x00);
  Bytes mac = SmMac(session, cmd);
  std::uint8_t lc = cmd[4];
  Bytes data(cmd.begin() + 5, cmd.end());
  if (lc != 0) {
    std::uint8_t p = static_cast<std::uint8_t>(16 - lc % 16);
    data.insert(data.end(), p, p);
    data = AesEcb(session, data, true);
  }
  Bytes out(cmd.begin(), cmd.begin() + 5);
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), mac.begin(), mac.end());
  out[4] = static_cast<std::uint8_t>(data.size() + 4);
  return out;
}

std::optional<Bytes> Channel::Unwrap(const Bytes& wire) const {
  const std::size_t n = wire.size();
  if (n < 6 + 16 || (n - 6) % 16 != 0) return std::nullopt;
  Bytes body = AesEcb(session, std::span(wire).first(n - 6), false);
  std::uint8_t p = body.back();
  if (p < 1 || p > 16 || p > body.size()) return std::nullopt;
  for (std::size_t i = body.size() - p; i < body.size(); ++i)
    if (body[i] != p) return std::nullopt;
  std::size_t d = body.size() - p;
  Bytes plain(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(d));
  Bytes mac = SmMac(session, plain);
  if (!std::equal(mac.begin(), mac.end(), wire.begin() + static_cast<std::ptrdiff_t>(n - 6))) return std::nullopt;
  plain.push_back(wire[n - 2]);
  plain.push_back(wire[n - 1]);
  return plain;
}

Key16 ChannelKey(int app) { return app == 1 ? vorn::perso::kSignChannelKey : vorn::perso::kCiphChannelKey; }

Bytes Aid(int app) {
  return app == 1 ? H("A0 00 00 00 63 41 50 2D 53 49 47 4E") : H("A0 00 00 00 63 41 50 2D 43 49 50 48");
}

Bytes SelectApp(Card& card, int app) {
  return card.Transmit(Cat({H("00 A4 04 04 0C"), Aid(app)}));
}

OpenResult OpenChannel(Card& card, const Key16& key, const Bytes& rh, const Bytes& rh2) {
  OpenResult r;
  r.rsp_4c = card.Transmit(Cat({H("80 4C 02 02 08"), rh}));
  if (r.rsp_4c.size() != 2 || r.rsp_4c[0] != 0x61) return r;
  r.get_response = card.GetResponse(r.rsp_4c[1]);
  if (Sw(r.get_response) != 0x9000 || r.get_response.size() < 54) return r;
  Bytes gr = Data(r.get_response);
  Bytes expect_cc = Sha1(Cat({rh, key}));
  r.card_cryptogram_ok = std::equal(expect_cc.begin(), expect_cc.end(), gr.begin() + 16);
  Bytes rc1(gr.begin() + 36, gr.begin() + 44);
  r.rc = Des3Ecb(key, std::span(gr).subspan(44, 8), false);
  Bytes hc = Sha1(Cat({rc1, key}));
  Bytes eh2 = Des3Ecb(key, rh2, true);
  r.cmd_4e = Cat({H("80 4E 00 00 1C"), hc, eh2});
  r.rsp_4e = card.Transmit(r.cmd_4e);
  std::copy(rh2.begin(), rh2.end(), r.channel.session.begin());
  std::copy(r.rc.begin(), r.rc.end(), r.channel.session.begin() + 8);
  return r;
}

std::optional<Channel> SelectAndOpen(Card& card, int app) {
  Bytes sel = SelectApp(card, app);
  if (sel.size() != 2 || sel[0] != 0x61) {
    ADD_FAILURE() << "select of application " << app << " answered " << Hex(sel);
    return std::nullopt;
  }
  Bytes rh(8), rh2(8);
  RAND_bytes(rh.data(), 8);
  RAND_bytes(rh2.data(), 8);
  OpenResult r = OpenChannel(card, ChannelKey(app), rh, rh2);
  if (!r.card_cryptogram_ok || Hex(r.rsp_4e) != "9000") {
    ADD_FAILURE() << "channel opening failed: 4C " << Hex(r.rsp_4c) << " GR " << Hex(r.get_response)
                  << " 4E " << Hex(r.rsp_4e);
    return std::nullopt;
  }
  return r.channel;
}

Bytes SmSend(Card& card, const Channel& ch, const Bytes& plain, bool* mac_failed) {
  if (mac_failed) *mac_failed = false;
  Bytes rsp = card.Transmit(ch.Wrap(plain));
  Bytes data;
  for (int guard = 0; guard < 64 && rsp.size() == 2 && rsp[0] == 0x61; ++guard) {
    Bytes wire = card.Transmit({0x04, 0xC0, 0x00, 0x00, rsp[1]});
    auto un = ch.Unwrap(wire);
    if (!un) {
      if (mac_failed) *mac_failed = true;
      return {0xFF, 0xFF, 0x6F, 0x4D};
    }
    Bytes d = Data(*un);
    data.insert(data.end(), d.begin(), d.end());
    rsp = Bytes(un->end() - 2, un->end());
  }
  if (rsp.size() != 2 || !data.empty()) {
    // The answer itself carries data (not expected under the channel): pass it on.
    Bytes out = data;
    out.insert(out.end(), rsp.begin(), rsp.end());
    return out;
  }
  return rsp;
}

std::vector<TraceEntry> ReadTrace(int reader) {
  std::vector<TraceEntry> out;
  for (const auto& line : ReadLines(TracePath(reader))) {
    std::istringstream in(line);
    std::string seq, word;
    TraceEntry e;
    in >> seq >> e.kind;
    while (in >> word) {
      auto eq = word.find('=');
      std::string key = eq == std::string::npos ? word : word.substr(0, eq);
      std::string val = eq == std::string::npos ? "" : word.substr(eq + 1);
      if (key == "cmd") e.cmd = val;
      else if (key == "rsp") e.rsp = val;
      else if (key == "pcmd") e.pcmd = val;
      else if (key == "prsp") e.prsp = val;
      else e.rest += (e.rest.empty() ? "" : " ") + word;
    }
    out.push_back(e);
  }
  return out;
}

std::vector<TraceEntry> TraceSince(int reader, std::size_t mark) {
  auto all = ReadTrace(reader);
  if (mark >= all.size()) return {};
  return std::vector<TraceEntry>(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
}

std::string InsertFreshCard(int reader, const std::string& name, const std::vector<std::string>& options) {
  std::string path = StackFile(name + ".card");
  std::remove(path.c_str());
  std::vector<std::string> args{"personalise", "--card", path};
  args.insert(args.end(), options.begin(), options.end());
  std::string out;
  if (Cardsim(args, &out) != 0) {
    ADD_FAILURE() << "personalise failed: " << out;
    return path;
  }
  std::string ignored;
  Vornenv({"remove", std::to_string(reader)}, &ignored);  // fails harmlessly when empty
  out.clear();
  if (Vornenv({"insert", std::to_string(reader), path}, &out) != 0) ADD_FAILURE() << "insert failed: " << out;
  return path;
}

void SetFaults(int reader, const std::string& text) {
  std::string path = StackFile("reader" + std::to_string(reader) + ".faults");
  std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << text;
  }
  std::rename(tmp.c_str(), path.c_str());
}

Bytes PinBlock(std::string_view pin) {
  Bytes b(pin.begin(), pin.end());
  b.resize(8, 0xFF);
  return b;
}

Bytes EncodeAttrs(const std::vector<Attr>& attrs) {
  Bytes out;
  std::size_t h = 4 * attrs.size();
  out.push_back(static_cast<std::uint8_t>(h >> 8));
  out.push_back(static_cast<std::uint8_t>(h));
  for (const auto& a : attrs) {
    out.push_back(static_cast<std::uint8_t>(a.type >> 8));
    out.push_back(static_cast<std::uint8_t>(a.type));
    out.push_back(static_cast<std::uint8_t>(a.value.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(a.value.size()));
  }
  for (const auto& a : attrs) out.insert(out.end(), a.value.begin(), a.value.end());
  return out;
}

std::optional<std::vector<Attr>> DecodeAttrs(const Bytes& list) {
  if (list.size() < 2) return std::nullopt;
  std::size_t h = static_cast<std::size_t>(list[0] << 8 | list[1]);
  if (h % 4 != 0 || 2 + h > list.size()) return std::nullopt;
  std::vector<Attr> out;
  std::size_t pos = 2 + h;
  for (std::size_t i = 2; i < 2 + h; i += 4) {
    std::uint16_t type = static_cast<std::uint16_t>(list[i] << 8 | list[i + 1]);
    std::size_t len = static_cast<std::size_t>(list[i + 2] << 8 | list[i + 3]);
    if (pos + len > list.size()) return std::nullopt;
    out.push_back({type, Bytes(list.begin() + static_cast<std::ptrdiff_t>(pos),
                               list.begin() + static_cast<std::ptrdiff_t>(pos + len))});
    pos += len;
  }
  return out;
}

}  // namespace stacktest
