// Scans of an X.509 certificate: the subject's commonName, the RSA modulus
// (for the key identifier), and the TBSCertificate's serial, issuer and
// subject. Every read is checked against the certificate's length.
#include <cstring>

#include "internal.h"
#include "softcrypto.h"

namespace {

// One DER element: tag at `pos`, header of `hdr` bytes, `len` content bytes.
struct Der {
  std::size_t pos;
  std::size_t hdr;
  std::size_t len;
};

// Reads the element at pos; short form and the 81 and 82 long forms.
bool der_at(const std::uint8_t* p, std::size_t n, std::size_t pos, Der* out) {
  if (pos >= n || n - pos < 2) return false;
  std::size_t hdr = 2;
  std::size_t len = p[pos + 1];
  if (len == 0x81) {
    if (n - pos < 3) return false;
    len = p[pos + 2];
    hdr = 3;
  } else if (len == 0x82) {
    if (n - pos < 4) return false;
    len = (static_cast<std::size_t>(p[pos + 2]) << 8) | p[pos + 3];
    hdr = 4;
  } else if (len > 0x80) {
    return false;
  } else if (len == 0x80) {
    return false;  // indefinite length is not DER
  }
  if (n - pos - hdr < len) return false;
  *out = Der{pos, hdr, len};
  return true;
}

}  // namespace

vorn_rv cert_common_name(const std::uint8_t* cert, DWORD cert_len, std::uint8_t* out, DWORD* len) {
  if (cert == nullptr || len == nullptr) return CARDERR_BAD_ARG;
  static constexpr std::uint8_t kCn[3] = {0x55, 0x04, 0x03};
  // The subject's commonName is the second one (the issuer's comes first).
  int seen = 0;
  std::size_t at = 0;
  for (std::size_t i = 0; i + 3 <= cert_len; ++i) {
    if (std::memcmp(cert + i, kCn, 3) == 0 && ++seen == 2) {
      at = i;
      break;
    }
  }
  if (seen < 2) return CARDERR_BAD_ARG;
  Der s{};
  if (!der_at(cert, cert_len, at + 3, &s)) return CARDERR_BAD_ARG;
  const std::uint8_t* v = cert + s.pos + s.hdr;
  std::size_t zeros = 0;
  for (std::size_t i = 0; i < s.len; ++i) zeros += v[i] == 0 ? 1 : 0;
  const bool wide = s.len != 0 && zeros * 2 == s.len;  // a two-byte string
  const std::size_t need = wide ? s.len / 2 : s.len;
  if (out == nullptr) {
    *len = static_cast<DWORD>(need);
    return VORN_OK;
  }
  if (*len < need) {
    *len = static_cast<DWORD>(need);
    return CARDERR_BUFFER_TOO_SMALL;
  }
  if (wide) {
    for (std::size_t i = 0; i < need; ++i) out[i] = v[2 * i + 1];
  } else if (need != 0) {
    std::memcpy(out, v, need);
  }
  *len = static_cast<DWORD>(need);
  return VORN_OK;
}

vorn_rv cert_modulus(const std::uint8_t* cert, DWORD cert_len, const std::uint8_t** modulus,
                     DWORD* modulus_len) {
  if (cert == nullptr || modulus == nullptr || modulus_len == nullptr) return CARDERR_BAD_ARG;
  struct Header {
    std::uint8_t bytes[5];
    std::size_t size;
    std::size_t follow;
  };
  static constexpr Header kHeaders[] = {
      {{0x02, 0x81, 0x81, 0x00}, 4, 128},
      {{0x02, 0x81, 0x80}, 3, 128},
      {{0x02, 0x82, 0x01, 0x01, 0x00}, 5, 256},
      {{0x02, 0x82, 0x01, 0x00}, 4, 256},
  };
  for (std::size_t i = 0; i < cert_len; ++i) {
    for (const Header& h : kHeaders) {
      if (cert_len - i < h.size + h.follow) continue;
      if (std::memcmp(cert + i, h.bytes, h.size) == 0) {
        *modulus = cert + i + h.size;
        *modulus_len = static_cast<DWORD>(h.follow);
        return VORN_OK;
      }
    }
  }
  return CARDERR_BAD_ARG;
}

vorn_rv key_id_of_modulus(const std::uint8_t* modulus, DWORD modulus_len, std::uint8_t* id20) {
  if (modulus == nullptr || id20 == nullptr || modulus_len == 0) return CARDERR_BAD_ARG;
  if (modulus[0] == 0x00 && modulus_len > 1) {
    ++modulus;
    --modulus_len;
  }
  std::uint32_t out_len = 20;
  vorn_rv rv = sc_digest(SC_ALG_SHA1, modulus, static_cast<std::uint32_t>(modulus_len), id20, &out_len);
  if (rv == VORN_OK && out_len != 20) rv = CARDERR_UNKNOWN;
  return rv;
}

vorn_rv cert_key_id(const std::uint8_t* cert, DWORD cert_len, std::uint8_t* id20) {
  const std::uint8_t* mod = nullptr;
  DWORD mod_len = 0;
  vorn_rv rv = cert_modulus(cert, cert_len, &mod, &mod_len);
  if (rv != VORN_OK) return rv;
  return key_id_of_modulus(mod, mod_len, id20);
}

vorn_rv cert_tbs_fields(const std::uint8_t* cert, DWORD cert_len, CertFields* out) {
  if (cert == nullptr || out == nullptr) return CARDERR_BAD_ARG;
  const std::size_t n = cert_len;
  Der c{}, tbs{}, e{};
  if (!der_at(cert, n, 0, &c) || cert[0] != 0x30) return CARDERR_BAD_ARG;
  const std::size_t cend = c.pos + c.hdr + c.len;
  if (!der_at(cert, cend, c.hdr, &tbs) || cert[tbs.pos] != 0x30) return CARDERR_BAD_ARG;
  const std::size_t tend = tbs.pos + tbs.hdr + tbs.len;
  std::size_t pos = tbs.pos + tbs.hdr;
  if (!der_at(cert, tend, pos, &e)) return CARDERR_BAD_ARG;
  if (cert[pos] == 0xA0) {  // explicit version
    pos += e.hdr + e.len;
    if (!der_at(cert, tend, pos, &e)) return CARDERR_BAD_ARG;
  }
  if (cert[pos] != 0x02) return CARDERR_BAD_ARG;
  out->serial = cert + pos;
  out->serial_len = static_cast<DWORD>(e.hdr + e.len);
  pos += e.hdr + e.len;
  if (!der_at(cert, tend, pos, &e) || cert[pos] != 0x30) return CARDERR_BAD_ARG;  // signature
  pos += e.hdr + e.len;
  if (!der_at(cert, tend, pos, &e) || cert[pos] != 0x30) return CARDERR_BAD_ARG;  // issuer
  out->issuer = cert + pos;
  out->issuer_len = static_cast<DWORD>(e.hdr + e.len);
  pos += e.hdr + e.len;
  if (!der_at(cert, tend, pos, &e) || cert[pos] != 0x30) return CARDERR_BAD_ARG;  // validity
  pos += e.hdr + e.len;
  if (!der_at(cert, tend, pos, &e) || cert[pos] != 0x30) return CARDERR_BAD_ARG;  // subject
  out->subject = cert + pos;
  out->subject_len = static_cast<DWORD>(e.hdr + e.len);
  return VORN_OK;
}
