// EMSA-PSS encoding and verification with MGF1, and the DigestInfo prefixes
// of PKCS#1 v1.5 signatures.
#include "internal.h"
#include "vorn/secure.h"

namespace {

constexpr std::uint32_t kMaxEm = SC_RSA_MAX_BITS / 8;  // longest encoding

// Digests PSS and MGF1 accept: every digest but MD5.
bool pss_hash(std::uint8_t id) {
  return id == SC_ALG_SHA1 || id == SC_ALG_SHA256 || id == SC_ALG_SHA384 || id == SC_ALG_SHA512;
}

// Parameter checks shared by the encoders and the verifier; salt_len may be
// SC_PSS_SALT_ANY (the verifier only).
vorn_rv pss_check(std::uint8_t hash_id, std::uint8_t mgf_hash_id, const std::uint8_t* mhash, std::uint32_t hlen,
                  std::uint32_t salt_len, std::uint32_t mod_bits, const std::uint8_t* em, std::uint32_t em_len) {
  if (!pss_hash(hash_id) || !pss_hash(mgf_hash_id)) return CARDERR_BAD_HASH;
  if (mhash == nullptr || em == nullptr) return CARDERR_BAD_ARG;
  if (hlen != sc_digest_size(hash_id)) return CARDERR_BAD_LENGTH;
  if (mod_bits < 9 || mod_bits > SC_RSA_MAX_BITS || em_len != (mod_bits - 1 + 7) / 8) return CARDERR_BAD_LENGTH;
  const std::uint32_t min_salt = salt_len == SC_PSS_SALT_ANY ? 0 : salt_len;
  if (std::uint64_t{em_len} < std::uint64_t{hlen} + min_salt + 2) return CARDERR_BAD_LENGTH;
  return VORN_OK;
}

// H = Hash(00 x 8 || mhash || salt).
void pss_digest(std::uint8_t hash_id, const std::uint8_t* mhash, std::uint32_t hlen, const std::uint8_t* salt,
                std::uint32_t salt_len, std::uint8_t* h) {
  static constexpr std::uint8_t zeros[8] = {};
  sc_digest_ctx ctx;
  std::uint32_t n = SC_DIGEST_MAX;
  sc_digest_init(hash_id, &ctx);
  sc_digest_update(hash_id, &ctx, zeros, 8);
  sc_digest_update(hash_id, &ctx, mhash, hlen);
  sc_digest_update(hash_id, &ctx, salt, salt_len);
  sc_digest_final(hash_id, &ctx, h, &n);
}

// 0xFF when the byte x is 0, else 0, without a branch.
inline std::uint8_t ct_is_zero(std::uint8_t x) { return static_cast<std::uint8_t>(0u - ((x - 1u) >> 31)); }

}  // namespace

vorn_rv sc_mgf1(std::uint8_t hash_id, const std::uint8_t* seed, std::uint32_t seed_len, std::uint8_t* mask,
                std::uint32_t mask_len) {
  if (!pss_hash(hash_id)) return CARDERR_BAD_HASH;
  if ((seed == nullptr && seed_len != 0) || (mask == nullptr && mask_len != 0)) return CARDERR_BAD_ARG;
  const std::uint32_t hsize = sc_digest_size(hash_id);
  sc_digest_ctx seeded, ctx;
  vorn::WipeOnExit wipe_seeded(&seeded, sizeof seeded);
  std::uint8_t block[SC_DIGEST_MAX];
  vorn::WipeOnExit wipe_block(block, sizeof block);
  sc_digest_init(hash_id, &seeded);
  sc_digest_update(hash_id, &seeded, seed, seed_len);
  for (std::uint32_t done = 0, counter = 0; done < mask_len; done += hsize, ++counter) {
    std::uint8_t c[4];
    sc::store_be32(c, counter);
    ctx = seeded;
    sc_digest_update(hash_id, &ctx, c, 4);
    std::uint32_t n = sizeof block;
    sc_digest_final(hash_id, &ctx, block, &n);  // wipes ctx
    const std::uint32_t take = mask_len - done < hsize ? mask_len - done : hsize;
    std::memcpy(mask + done, block, take);
    if (mask_len - done <= hsize) break;  // no counter overflow past the last block
  }
  return VORN_OK;
}

vorn_rv sc_pss_encode_salt(std::uint8_t hash_id, std::uint8_t mgf_hash_id, const std::uint8_t* mhash,
                           std::uint32_t hlen, std::uint32_t salt_len, std::uint32_t mod_bits, std::uint8_t* em,
                           std::uint32_t em_len, const std::uint8_t* salt) {
  if (salt_len == SC_PSS_SALT_ANY) return CARDERR_BAD_LENGTH;
  vorn_rv rv = pss_check(hash_id, mgf_hash_id, mhash, hlen, salt_len, mod_bits, em, em_len);
  if (rv == VORN_OK && salt == nullptr && salt_len != 0) rv = CARDERR_BAD_ARG;
  if (rv != VORN_OK) {
    if (em != nullptr) std::memset(em, 0, em_len);
    return rv;
  }
  const std::uint32_t db_len = em_len - hlen - 1;
  std::uint8_t* h = em + db_len;
  pss_digest(hash_id, mhash, hlen, salt, salt_len, h);
  // DB = 00 .. 00 01 salt, masked with MGF1(H).
  std::uint8_t mask[kMaxEm];
  vorn::WipeOnExit wipe_mask(mask, sizeof mask);
  sc_mgf1(mgf_hash_id, h, hlen, mask, db_len);
  const std::uint32_t ps_len = db_len - salt_len - 1;
  std::memset(em, 0, ps_len);
  em[ps_len] = 0x01;
  if (salt_len != 0) std::memcpy(em + ps_len + 1, salt, salt_len);
  for (std::uint32_t i = 0; i < db_len; ++i) em[i] ^= mask[i];
  em[0] &= static_cast<std::uint8_t>(0xFF >> (8 * em_len - (mod_bits - 1)));
  em[em_len - 1] = 0xBC;
  return VORN_OK;
}

vorn_rv sc_pss_encode(std::uint8_t hash_id, std::uint8_t mgf_hash_id, const std::uint8_t* mhash, std::uint32_t hlen,
                      std::uint32_t salt_len, std::uint32_t mod_bits, std::uint8_t* em, std::uint32_t em_len) {
  if (salt_len == SC_PSS_SALT_ANY) return CARDERR_BAD_LENGTH;
  vorn_rv rv = pss_check(hash_id, mgf_hash_id, mhash, hlen, salt_len, mod_bits, em, em_len);
  if (rv != VORN_OK) {
    if (em != nullptr) std::memset(em, 0, em_len);
    return rv;
  }
  std::uint8_t salt[kMaxEm];  // salt_len < em_len fits
  vorn::WipeOnExit wipe_salt(salt, sizeof salt);
  rv = plat_random(salt, salt_len);
  if (rv != VORN_OK) {
    std::memset(em, 0, em_len);
    return rv;
  }
  return sc_pss_encode_salt(hash_id, mgf_hash_id, mhash, hlen, salt_len, mod_bits, em, em_len, salt);
}

vorn_rv sc_pss_verify(std::uint8_t hash_id, std::uint8_t mgf_hash_id, const std::uint8_t* mhash, std::uint32_t hlen,
                      std::uint32_t salt_len, std::uint32_t mod_bits, const std::uint8_t* em, std::uint32_t em_len) {
  vorn_rv rv = pss_check(hash_id, mgf_hash_id, mhash, hlen, salt_len, mod_bits, em, em_len);
  if (rv != VORN_OK) return rv;
  const std::uint32_t db_len = em_len - hlen - 1;
  const std::uint8_t* h = em + db_len;
  const std::uint8_t top = static_cast<std::uint8_t>(0xFF >> (8 * em_len - (mod_bits - 1)));
  std::uint8_t db[kMaxEm];
  vorn::WipeOnExit wipe_db(db, sizeof db);
  sc_mgf1(mgf_hash_id, h, hlen, db, db_len);
  for (std::uint32_t i = 0; i < db_len; ++i) db[i] ^= em[i];
  // Every check accumulates into bad; the whole block is read whatever it holds.
  std::uint32_t bad = em[em_len - 1] ^ 0xBCu;
  bad |= em[0] & static_cast<std::uint8_t>(~top);
  db[0] &= top;
  // The 01 separator: the first nonzero byte of DB. With a fixed salt length
  // it must sit at db_len - salt_len - 1.
  std::uint32_t sep = 0;        // position of the first nonzero byte
  std::uint8_t found = 0;       // 0xFF once it has been passed
  std::uint8_t sep_byte = 0;
  for (std::uint32_t i = 0; i < db_len; ++i) {
    const std::uint8_t nonzero = static_cast<std::uint8_t>(~ct_is_zero(db[i]));
    const std::uint8_t first = static_cast<std::uint8_t>(nonzero & ~found);
    sep |= i & (0u - (first & 1u));
    sep_byte |= db[i] & first;
    found |= nonzero;
  }
  bad |= static_cast<std::uint8_t>(~found);
  bad |= sep_byte ^ 0x01u;
  const std::uint32_t salt_at = sep + 1;
  const std::uint32_t got_salt_len = db_len - salt_at;  // meaningful once found
  if (salt_len != SC_PSS_SALT_ANY) bad |= got_salt_len ^ salt_len;
  // The digest is computed and compared whatever the checks above said.
  std::uint8_t h2[SC_DIGEST_MAX];
  vorn::WipeOnExit wipe_h2(h2, sizeof h2);
  const std::uint32_t n = found != 0 ? got_salt_len : 0;
  pss_digest(hash_id, mhash, hlen, db + (found != 0 ? salt_at : 0), n, h2);
  if (!plat_ct_equal(h, h2, hlen)) bad |= 1;
  return bad == 0 ? VORN_OK : CARDERR_SW_SIGNATURE;
}

const std::uint8_t* sc_digest_info_prefix(std::uint8_t id, std::uint32_t* len) {
  static constexpr std::uint8_t md5[] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                         0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
  static constexpr std::uint8_t sha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                          0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  static constexpr std::uint8_t sha256[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                            0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  static constexpr std::uint8_t sha384[] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                            0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
  static constexpr std::uint8_t sha512[] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                            0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
  const std::uint8_t* p = nullptr;
  std::uint32_t n = 0;
  switch (id) {
    case SC_ALG_MD5: p = md5, n = sizeof md5; break;
    case SC_ALG_SHA1: p = sha1, n = sizeof sha1; break;
    case SC_ALG_SHA256: p = sha256, n = sizeof sha256; break;
    case SC_ALG_SHA384: p = sha384, n = sizeof sha384; break;
    case SC_ALG_SHA512: p = sha512, n = sizeof sha512; break;
    default: break;
  }
  if (len != nullptr) *len = n;
  return p;
}
