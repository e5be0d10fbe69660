// Encryption and decryption: C_EncryptInit/Encrypt/EncryptUpdate/EncryptFinal
// and the four decryption functions, for CKM_RSA_PKCS, RC2, DES, 3DES and AES
// in ECB, CBC and CBC_PAD, and CKM_RC4. Token secret keys run on the card
// (key_crypt under the AP-CIPH channel), session keys in the software
// ciphers; RSA encryption always runs in software with the key's public
// values, RSA decryption on the card for token keys.
#include "crypt.h"

#include <algorithm>
#include <cstring>

#include "cardlayer.h"
#include "entry.h"
#include "key_alg.h"
#include "mech_params.h"
#include "softcrypto.h"

namespace p11 {

namespace {

constexpr std::uint8_t kModeNone = 0;

struct CipherMech {
  CK_MECHANISM_TYPE type;
  std::uint32_t block;  // 0 RSA (modulus length), 1 RC4
  std::uint8_t mode;    // SC_MODE_ECB, SC_MODE_CBC or 0
  bool pad;
  std::uint8_t iv;      // IV length carried by the parameter
  bool rc2;             // parameter starts with the RC2 effective bits
};

const CipherMech kCipherMechs[] = {
    {CKM_RSA_PKCS, 0, kModeNone, false, 0, false},
    {CKM_RC2_ECB, 8, SC_MODE_ECB, false, 0, true},
    {CKM_RC2_CBC, 8, SC_MODE_CBC, false, 8, true},
    {CKM_RC2_CBC_PAD, 8, SC_MODE_CBC, true, 8, true},
    {CKM_RC4, 1, kModeNone, false, 0, false},
    {CKM_DES_ECB, 8, SC_MODE_ECB, false, 0, false},
    {CKM_DES_CBC, 8, SC_MODE_CBC, false, 8, false},
    {CKM_DES_CBC_PAD, 8, SC_MODE_CBC, true, 8, false},
    {CKM_DES3_ECB, 8, SC_MODE_ECB, false, 0, false},
    {CKM_DES3_CBC, 8, SC_MODE_CBC, false, 8, false},
    {CKM_DES3_CBC_PAD, 8, SC_MODE_CBC, true, 8, false},
    {CKM_AES_ECB, 16, SC_MODE_ECB, false, 0, false},
    {CKM_AES_CBC, 16, SC_MODE_CBC, false, 16, false},
    {CKM_AES_CBC_PAD, 16, SC_MODE_CBC, true, 16, false},
};

const CipherMech* cipher_mech(CK_MECHANISM_TYPE type) {
  for (const auto& m : kCipherMechs)
    if (m.type == type) return &m;
  return nullptr;
}

// Whole blocks through the software ciphers; the IV in ctx is not touched.
CK_RV soft_blocks(Slot& slot, Object& key, CK_KEY_TYPE kt, const CryptContext& ctx, std::uint8_t mode,
                  bool enc, const std::uint8_t* in, std::size_t len, std::uint8_t* out) {
  const Value* v = crypt_key_value(slot, key);
  if (v == nullptr) return CKR_FUNCTION_FAILED;
  std::uint8_t iv[16] = {};
  std::memcpy(iv, ctx.iv, sizeof iv);
  const auto n = static_cast<std::uint32_t>(len);
  std::uint32_t out_len = 0;
  vorn_rv rv = CARDERR_BAD_ALGORITHM;
  auto* raw = const_cast<std::uint8_t*>(v->data());
  auto run = [&](std::uint8_t id, void* k) {
    return enc ? sc_encrypt(id, k, mode, iv, in, n, out, &out_len) : sc_decrypt(id, k, mode, iv, in, n, out, &out_len);
  };
  switch (kt) {
    case CKK_DES:
      if (v->size() == 8) rv = run(SC_ALG_DES, raw);
      break;
    case CKK_DES2:
      if (v->size() == 16) rv = run(SC_ALG_DES2, raw);
      break;
    case CKK_DES3:
      if (v->size() == 24) rv = run(SC_ALG_DES3, raw);
      break;
    case CKK_RC2:
      if (v->size() >= 1 && v->size() <= 128) {
        sc_rc2_key rk{};
        rv = sc_rc2_set_key(&rk, raw, static_cast<std::uint32_t>(v->size()), static_cast<std::int32_t>(ctx.rc2_bits));
        if (rv == VORN_OK) rv = run(SC_ALG_RC2, &rk);
        plat_wipe(&rk, sizeof rk);
      }
      break;
    case CKK_AES:
      if (v->size() == 16 || v->size() == 32) {
        const std::uint8_t sel = v->size() == 16 ? 1 : 2;
        rv = enc ? sc_ossl_aes_encrypt(sel, raw, mode, iv, in, n, out, &out_len)
                 : sc_ossl_aes_decrypt(sel, raw, mode, iv, in, n, out, &out_len);
      }
      break;
    default: break;
  }
  plat_wipe(iv, sizeof iv);
  return (rv == VORN_OK && out_len == n) ? CKR_OK : CKR_FUNCTION_FAILED;
}

// Whole blocks through the card (key_crypt with the key's card identifier).
CK_RV card_blocks(Slot& slot, const Object& key, std::uint8_t alg, const CryptContext& ctx, std::uint8_t mode,
                  bool enc, const std::uint8_t* in, std::size_t len, std::uint8_t* out) {
  CardOperation op;
  if (slot_op_begin(op, slot) != VORN_OK) return CKR_DEVICE_ERROR;
  CK_RV rv = slot_op_open(op, slot, CARD_APP_CIPH);
  DWORD out_len = static_cast<DWORD>(len);
  if (rv == CKR_OK) {
    const bool cbc = mode == SC_MODE_CBC;
    if (key_crypt(slot_key(slot), slot.card, alg, mode, key.card_id, cbc ? ctx.iv : nullptr, cbc ? ctx.iv_len : 0, in,
                  static_cast<DWORD>(len), out, &out_len, enc ? KEY_ENCIPHER : KEY_DECIPHER) != VORN_OK ||
        out_len != len)
      rv = CKR_FUNCTION_FAILED;
  }
  CK_RV lrv = slot_op_close(op);
  if (rv == CKR_OK && lrv != CKR_OK) rv = CKR_DEVICE_ERROR;
  return rv;
}

// Runs len bytes (whole blocks, any length for RC4) with the context's
// mechanism; the CBC IV and the RC4 state in ctx move on.
CK_RV run_blocks(Slot& slot, Object& key, CryptContext& ctx, bool enc, const std::uint8_t* in, std::size_t len,
                 std::uint8_t* out) {
  const CipherMech* m = cipher_mech(ctx.mechanism);
  if (m == nullptr || m->block == 0) return CKR_FUNCTION_FAILED;
  if (len == 0) return CKR_OK;
  if (len > kCryptMaxLen) return CKR_FUNCTION_FAILED;  // the callers bound it
  if (ctx.mechanism == CKM_RC4) {
    std::uint32_t out_len = 0;
    vorn_rv rv = sc_encrypt(SC_ALG_RC4, &ctx.rc4, kModeNone, nullptr, in, static_cast<std::uint32_t>(len), out,
                            &out_len);
    return rv == VORN_OK ? CKR_OK : CKR_FUNCTION_FAILED;
  }
  if (len % m->block != 0) return CKR_FUNCTION_FAILED;
  if (m->mode == SC_MODE_CBC && ctx.iv_len != m->block) return CKR_MECHANISM_PARAM_INVALID;
  CK_KEY_TYPE kt = 0;
  if (!attr_ulong(key, CKA_KEY_TYPE, &kt)) return CKR_FUNCTION_FAILED;
  // The next IV is the last ciphertext block; keep it before out may
  // overwrite in.
  std::uint8_t next_iv[16] = {};
  if (!enc) std::memcpy(next_iv, in + len - m->block, m->block);
  CK_RV rv;
  CK_ULONG value_len = 0;
  const std::uint8_t alg = key_alg(kt, attr_ulong(key, CKA_VALUE_LEN, &value_len) ? value_len : 0);
  if (key_on_card(key) && vorn_alg_on_card(alg)) {
    rv = card_blocks(slot, key, alg, ctx, m->mode, enc, in, len, out);
  } else {
    // Session keys; and token keys of ciphers the card does not compute
    // (RC2, 3DES with three keys, AES-256), whose value is read from the
    // card when they are extractable.

    rv = soft_blocks(slot, key, kt, ctx, m->mode, enc, in, len, out);
  }
  if (rv != CKR_OK) return rv;
  if (m->mode == SC_MODE_CBC) {
    if (enc) std::memcpy(next_iv, out + len - m->block, m->block);
    std::memcpy(ctx.iv, next_iv, m->block);
  }
  return CKR_OK;
}

// Right-aligns a big-endian number into a field; false when it does not fit.
bool put(std::uint8_t* field, std::size_t width, const Value* v) {
  if (v == nullptr) return false;
  std::size_t i = 0;
  while (i < v->size() && v->data()[i] == 0) ++i;
  const std::size_t n = v->size() - i;
  if (n > width) return false;
  std::memset(field, 0, width - n);
  std::memcpy(field + width - n, v->data() + i, n);
  return true;
}

CK_RV rsa_encrypt(Slot& slot, Object& key, const std::uint8_t* in, std::size_t len, SecureBytes* out) {
  const std::size_t k = rsa_modulus_len(slot, key);
  if (k < 12) return CKR_FUNCTION_FAILED;
  if (len > k - 11) return CKR_DATA_LEN_RANGE;
  auto pub = std::make_unique<sc_rsa_public_key>();
  if (!rsa_public_record(key, k, pub.get())) return CKR_FUNCTION_FAILED;
  out->resize(k);
  auto out_len = static_cast<std::uint32_t>(k);
  sc_random rnd;
  vorn_rv rv = sc_random_create(&rnd);
  if (rv == VORN_OK)
    rv = sc_rsa_public_encrypt(out->data(), &out_len, in, static_cast<std::uint32_t>(len), pub.get(), &rnd);
  sc_random_final(&rnd);
  return (rv == VORN_OK && out_len == k) ? CKR_OK : CKR_FUNCTION_FAILED;
}

// Branch-free helpers over small values (below 2^31): 1 or 0, and a byte
// mask of all ones or zeros.
std::uint32_t ct_zero(std::uint32_t x) { return ((x | (0u - x)) >> 31) ^ 1u; }
std::uint32_t ct_below(std::uint32_t a, std::uint32_t b) { return (a - b) >> 31; }
std::uint8_t ct_mask(std::uint32_t bit) { return static_cast<std::uint8_t>(0u - bit); }

// PKCS#1 type 2 unpadding of a block of k bytes without branches or memory
// accesses that depend on its contents: the message is moved to the front
// of out (k - 11 bytes of room) by shifts over the whole width. Returns 1
// for a good block, with its message length in *mlen, else 0 and *mlen 0.
std::uint32_t ct_unpad_type2(const std::uint8_t* em, std::uint32_t k, std::uint8_t* out, std::uint32_t* mlen) {
  std::uint32_t good = ct_zero(em[0]) & ct_zero(em[1] ^ 2u);
  std::uint32_t found = 0, zero_at = 0;
  for (std::uint32_t i = 2; i < k; ++i) {
    const std::uint32_t z = ct_zero(em[i]);
    zero_at |= (0u - (z & (found ^ 1u))) & i;
    found |= z;
  }
  good &= found;
  good &= ct_below(zero_at, 10) ^ 1u;  // at least 8 filler bytes
  const std::uint32_t room = k - 11;
  std::memcpy(out, em + 11, room);
  const std::uint32_t shift = (zero_at - 10) & (0u - good);
  for (std::uint32_t step = 1; step < room; step <<= 1) {
    const std::uint8_t m = ct_mask(ct_zero(shift & step) ^ 1u);
    for (std::uint32_t i = 0; i < room; ++i) {
      const std::uint8_t from = i + step < room ? out[i + step] : 0;
      out[i] = static_cast<std::uint8_t>((out[i] & ~m) | (from & m));
    }
  }
  *mlen = (k - 1 - zero_at) & (0u - good);
  return good;
}

// The card deciphers each block and removes the padding itself (a malformed
// block is refused with 6A 80); its plain text is taken as it comes.
CK_RV card_rsa_decipher(Slot& slot, const Object& key, std::size_t k, const std::uint8_t* in, std::size_t len,
                        std::uint8_t* out, std::size_t* out_len, vorn_rv* card_rv) {
  CardOperation op;
  if (slot_op_begin(op, slot) != VORN_OK) return CKR_DEVICE_ERROR;
  CK_RV rv = slot_op_open(op, slot, CARD_APP_CIPH);
  DWORD n = static_cast<DWORD>(len);
  *card_rv = VORN_OK;
  if (rv == CKR_OK) {
    *card_rv = key_crypt(slot_key(slot), slot.card, vorn_alg_rsa(k), 0, key.card_id, nullptr, 0, in,
                         static_cast<DWORD>(len), out, &n, KEY_DECIPHER);
    if (*card_rv != VORN_OK) rv = CKR_FUNCTION_FAILED;
  }
  CK_RV lrv = slot_op_close(op);
  if (rv == CKR_OK && lrv != CKR_OK) rv = CKR_DEVICE_ERROR;
  if (rv == CKR_OK && n > len) rv = CKR_FUNCTION_FAILED;
  *out_len = rv == CKR_OK ? n : 0;
  return rv;
}

CK_RV rsa_decrypt(Slot& slot, Object& key, const std::uint8_t* in, std::size_t len, SecureBytes* out) {
  const std::size_t k = rsa_modulus_len(slot, key);
  if (k == 0) return CKR_FUNCTION_FAILED;
  if (len == 0 || len % k != 0) return CKR_ENCRYPTED_DATA_LEN_RANGE;
  out->resize(len);
  if (key_on_card(key)) {
    if (k != 128 && k != 256) return CKR_FUNCTION_FAILED;
    std::size_t n = 0;
    vorn_rv card_rv = VORN_OK;
    CK_RV rv = card_rsa_decipher(slot, key, k, in, len, out->data(), &n, &card_rv);
    if (rv != CKR_OK) return rv;
    out->resize(n);
    return CKR_OK;
  }
  auto rec = std::make_unique<sc_rsa_private_key>();
  vorn::WipeOnExit wipe(rec.get(), sizeof *rec);
  if (k < 16 || !rsa_private_record(key, k, rec.get())) return CKR_FUNCTION_FAILED;
  // Every block is opened and unpadded the same way whatever it holds; the
  // verdict comes after the last one.
  std::uint8_t em[SC_RSA_MAX_LEN];
  vorn::WipeOnExit wipe_em(em, sizeof em);
  const auto k32 = static_cast<std::uint32_t>(k);
  std::uint32_t good = 1;
  std::size_t total = 0;
  for (std::size_t off = 0; off < len; off += k) {
    std::uint32_t n = k32;
    if (sc_rsa_private_block(em, &n, in + off, k32, rec.get()) != VORN_OK || n != k) return CKR_FUNCTION_FAILED;
    std::uint32_t mlen = 0;
    good &= ct_unpad_type2(em, k32, out->data() + total, &mlen);
    total += mlen;
  }
  if (good == 0) {
    plat_wipe(out->data(), out->size());
    return CKR_FUNCTION_FAILED;
  }
  out->resize(total);
  return CKR_OK;
}

// A process secret behind the stand-in values of rsa_unwrap, drawn once.
const std::uint8_t* unwrap_secret() {
  static std::uint8_t secret[32];
  static bool drawn = false;
  if (!drawn) drawn = plat_random(secret, sizeof secret) == VORN_OK;
  return drawn ? secret : nullptr;
}

// HMAC-SHA-256 of (counter, want, block) under the process secret, as many
// 32-byte pieces as `want` needs.
bool stand_in(const std::uint8_t* block, std::size_t k, std::size_t want, std::uint8_t* out) {
  const std::uint8_t* key = unwrap_secret();
  if (key == nullptr) return false;
  std::uint8_t ipad[64], opad[64], inner[32], piece[32];
  vorn::WipeOnExit w1(ipad, sizeof ipad), w2(opad, sizeof opad), w3(inner, sizeof inner), w4(piece, sizeof piece);
  for (std::size_t i = 0; i < 64; ++i) {
    const std::uint8_t b = i < 32 ? key[i] : 0;
    ipad[i] = static_cast<std::uint8_t>(b ^ 0x36);
    opad[i] = static_cast<std::uint8_t>(b ^ 0x5C);
  }
  for (std::size_t off = 0, ctr = 0; off < want; off += 32, ++ctr) {
    const std::uint8_t head[2] = {static_cast<std::uint8_t>(ctr), static_cast<std::uint8_t>(want)};
    sc_digest_ctx c;
    std::uint32_t n = 32, m = 32;
    constexpr std::uint8_t H = SC_ALG_SHA256;
    const bool ok = sc_digest_init(H, &c) == VORN_OK && sc_digest_update(H, &c, ipad, 64) == VORN_OK &&
                    sc_digest_update(H, &c, head, 2) == VORN_OK &&
                    sc_digest_update(H, &c, block, static_cast<std::uint32_t>(k)) == VORN_OK &&
                    sc_digest_final(H, &c, inner, &n) == VORN_OK && sc_digest_init(H, &c) == VORN_OK &&
                    sc_digest_update(H, &c, opad, 64) == VORN_OK && sc_digest_update(H, &c, inner, 32) == VORN_OK &&
                    sc_digest_final(H, &c, piece, &m) == VORN_OK;
    plat_wipe(&c, sizeof c);
    if (!ok) return false;
    std::memcpy(out + off, piece, std::min<std::size_t>(32, want - off));
  }
  return true;
}

// The prologue of the eight functions up to the session and token checks.
CK_RV crypt_prologue(CK_SESSION_HANDLE h, Slot** slot, Session** sess) {
  if (!mod().initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (mod().slot_count == 0) return CKR_GENERAL_ERROR;
  return entry_open(h, slot, sess, Refresh::Crypt);
}

// The context's key, in the session's slot.
CK_RV context_key(Slot* slot, const CryptContext& ctx, Object** key) {
  Slot* kslot = nullptr;
  if (object_lookup(ctx.key, &kslot, key) != CKR_OK) return CKR_FUNCTION_FAILED;
  return kslot == slot ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

// Copies a result to the caller by the two-call rule; *keep is set when
// the operation goes on (length answer or buffer too small).
CK_RV hand_out(const std::uint8_t* data, std::size_t n, CK_BYTE_PTR out, CK_ULONG_PTR out_len, bool* keep) {
  if (out == nullptr) {
    *out_len = n;
    *keep = true;
    return CKR_OK;
  }
  if (*out_len < n) {
    *out_len = n;
    *keep = true;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (n != 0) std::memcpy(out, data, n);
  *out_len = n;
  return CKR_OK;
}

// Answers a length query or a small buffer before any work; CKR_OK with
// *go = true when the caller's buffer takes n bytes.
CK_RV length_gate(std::size_t n, CK_BYTE_PTR out, CK_ULONG_PTR out_len, bool* keep, bool* go) {
  *go = false;
  if (out == nullptr) {
    *out_len = n;
    *keep = true;
    return CKR_OK;
  }
  if (*out_len < n) {
    *out_len = n;
    *keep = true;
    return CKR_BUFFER_TOO_SMALL;
  }
  *go = true;
  return CKR_OK;
}

CK_RV crypt_init(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey, bool enc) {
  Guard g(kLockModule);
  Slot* slot = nullptr;
  Session* sess = nullptr;
  CK_RV rv = crypt_prologue(hSession, &slot, &sess);
  if (rv != CKR_OK) return rv;
  if (pMechanism == nullptr || slot_mech(*slot, pMechanism->mechanism, enc ? CKF_ENCRYPT : CKF_DECRYPT) == nullptr ||
      !crypt_mechanism(pMechanism->mechanism))
    return CKR_MECHANISM_INVALID;
  Slot* kslot = nullptr;
  Object* key = nullptr;
  if (CK_RV lrv = key_lookup(hKey, &kslot, &key, CKR_KEY_HANDLE_INVALID); lrv != CKR_OK) return lrv;
  if (kslot != slot) return CKR_SESSION_HANDLE_INVALID;
  Guard og(enc ? kLockEncryptOp : kLockDecryptOp);
  // The new context is built aside: a refused init leaves an active
  // operation (and its RC4 state) as it was.
  CryptContext fresh;
  fresh.mechanism = pMechanism->mechanism;
  rv = crypt_params(*pMechanism, &fresh);
  if (rv != CKR_OK) return rv;
  if (fresh.mechanism == CKM_RC4) {
    const Value* v = crypt_key_value(*slot, *key);
    if (v == nullptr || sc_rc4_set_key(&fresh.rc4, v->data(), static_cast<std::uint32_t>(v->size())) != VORN_OK)
      return CKR_FUNCTION_FAILED;
  }
  CryptContext& mine = enc ? sess->encrypt : sess->decrypt;
  if (mine.active) return CKR_OPERATION_ACTIVE;
  for (const auto& s : slot->sessions) {
    if (s.handle == 0 || &s == sess) continue;
    if ((enc ? s.encrypt : s.decrypt).active) return CKR_FUNCTION_FAILED;
  }
  const bool rsa = fresh.mechanism == CKM_RSA_PKCS;
  CK_ULONG cls = 0;
  if (!attr_ulong(*key, CKA_CLASS, &cls)) return CKR_FUNCTION_FAILED;
  const CK_ULONG want = rsa ? (enc ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY) : CKO_SECRET_KEY;
  if (cls != want) return CKR_KEY_TYPE_INCONSISTENT;
  CK_KEY_TYPE kt = 0;
  if (!attr_ulong(*key, CKA_KEY_TYPE, &kt) || !key_type_fits(kt, fresh.mechanism)) return CKR_KEY_TYPE_INCONSISTENT;
  bool b = false;
  if (!attr_bool(*key, enc ? CKA_ENCRYPT : CKA_DECRYPT, &b)) return CKR_FUNCTION_FAILED;
  if (!b) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  if (!attr_bool(*key, CKA_PRIVATE, &b)) return CKR_FUNCTION_FAILED;
  if (b && !logged_in(*slot)) return CKR_USER_NOT_LOGGED_IN;
  fresh.active = true;
  fresh.key = hKey;
  fresh.pending_len = 0;
  mine = fresh;
  return CKR_OK;
}

using CryptEnd = EndOp<CryptContext>;

// The common start of the steps after the init: module lock, prologue,
// the direction's lock and context, which must be active and ends with the
// step unless it says otherwise.
template <class... A>
CK_RV crypt_step(CK_SESSION_HANDLE hSession, bool enc, CK_RV (*step)(Slot*, CryptContext&, CryptEnd&, bool, A...),
                 A... args) {
  Guard g(kLockModule);
  Slot* slot = nullptr;
  Session* sess = nullptr;
  CK_RV rv = crypt_prologue(hSession, &slot, &sess);
  if (rv != CKR_OK) return rv;
  Guard og(enc ? kLockEncryptOp : kLockDecryptOp);
  CryptContext& ctx = enc ? sess->encrypt : sess->decrypt;
  if (!ctx.active) return CKR_OPERATION_NOT_INITIALIZED;
  EndOp end{ctx};
  return step(slot, ctx, end, enc, args...);
}

CK_RV crypt_oneshot(Slot* slot, CryptContext& ctx, CryptEnd& end, bool enc, CK_BYTE_PTR in, CK_ULONG len,
                    CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
  CK_RV rv = CKR_OK;
  if (in == nullptr || len == 0 || out_len == nullptr) return enc ? CKR_DATA_INVALID : CKR_ENCRYPTED_DATA_INVALID;
  if (len > kCryptMaxLen) return enc ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
  Object* key = nullptr;
  rv = context_key(slot, ctx, &key);
  if (rv != CKR_OK) return rv;
  const bool rsa = ctx.mechanism == CKM_RSA_PKCS;
  if (!enc && (rsa || crypt_padded(ctx.mechanism))) {
    // The plain length is known only after the decryption; a length query
    // runs it on a copy of the context.
    CryptContext work = ctx;
    SecureBytes plain;
    rv = crypt_single(*slot, *key, work, false, in, len, &plain);
    if (rv != CKR_OK) return rv;
    return hand_out(plain.data(), plain.size(), out, out_len, &end.keep);
  }
  std::size_t need = len;
  if (enc) {
    need = crypt_encrypt_len(*slot, *key, ctx, len);
    if (need == 0) return (rsa && rsa_modulus_len(*slot, *key) == 0) ? CKR_FUNCTION_FAILED : CKR_DATA_LEN_RANGE;
  } else {
    const std::uint32_t block = crypt_block_size(ctx.mechanism);
    if (block == 0 || len % block != 0) return CKR_ENCRYPTED_DATA_LEN_RANGE;
  }
  bool go = false;
  rv = length_gate(need, out, out_len, &end.keep, &go);
  if (!go) return rv;
  SecureBytes result;
  rv = crypt_single(*slot, *key, ctx, enc, in, len, &result);
  if (rv != CKR_OK) return rv;
  if (result.size() != need) return CKR_FUNCTION_FAILED;
  std::memcpy(out, result.data(), need);
  *out_len = need;
  return CKR_OK;
}

CK_RV crypt_update(Slot* slot, CryptContext& ctx, CryptEnd& end, bool enc, CK_BYTE_PTR in, CK_ULONG len,
                   CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
  CK_RV rv = CKR_OK;
  if (in == nullptr || len == 0 || out_len == nullptr) return enc ? CKR_DATA_INVALID : CKR_ENCRYPTED_DATA_INVALID;
  const CK_RV len_range = enc ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
  // Bounded before any sum with the pending bytes.
  if (len > kCryptMaxLen) return len_range;
  Object* key = nullptr;
  rv = context_key(slot, ctx, &key);
  if (rv != CKR_OK) return rv;
  if (ctx.mechanism == CKM_RSA_PKCS) return CKR_FUNCTION_FAILED;  // single-part only
  const std::uint32_t block = crypt_block_size(ctx.mechanism);
  if (block == 0) return CKR_FUNCTION_FAILED;
  // The input of this step: pending bytes and the new part (CBC_PAD), else
  // the part itself.
  SecureBytes joined;
  const std::uint8_t* src = in;
  std::size_t run = 0;
  std::size_t keep_back = 0;
  const bool padded = crypt_padded(ctx.mechanism);
  if (padded) {
    const std::size_t pending = ctx.pending_len < block ? ctx.pending_len : block;
    const std::size_t total = pending + static_cast<std::size_t>(len);
    joined.resize(total);
    std::memcpy(joined.data(), ctx.pending, pending);
    std::memcpy(joined.data() + pending, in, total - pending);
    src = joined.data();
    if (enc) {
      keep_back = total % block;
    } else if (total <= block) {
      keep_back = total;
    } else {
      // The last whole block stays back: it may carry the padding.
      keep_back = total % block == 0 ? block : total % block;
    }
    run = total - keep_back;
  } else {
    if (len % block != 0) return len_range;
    run = len;
  }
  bool go = false;
  rv = length_gate(run, out, out_len, &end.keep, &go);
  if (!go) return rv;
  rv = run_blocks(*slot, *key, ctx, enc, src, run, out);
  if (rv != CKR_OK) return rv;
  if (padded) {
    std::memcpy(ctx.pending, src + run, keep_back);
    ctx.pending_len = static_cast<std::uint8_t>(keep_back);
  }
  *out_len = run;
  end.keep = true;
  return CKR_OK;
}

CK_RV crypt_final(Slot* slot, CryptContext& ctx, CryptEnd& end, bool enc, CK_BYTE_PTR out, CK_ULONG_PTR out_len) {
  CK_RV rv = CKR_OK;
  if (out_len == nullptr) return enc ? CKR_DATA_INVALID : CKR_ENCRYPTED_DATA_INVALID;
  Object* key = nullptr;
  rv = context_key(slot, ctx, &key);
  if (rv != CKR_OK) return rv;
  const CipherMech* m = cipher_mech(ctx.mechanism);
  if (m == nullptr || m->block == 0) return CKR_FUNCTION_FAILED;
  if (!m->pad) {
    bool go = false;
    rv = length_gate(0, out, out_len, &end.keep, &go);
    if (go) *out_len = 0;
    return rv;
  }
  const std::uint32_t block = m->block;
  if (enc) {
    if (ctx.pending_len >= block) return CKR_DATA_LEN_RANGE;
    bool go = false;
    rv = length_gate(block, out, out_len, &end.keep, &go);
    if (!go) return rv;
    std::uint8_t last[16];
    vorn::WipeOnExit wipe(last, sizeof last);
    const auto n = static_cast<std::uint8_t>(block - ctx.pending_len);
    std::memcpy(last, ctx.pending, ctx.pending_len);
    std::memset(last + ctx.pending_len, n, n);
    rv = run_blocks(*slot, *key, ctx, true, last, block, out);
    if (rv != CKR_OK) return rv;
    *out_len = block;
    return CKR_OK;
  }
  if (ctx.pending_len != block) return CKR_ENCRYPTED_DATA_INVALID;
  if (ctx.iv_len != block) return CKR_MECHANISM_PARAM_INVALID;
  CryptContext work = ctx;
  std::uint8_t last[16];
  vorn::WipeOnExit wipe(last, sizeof last);
  rv = run_blocks(*slot, *key, work, false, ctx.pending, block, last);
  if (rv != CKR_OK) return rv;
  const std::uint8_t v = last[block - 1];
  if (v < 1 || v > block) return CKR_ENCRYPTED_DATA_INVALID;
  return hand_out(last, block - v, out, out_len, &end.keep);
}

}  // namespace

// The key value of a key that is used in software; a card key's value is
// read from the card when it is not loaded yet.
const Value* crypt_key_value(Slot& slot, Object& key) {
  const Value* v = attr_get(key, CKA_VALUE);
  if ((v == nullptr || v->size() == 0) && key.card_id != 0) {
    if (object_read_value(slot, key) != CKR_OK) return nullptr;
    v = attr_get(key, CKA_VALUE);
  }
  return (v == nullptr || v->size() == 0) ? nullptr : v;
}

bool rsa_private_record(const Object& key, std::size_t k, sc_rsa_private_key* rec) {
  rec->bits = static_cast<std::uint16_t>(8 * k);
  return put(rec->modulus, SC_RSA_MAX_LEN, attr_get(key, CKA_MODULUS)) &&
         put(rec->public_exponent, SC_RSA_MAX_LEN, attr_get(key, CKA_PUBLIC_EXPONENT)) &&
         put(rec->exponent, SC_RSA_MAX_LEN, attr_get(key, CKA_PRIVATE_EXPONENT)) &&
         put(rec->prime[0], SC_RSA_MAX_PRIME_LEN, attr_get(key, CKA_PRIME_1)) &&
         put(rec->prime[1], SC_RSA_MAX_PRIME_LEN, attr_get(key, CKA_PRIME_2)) &&
         put(rec->prime_exponent[0], SC_RSA_MAX_PRIME_LEN, attr_get(key, CKA_EXPONENT_1)) &&
         put(rec->prime_exponent[1], SC_RSA_MAX_PRIME_LEN, attr_get(key, CKA_EXPONENT_2)) &&
         put(rec->coefficient, SC_RSA_MAX_PRIME_LEN, attr_get(key, CKA_COEFFICIENT));
}

bool rsa_public_record(const Object& key, std::size_t k, sc_rsa_public_key* rec) {
  rec->bits = static_cast<std::uint16_t>(8 * k);
  return put(rec->modulus, SC_RSA_MAX_LEN, attr_get(key, CKA_MODULUS)) &&
         put(rec->exponent, SC_RSA_MAX_LEN, attr_get(key, CKA_PUBLIC_EXPONENT));
}

const MechRow* slot_mech(const Slot& slot, CK_MECHANISM_TYPE type, CK_FLAGS flag) {
  for (std::uint32_t i = 0; i < slot.mech_count && i < kMechRows; ++i)
    if (slot.mechs[i].type == type) return (slot.mechs[i].info.flags & flag) != 0 ? &slot.mechs[i] : nullptr;
  return nullptr;
}

CK_KEY_TYPE mech_key_type(CK_MECHANISM_TYPE type) {
  for (const auto& r : mechanism_table())
    if (r.type == type) return r.key_type;
  return ~static_cast<CK_KEY_TYPE>(0);
}

bool key_type_fits(CK_KEY_TYPE t, CK_MECHANISM_TYPE mech) {
  const CK_KEY_TYPE m = mech_key_type(mech);
  if (m == ~static_cast<CK_KEY_TYPE>(0)) return false;
  if (t == m) return true;
  // Two-key triple DES runs under the 3DES mechanisms. Other key types whose
  // bits happen to lie inside the mechanism's (a DES key under AES, an RC2
  // key under DES) are refused: the cipher would read a key of the wrong
  // length.
  return m == CKK_DES3 && t == CKK_DES2;
}

bool crypt_mechanism(CK_MECHANISM_TYPE type) { return cipher_mech(type) != nullptr; }

std::uint32_t crypt_block_size(CK_MECHANISM_TYPE type) {
  const CipherMech* m = cipher_mech(type);
  return m != nullptr ? m->block : 0;
}

bool crypt_padded(CK_MECHANISM_TYPE type) {
  const CipherMech* m = cipher_mech(type);
  return m != nullptr && m->pad;
}

CK_RV crypt_params(const CK_MECHANISM& mech, CryptContext* ctx) {
  const CipherMech* m = cipher_mech(mech.mechanism);
  if (m == nullptr) return CKR_MECHANISM_INVALID;
  const auto* p = static_cast<const std::uint8_t*>(mech.pParameter);
  const CK_ULONG n = mech.ulParameterLen;
  ctx->iv_len = 0;
  ctx->rc2_bits = 0;
  if (m->rc2) {
    CK_ULONG bits = 0;
    if (m->iv == 0) {
      if (p == nullptr || n != sizeof(Rc2Params)) return CKR_MECHANISM_PARAM_INVALID;
      std::memcpy(&bits, p, sizeof bits);
    } else {
      if (p == nullptr || n != sizeof(Rc2CbcParams)) return CKR_MECHANISM_PARAM_INVALID;
      Rc2CbcParams prm;
      std::memcpy(&prm, p, sizeof prm);
      bits = prm.ulEffectiveBits;
      std::memcpy(ctx->iv, prm.iv, 8);
      ctx->iv_len = 8;
    }
    if (bits < 1 || bits > 1024) return CKR_MECHANISM_PARAM_INVALID;
    ctx->rc2_bits = static_cast<std::uint32_t>(bits);
    return CKR_OK;
  }
  if (m->iv == 0) return n == 0 ? CKR_OK : CKR_MECHANISM_PARAM_INVALID;
  if (p == nullptr || n != m->iv) return CKR_MECHANISM_PARAM_INVALID;
  std::memcpy(ctx->iv, p, m->iv);
  ctx->iv_len = m->iv;
  return CKR_OK;
}

bool key_on_card(const Object& key) {
  bool token = false;
  return attr_bool(key, CKA_TOKEN, &token) && token && key.card_id != 0;
}

std::size_t rsa_modulus_len(Slot& slot, Object& key) {
  const Value* n = attr_get(key, CKA_MODULUS);
  if ((n == nullptr || n->size() == 0) && key.card_id != 0) {
    CK_ULONG cls = 0;
    if (attr_ulong(key, CKA_CLASS, &cls) && cls == CKO_PUBLIC_KEY && object_read_value(slot, key) == CKR_OK)
      n = attr_get(key, CKA_MODULUS);
  }
  if (n != nullptr && n->size() != 0) {
    std::size_t i = 0;
    while (i < n->size() && n->data()[i] == 0) ++i;
    const std::size_t k = n->size() - i;
    return k <= SC_RSA_MAX_LEN ? k : 0;
  }
  CK_ULONG bits = 0;
  if (!attr_ulong(key, CKA_MODULUS_BITS, &bits) || bits < 8 || bits > 8 * SC_RSA_MAX_LEN) return 0;
  return bits / 8;
}

std::size_t crypt_encrypt_len(Slot& slot, Object& key, const CryptContext& ctx, std::size_t len) {
  if (ctx.mechanism == CKM_RSA_PKCS) {
    const std::size_t k = rsa_modulus_len(slot, key);
    return (k < 12 || len > k - 11) ? 0 : k;
  }
  if (len > kCryptMaxLen) return 0;
  const CipherMech* m = cipher_mech(ctx.mechanism);
  if (m == nullptr || m->block == 0) return 0;
  if (m->pad) return len + (m->block - len % m->block);
  return len % m->block == 0 ? len : 0;
}

CK_RV crypt_single(Slot& slot, Object& key, CryptContext& ctx, bool encrypt, const std::uint8_t* in, std::size_t len,
                   SecureBytes* out) {
  if (len > kCryptMaxLen) return encrypt ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
  if (ctx.mechanism == CKM_RSA_PKCS)
    return encrypt ? rsa_encrypt(slot, key, in, len, out) : rsa_decrypt(slot, key, in, len, out);
  const CipherMech* m = cipher_mech(ctx.mechanism);
  if (m == nullptr || m->block == 0) return CKR_FUNCTION_FAILED;
  const std::uint32_t block = m->block;
  if (encrypt && m->pad) {
    const std::size_t n = block - len % block;
    out->resize(len + n);
    if (len != 0) std::memcpy(out->data(), in, len);
    std::memset(out->data() + len, static_cast<int>(n), n);
    return run_blocks(slot, key, ctx, true, out->data(), out->size(), out->data());
  }
  if (len % block != 0 || (m->pad && len == 0))
    return encrypt ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
  out->resize(len);
  CK_RV rv = run_blocks(slot, key, ctx, encrypt, in, len, out->data());
  if (rv != CKR_OK || encrypt || !m->pad) return rv;
  const std::uint8_t v = out->data()[len - 1];
  if (v < 1 || v > block) return CKR_ENCRYPTED_DATA_INVALID;
  out->resize(len - v);
  return CKR_OK;
}

CK_RV rsa_unwrap(Slot& slot, Object& key, const std::uint8_t* in, std::size_t len, std::size_t want,
                 SecureBytes* out) {
  const std::size_t k = rsa_modulus_len(slot, key);
  if (k < 16) return CKR_FUNCTION_FAILED;
  if (len != k) return CKR_WRAPPED_KEY_LEN_RANGE;
  if (want == 0 || want > k - 11) return CKR_TEMPLATE_INCONSISTENT;
  SecureBytes alt(want);
  if (!stand_in(in, k, want, alt.data())) return CKR_FUNCTION_FAILED;
  std::uint8_t em[SC_RSA_MAX_LEN];
  vorn::WipeOnExit wipe_em(em, sizeof em);
  std::uint32_t good = 0;
  if (key_on_card(key)) {
    if (k != 128 && k != 256) return CKR_FUNCTION_FAILED;
    // The card refuses a malformed block with 6A 80: that, and a message of
    // another length, take the stand-in. Other failures are not about the
    // block and are reported.
    std::size_t n = 0;
    vorn_rv card_rv = VORN_OK;
    CK_RV rv = card_rsa_decipher(slot, key, k, in, len, em, &n, &card_rv);
    if (rv != CKR_OK && card_rv != 0x20006A80) return rv;
    good = ct_zero(static_cast<std::uint32_t>(n ^ want)) & ct_zero(static_cast<std::uint32_t>(rv));
    if (want <= n) std::memmove(em + k - want, em + n - want, want);
  } else {
    auto rec = std::make_unique<sc_rsa_private_key>();
    vorn::WipeOnExit wipe(rec.get(), sizeof *rec);
    if (!rsa_private_record(key, k, rec.get())) return CKR_FUNCTION_FAILED;
    std::uint32_t n = static_cast<std::uint32_t>(k);
    if (sc_rsa_private_block(em, &n, in, n, rec.get()) != VORN_OK || n != k) return CKR_FUNCTION_FAILED;
    // 00 02, nonzero filler up to the separator at k - want - 1, message:
    // fixed positions, so the check reads every byte whatever it holds.
    const std::size_t sep = k - want - 1;
    good = ct_zero(em[0]) & ct_zero(em[1] ^ 2u) & ct_zero(em[sep]);
    for (std::size_t i = 2; i < sep; ++i) good &= ct_zero(em[i]) ^ 1u;
  }
  out->resize(want);
  const std::uint8_t m = ct_mask(good);
  for (std::size_t i = 0; i < want; ++i)
    out->data()[i] = static_cast<std::uint8_t>((em[k - want + i] & m) | (alt.data()[i] & ~m));
  return CKR_OK;
}

}  // namespace p11

using namespace p11;

VORN_P11_EXPORT CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return p11_entry([&] { return crypt_init(hSession, pMechanism, hKey, true); });
}

VORN_P11_EXPORT CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                                CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen) {
  return p11_entry([&] {
    return crypt_step(hSession, true, crypt_oneshot, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen);
  });
}

VORN_P11_EXPORT CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen,
                                      CK_BYTE_PTR pEncryptedPart, CK_ULONG_PTR pulEncryptedPartLen) {
  return p11_entry(
      [&] { return crypt_step(hSession, true, crypt_update, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen); });
}

VORN_P11_EXPORT CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                                     CK_ULONG_PTR pulLastEncryptedPartLen) {
  return p11_entry([&] {
    return crypt_step(hSession, true, crypt_final, pLastEncryptedPart, pulLastEncryptedPartLen);
  });
}

VORN_P11_EXPORT CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return p11_entry([&] { return crypt_init(hSession, pMechanism, hKey, false); });
}

VORN_P11_EXPORT CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                                CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
  return p11_entry([&] {
    return crypt_step(hSession, false, crypt_oneshot, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
  });
}

VORN_P11_EXPORT CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                      CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart, CK_ULONG_PTR pulPartLen) {
  return p11_entry([&] {
    return crypt_step(hSession, false, crypt_update, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
  });
}

VORN_P11_EXPORT CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen) {
  return p11_entry([&] { return crypt_step(hSession, false, crypt_final, pLastPart, pulLastPartLen); });
}
