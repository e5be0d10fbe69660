// PKCS#8 PrivateKeyInfo of an RSA private key: the encoder used by
// C_WrapKey and the decoder used by C_UnwrapKey.
#include "pkcs8.h"

#include "vorn/secure.h"

namespace p11 {

namespace {

const std::uint8_t kAlgorithm[15] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                     0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};

std::span<const std::uint8_t> strip(std::span<const std::uint8_t> v) {
  std::size_t i = 0;
  while (i < v.size() && v[i] == 0) ++i;
  return v.subspan(i);
}

void put_len(vorn::SecureBytes* out, std::size_t n) {
  if (n < 0x80) {
    out->push_back(static_cast<std::uint8_t>(n));
  } else if (n <= 0xFF) {
    out->push_back(0x81);
    out->push_back(static_cast<std::uint8_t>(n));
  } else {
    out->push_back(0x82);
    out->push_back(static_cast<std::uint8_t>(n >> 8));
    out->push_back(static_cast<std::uint8_t>(n));
  }
}

void put_integer(vorn::SecureBytes* out, std::span<const std::uint8_t> v) {
  const bool lead = (v[0] & 0x80) != 0;
  out->push_back(0x02);
  put_len(out, v.size() + (lead ? 1 : 0));
  if (lead) out->push_back(0x00);
  out->insert(out->end(), v.begin(), v.end());
}

void put_header82(vorn::SecureBytes* out, std::uint8_t tag, std::size_t n) {
  out->push_back(tag);
  out->push_back(0x82);
  out->push_back(static_cast<std::uint8_t>(n >> 8));
  out->push_back(static_cast<std::uint8_t>(n));
}

// A reader over one DER element's contents.
struct Reader {
  const std::uint8_t* p;
  std::size_t n;

  // Reads tag and length; the contents must lie inside the reader.
  bool element(std::uint8_t tag, Reader* contents) {
    if (n < 2 || p[0] != tag) return false;
    std::size_t len = 0;
    std::size_t head = 2;
    const std::uint8_t l = p[1];
    if (l < 0x80) {
      len = l;
    } else if (l == 0x81) {
      if (n < 3) return false;
      len = p[2];
      head = 3;
    } else if (l == 0x82) {
      if (n < 4) return false;
      len = static_cast<std::size_t>(p[2]) << 8 | p[3];
      head = 4;
    } else {
      return false;
    }
    if (len > n - head) return false;
    *contents = Reader{p + head, len};
    p += head + len;
    n -= head + len;
    return true;
  }
};

// An INTEGER's magnitude, left-padded into a field of `width` bytes.
bool integer_field(Reader* r, std::size_t width, vorn::SecureBytes* out) {
  Reader c{};
  if (!r->element(0x02, &c) || c.n == 0 || (c.p[0] & 0x80) != 0) return false;
  auto v = strip({c.p, c.n});
  if (v.size() > width) return false;
  out->assign(width, 0);
  std::copy(v.begin(), v.end(), out->begin() + static_cast<std::ptrdiff_t>(width - v.size()));
  return true;
}

}  // namespace

bool pkcs8_encode(const std::array<std::span<const std::uint8_t>, kP8Parts>& parts, vorn::SecureBytes* out) {
  vorn::SecureBytes body = {0x02, 0x01, 0x00};
  bool ok = true;
  for (const auto& part : parts) {
    auto v = strip(part);
    if (v.empty()) {
      ok = false;
      break;
    }
    put_integer(&body, v);
  }
  const std::size_t n = body.size();
  ok = ok && n + 26 <= 0xFFFF;
  if (ok) {
    out->clear();
    out->reserve(n + 30);
    put_header82(out, 0x30, n + 26);
    out->insert(out->end(), {0x02, 0x01, 0x00});
    out->insert(out->end(), kAlgorithm, kAlgorithm + sizeof kAlgorithm);
    put_header82(out, 0x04, n + 4);
    put_header82(out, 0x30, n);
    out->insert(out->end(), body.begin(), body.end());
  }
  return ok;
}

bool pkcs8_decode(const std::uint8_t* data, std::size_t len, Pkcs8Key* out) {
  if (data == nullptr || out == nullptr) return false;
  Reader all{data, len};
  Reader info{}, version{}, alg{}, octets{}, key{}, kversion{};
  if (!all.element(0x30, &info)) return false;
  if (!info.element(0x02, &version) || !info.element(0x30, &alg) || !info.element(0x04, &octets) || info.n != 0)
    return false;
  if (!octets.element(0x30, &key) || octets.n != 0) return false;
  if (!key.element(0x02, &kversion) || kversion.n != 1 || kversion.p[0] != 0) return false;
  // The modulus decides the field widths of the rest.
  Reader peek = key;
  Reader mod{};
  if (!peek.element(0x02, &mod)) return false;
  const std::size_t k = strip({mod.p, mod.n}).size();
  if (k != 128 && k != 256) return false;
  const std::size_t widths[kP8Parts] = {k, 3, k, k / 2, k / 2, k / 2, k / 2, k / 2};
  for (std::size_t i = 0; i < kP8Parts; ++i)
    if (!integer_field(&key, widths[i], &out->parts[i])) return false;
  if (key.n != 0) return false;
  // A three-byte public exponent: its first byte is not zero.
  return out->parts[kP8PublicExp][0] != 0;
}

}  // namespace p11
