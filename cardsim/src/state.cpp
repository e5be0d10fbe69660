// The card file (a line-oriented text format, see docs/cardsim.md), the
// personalisation and the demo content.
#include <charconv>
#include <sstream>

#include "internal.h"
#include "vorn/personalisation.h"
#include "vorn/secure.h"

namespace vorn::cardsim {

std::string to_hex(std::span<const std::uint8_t> b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  s.reserve(b.size() * 2);
  for (auto c : b) {
    s.push_back(digits[c >> 4]);
    s.push_back(digits[c & 15]);
  }
  return s;
}

bool from_hex(std::string_view hex, Bytes* out) {
  auto nib = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  Bytes b;
  int hi = -1;
  for (char c : hex) {
    if (c == ' ' || c == ':') continue;
    int v = nib(c);
    if (v < 0) return false;
    if (hi < 0) {
      hi = v;
    } else {
      b.push_back(static_cast<std::uint8_t>(hi << 4 | v));
      hi = -1;
    }
  }
  if (hi >= 0) return false;
  *out = std::move(b);
  return true;
}

Bytes u32le(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

Bytes attr_list(const std::vector<Attr>& attrs) {
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

namespace {

std::array<std::uint8_t, 8> pin_block(const std::string& pin) {
  std::array<std::uint8_t, 8> b;
  b.fill(0xFF);
  for (std::size_t i = 0; i < pin.size() && i < 8; ++i) b[i] = static_cast<std::uint8_t>(pin[i]);
  return b;
}

bool pin_ok(const std::string& pin) { return pin.size() >= 4 && pin.size() <= 8; }

void put_tlv(Bytes* out, std::uint8_t tag, const Bytes& v) {
  out->push_back(tag);
  out->push_back(static_cast<std::uint8_t>(v.size()));
  out->insert(out->end(), v.begin(), v.end());
}

std::string hex_or(const Bytes& b, const char* empty) { return b.empty() ? std::string(empty) : to_hex(b); }

template <std::size_t N>
bool hex_exact(std::string_view s, std::array<std::uint8_t, N>* out) {
  Bytes b;
  if (!from_hex(s, &b) || b.size() != N) return false;
  std::copy(b.begin(), b.end(), out->begin());
  return true;
}

bool parse_uint(std::string_view s, unsigned base, unsigned max, unsigned* out) {
  unsigned v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, static_cast<int>(base));
  if (r.ec != std::errc() || r.ptr != s.data() + s.size() || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

bool perso_fill(const PersoOptions& o, Persistent* p, std::string* err) {
  auto fail = [&](const char* m) {
    if (err) *err = m;
    return false;
  };
  if (!pin_ok(o.pin)) return fail("the PIN must have 4 to 8 characters");
  if (!pin_ok(o.puk)) return fail("the PUK must have 4 to 8 characters");
  if (!o.so_pin.empty() && !pin_ok(o.so_pin)) return fail("the SO PIN must have 4 to 8 characters");
  if (o.pin_state != 3 && o.pin_state != 4) return fail("the PIN state must be 3 or 4");
  if (o.atr.size() < 2 || o.atr.size() > 33) return fail("the ATR must have 2 to 33 bytes");
  if (o.label.size() > 200) return fail("the label is too long (200 bytes at most)");
  if (o.manufacturer.size() > 250) return fail("the manufacturer is too long (250 bytes at most)");
  if (o.flags.empty() || o.flags.size() > 8) return fail("the token flags must have 1 to 8 bytes");

  *p = Persistent{};
  p->atr = o.atr;
  crypto::Key16 cache_key{};
  if (o.keys_given) {
    p->sign_key = o.sign_channel_key;
    p->ciph_key = o.ciph_channel_key;
    cache_key = o.pin_cache_key;
  } else {
    p->sign_key = vorn::perso::kSignChannelKey;
    p->ciph_key = vorn::perso::kCiphChannelKey;
    cache_key = vorn::perso::kPinCacheKey;
  }
  // Identification data: "VORN", chip and mask versions, then the serial.
  const std::uint8_t head[8] = {0x56, 0x4F, 0x52, 0x4E, 0x01, 0x00, 0x01, 0x00};
  std::copy(head, head + 8, p->ident.begin());
  std::array<std::uint8_t, 8> serial = o.serial;
  if (!o.serial_given && plat_random(serial.data(), serial.size()) != VORN_OK) return fail("no random source");
  std::copy(serial.begin(), serial.end(), p->ident.begin() + 8);
  p->pin_state = o.pin_state;
  p->user.block = pin_block(o.pin);
  p->user.has_puk = true;
  p->user.puk = pin_block(o.puk);
  p->so.block = pin_block(o.so_pin.empty() ? o.puk : o.so_pin);
  // The PIN cache starts with the personalised PIN.
  p->pin_cache_file.assign(8, 0);
  crypto::tdes2_ecb(cache_key, p->user.block, p->pin_cache_file.data(), true);
  plat_wipe(cache_key.data(), cache_key.size());
  // Token information: flags bit string, manufacturer, versions + label.
  Bytes bits{0x00};
  bits.insert(bits.end(), o.flags.begin(), o.flags.end());
  put_tlv(&p->token_info_file, 0x03, bits);
  put_tlv(&p->token_info_file, 0x0C, Bytes(o.manufacturer.begin(), o.manufacturer.end()));
  Bytes lab{0x01, 0x00, 0x01, 0x00};
  lab.insert(lab.end(), o.label.begin(), o.label.end());
  put_tlv(&p->token_info_file, 0x80, lab);
  // Object 40 of AP-CIPH holds the container map: reserved, not listed,
  // no attribute list yet.
  Object& map = p->objects[kAppCiph - 1][kObjectsPerApp - 1];
  map.map = 0x90;
  map.type = kTypeData;
  return true;
}

bool perso_demo(Persistent* p, std::string* err) {
  const char* names[2] = {"VORN demo signature key", "VORN demo decipherment key"};
  for (int app = 0; app < 2; ++app) {
    crypto::DemoCert c;
    Bytes serial(8);
    if (plat_random(serial.data(), serial.size()) != VORN_OK) return false;
    serial[0] = static_cast<std::uint8_t>((serial[0] & 0x7F) | 0x01);
    if (!crypto::demo_certificate(names[app], serial, &c)) {
      if (err) *err = "RSA key or certificate generation failed";
      return false;
    }
    auto kid = crypto::sha1(c.key.modulus);
    Bytes id(kid.begin(), kid.end());
    const std::uint8_t exch = app == 1 ? 1 : 0;
    const Bytes t{1}, f{0}, e{}, ex{exch};
    Object& priv = p->objects[app][0];
    priv.map = 0x5B;  // private key, access class 11, generated on the card
    priv.type = kTypePrivateKey;
    priv.alg = 28;
    priv.value = c.key.private_value;
    priv.has_attrs = true;
    priv.attrs = attr_list({{0x8004, id}, {0x0000, u32le(3)}, {0x0001, t}, {0x0002, t}, {0x0170, t},
                            {0x0003, e}, {0x0100, u32le(0)}, {0x0102, id}, {0x0110, e}, {0x0111, e},
                            {0x010C, f}, {0x0163, t}, {0x0166, u32le(0)}, {0x0101, e}, {0x0103, t},
                            {0x0105, ex}, {0x0108, t}, {0x0109, f}, {0x0107, ex}, {0x0162, f},
                            {0x0165, t}, {0x0164, t}, {0x0120, c.key.modulus}, {0x0122, {1, 0, 1}}});
    Object& pub = p->objects[app][1];
    pub.map = 0x32;  // public key, access class 10, value readable
    pub.type = kTypePublicKey;
    pub.alg = 28;
    pub.value = c.key.modulus;
    pub.value.insert(pub.value.end(), {0, 0, 0, 0, 0, 1, 0, 1});
    pub.has_attrs = true;
    pub.attrs = attr_list({{0x8004, id}, {0x0000, u32le(2)}, {0x0001, t}, {0x0002, f}, {0x0170, t},
                           {0x0003, e}, {0x0100, u32le(0)}, {0x0102, id}, {0x0110, e}, {0x0111, e},
                           {0x010C, f}, {0x0163, t}, {0x0166, u32le(0)}, {0x0101, e}, {0x0086, f},
                           {0x0104, ex}, {0x010A, t}, {0x010B, f}, {0x0106, ex}, {0x0121, u32le(2048)}});
    Object& cert = p->objects[app][2];
    cert.map = 0x11;  // certificate, access class 10
    cert.type = kTypeCertificate;
    cert.value = c.der;
    cert.has_attrs = true;
    cert.attrs = attr_list({{0x8004, id}, {0x0000, u32le(1)}, {0x0001, t}, {0x0002, f}, {0x0170, t},
                            {0x0003, Bytes(c.common_name.begin(), c.common_name.end())}, {0x0080, u32le(0)},
                            {0x0086, f}, {0x0101, c.subject_der}, {0x0102, id}, {0x0081, c.issuer_der},
                            {0x0082, c.serial_der}});
    plat_wipe(c.key.private_value.data(), c.key.private_value.size());
  }
  return true;
}

bool perso_add_certificate(Persistent* p, int app, std::span<const std::uint8_t> der, std::string* err) {
  auto fail = [&](const char* m) {
    if (err) *err = m;
    return false;
  };
  if (app != 1 && app != 2) return fail("the application must be 1 or 2");
  crypto::DemoCert c;
  if (!crypto::certificate_fields(der, &c)) return fail("not a DER X.509 certificate with an RSA key");
  if (der.size() > kMaxObjectBytes) return fail("the certificate is larger than an object may be");
  auto& objs = p->objects[app - 1];
  // Object 40 of AP-CIPH is the container map's.
  const std::size_t last = app == 2 ? kObjectsPerApp - 1 : kObjectsPerApp;
  std::size_t n = 0;
  while (n < last && objs[n].used()) ++n;
  if (n == last) return fail("no free object number in that application");
  auto kid = crypto::sha1(c.key.modulus);
  Bytes id(kid.begin(), kid.end());
  const Bytes t{1}, f{0};
  Object& cert = objs[n];
  cert.map = 0x11;  // certificate, access class 10
  cert.type = kTypeCertificate;
  cert.value = c.der;
  cert.has_attrs = true;
  cert.attrs = attr_list({{0x8004, id}, {0x0000, u32le(1)}, {0x0001, t}, {0x0002, f}, {0x0170, t},
                          {0x0003, Bytes(c.common_name.begin(), c.common_name.end())}, {0x0080, u32le(0)},
                          {0x0086, f}, {0x0101, c.subject_der}, {0x0102, id}, {0x0081, c.issuer_der},
                          {0x0082, c.serial_der}});
  return true;
}

std::string state_to_text(const Persistent& p) {
  std::ostringstream o;
  o << "VORN-CARDSIM 1\n";
  o << "atr " << to_hex(p.atr) << "\n";
  o << "sign_key " << to_hex(p.sign_key) << "\n";
  o << "ciph_key " << to_hex(p.ciph_key) << "\n";
  o << "ident " << to_hex(p.ident) << "\n";
  o << "pin_state " << int(p.pin_state) << "\n";
  o << "pin 11 " << to_hex(p.user.block) << " " << int(p.user.tries) << " " << to_hex(p.user.puk) << " "
    << int(p.user.puk_tries) << "\n";
  o << "pin 0A " << to_hex(p.so.block) << " " << int(p.so.tries) << " - 0\n";
  o << "file 0FCF " << hex_or(p.pin_cache_file, "-") << "\n";
  o << "file 5032 " << hex_or(p.token_info_file, "-") << "\n";
  for (int app = 0; app < 2; ++app) {
    for (std::size_t i = 0; i < kObjectsPerApp; ++i) {
      const Object& ob = p.objects[app][i];
      if (!ob.used()) continue;
      o << "obj " << app + 1 << " " << i + 1 << " " << to_hex(std::span(&ob.map, 1)) << " " << int(ob.type) << " "
        << int(ob.alg) << " " << (ob.has_attrs ? hex_or(ob.attrs, ".") : std::string("-")) << " "
        << hex_or(ob.value, "-") << "\n";
    }
  }
  o << "end\n";
  return o.str();
}

bool state_from_text(std::string_view text, Persistent* out, std::string* err) {
  Persistent p;
  std::size_t lineno = 0;
  bool seen_head = false, seen_end = false;
  unsigned have = 0;  // bits of the mandatory lines seen
  auto fail = [&](const std::string& m) {
    if (err) *err = "line " + std::to_string(lineno) + ": " + m;
    return false;
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    ++lineno;
    std::vector<std::string_view> w;
    for (std::size_t i = 0; i < line.size();) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\r' || line[i] == '\t')) ++i;
      std::size_t j = i;
      while (j < line.size() && line[j] != ' ' && line[j] != '\r' && line[j] != '\t') ++j;
      if (j > i) w.push_back(line.substr(i, j - i));
      i = j;
    }
    if (w.empty() || w[0][0] == '#') continue;
    if (seen_end) return fail("text after end");
    if (!seen_head) {
      if (w.size() != 2 || w[0] != "VORN-CARDSIM" || w[1] != "1") return fail("not a VORN card file");
      seen_head = true;
      continue;
    }
    const auto& k = w[0];
    if (k == "end") {
      seen_end = true;
    } else if (k == "atr" && w.size() == 2) {
      if (!from_hex(w[1], &p.atr) || p.atr.size() < 2 || p.atr.size() > 33) return fail("bad ATR");
      have |= 1;
    } else if (k == "sign_key" && w.size() == 2) {
      if (!hex_exact(w[1], &p.sign_key)) return fail("bad sign_key");
      have |= 2;
    } else if (k == "ciph_key" && w.size() == 2) {
      if (!hex_exact(w[1], &p.ciph_key)) return fail("bad ciph_key");
      have |= 4;
    } else if (k == "ident" && w.size() == 2) {
      if (!hex_exact(w[1], &p.ident)) return fail("bad ident");
      have |= 8;
    } else if (k == "pin_state" && w.size() == 2) {
      unsigned v = 0;
      if (!parse_uint(w[1], 10, 255, &v) || (v != 3 && v != 4)) return fail("bad pin_state");
      p.pin_state = static_cast<std::uint8_t>(v);
      have |= 16;
    } else if (k == "pin" && w.size() == 6) {
      PinRef* r = w[1] == "11" ? &p.user : w[1] == "0A" ? &p.so : nullptr;
      unsigned tries = 0, puk_tries = 0;
      if (r == nullptr || !hex_exact(w[2], &r->block) || !parse_uint(w[3], 10, kMaxTries, &tries) ||
          !parse_uint(w[5], 10, kMaxTries, &puk_tries))
        return fail("bad pin line");
      r->tries = static_cast<std::uint8_t>(tries);
      r->has_puk = w[4] != "-";
      if (r->has_puk && !hex_exact(w[4], &r->puk)) return fail("bad PUK");
      r->puk_tries = static_cast<std::uint8_t>(puk_tries);
      have |= r == &p.user ? 32 : 64;
    } else if (k == "file" && w.size() == 3) {
      Bytes* f = w[1] == "0FCF" ? &p.pin_cache_file : w[1] == "5032" ? &p.token_info_file : nullptr;
      if (f == nullptr) return fail("unknown file");
      f->clear();
      if (w[2] != "-" && (!from_hex(w[2], f) || f->size() > 4096)) return fail("bad file contents");
    } else if (k == "obj" && w.size() == 8) {
      unsigned app = 0, num = 0, map = 0, type = 0, alg = 0;
      if (!parse_uint(w[1], 10, 2, &app) || app == 0 || !parse_uint(w[2], 10, 40, &num) || num == 0 ||
          !parse_uint(w[3], 16, 255, &map) || map == 0 || !parse_uint(w[4], 10, 5, &type) || type == 0 ||
          !parse_uint(w[5], 10, 255, &alg))
        return fail("bad object line");
      Object& ob = p.objects[app - 1][num - 1];
      if (ob.used()) return fail("object listed twice");
      ob.map = static_cast<std::uint8_t>(map);
      ob.type = static_cast<std::uint8_t>(type);
      ob.alg = static_cast<std::uint8_t>(alg);
      ob.has_attrs = w[6] != "-";
      if (ob.has_attrs && w[6] != "." && (!from_hex(w[6], &ob.attrs) || ob.attrs.size() > kMaxObjectBytes))
        return fail("bad attribute list");
      if (w[7] != "-" && (!from_hex(w[7], &ob.value) || ob.value.size() > kMaxObjectBytes))
        return fail("bad object value");
    } else {
      return fail("unknown line '" + std::string(k) + "'");
    }
  }
  if (!seen_head || !seen_end) return fail("truncated card file");
  if (have != 127) return fail("mandatory line missing");
  *out = std::move(p);
  return true;
}

}  // namespace vorn::cardsim
