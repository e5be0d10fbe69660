// The PSS verifier: byte 0 picks the hash (bits 0-1), the salt length asked
// for (bit 2: any, else the digest length) and the modulus length (bit 3:
// 8 * n + 1 bits, else 8 * n bits, where n is the length of the rest); the
// rest is the encoding, checked against a fixed message digest. The verdict
// must match an independent reading of the encoding.
#include <cstring>
#include <vector>

#include "fuzz_key.h"

namespace {

std::vector<std::uint8_t> digest(std::uint8_t id, const std::vector<std::uint8_t>& in) {
  std::vector<std::uint8_t> out(SC_DIGEST_MAX);
  std::uint32_t len = SC_DIGEST_MAX;
  FUZZ_CHECK(sc_digest(id, in.data(), static_cast<std::uint32_t>(in.size()), out.data(), &len) == VORN_OK);
  out.resize(len);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 1 + SC_RSA_MAX_LEN) return 0;
  static constexpr std::uint8_t ids[4] = {SC_ALG_SHA1, SC_ALG_SHA256, SC_ALG_SHA384, SC_ALG_SHA512};
  const std::uint8_t id = ids[data[0] & 3];
  const std::uint32_t hlen = sc_digest_size(id);
  const bool any = (data[0] & 4) != 0;
  const std::uint32_t salt_len = any ? SC_PSS_SALT_ANY : hlen;
  const std::vector<std::uint8_t> em(data + 1, data + size);
  const std::uint32_t em_len = static_cast<std::uint32_t>(em.size());
  const std::uint32_t mod_bits = 8 * em_len + ((data[0] & 8) ? 1 : 0);
  const std::vector<std::uint8_t> mhash(hlen, 0x3C);

  const vorn_rv rv = sc_pss_verify(id, id, mhash.data(), hlen, salt_len, mod_bits, em.data(), em_len);
  const std::uint32_t em_bits = mod_bits - 1;
  if (mod_bits < 9 || mod_bits > SC_RSA_MAX_BITS || em_len < hlen + (any ? 0 : hlen) + 2) {
    FUZZ_CHECK(rv == CARDERR_BAD_LENGTH);
    return 0;
  }
  FUZZ_CHECK(rv == VORN_OK || rv == CARDERR_SW_SIGNATURE);

  // Independent reading: maskedDB || H || BC, top bits clear, DB = 00.. 01 salt.
  bool ok = em[em_len - 1] == 0xBC;
  const std::uint32_t top_bits = 8 * em_len - em_bits;  // 1 for 8n bits, 0 for 8n + 1
  if (top_bits > 0 && (em[0] >> (8 - top_bits)) != 0) ok = false;
  const std::uint32_t db_len = em_len - hlen - 1;
  std::vector<std::uint8_t> h(em.begin() + db_len, em.begin() + db_len + hlen);
  std::vector<std::uint8_t> db(db_len);
  FUZZ_CHECK(sc_mgf1(id, h.data(), hlen, db.data(), db_len) == VORN_OK);
  for (std::uint32_t i = 0; i < db_len; ++i) db[i] ^= em[i];
  if (top_bits > 0) db[0] &= static_cast<std::uint8_t>(0xFF >> top_bits);
  std::uint32_t i = 0;
  while (i < db_len && db[i] == 0) ++i;
  if (i == db_len || db[i] != 0x01) ok = false;
  if (ok) {
    const std::vector<std::uint8_t> salt(db.begin() + i + 1, db.end());
    if (!any && salt.size() != hlen) ok = false;
    std::vector<std::uint8_t> mprime(8, 0);
    mprime.insert(mprime.end(), mhash.begin(), mhash.end());
    mprime.insert(mprime.end(), salt.begin(), salt.end());
    if (digest(id, mprime) != h) ok = false;
  }
  FUZZ_CHECK((rv == VORN_OK) == ok);
  return 0;
}
