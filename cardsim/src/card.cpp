// The card's command processor: transport (plain and secure channel),
// files, GET DATA, applications, PINs, objects and key operations.
#include <algorithm>
#include <cstdio>
#include <fstream>

#include <fcntl.h>
#include <unistd.h>

#include "internal.h"
#include "vorn/secure.h"

namespace vorn::cardsim {
namespace {

constexpr std::uint16_t SW_OK = 0x9000;
constexpr std::uint16_t SW_WRONG_LENGTH = 0x6700;
constexpr std::uint16_t SW_MEMORY_FAILURE = 0x6581;
constexpr std::uint16_t SW_CHAIN_NEXT = 0x6883;
constexpr std::uint16_t SW_INCOMPATIBLE_FILE = 0x6981;
constexpr std::uint16_t SW_SECURITY = 0x6982;
constexpr std::uint16_t SW_BLOCKED = 0x6983;
constexpr std::uint16_t SW_CONDITIONS = 0x6985;
constexpr std::uint16_t SW_NOT_ALLOWED = 0x6986;
constexpr std::uint16_t SW_SM_MISSING = 0x6987;
constexpr std::uint16_t SW_SM_WRONG = 0x6988;
constexpr std::uint16_t SW_BAD_DATA = 0x6A80;
constexpr std::uint16_t SW_FILE_NOT_FOUND = 0x6A82;
constexpr std::uint16_t SW_NO_MEMORY = 0x6A84;
constexpr std::uint16_t SW_BAD_P1P2 = 0x6A86;
constexpr std::uint16_t SW_NOT_FOUND = 0x6A88;
constexpr std::uint16_t SW_EXISTS = 0x6A89;
constexpr std::uint16_t SW_OFFSET = 0x6B00;
constexpr std::uint16_t SW_BAD_INS = 0x6D00;
constexpr std::uint16_t SW_BAD_CLA = 0x6E00;
constexpr std::uint16_t SW_NO_INFO = 0x6F00;

// Largest plain piece of one enciphered answer: 239 + 1 + 4 = 244 bytes.
constexpr std::size_t kSmPiece = 239;

struct Apdu {
  std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  Bytes data;
  bool has_le = false;
  std::size_t le = 0;  // 1..256
};

struct Reply {
  Bytes data;
  std::uint16_t sw = SW_OK;
  bool secret = false;  // data must not reach the trace
};

Reply sw_only(std::uint16_t sw) { return Reply{{}, sw, false}; }

bool is_case2(std::uint8_t ins) { return ins == 0xB0 || ins == 0xB2 || ins == 0x84 || ins == 0xCA; }

std::uint8_t access_bits(std::uint8_t ac) {  // card access class value -> kind byte bits 3-4
  switch (ac) {
    case 0x00: return 0x10;
    case 0x01: return 0x18;
    case 0x02: return 0x08;
    default: return 0xFF;
  }
}

std::uint8_t kind_of_type(std::uint8_t type) {
  switch (type) {
    case kTypeData: return 0;
    case kTypeCertificate: return 1;
    case kTypePublicKey: return 2;
    case kTypePrivateKey: return 3;
    case kTypeSecretKey: return 4;
    default: return 0xFF;
  }
}

// Simple TLV walk of a data field with one-byte tags and lengths.
struct Tlv {
  std::uint8_t tag;
  std::span<const std::uint8_t> value;
};
bool parse_tlvs(std::span<const std::uint8_t> d, std::vector<Tlv>* out) {
  std::size_t i = 0;
  while (i < d.size()) {
    if (i + 2 > d.size()) return false;
    std::size_t len = d[i + 1];
    if (i + 2 + len > d.size()) return false;
    out->push_back({d[i], d.subspan(i + 2, len)});
    i += 2 + len;
  }
  return true;
}

}  // namespace

struct Card::State {
  Persistent p;
  std::string path;  // card file; empty: not saved
  TraceSink trace;
  RandomSource random;
  std::vector<Fault> faults;
  std::uint64_t seq = 0;

  // Volatile state (lost at reset and power-off).
  bool powered = false;
  std::uint8_t app = 0;       // selected application, 0 the master file
  std::uint16_t ef = 0;       // selected transparent file, 0 none
  std::uint8_t chan = 0;      // application of the open channel, 0 closed
  crypto::Key16 session{};
  bool auth_pending = false;  // after 80 4C, waiting for 80 4E
  std::uint8_t auth_app = 0;
  std::array<std::uint8_t, 8> auth_rc1{}, auth_rc{};
  bool user_ok = false, so_ok = false;
  Bytes pending;              // answer waiting for GET RESPONSE
  std::size_t pending_pos = 0;
  bool pending_sm = false;    // handed out enciphered (04 C0)
  bool pending_secret = false;
  std::uint8_t pending_ins = 0;  // the command whose answer is pending
  bool endless_hit = false;      // an endless fault answered the last GET RESPONSE
  // Security environment (MSE SET).
  int env_alg = -1, env_mode = -1, env_key = -1;
  Bytes env_iv;
  // Command chaining of PSO (94 2A ...).
  Bytes chain;
  std::uint16_t chain_p1p2 = 0;
  bool chain_on = false;
  Bytes sym_iv;               // running chaining value of a symmetric chain
  bool sym_on = false;
  std::uint16_t sym_p1p2 = 0;
  // Object write in pieces (84 48 with P1 >= 2).
  bool wr_on = false;
  std::uint8_t wr_app = 0, wr_num = 0;
  bool wr_attrs = false;
  int wr_wrap_key = -1;       // P1 01: the value arrives enciphered under this key
  std::size_t wr_size = 0;
  unsigned wr_next = 0;
  Bytes wr_buf;
  bool badmac_armed = false;  // a fault asked to spoil the next MAC

  ~State() {
    plat_wipe(session.data(), session.size());
    clear_secrets();
  }

  void clear_secrets() {
    plat_wipe(pending.data(), pending.size());
    plat_wipe(chain.data(), chain.size());
    plat_wipe(wr_buf.data(), wr_buf.size());
    plat_wipe(sym_iv.data(), sym_iv.size());
  }

  // False when the system generator fails: the command is then refused
  // (6F 00) rather than answered with weak bytes.
  bool rand_bytes(std::uint8_t* out, std::size_t n) {
    if (random) {
      random(out, n);
      return true;
    }
    return plat_random(out, n) == VORN_OK;
  }

  void close_channel() {
    chan = 0;
    plat_wipe(session.data(), session.size());
    auth_pending = false;
  }

  void reset_volatile() {
    close_channel();
    app = 0;
    ef = 0;
    user_ok = so_ok = false;
    drop_pending();
    reset_env();
    chain_on = false;
    chain.clear();
    sym_on = false;
    wr_on = false;
    wr_buf.clear();
  }

  void reset_env() {
    env_alg = env_mode = env_key = -1;
    env_iv.clear();
  }

  void drop_pending() {
    plat_wipe(pending.data(), pending.size());
    pending.clear();
    pending_pos = 0;
    pending_sm = false;
    pending_secret = false;
  }

  const crypto::Key16& channel_key(std::uint8_t a) const { return a == kAppSign ? p.sign_key : p.ciph_key; }

  std::size_t memory_used() const {
    std::size_t n = p.pin_cache_file.size() + p.token_info_file.size();
    for (const auto& a : p.objects)
      for (const auto& o : a) n += o.attrs.size() + o.value.size();
    return n;
  }

  // Saves after a persistent change; false when the card file could not be written.
  bool persist() {
    if (path.empty()) return true;
    return write_file(path);
  }

  bool write_file(const std::string& file) {
    std::string text = state_to_text(p);
    std::string tmp = file + ".tmp." + std::to_string(::getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::size_t off = 0;
    bool ok = true;
    while (off < text.size()) {
      ssize_t w = ::write(fd, text.data() + off, text.size() - off);
      if (w <= 0) {
        ok = false;
        break;
      }
      off += static_cast<std::size_t>(w);
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    plat_wipe(text.data(), text.size());
    if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
      ::unlink(tmp.c_str());
      return false;
    }
    std::string dir = file.substr(0, file.find_last_of('/') == std::string::npos ? 0 : file.find_last_of('/'));
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
    return true;
  }

  Object* object(std::uint8_t number) {
    if (app == 0 || number == 0 || number > kObjectsPerApp) return nullptr;
    return &p.objects[app - 1][number - 1];
  }

  bool pin_any() const { return user_ok || so_ok; }

  // ---- transport --------------------------------------------------------

  Reply dispatch(const Apdu& a, bool sm);
  Bytes run(std::span<const std::uint8_t> cmd, std::string* pcmd, std::string* prsp, bool* secret_cmd);
  Bytes finish(const Apdu& a, Reply r, bool sm);
  Bytes get_response_plain(const Apdu& a);
  Bytes get_response_sm(const Apdu& a, std::string* prsp);
  Fault* endless_fault();
  Bytes endless_piece(const Fault& f, std::string* prsp);

  // ---- commands ---------------------------------------------------------
  Reply select(const Apdu& a, bool sm);
  Reply read_binary(const Apdu& a);
  Reply update_binary(const Apdu& a);
  Reply get_data(const Apdu& a);
  Reply get_challenge(const Apdu& a);
  Reply mutual_auth_init(const Apdu& a);
  Reply mutual_auth_final(const Apdu& a);
  Reply verify(const Apdu& a);
  Reply change_ref(const Apdu& a);
  Reply reset_retry(const Apdu& a);
  Reply logout(const Apdu& a);
  Reply mse_set(const Apdu& a);
  Reply pso(const Apdu& a);
  Reply gen_pair(const Apdu& a);
  Reply gen_secret(const Apdu& a);
  Reply obj_write(const Apdu& a);
  Reply obj_read(const Apdu& a);
  Reply obj_delete(const Apdu& a);
  Object* wrapping_key(std::uint16_t* sw);
};

// ---------------------------------------------------------------------------
// Transport

Bytes Card::State::run(std::span<const std::uint8_t> cmd, std::string* pcmd, std::string* prsp, bool* secret_cmd) {
  auto sw_bytes = [](std::uint16_t sw) { return Bytes{static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)}; };
  if (!powered) return sw_bytes(SW_NO_INFO);
  if (cmd.size() < 4) return sw_bytes(SW_WRONG_LENGTH);
  Apdu a;
  a.cla = cmd[0];
  a.ins = cmd[1];
  a.p1 = cmd[2];
  a.p2 = cmd[3];
  if ((a.cla & ~0x94) != 0) return sw_bytes(SW_BAD_CLA);
  if ((a.ins & 0xF0) == 0x60 || (a.ins & 0xF0) == 0x90 || (a.ins & 1) != 0) return sw_bytes(SW_BAD_INS);
  // ISO 7816-4 short form: header, then Lc + data [+ Le], or a lone P3.
  if (cmd.size() == 5) {
    a.has_le = true;
    a.le = cmd[4] == 0 ? 256 : cmd[4];
  } else if (cmd.size() > 5) {
    std::size_t lc = cmd[4];
    if (lc == 0 || (cmd.size() != 5 + lc && cmd.size() != 6 + lc)) return sw_bytes(SW_WRONG_LENGTH);
    a.data.assign(cmd.begin() + 5, cmd.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
    if (cmd.size() == 6 + lc) {
      a.has_le = true;
      a.le = cmd[5 + lc] == 0 ? 256 : cmd[5 + lc];
    }
  }
  if ((a.cla & 0x10) != 0 && a.ins != 0x2A) return sw_bytes(0x6884);  // chaining only for PSO
  *secret_cmd = a.ins == 0x20 || a.ins == 0x24 || a.ins == 0x2C;
  const bool sm = (a.cla & 0x04) != 0;
  if (a.ins != 0xC0) {
    // Every command but GET RESPONSE ends a pending answer.
    drop_pending();
  }
  // A chain (PSO parts, object pieces) continues only with its own command;
  // fetching an answer with GET RESPONSE in between does not break it.
  if (a.ins != 0x2A && a.ins != 0xC0 && chain_on) {
    chain_on = false;
    plat_wipe(chain.data(), chain.size());
    chain.clear();
  }
  if (a.ins != 0x2A && a.ins != 0xC0) sym_on = false;
  if (a.ins != 0x48 && a.ins != 0xC0) wr_on = false;

  if (chan != 0) {
    if (!sm) {
      if (a.ins == 0xA4 && a.p1 == 0x04) {
        // Selecting an application in plain leaves the channel.
        close_channel();
        return finish(a, dispatch(a, false), false);
      }
      close_channel();
      return sw_bytes(SW_SM_MISSING);
    }
    if (a.ins == 0xC0) return get_response_sm(a, prsp);
    // Unwrap: data = AES(data | padding) | MAC, or the MAC alone.
    if (a.data.size() < 4 || (a.data.size() - 4) % 16 != 0) {
      close_channel();
      return sw_bytes(SW_SM_WRONG);
    }
    std::size_t enc_len = a.data.size() - 4;
    Bytes plain(enc_len);
    if (enc_len > 0) {
      crypto::aes128_ecb(session, std::span(a.data).first(enc_len), plain.data(), false);
      std::size_t pad = plain.back();
      bool pad_ok = pad >= 1 && pad <= 16;
      for (std::size_t i = 0; pad_ok && i < pad; ++i) pad_ok = plain[enc_len - 1 - i] == pad;
      if (!pad_ok) {
        plat_wipe(plain.data(), plain.size());
        close_channel();
        return sw_bytes(SW_SM_WRONG);
      }
      plain.resize(enc_len - pad);
    }
    Bytes mac_in{a.cla, a.ins, a.p1, a.p2, static_cast<std::uint8_t>(plain.size())};
    mac_in.insert(mac_in.end(), plain.begin(), plain.end());
    auto mac = crypto::channel_mac(session, mac_in);
    bool mac_ok = plat_ct_equal(mac.data(), a.data.data() + enc_len, 4);
    if (!mac_ok && plain.empty()) {
      // A command without P3 is MACed over its four header bytes.
      mac = crypto::channel_mac(session, std::span(mac_in).first(4));
      mac_ok = plat_ct_equal(mac.data(), a.data.data() + enc_len, 4);
    }
    plat_wipe(mac_in.data(), mac_in.size());
    if (!mac_ok) {
      plat_wipe(plain.data(), plain.size());
      close_channel();
      return sw_bytes(SW_SM_WRONG);
    }
    Apdu in;
    in.cla = a.cla;
    in.ins = a.ins;
    in.p1 = a.p1;
    in.p2 = a.p2;
    Bytes shown{static_cast<std::uint8_t>(a.cla & ~0x04), a.ins, a.p1, a.p2};
    if (is_case2(a.ins)) {
      // Le travels as the one data byte.
      if (plain.size() != 1) return sw_bytes(SW_WRONG_LENGTH);
      in.has_le = true;
      in.le = plain[0] == 0 ? 256 : plain[0];
      shown.push_back(plain[0]);
    } else {
      in.data = std::move(plain);
      shown.push_back(static_cast<std::uint8_t>(in.data.size()));
      if (*secret_cmd) {
        shown.insert(shown.end(), in.data.size(), 0);
      } else {
        shown.insert(shown.end(), in.data.begin(), in.data.end());
      }
    }
    *pcmd = to_hex(shown);
    if (*secret_cmd && !in.data.empty()) pcmd->replace(10, std::string::npos, std::string(in.data.size() * 2, '*'));
    Reply r = dispatch(in, true);
    if (r.secret && in.ins == 0x48 && pcmd->size() > 10) {
      // A piece of a private or secret key value.
      *secret_cmd = true;
      pcmd->replace(10, std::string::npos, std::string(pcmd->size() - 10, '*'));
    }
    Bytes out = finish(in, std::move(r), true);
    plat_wipe(in.data.data(), in.data.size());
    return out;
  }
  if (sm) return sw_bytes(SW_SECURITY);  // secure-messaging CLA without a channel
  if (a.ins == 0xC0) return get_response_plain(a);
  Reply r = dispatch(a, false);
  if (r.secret && a.ins == 0x48) *secret_cmd = true;
  return finish(a, std::move(r), false);
}

Bytes Card::State::finish(const Apdu& a, Reply r, bool sm) {
  Bytes out;
  auto put_sw = [&](std::uint16_t sw) {
    out.push_back(static_cast<std::uint8_t>(sw >> 8));
    out.push_back(static_cast<std::uint8_t>(sw));
  };
  if (r.sw != SW_OK || r.data.empty()) {
    plat_wipe(r.data.data(), r.data.size());
    put_sw(r.sw);
    return out;
  }
  if (sm && chan != 0) {
    pending = std::move(r.data);
    pending_pos = 0;
    pending_sm = true;
    pending_secret = r.secret;
    pending_ins = a.ins;
    std::size_t piece = std::min(kSmPiece, pending.size());
    put_sw(static_cast<std::uint16_t>(0x6100 | (piece + (16 - piece % 16) + 4)));
    return out;
  }
  if (!sm && is_case2(a.ins)) {
    out = std::move(r.data);
    put_sw(SW_OK);
    return out;
  }
  pending = std::move(r.data);
  pending_pos = 0;
  pending_sm = false;
  pending_secret = r.secret;
  pending_ins = a.ins;
  put_sw(static_cast<std::uint16_t>(0x6100 | (std::min<std::size_t>(pending.size(), 256) & 0xFF)));
  return out;
}

Bytes Card::State::get_response_plain(const Apdu& a) {
  Bytes out;
  if (a.p1 != 0 || a.p2 != 0) return {0x6A, 0x86};
  if (pending.empty() || pending_sm) return {0x69, 0x85};
  if (Fault* f = endless_fault()) return endless_piece(*f, nullptr);
  std::size_t want = a.has_le ? a.le : 256;
  std::size_t n = std::min(want, pending.size() - pending_pos);
  out.assign(pending.begin() + static_cast<std::ptrdiff_t>(pending_pos),
             pending.begin() + static_cast<std::ptrdiff_t>(pending_pos + n));
  pending_pos += n;
  std::size_t rest = pending.size() - pending_pos;
  if (rest == 0) {
    drop_pending();
    out.insert(out.end(), {0x90, 0x00});
  } else {
    out.push_back(0x61);
    out.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(rest, 256) & 0xFF));
  }
  return out;
}

Bytes Card::State::get_response_sm(const Apdu& a, std::string* prsp) {
  if (a.p1 != 0 || a.p2 != 0 || !a.data.empty()) return {0x6A, 0x86};
  if (pending.empty() || !pending_sm) return {0x69, 0x85};
  if (Fault* f = endless_fault()) return endless_piece(*f, prsp);
  std::size_t piece = std::min(kSmPiece, pending.size() - pending_pos);
  std::size_t pad = 16 - piece % 16;
  std::size_t wrapped = piece + pad + 4;
  if (a.has_le && a.le < wrapped) return {0x6C, static_cast<std::uint8_t>(wrapped)};
  Bytes plain(pending.begin() + static_cast<std::ptrdiff_t>(pending_pos),
              pending.begin() + static_cast<std::ptrdiff_t>(pending_pos + piece));
  auto mac = crypto::channel_mac(session, plain);
  Bytes out = plain;
  out.insert(out.end(), pad, static_cast<std::uint8_t>(pad));
  crypto::aes128_ecb(session, out, out.data(), true);
  if (badmac_armed) {
    mac[0] ^= 0x5A;
    badmac_armed = false;
  }
  out.insert(out.end(), mac.begin(), mac.end());
  pending_pos += piece;
  std::size_t rest = pending.size() - pending_pos;
  std::uint8_t sw1 = 0x90, sw2 = 0x00;
  if (rest > 0) {
    std::size_t next = std::min(kSmPiece, rest);
    sw1 = 0x61;
    sw2 = static_cast<std::uint8_t>(next + (16 - next % 16) + 4);
  }
  *prsp = pending_secret ? std::string(piece * 2, '*') : to_hex(plain);
  *prsp += to_hex(std::array<std::uint8_t, 2>{sw1, sw2});
  plat_wipe(plain.data(), plain.size());
  if (rest == 0) drop_pending();
  out.push_back(sw1);
  out.push_back(sw2);
  return out;
}

// An endless fault on the pending answer's command, used up by one answer.
Fault* Card::State::endless_fault() {
  for (auto& f : faults) {
    if (f.kind != FaultKind::kEndless || f.remaining == 0 || (f.ins >= 0 && f.ins != pending_ins)) continue;
    if (f.remaining > 0) --f.remaining;
    endless_hit = true;
    return &f;
  }
  return nullptr;
}

// A piece that promises more and brings none (or one byte): 61 00, with the
// piece enciphered and correctly MACed under the channel. The pending answer
// stays where it was.
Bytes Card::State::endless_piece(const Fault& f, std::string* prsp) {
  Bytes plain;
  if (f.piece >= 0) plain.push_back(static_cast<std::uint8_t>(f.piece));
  const std::array<std::uint8_t, 2> sw{0x61, 0x00};
  if (prsp == nullptr) {
    plain.insert(plain.end(), sw.begin(), sw.end());
    return plain;
  }
  auto mac = crypto::channel_mac(session, plain);
  const std::size_t pad = 16 - plain.size() % 16;
  Bytes out = plain;
  out.insert(out.end(), pad, static_cast<std::uint8_t>(pad));
  crypto::aes128_ecb(session, out, out.data(), true);
  out.insert(out.end(), mac.begin(), mac.end());
  out.insert(out.end(), sw.begin(), sw.end());
  *prsp = to_hex(plain) + to_hex(sw);
  return out;
}

Reply Card::State::dispatch(const Apdu& a, bool sm) {
  switch (a.ins) {
    case 0xA4: return select(a, sm);
    case 0xB0: return read_binary(a);
    case 0xB2: return sw_only(ef == 0 ? SW_NOT_ALLOWED : SW_INCOMPATIBLE_FILE);  // no record files
    case 0xD6: return update_binary(a);
    case 0xCA: return get_data(a);
    case 0x84: return get_challenge(a);
    case 0x20: return verify(a);
    case 0x24: return change_ref(a);
    case 0x2C: return reset_retry(a);
    case 0x2E: return logout(a);
    case 0x4C:
    case 0x4E:
      // Proprietary mutual authentication, in plain before the channel exists.
      if ((a.cla & 0x80) == 0) return sw_only(SW_BAD_CLA);
      if (sm) return sw_only(SW_CONDITIONS);
      return a.ins == 0x4C ? mutual_auth_init(a) : mutual_auth_final(a);
    case 0x22:
    case 0x2A:
    case 0x46:
    case 0x48:
    case 0x50:
    case 0x52:
    case 0x54: {
      if (!sm) return sw_only(SW_SECURITY);  // object and key commands need the channel
      if (app == 0 || app != chan) return sw_only(SW_CONDITIONS);
      switch (a.ins) {
        case 0x22: return mse_set(a);
        case 0x2A: return pso(a);
        case 0x46: return gen_pair(a);
        case 0x48: return obj_write(a);
        case 0x50: return obj_read(a);
        case 0x52: return obj_delete(a);
        default: return gen_secret(a);
      }
    }
    default: return sw_only(SW_BAD_INS);
  }
}

// ---------------------------------------------------------------------------
// Files, data items, challenge

namespace {
Bytes fci_file(std::uint16_t fid, std::size_t size, bool df) {
  // 62 14 | 82 01 desc | 83 02 fid | 8A 01 05 | 86 04 access | 80 02 size
  // The size sits in bytes 20-21.
  return {0x62, 0x14, 0x82, 0x01, static_cast<std::uint8_t>(df ? 0x38 : 0x01), 0x83, 0x02,
          static_cast<std::uint8_t>(fid >> 8), static_cast<std::uint8_t>(fid), 0x8A, 0x01, 0x05, 0x86, 0x04,
          0x00, 0x00, 0x00, 0x00, 0x80, 0x02, static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)};
}
}  // namespace

Reply Card::State::select(const Apdu& a, bool sm) {
  if (a.p1 == 0x00) {
    if (a.p2 != 0x00 && a.p2 != 0x04 && a.p2 != 0x0C) return sw_only(SW_BAD_P1P2);
    if (a.data.size() != 2) return sw_only(SW_WRONG_LENGTH);
    std::uint16_t fid = static_cast<std::uint16_t>(a.data[0] << 8 | a.data[1]);
    Reply r;
    if (fid == 0x3F00) {
      app = 0;
      ef = 0;
      reset_env();
      r.data = fci_file(0x3F00, kCardMemory - std::min(kCardMemory, memory_used()), true);
    } else if (fid == 0x0FCF || fid == 0x5032) {
      ef = fid;
      r.data = fci_file(fid, fid == 0x0FCF ? p.pin_cache_file.size() : p.token_info_file.size(), false);
    } else {
      return sw_only(SW_FILE_NOT_FOUND);
    }
    if (a.p2 == 0x0C) r.data.clear();
    return r;
  }
  if (a.p1 == 0x04) {
    if (a.p2 != 0x00 && a.p2 != 0x04 && a.p2 != 0x0C && a.p2 != 0x4C) return sw_only(SW_BAD_P1P2);
    // Any application select leaves the secure channel.
    close_channel();
    if (a.p2 == 0x4C && !sm && (a.cla & 0x04) != 0) return sw_only(SW_SECURITY);
    if (a.data.empty() || a.data.size() > 16) return sw_only(SW_WRONG_LENGTH);
    std::uint8_t found = 0;
    if (std::equal(a.data.begin(), a.data.end(), kAidSign.begin(), kAidSign.end())) found = kAppSign;
    if (std::equal(a.data.begin(), a.data.end(), kAidCiph.begin(), kAidCiph.end())) found = kAppCiph;
    if (found == 0) return sw_only(SW_FILE_NOT_FOUND);
    app = found;
    ef = 0;
    reset_env();
    Reply r;
    if (a.p2 == 0x04 || a.p2 == 0x00) {
      // 6F | 84 AID | A5 (proprietary: object count)
      std::uint8_t used = 0;
      for (const auto& o : p.objects[app - 1]) used = static_cast<std::uint8_t>(used + (o.used() ? 1 : 0));
      r.data = {0x6F, 0x13, 0x84, 0x0C};
      const auto& aid = app == kAppSign ? kAidSign : kAidCiph;
      r.data.insert(r.data.end(), aid.begin(), aid.end());
      r.data.insert(r.data.end(), {0xA5, 0x03, 0x80, 0x01, used});
    }
    return r;
  }
  return sw_only(SW_BAD_P1P2);
}

Reply Card::State::read_binary(const Apdu& a) {
  if (!a.data.empty()) return sw_only(SW_WRONG_LENGTH);
  if (ef == 0) return sw_only(SW_NOT_ALLOWED);
  if (a.p1 & 0x80) return sw_only(SW_BAD_P1P2);
  const Bytes& f = ef == 0x0FCF ? p.pin_cache_file : p.token_info_file;
  std::size_t off = static_cast<std::size_t>(a.p1) << 8 | a.p2;
  if (off >= f.size()) return sw_only(SW_OFFSET);
  std::size_t want = a.has_le ? a.le : 256;
  std::size_t avail = f.size() - off;
  if (want > avail) return sw_only(static_cast<std::uint16_t>(0x6C00 | (avail & 0xFF)));
  Reply r;
  r.data.assign(f.begin() + static_cast<std::ptrdiff_t>(off), f.begin() + static_cast<std::ptrdiff_t>(off + want));
  return r;
}

Reply Card::State::update_binary(const Apdu& a) {
  if (ef == 0) return sw_only(SW_NOT_ALLOWED);
  if (a.p1 & 0x80) return sw_only(SW_BAD_P1P2);
  if (a.data.empty()) return sw_only(SW_WRONG_LENGTH);
  Bytes& f = ef == 0x0FCF ? p.pin_cache_file : p.token_info_file;
  std::size_t off = static_cast<std::size_t>(a.p1) << 8 | a.p2;
  if (off >= f.size()) return sw_only(SW_OFFSET);
  if (off + a.data.size() > f.size()) return sw_only(SW_WRONG_LENGTH);
  Bytes old = f;
  std::copy(a.data.begin(), a.data.end(), f.begin() + static_cast<std::ptrdiff_t>(off));
  if (!persist()) {
    f = old;
    return sw_only(SW_MEMORY_FAILURE);
  }
  return {};
}

Reply Card::State::get_data(const Apdu& a) {
  if (!a.data.empty()) return sw_only(SW_WRONG_LENGTH);
  if (a.p2 != 0) return sw_only(SW_BAD_P1P2);
  Reply r;
  switch (a.p1) {
    case 0x01: r.data.assign(p.ident.begin(), p.ident.end()); break;
    case 0x02: r.data = {p.pin_state}; break;
    case 0x03:
      if (app == 0) return sw_only(SW_CONDITIONS);
      for (const auto& o : p.objects[app - 1]) r.data.push_back(o.map);
      break;
    default: return sw_only(SW_NOT_FOUND);
  }
  if (a.has_le && a.le != 256 && a.le != r.data.size())
    return sw_only(static_cast<std::uint16_t>(0x6C00 | r.data.size()));
  return r;
}

Reply Card::State::get_challenge(const Apdu& a) {
  if (!a.data.empty()) return sw_only(SW_WRONG_LENGTH);
  if (a.p1 != 0 || a.p2 != 0) return sw_only(SW_BAD_P1P2);
  Reply r;
  r.data.resize(a.has_le ? a.le : 256);
  if (!rand_bytes(r.data.data(), r.data.size())) return sw_only(SW_NO_INFO);
  return r;
}

// ---------------------------------------------------------------------------
// Secure channel opening

Reply Card::State::mutual_auth_init(const Apdu& a) {
  auth_pending = false;
  if (a.p1 != 0x02 || a.p2 != 0x02) return sw_only(SW_BAD_P1P2);
  if (a.data.size() != 8) return sw_only(SW_WRONG_LENGTH);
  if (app == 0) return sw_only(SW_CONDITIONS);
  const auto& k = channel_key(app);
  auto card_crypto = crypto::sha1(a.data, k);
  if (!rand_bytes(auth_rc1.data(), 8) || !rand_bytes(auth_rc.data(), 8)) return sw_only(SW_NO_INFO);
  Reply r;
  r.data.assign(16, 0);
  r.data.insert(r.data.end(), card_crypto.begin(), card_crypto.end());
  r.data.insert(r.data.end(), auth_rc1.begin(), auth_rc1.end());
  std::array<std::uint8_t, 8> erc{};
  crypto::tdes2_ecb(k, auth_rc, erc.data(), true);
  r.data.insert(r.data.end(), erc.begin(), erc.end());
  auth_pending = true;
  auth_app = app;
  return r;
}

Reply Card::State::mutual_auth_final(const Apdu& a) {
  if (a.p1 != 0 || a.p2 != 0) return sw_only(SW_BAD_P1P2);
  if (a.data.size() != 28) return sw_only(SW_WRONG_LENGTH);
  if (!auth_pending || auth_app != app) return sw_only(SW_CONDITIONS);
  auth_pending = false;  // one answer per challenge
  const auto& k = channel_key(app);
  auto hc = crypto::sha1(auth_rc1, k);
  if (!plat_ct_equal(hc.data(), a.data.data(), 20)) return sw_only(SW_SECURITY);
  std::array<std::uint8_t, 8> rh2{};
  crypto::tdes2_ecb(k, std::span(a.data).subspan(20, 8), rh2.data(), false);
  std::copy(rh2.begin(), rh2.end(), session.begin());
  std::copy(auth_rc.begin(), auth_rc.end(), session.begin() + 8);
  plat_wipe(rh2.data(), rh2.size());
  plat_wipe(auth_rc.data(), auth_rc.size());
  chan = app;
  return {};
}

// ---------------------------------------------------------------------------
// PINs

namespace {
Reply tries_sw(std::uint8_t tries) {
  return sw_only(static_cast<std::uint16_t>(0x63C0 | tries));
}
}  // namespace

Reply Card::State::verify(const Apdu& a) {
  if (a.p1 != 0) return sw_only(SW_BAD_P1P2);
  if (a.p2 != 0x11 && a.p2 != 0x0A) return sw_only(SW_NOT_FOUND);
  PinRef& r = a.p2 == 0x11 ? p.user : p.so;
  bool& ok = a.p2 == 0x11 ? user_ok : so_ok;
  if (a.data.empty()) {
    if (r.tries == 0) return sw_only(SW_BLOCKED);
    return ok ? Reply{} : tries_sw(r.tries);
  }
  if (a.data.size() != 8) return sw_only(SW_WRONG_LENGTH);
  if (r.tries == 0) return sw_only(SW_BLOCKED);
  if (plat_ct_equal(r.block.data(), a.data.data(), 8)) {
    std::uint8_t before = r.tries;
    r.tries = kMaxTries;
    if (before != kMaxTries && !persist()) return sw_only(SW_MEMORY_FAILURE);
    ok = true;
    return {};
  }
  ok = false;
  --r.tries;
  if (!persist()) return sw_only(SW_MEMORY_FAILURE);
  return tries_sw(r.tries);
}

Reply Card::State::change_ref(const Apdu& a) {
  if (a.p1 != 0x00 && a.p1 != 0x80) return sw_only(SW_BAD_P1P2);
  if (a.p2 != 0x11 && a.p2 != 0x0A) return sw_only(SW_NOT_FOUND);
  if (a.data.size() != 16) return sw_only(SW_WRONG_LENGTH);
  PinRef& r = a.p2 == 0x11 ? p.user : p.so;
  if (a.p1 == 0x80) {  // the unblocking code of the reference
    if (!r.has_puk) return sw_only(SW_NOT_FOUND);
    if (r.puk_tries == 0) return sw_only(SW_BLOCKED);
    if (!plat_ct_equal(r.puk.data(), a.data.data(), 8)) {
      --r.puk_tries;
      if (!persist()) return sw_only(SW_MEMORY_FAILURE);
      return tries_sw(r.puk_tries);
    }
    PinRef old = r;
    std::copy(a.data.begin() + 8, a.data.end(), r.puk.begin());
    r.puk_tries = kMaxTries;
    if (!persist()) {
      r = old;
      return sw_only(SW_MEMORY_FAILURE);
    }
    return {};
  }
  bool& ok = a.p2 == 0x11 ? user_ok : so_ok;
  if (r.tries == 0) return sw_only(SW_BLOCKED);
  if (!plat_ct_equal(r.block.data(), a.data.data(), 8)) {
    ok = false;
    --r.tries;
    if (!persist()) return sw_only(SW_MEMORY_FAILURE);
    return tries_sw(r.tries);
  }
  PinRef old = r;
  std::uint8_t old_state = p.pin_state;
  std::copy(a.data.begin() + 8, a.data.end(), r.block.begin());
  r.tries = kMaxTries;
  if (a.p2 == 0x11) p.pin_state = 4;
  if (!persist()) {
    r = old;
    p.pin_state = old_state;
    return sw_only(SW_MEMORY_FAILURE);
  }
  return {};
}

Reply Card::State::reset_retry(const Apdu& a) {
  if (a.p1 != 0) return sw_only(SW_BAD_P1P2);
  if (a.p2 != 0x11 && a.p2 != 0x0A) return sw_only(SW_NOT_FOUND);
  PinRef& r = a.p2 == 0x11 ? p.user : p.so;
  if (!r.has_puk) return sw_only(SW_NOT_FOUND);
  if (a.data.empty()) {
    if (r.puk_tries == 0) return sw_only(SW_BLOCKED);
    return tries_sw(r.puk_tries);
  }
  if (a.data.size() != 16) return sw_only(SW_WRONG_LENGTH);
  if (r.puk_tries == 0) return sw_only(SW_BLOCKED);
  if (!plat_ct_equal(r.puk.data(), a.data.data(), 8)) {
    --r.puk_tries;
    if (!persist()) return sw_only(SW_MEMORY_FAILURE);
    return tries_sw(r.puk_tries);
  }
  PinRef old = r;
  std::uint8_t old_state = p.pin_state;
  std::copy(a.data.begin() + 8, a.data.end(), r.block.begin());
  r.tries = kMaxTries;
  r.puk_tries = kMaxTries;
  p.pin_state = 4;
  user_ok = false;
  if (!persist()) {
    r = old;
    p.pin_state = old_state;
    return sw_only(SW_MEMORY_FAILURE);
  }
  return {};
}

Reply Card::State::logout(const Apdu& a) {
  if (a.p1 != 0 || !a.data.empty()) return a.p1 != 0 ? sw_only(SW_BAD_P1P2) : sw_only(SW_WRONG_LENGTH);
  if (a.p2 == 0x11) {
    user_ok = false;
  } else if (a.p2 == 0x0A) {
    so_ok = false;
  } else {
    return sw_only(SW_NOT_FOUND);
  }
  return {};
}

// ---------------------------------------------------------------------------
// Security environment and key operations

Reply Card::State::mse_set(const Apdu& a) {
  if (a.p1 != 0 || a.p2 != 0) return sw_only(SW_BAD_P1P2);
  std::vector<Tlv> tl;
  if (a.data.empty() || !parse_tlvs(a.data, &tl)) return sw_only(SW_BAD_DATA);
  int alg = -1, mode = -1, key = -1;
  Bytes iv;
  for (const auto& t : tl) {
    if (t.tag == 0x89) {
      if (t.value.empty() || t.value.size() > 16) return sw_only(SW_BAD_DATA);
      iv.assign(t.value.begin(), t.value.end());
      continue;
    }
    if (t.value.size() != 1) return sw_only(SW_BAD_DATA);
    std::uint8_t v = t.value[0];
    switch (t.tag) {
      case 0x80:
        if (v != 1 && v != 13 && v != 17 && v != 27 && v != 28) return sw_only(SW_BAD_DATA);
        alg = v;
        break;
      case 0x8A:
        if (v < 1 || v > 4) return sw_only(SW_BAD_DATA);
        mode = v;
        break;
      case 0x81:
        if (v == 0 || v > kObjectsPerApp) return sw_only(SW_NOT_FOUND);
        if (!object(v)->used()) return sw_only(SW_NOT_FOUND);
        key = v;
        break;
      default: return sw_only(SW_BAD_DATA);
    }
  }
  env_alg = alg;
  env_mode = mode;
  env_key = key;
  env_iv = std::move(iv);
  return {};
}

namespace {
// EMSA-PKCS1-v1_5 block type 1 around data of at most k - 11 bytes.
Bytes pad_type1(std::span<const std::uint8_t> d, std::size_t k) {
  Bytes b(k, 0xFF);
  b[0] = 0x00;
  b[1] = 0x01;
  b[k - d.size() - 1] = 0x00;
  std::copy(d.begin(), d.end(), b.end() - static_cast<std::ptrdiff_t>(d.size()));
  return b;
}
// Removes PKCS#1 v1.5 block type 2; false when the block is malformed.
bool unpad_type2(const Bytes& b, Bytes* out) {
  if (b.size() < 11 || b[0] != 0x00 || b[1] != 0x02) return false;
  std::size_t i = 2;
  while (i < b.size() && b[i] != 0) ++i;
  if (i >= b.size() || i < 10) return false;  // at least 8 padding bytes
  out->assign(b.begin() + static_cast<std::ptrdiff_t>(i + 1), b.end());
  return true;
}
}  // namespace

Reply Card::State::pso(const Apdu& a) {
  std::uint16_t p1p2 = static_cast<std::uint16_t>(a.p1 << 8 | a.p2);
  const bool sign = p1p2 == 0x9E9A, decipher = p1p2 == 0x8086, encipher = p1p2 == 0x8680;
  if (!sign && !decipher && !encipher) return sw_only(SW_BAD_P1P2);
  if (a.data.empty()) return sw_only(SW_WRONG_LENGTH);
  const bool more = (a.cla & 0x10) != 0;
  if (env_key < 0) return sw_only(SW_CONDITIONS);
  Object* key = object(static_cast<std::uint8_t>(env_key));
  if (key == nullptr || !key->used()) return sw_only(SW_NOT_FOUND);

  if (key->type == kTypePrivateKey && !encipher) {
    if (!user_ok) return sw_only(SW_SECURITY);
    // RSA: chained parts are collected and answered 68 83.
    if (chain_on && chain_p1p2 != p1p2) {
      chain.clear();
      chain_on = false;
    }
    if (chain.size() + a.data.size() > 512) {
      chain_on = false;
      chain.clear();
      return sw_only(SW_WRONG_LENGTH);
    }
    chain.insert(chain.end(), a.data.begin(), a.data.end());
    if (more) {
      chain_on = true;
      chain_p1p2 = p1p2;
      return sw_only(SW_CHAIN_NEXT);
    }
    Bytes in = std::move(chain);
    chain.clear();
    chain_on = false;
    std::size_t k = key->value.size() / 5 * 2;
    if (key->value.size() != 320 && key->value.size() != 640) return sw_only(SW_CONDITIONS);
    Bytes block;
    if (sign) {
      if (in.size() == k) {
        block = in;
      } else if (in.size() + 11 <= k) {
        block = pad_type1(in, k);
      } else {
        return sw_only(SW_WRONG_LENGTH);
      }
    } else {
      if (in.size() != k) return sw_only(SW_WRONG_LENGTH);
      block = in;
    }
    Bytes out;
    bool ok = crypto::rsa_private(key->value, block, &out);
    plat_wipe(block.data(), block.size());
    if (!ok) return sw_only(SW_BAD_DATA);
    Reply r;
    if (sign) {
      r.data = std::move(out);
    } else {
      bool unpadded = unpad_type2(out, &r.data);
      plat_wipe(out.data(), out.size());
      if (!unpadded) return sw_only(SW_BAD_DATA);
      r.secret = true;
    }
    return r;
  }
  if (key->type != kTypeSecretKey || sign) return sw_only(SW_CONDITIONS);
  // Symmetric operation with a secret key object.
  if (key->is_private() && !user_ok) return sw_only(SW_SECURITY);
  std::size_t block = crypto::sym_block(key->alg);
  if (block == 0 || key->value.size() != crypto::sym_key_len(key->alg)) return sw_only(SW_CONDITIONS);
  if (env_mode < 1) return sw_only(SW_CONDITIONS);
  std::uint8_t mode = static_cast<std::uint8_t>(env_mode);
  if (mode != 2 && a.data.size() % block != 0) return sw_only(SW_WRONG_LENGTH);
  if (mode != 4 && !env_iv.empty() && env_iv.size() != block) return sw_only(SW_CONDITIONS);
  if (!sym_on || sym_p1p2 != p1p2) {
    sym_iv = env_iv.empty() ? Bytes(block, 0) : env_iv;
  }
  Reply r;
  if (!crypto::sym_crypt(key->alg, mode, key->value, &sym_iv, a.data, &r.data, encipher))
    return sw_only(SW_BAD_DATA);
  sym_on = more;
  sym_p1p2 = p1p2;
  r.secret = decipher;
  return r;
}

Reply Card::State::gen_pair(const Apdu& a) {
  std::uint8_t pn = a.p1, qn = a.p2;
  if (pn == 0 || qn == 0 || pn > kObjectsPerApp || qn > kObjectsPerApp || pn == qn) return sw_only(SW_BAD_P1P2);
  std::vector<Tlv> tl;
  if (a.data.empty() || !parse_tlvs(a.data, &tl)) return sw_only(SW_BAD_DATA);
  int ac_priv = -1, ac_pub = -1, extract = 0;
  for (const auto& t : tl) {
    if (t.value.size() != 1) return sw_only(SW_BAD_DATA);
    switch (t.tag) {
      case 0x84: ac_priv = t.value[0]; break;
      case 0x85: ac_pub = t.value[0]; break;
      case 0x87:
        if (t.value[0] > 1) return sw_only(SW_BAD_DATA);
        extract = t.value[0];
        break;
      default: return sw_only(SW_BAD_DATA);
    }
  }
  if (ac_priv < 0 || ac_pub < 0 || access_bits(static_cast<std::uint8_t>(ac_priv)) == 0xFF ||
      access_bits(static_cast<std::uint8_t>(ac_pub)) == 0xFF)
    return sw_only(SW_BAD_DATA);
  if (extract && app != kAppCiph) return sw_only(SW_BAD_DATA);
  unsigned bits = 2048;
  if (env_alg == 27) bits = 1024;
  else if (env_alg >= 0 && env_alg != 28) return sw_only(SW_CONDITIONS);
  Object* po = object(pn);
  Object* qo = object(qn);
  if (po->used() || qo->used()) return sw_only(SW_EXISTS);
  if (memory_used() + bits / 8 * 5 / 2 + bits / 8 + 8 > kCardMemory) return sw_only(SW_NO_MEMORY);
  crypto::RsaPair pair;
  if (!crypto::rsa_generate(bits, &pair)) return sw_only(SW_MEMORY_FAILURE);
  std::uint8_t pb = access_bits(static_cast<std::uint8_t>(ac_priv));
  *po = Object{};
  po->map = static_cast<std::uint8_t>(0x03 | pb | ((pb & 0x08) ? 0x40 : 0) | (extract ? 0x20 : 0));
  po->type = kTypePrivateKey;
  po->alg = bits == 1024 ? 27 : 28;
  po->value = pair.private_value;
  *qo = Object{};
  qo->map = static_cast<std::uint8_t>(0x22 | access_bits(static_cast<std::uint8_t>(ac_pub)));
  qo->type = kTypePublicKey;
  qo->alg = po->alg;
  qo->value = pair.modulus;
  qo->value.insert(qo->value.end(), {0, 0, 0, 0, 0, 1, 0, 1});
  plat_wipe(pair.private_value.data(), pair.private_value.size());
  if (!persist()) {
    plat_wipe(po->value.data(), po->value.size());
    *po = Object{};
    *qo = Object{};
    return sw_only(SW_MEMORY_FAILURE);
  }
  Reply r;
  r.data = std::move(pair.modulus);
  return r;
}

Reply Card::State::gen_secret(const Apdu& a) {
  if (a.p1 != 0 || a.p2 == 0 || a.p2 > kObjectsPerApp) return sw_only(SW_BAD_P1P2);
  std::vector<Tlv> tl;
  if (a.data.empty() || !parse_tlvs(a.data, &tl)) return sw_only(SW_BAD_DATA);
  int ac = -1, extract = 0;
  for (const auto& t : tl) {
    if (t.value.size() != 1) return sw_only(SW_BAD_DATA);
    if (t.tag == 0x86) {
      ac = t.value[0];
    } else if (t.tag == 0x87 && t.value[0] <= 1) {
      extract = t.value[0];
    } else {
      return sw_only(SW_BAD_DATA);
    }
  }
  if (ac < 0 || access_bits(static_cast<std::uint8_t>(ac)) == 0xFF) return sw_only(SW_BAD_DATA);
  std::uint8_t alg = 1;
  if (env_alg == 13 || env_alg == 17) alg = static_cast<std::uint8_t>(env_alg);
  else if (env_alg >= 0 && env_alg != 1) return sw_only(SW_CONDITIONS);
  Object* o = object(a.p2);
  if (o->used()) return sw_only(SW_EXISTS);
  if (memory_used() + 16 > kCardMemory) return sw_only(SW_NO_MEMORY);
  std::uint8_t b = access_bits(static_cast<std::uint8_t>(ac));
  *o = Object{};
  o->map = static_cast<std::uint8_t>(0x04 | b | ((b & 0x08) ? 0x40 : 0) | (extract ? 0x20 : 0));
  o->type = kTypeSecretKey;
  o->alg = alg;
  o->value.resize(crypto::sym_key_len(alg));
  if (!rand_bytes(o->value.data(), o->value.size())) {
    *o = Object{};
    return sw_only(SW_NO_INFO);
  }
  if (!persist()) {
    plat_wipe(o->value.data(), o->value.size());
    *o = Object{};
    return sw_only(SW_MEMORY_FAILURE);
  }
  return {};
}

// ---------------------------------------------------------------------------
// Objects

Reply Card::State::obj_write(const Apdu& a) {
  std::uint8_t num = a.p2;
  if (num == 0 || num > kObjectsPerApp) return sw_only(SW_BAD_P1P2);
  Object* o = object(num);
  if (a.p1 >= 2) {
    // A piece of the announced list or value: P1 = index + 2, bit 7 on the last.
    unsigned index = (a.p1 & 0x7F) - 2u;
    bool last = (a.p1 & 0x80) != 0;
    if (!wr_on || wr_app != app || wr_num != num || index != wr_next) {
      wr_on = false;
      return sw_only(SW_CONDITIONS);
    }
    if (a.data.empty()) return sw_only(SW_WRONG_LENGTH);
    if (wr_buf.size() + a.data.size() > wr_size || (last && wr_buf.size() + a.data.size() != wr_size)) {
      wr_on = false;
      plat_wipe(wr_buf.data(), wr_buf.size());
      wr_buf.clear();
      return sw_only(SW_WRONG_LENGTH);
    }
    wr_buf.insert(wr_buf.end(), a.data.begin(), a.data.end());
    ++wr_next;
    Reply r;
    r.secret = !wr_attrs && (o->type == kTypePrivateKey || o->type == kTypeSecretKey);
    if (!last) return r;
    wr_on = false;
    Object old = *o;
    if (wr_attrs) {
      o->attrs = std::move(wr_buf);
      o->has_attrs = true;
    } else if (wr_wrap_key >= 0) {
      Object* k = object(static_cast<std::uint8_t>(wr_wrap_key));
      Bytes plain, iv;
      std::size_t block = k != nullptr ? crypto::sym_block(k->alg) : 0;
      bool ok = block != 0 && crypto::sym_crypt(k->alg, 4, k->value, &iv, wr_buf, &plain, false);
      std::size_t pad = ok && !plain.empty() ? plain.back() : 0;
      ok = ok && pad >= 1 && pad <= block && pad <= plain.size();
      for (std::size_t i = 0; ok && i < pad; ++i) ok = plain[plain.size() - 1 - i] == pad;
      plat_wipe(wr_buf.data(), wr_buf.size());
      wr_buf.clear();
      if (!ok) {
        plat_wipe(plain.data(), plain.size());
        return sw_only(SW_BAD_DATA);
      }
      plain.resize(plain.size() - pad);
      plat_wipe(o->value.data(), o->value.size());
      o->value = std::move(plain);
    } else {
      plat_wipe(o->value.data(), o->value.size());
      o->value = std::move(wr_buf);
    }
    wr_buf.clear();
    if (!persist()) {
      *o = old;
      return sw_only(SW_MEMORY_FAILURE);
    }
    return r;
  }
  if (a.p1 != 0x00 && a.p1 != 0x01) return sw_only(SW_BAD_P1P2);
  int wrap_key = -1;
  if (a.p1 == 0x01) {
    // The value arrives enciphered under the key of the environment.
    std::uint16_t why = SW_OK;
    if (wrapping_key(&why) == nullptr) return sw_only(why);
    wrap_key = env_key;
  }
  // Header: 82 02 size, 83 01 type [, 86 01 access, 88 01, 87 01, 80 01 alg].
  std::vector<Tlv> tl;
  if (a.data.empty() || !parse_tlvs(a.data, &tl)) return sw_only(SW_BAD_DATA);
  int size = -1, type = -1, ac = -1, b6 = 0, b5 = 0, alg = 0;
  for (const auto& t : tl) {
    if (t.tag == 0x82) {
      if (t.value.size() != 2) return sw_only(SW_BAD_DATA);
      size = t.value[0] << 8 | t.value[1];
      continue;
    }
    if (t.value.size() != 1) return sw_only(SW_BAD_DATA);
    std::uint8_t v = t.value[0];
    switch (t.tag) {
      case 0x83: type = v; break;
      case 0x86: ac = v; break;
      case 0x88: b6 = v; break;
      case 0x87: b5 = v; break;
      case 0x80: alg = v; break;
      default: return sw_only(SW_BAD_DATA);
    }
  }
  if (size < 0 || type < kTypePublicKey || type > kTypeAttributeList || b5 > 1 || b6 > 1) return sw_only(SW_BAD_DATA);
  if (static_cast<std::size_t>(size) > kMaxObjectBytes) return sw_only(SW_NO_MEMORY);
  if (type == kTypeAttributeList) {
    if (wrap_key >= 0) return sw_only(SW_BAD_P1P2);
    if (!o->used()) return sw_only(SW_NOT_FOUND);
    // Rewriting the list of a private object needs the PIN, unless the
    // object was just created and has none yet.
    if (o->is_private() && o->has_attrs && !o->attrs.empty() && !pin_any()) return sw_only(SW_SECURITY);
    std::size_t used = memory_used() - o->attrs.size();
    if (used + static_cast<std::size_t>(size) > kCardMemory) return sw_only(SW_NO_MEMORY);
    if (size == 0) {
      Object old = *o;
      o->attrs.clear();
      o->has_attrs = true;
      if (!persist()) {
        *o = old;
        return sw_only(SW_MEMORY_FAILURE);
      }
      return {};
    }
    wr_on = true;
    wr_app = app;
    wr_num = num;
    wr_attrs = true;
    wr_wrap_key = -1;
    wr_size = static_cast<std::size_t>(size);
    wr_next = 0;
    wr_buf.clear();
    return {};
  }
  if (size == 0) return sw_only(SW_WRONG_LENGTH);
  std::uint8_t t8 = static_cast<std::uint8_t>(type);
  std::uint8_t bits = access_bits(static_cast<std::uint8_t>(ac < 0 ? 0 : ac));
  if (bits == 0xFF) return sw_only(SW_BAD_DATA);
  std::uint8_t map = static_cast<std::uint8_t>(kind_of_type(t8) | bits | (b6 ? 0x40 : 0) | (b5 ? 0x20 : 0));
  if (o->used()) {
    // Rewriting the value of an existing object of the same type.
    if (o->type != t8) return sw_only(SW_EXISTS);
    if (o->is_private() && !pin_any()) return sw_only(SW_SECURITY);
    if (memory_used() - o->value.size() + static_cast<std::size_t>(size) > kCardMemory) return sw_only(SW_NO_MEMORY);
  } else {
    if (memory_used() + static_cast<std::size_t>(size) > kCardMemory) return sw_only(SW_NO_MEMORY);
    *o = Object{};
    o->map = map;
    o->type = t8;
    o->alg = static_cast<std::uint8_t>(alg);
    if (!persist()) {
      *o = Object{};
      return sw_only(SW_MEMORY_FAILURE);
    }
  }
  wr_on = true;
  wr_app = app;
  wr_num = num;
  wr_attrs = false;
  wr_wrap_key = wrap_key;
  wr_size = static_cast<std::size_t>(size);
  wr_next = 0;
  wr_buf.clear();
  return {};
}

Reply Card::State::obj_read(const Apdu& a) {
  if ((a.p1 != 0x00 && a.p1 != 0x01) || a.p2 == 0 || a.p2 > kObjectsPerApp) return sw_only(SW_BAD_P1P2);
  if (a.data.size() != 3 || a.data[0] != 0x8B || a.data[1] != 0x01) return sw_only(SW_BAD_DATA);
  Object* o = object(a.p2);
  if (!o->used()) return sw_only(SW_NOT_FOUND);
  Reply r;
  switch (a.data[2]) {
    case 0x01:
      if (o->type == kTypePrivateKey || o->type == kTypeSecretKey) {
        if ((o->map & 0x20) == 0) return sw_only(SW_NOT_ALLOWED);  // not extractable
        if (!pin_any()) return sw_only(SW_SECURITY);
        r.secret = true;
      } else if (o->is_private() && !pin_any()) {
        return sw_only(SW_SECURITY);
      }
      if (a.p1 == 0x01) {
        // The value enciphered under the key of the environment (ECB,
        // padding p bytes of value p up to a whole block).
        std::uint16_t why = SW_OK;
        Object* k = wrapping_key(&why);
        if (k == nullptr) return sw_only(why);
        std::size_t block = crypto::sym_block(k->alg);
        Bytes in = o->value, iv;
        std::size_t pad = block - in.size() % block;
        in.insert(in.end(), pad, static_cast<std::uint8_t>(pad));
        bool ok = crypto::sym_crypt(k->alg, 4, k->value, &iv, in, &r.data, true);
        plat_wipe(in.data(), in.size());
        if (!ok) return sw_only(SW_CONDITIONS);
        r.secret = false;
        return r;
      }
      r.data = o->value;
      return r;
    case 0x02:
      if (o->has_attrs) r.data = o->attrs;
      return r;
    case 0x03:
      r.data = {static_cast<std::uint8_t>(o->value.size() >> 8), static_cast<std::uint8_t>(o->value.size())};
      return r;
    default: return sw_only(SW_BAD_DATA);
  }
}

// The secret key named by the environment for P1 01 transfers, or null with
// the refusal's status word.
Object* Card::State::wrapping_key(std::uint16_t* sw) {
  Object* k = env_key > 0 ? object(static_cast<std::uint8_t>(env_key)) : nullptr;
  if (k == nullptr || !k->used() || k->type != kTypeSecretKey || crypto::sym_block(k->alg) == 0 ||
      k->value.size() != crypto::sym_key_len(k->alg)) {
    *sw = SW_CONDITIONS;
    return nullptr;
  }
  if (k->is_private() && !user_ok) {
    *sw = SW_SECURITY;
    return nullptr;
  }
  return k;
}

Reply Card::State::obj_delete(const Apdu& a) {
  if (a.p1 != 0 || a.p2 == 0 || a.p2 > kObjectsPerApp) return sw_only(SW_BAD_P1P2);
  if (!a.data.empty()) return sw_only(SW_WRONG_LENGTH);
  Object* o = object(a.p2);
  if (!o->used()) return sw_only(SW_NOT_FOUND);
  if (app == kAppCiph && a.p2 == kObjectsPerApp) return sw_only(SW_NOT_ALLOWED);  // the container map stays
  if ((o->is_private() || o->type == kTypePrivateKey || o->type == kTypeSecretKey) && !pin_any())
    return sw_only(SW_SECURITY);
  Object old = std::move(*o);
  *o = Object{};
  if (!persist()) {
    *o = std::move(old);
    return sw_only(SW_MEMORY_FAILURE);
  }
  plat_wipe(old.value.data(), old.value.size());
  if (env_key == a.p2) env_key = -1;
  return {};
}

// ---------------------------------------------------------------------------
// The card object

Card::Card(std::unique_ptr<State> s) : s_(std::move(s)) {}
Card::~Card() = default;

std::unique_ptr<Card> Card::personalise(const PersoOptions& opts, std::string* err) {
  auto s = std::make_unique<State>();
  if (!perso_fill(opts, &s->p, err)) return nullptr;
  return std::unique_ptr<Card>(new Card(std::move(s)));
}

std::unique_ptr<Card> Card::demo(const PersoOptions& opts, std::string* err) {
  auto s = std::make_unique<State>();
  if (!perso_fill(opts, &s->p, err) || !perso_demo(&s->p, err)) return nullptr;
  return std::unique_ptr<Card>(new Card(std::move(s)));
}

std::unique_ptr<Card> Card::from_text(std::string_view text, std::string* err) {
  auto s = std::make_unique<State>();
  if (!state_from_text(text, &s->p, err)) return nullptr;
  return std::unique_ptr<Card>(new Card(std::move(s)));
}

std::unique_ptr<Card> Card::load(const std::string& path, std::string* err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (err) *err = "cannot read " + path;
    return nullptr;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.size() > 4 * 1024 * 1024) {
    if (err) *err = path + ": too large for a card file";
    return nullptr;
  }
  auto c = from_text(text, err);
  plat_wipe(text.data(), text.size());
  if (c) c->s_->path = path;
  return c;
}

vorn_rv Card::save(const std::string& path) {
  if (!s_->write_file(path)) return CARDERR_UNKNOWN;
  s_->path = path;
  return VORN_OK;
}

std::string Card::to_text() const { return state_to_text(s_->p); }

vorn_rv Card::add_certificate(int app, std::span<const std::uint8_t> der, std::string* err) {
  return perso_add_certificate(&s_->p, app, der, err) ? VORN_OK : CARDERR_BAD_ARG;
}

const Bytes& Card::atr() const { return s_->p.atr; }

void Card::power_on() {
  s_->reset_volatile();
  s_->powered = true;
  if (s_->trace) s_->trace(std::to_string(++s_->seq) + " POWER on atr=" + to_hex(s_->p.atr));
}

void Card::power_off() {
  s_->reset_volatile();
  s_->powered = false;
  if (s_->trace) s_->trace(std::to_string(++s_->seq) + " POWER off");
}

void Card::reset() {
  s_->reset_volatile();
  s_->powered = true;
  if (s_->trace) s_->trace(std::to_string(++s_->seq) + " POWER reset atr=" + to_hex(s_->p.atr));
}

bool Card::powered() const { return s_->powered; }

Bytes Card::transmit(std::span<const std::uint8_t> command) { return process(command).response; }

Outcome Card::process(std::span<const std::uint8_t> command) {
  State& s = *s_;
  Outcome out;
  int ins = command.size() >= 2 ? command[1] : -1;
  std::string note;
  const Fault* hit = nullptr;
  for (auto& f : s.faults) {
    if (f.remaining == 0 || (f.ins >= 0 && f.ins != ins) || f.kind == FaultKind::kTruncate ||
        f.kind == FaultKind::kEndless) {
      continue;
    }
    if (f.remaining > 0) --f.remaining;
    switch (f.kind) {
      case FaultKind::kStatus: hit = &f; break;
      case FaultKind::kBadMac: s.badmac_armed = true; note += " fault=badmac"; break;
      case FaultKind::kDelay: out.delay_ms += f.delay_ms; note += " fault=delay"; break;
      case FaultKind::kDrop: out.drop = true; note += " fault=drop"; break;
      case FaultKind::kTruncate:
      case FaultKind::kEndless: break;
    }
    if (hit != nullptr) break;
  }
  std::string pcmd, prsp;
  bool secret = false;
  if (out.drop) {
    if (s.trace) s.trace(std::to_string(++s.seq) + " APDU cmd=" + to_hex(command) + " rsp=-" + note);
    return out;
  }
  if (hit != nullptr) {
    out.response = {static_cast<std::uint8_t>(hit->sw >> 8), static_cast<std::uint8_t>(hit->sw)};
    note += " fault=sw";
  } else {
    s.endless_hit = false;
    out.response = s.run(command, &pcmd, &prsp, &secret);
    if (s.endless_hit) note += " fault=endless";
  }
  for (auto& f : s.faults) {
    if (f.kind != FaultKind::kTruncate || f.remaining == 0 || (f.ins >= 0 && f.ins != ins)) continue;
    if (f.remaining > 0) --f.remaining;
    std::size_t keep = f.length == 0 ? 1 : f.length;  // never an empty answer
    if (out.response.size() > keep) out.response.resize(keep);
    note += " fault=truncate";
    break;
  }
  if (s.trace) {
    std::string line = std::to_string(++s.seq) + " APDU cmd=";
    if (secret && command.size() > 5 && (command[0] & 0x04) == 0) {
      line += to_hex(command.first(5)) + std::string((command.size() - 5) * 2, '*');
    } else {
      line += to_hex(command);
    }
    line += " rsp=" + to_hex(out.response);
    if (!pcmd.empty()) line += " pcmd=" + pcmd;
    if (!prsp.empty()) line += " prsp=" + prsp;
    line += note;
    s.trace(line);
  }
  return out;
}

void Card::set_trace(TraceSink sink) { s_->trace = std::move(sink); }
void Card::set_random(RandomSource source) { s_->random = std::move(source); }
void Card::set_faults(std::vector<Fault> faults) { s_->faults = std::move(faults); }

std::uint8_t Card::selected_app() const { return s_->app; }
std::uint8_t Card::channel_app() const { return s_->chan; }
bool Card::pin_verified(std::uint8_t ref) const {
  return ref == 0x11 ? s_->user_ok : ref == 0x0A ? s_->so_ok : false;
}
std::array<std::uint8_t, 40> Card::object_map(std::uint8_t app) const {
  std::array<std::uint8_t, 40> m{};
  if (app == kAppSign || app == kAppCiph)
    for (std::size_t i = 0; i < kObjectsPerApp; ++i) m[i] = s_->p.objects[app - 1][i].map;
  return m;
}

PersoOptions demo_defaults() {
  PersoOptions o;
  o.label = "VORN demo card";
  o.pin = "1234";
  o.puk = "12345678";
  o.pin_state = 4;
  return o;
}

}  // namespace vorn::cardsim
