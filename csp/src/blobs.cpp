// CPExportKey and CPImportKey: the platform's key blobs in and out of the
// provider. Private RSA keys never leave the card; an exchange pair may be
// imported onto it (PRIVATEKEYBLOB enciphered under a session key).
#include <algorithm>
#include <cstring>

#include "blobfmt.h"
#include "keys.h"
#include "rfc3217.h"
#include "session.h"

static_assert(csp::kBlobSimple == SIMPLEBLOB && csp::kBlobPublic == PUBLICKEYBLOB);
static_assert(csp::kBlobPrivate == PRIVATEKEYBLOB && csp::kBlobPlain == PLAINTEXTKEYBLOB);
static_assert(csp::kBlobSymWrap == SYMMETRICWRAPKEYBLOB && csp::kBlobVersion == CUR_BLOB_VERSION);
static_assert(csp::kBlobHeaderLen == sizeof(BLOBHEADER) && csp::kRsaPubKeyLen == sizeof(RSAPUBKEY));
static_assert(csp::kNteBadVer == static_cast<std::uint32_t>(NTE_BAD_VER));
static_assert(csp::kNteBadBlobLen == static_cast<std::uint32_t>(NTE_BAD_LEN));
static_assert(csp::kNteBadBlobData == static_cast<std::uint32_t>(NTE_BAD_DATA));

namespace csp {
namespace {

constexpr DWORD kImportFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED | CRYPT_NO_SALT;
constexpr std::uint8_t kKindImportedPrivate = 0x1B;  // host-made, private, private key; not extractable

DWORD code(HRESULT h) { return static_cast<DWORD>(h); }

// Platform versions the blob types are gated on: 3.51, 4.0, 4.10, 4.90,
// and 5.0 where with_50.
bool version_old(bool with_50) {
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof v;
  if (!GetVersionExA(&v)) return false;
  if (v.dwMajorVersion < 5) return true;
  return with_50 && v.dwMajorVersion == 5 && v.dwMinorVersion == 0;
}

bool is_session_alg(ALG_ID a) { return capi_cipher(a) != nullptr; }

// The stored key bytes of a session key of alg: the fixed sizes must match
// (NTE_BAD_DATA); AES keys are 16 bytes and RC2/RC4 keys 5 to 16 bytes
// (NTE_BAD_LEN), the lengths the ciphers and the slot hold.
DWORD check_key_bytes(ALG_ID alg, DWORD n) {
  switch (alg) {
    case CALG_DES: return n == 8 ? 0 : code(NTE_BAD_DATA);
    case CALG_3DES_112: return n == 16 ? 0 : code(NTE_BAD_DATA);
    case CALG_3DES: return n == 24 ? 0 : code(NTE_BAD_DATA);
    case CALG_AES_128: return n == 16 ? 0 : code(NTE_BAD_LEN);
    default: return n >= 5 && n <= 16 ? 0 : code(NTE_BAD_LEN);
  }
}

// A new session key slot from imported material. Only a 5-byte RC2 key
// imported without CRYPT_NO_SALT keeps the 11-byte zero salt.
DWORD new_session_key(ContextRecord& c, ALG_ID alg, const std::uint8_t* key, DWORD n, DWORD flags,
                      HCRYPTKEY* out) {
  if (DWORD rv = check_key_bytes(alg, n); rv != 0) return rv;
  HCRYPTKEY h = 0;
  if (DWORD rv = key_session_new(c, alg, key, n, (flags & CRYPT_EXPORTABLE) != 0, &h); rv != 0) return rv;
  DWORD index = 0;
  key_of(c, h, &index);
  KeySlot& k = c.keys[index];
  if (!(alg == CALG_RC2 && n == 5 && (flags & CRYPT_NO_SALT) == 0)) k.salt_len = 0;
  *out = h;
  return 0;
}

// A session key of c for export: in use (NTE_BAD_KEY, pairs and public
// keys too) and exportable (NTE_BAD_KEY_STATE).
DWORD export_session(ContextRecord& c, DWORD index, KeySlot** out) {
  if (index >= kKeySlots || !is_session_alg(c.keys[index].alg)) return code(NTE_BAD_KEY);
  if (!c.keys[index].exportable) return code(NTE_BAD_KEY_STATE);
  *out = &c.keys[index];
  return 0;
}

// The size rule of the platform: null buffer gives the size, a short one
// the size and ERROR_MORE_DATA.
DWORD size_rule(BYTE* pb, DWORD* len, DWORD need) {
  const DWORD have = *len;
  *len = need;
  if (pb == nullptr) return 0;
  return have < need ? ERROR_MORE_DATA : 0;
}

// An RSA public key of c by index: a pair (its value read from the card when
// not yet known) or an imported public key slot.
struct RsaKey {
  ALG_ID alg = 0;
  std::span<const std::uint8_t> modulus;
  DWORD exponent = 65537;
};
DWORD rsa_key_of(ContextRecord& c, DWORD index, RsaKey* out) {
  if (index == kKeySig || index == kKeyExch) {
    const bool sig = index == kKeySig;
    if (DWORD rv = pair_public(c, sig); rv != 0) return rv;
    const CmapKeyPair& p = sig ? c.sig : c.exch;
    if (p.modulus.size() != 128 && p.modulus.size() != 256) return code(NTE_BAD_KEY);
    out->alg = sig ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    out->modulus = p.modulus;
    return 0;
  }
  const KeySlot& k = c.keys[index];
  if (k.alg != CALG_RSA_SIGN && k.alg != CALG_RSA_KEYX) return code(NTE_BAD_KEY);
  out->alg = k.alg;
  out->modulus = std::span<const std::uint8_t>(k.material.data(), k.block_len / 8);
  out->exponent = k.rsa_exponent;
  return 0;
}

// --- export --------------------------------------------------------------------

DWORD export_simple(ContextRecord& c, DWORD index, HCRYPTKEY hPubKey, BYTE* pb, DWORD* len) {
  KeySlot* k = nullptr;
  if (DWORD rv = export_session(c, index, &k); rv != 0) return rv;
  DWORD wrap = 0;
  if (bad_handle(hPubKey) || key_of(c, hPubKey, &wrap) != 0) return code(NTE_BAD_KEY);
  RsaKey rk;
  if (wrap == kKeySig) return code(NTE_BAD_KEY);
  if (DWORD rv = rsa_key_of(c, wrap, &rk); rv != 0) return rv;
  if (rk.alg != CALG_RSA_KEYX) return code(NTE_BAD_KEY);
  const auto m = static_cast<DWORD>(rk.modulus.size());
  if (DWORD rv = size_rule(pb, len, 12 + m); rv != 0 || pb == nullptr) return rv;
  blob_header_write(pb, kBlobSimple, k->alg);
  put_le32(pb + 8, CALG_RSA_KEYX);
  return key_rsa_encrypt(rk.modulus, rk.exponent, k->material.data(), k->key_len / 8, pb + 12);
}

DWORD export_public(ContextRecord& c, DWORD index, HCRYPTKEY hPubKey, BYTE* pb, DWORD* len) {
  if (hPubKey != 0) return ERROR_INVALID_PARAMETER;
  RsaKey rk;
  if (DWORD rv = rsa_key_of(c, index, &rk); rv != 0) return rv;
  const DWORD need = blob_public_len(static_cast<std::uint32_t>(rk.modulus.size()));
  if (DWORD rv = size_rule(pb, len, need); rv != 0 || pb == nullptr) return rv;
  // An imported public key goes out with its own exponent.
  blob_public_write(pb, rk.alg, rk.modulus, rk.exponent);
  return 0;
}

DWORD export_plain(ContextRecord& c, DWORD index, HCRYPTKEY hPubKey, BYTE* pb, DWORD* len) {
  if (version_old(true)) return code(NTE_BAD_TYPE);
  KeySlot* k = nullptr;
  if (DWORD rv = export_session(c, index, &k); rv != 0) return rv;
  if (hPubKey != 0) return code(NTE_BAD_KEY);
  const DWORD n = k->key_len / 8;
  if (DWORD rv = size_rule(pb, len, 12 + n); rv != 0 || pb == nullptr) return rv;
  blob_plain_write(pb, k->alg, std::span<const std::uint8_t>(k->material.data(), n));
  return 0;
}

// The wrapping key of a SYMMETRICWRAPKEYBLOB for a key of alg: a session
// key of c in use (NTE_BAD_KEY) of the same algorithm, 3DES or RC2
// (NTE_BAD_ALGID), in CBC mode (NTE_BAD_ALGID), an RC2 one of 128 bits
// (NTE_BAD_KEY_STATE).
DWORD wrapping_key(ContextRecord& c, HCRYPTKEY hPubKey, ALG_ID alg, KeySlot** out) {
  DWORD w = 0;
  if (bad_handle(hPubKey) || key_of(c, hPubKey, &w) != 0 || w >= kKeySlots) return code(NTE_BAD_KEY);
  KeySlot& k = c.keys[w];
  if ((alg != CALG_3DES && alg != CALG_RC2) || k.alg != alg) return code(NTE_BAD_ALGID);
  if (k.mode != CRYPT_MODE_CBC) return code(NTE_BAD_ALGID);
  if (alg == CALG_RC2 && k.key_len != 128) return code(NTE_BAD_KEY_STATE);
  *out = &k;
  return 0;
}

DWORD export_symwrap(ContextRecord& c, DWORD index, HCRYPTKEY hPubKey, BYTE* pb, DWORD* len) {
  if (version_old(false)) return code(NTE_BAD_TYPE);
  KeySlot* k = nullptr;
  if (DWORD rv = export_session(c, index, &k); rv != 0) return rv;
  KeySlot* w = nullptr;
  if (DWORD rv = wrapping_key(c, hPubKey, k->alg, &w); rv != 0) return rv;
  const DWORD n = k->key_len / 8;
  const DWORD wrapped = k->alg == CALG_3DES ? kWrap3DesLen : rfc3217_rc2_len(n);
  if (DWORD rv = size_rule(pb, len, 12 + wrapped); rv != 0 || pb == nullptr) return rv;
  std::span<const std::uint8_t> kek(w->material.data(), w->key_len / 8), cek(k->material.data(), n);
  const vorn_rv rv = k->alg == CALG_3DES
                         ? rfc3217_wrap_3des(kek, cek, pb + 12)
                         : rfc3217_wrap_rc2(kek, static_cast<std::int32_t>(w->effective_len), cek, pb + 12);
  if (rv != 0) return rv == kWrapBadArg ? code(NTE_BAD_KEY) : code(NTE_FAIL);
  blob_header_write(pb, kBlobSymWrap, k->alg);
  put_le32(pb + 8, w->alg);
  return 0;
}

// --- import --------------------------------------------------------------------

DWORD import_public(ContextRecord& c, const BlobHeader& h, std::span<const std::uint8_t> blob, HCRYPTKEY hPubKey,
                    HCRYPTKEY* out) {
  if (hPubKey != 0) return ERROR_INVALID_PARAMETER;
  if (h.alg != CALG_RSA_SIGN && h.alg != CALG_RSA_KEYX) return code(NTE_BAD_ALGID);
  PublicBlob pb;
  if (DWORD rv = blob_public_read(blob, &pb); rv != 0) return rv;
  return key_public_new(c, h.alg, std::span<const std::uint8_t>(pb.modulus, pb.bits / 8), pb.exponent, out);
}

DWORD import_plain(ContextRecord& c, const BlobHeader& h, std::span<const std::uint8_t> blob, HCRYPTKEY hPubKey,
                   DWORD flags, HCRYPTKEY* out) {
  if (version_old(true)) return code(NTE_BAD_TYPE);
  if (hPubKey != 0) return code(NTE_BAD_KEY);
  if (!is_session_alg(h.alg)) return code(NTE_BAD_ALGID);
  std::span<const std::uint8_t> key;
  if (DWORD rv = blob_plain_read(blob, &key); rv != 0) return rv;
  return new_session_key(c, h.alg, key.data(), static_cast<DWORD>(key.size()), flags, out);
}

DWORD import_simple(ContextRecord& c, const BlobHeader& h, std::span<const std::uint8_t> blob, HCRYPTKEY hPubKey,
                    DWORD flags, HCRYPTKEY* out) {
  if (!is_session_alg(h.alg)) return code(NTE_BAD_ALGID);
  DWORD free_slot = 0;
  if (DWORD rv = key_slot_free(c, &free_slot); rv != 0) return rv;
  if (blob.size() < 12) return code(NTE_BAD_LEN);
  if (le32(blob.data() + 8) != CALG_RSA_KEYX) return code(NTE_BAD_ALGID);
  if (blob.size() != 140 && blob.size() != 268) return code(NTE_BAD_LEN);
  DWORD w = 0;
  if (bad_handle(hPubKey) || key_of(c, hPubKey, &w) != 0) return code(NTE_BAD_KEY);
  if (w != kKeyExch) return code(NTE_BAD_PUBLIC_KEY);
  if (DWORD rv = pair_public(c, false); rv != 0) return rv;
  const auto m = static_cast<DWORD>(c.exch.modulus.size());
  if (blob.size() - 12 != m) return code(NTE_BAD_LEN);
  vorn::Secret<256> key;
  DWORD n = static_cast<DWORD>(key.size());
  if (DWORD rv = key_exch_decrypt(c, blob.data() + 12, m, key.data(), &n); rv != 0) return rv;
  return new_session_key(c, h.alg, key.data(), n, flags, out);
}

DWORD import_symwrap(ContextRecord& c, const BlobHeader& h, std::span<const std::uint8_t> blob, HCRYPTKEY hPubKey,
                     DWORD flags, HCRYPTKEY* out) {
  if (version_old(false)) return code(NTE_BAD_VER);
  DWORD free_slot = 0;
  if (DWORD rv = key_slot_free(c, &free_slot); rv != 0) return rv;
  KeySlot* w = nullptr;
  if (DWORD rv = wrapping_key(c, hPubKey, h.alg, &w); rv != 0) return rv;
  if (blob.size() < 12) return code(NTE_BAD_LEN);
  const auto wrapped = blob.subspan(12);
  std::span<const std::uint8_t> kek(w->material.data(), w->key_len / 8);
  if (h.alg == CALG_3DES) {
    vorn::Secret<24> cek;
    if (vorn_rv rv = rfc3217_unwrap_3des(kek, wrapped, cek); rv != 0) return rv;
    return new_session_key(c, h.alg, cek.data(), 24, flags, out);
  }
  vorn::Secret<kWrapRc2MaxKey> cek;
  std::uint32_t n = 0;
  if (vorn_rv rv = rfc3217_unwrap_rc2(kek, static_cast<std::int32_t>(w->effective_len), wrapped, cek, &n); rv != 0)
    return rv;
  return new_session_key(c, h.alg, cek.data(), n, flags, out);
}

// PRIVATEKEYBLOB: an exchange pair enciphered under a session key, put on
// the card in place of the container's exchange pair.
DWORD import_private_on_card(ContextRecord& c, const PrivateBlob& pk, DWORD flags, HCRYPTKEY* out) {
  ContextRecord* k = key_container_of(c);
  if (k == nullptr) return code(NTE_BAD_KEYSET);
  const DWORD m = pk.bits / 8, half = m / 2;
  DWORD rv = pin_ensure(c, true);
  const std::uint32_t slot = c.slot;
  const SCARDHANDLE card = provider().readers[slot].card;
  std::uint32_t priv = 0;
  if (rv == 0)
    rv = key_store(slot, card, kKindImportedPrivate, m == 128 ? VORN_ALG_RSA1024 : VORN_ALG_RSA2048, 0,
                   pk.crt.data(), 5 * half, &priv);
  // The old exchange objects go: private key, public key, certificate.
  for (std::uint32_t id : {k->exch.priv_id, k->exch.pub_id, k->exch.cert_id})
    if (rv == 0 && id != 0) rv = obj_delete(slot, card, id);
  if (rv == 0) {
    CmapKeyPair p;
    p.present = 1;
    p.handle_count = c.exch.handle_count + 1;
    p.priv_id = priv;
    p.alg = CALG_RSA_KEYX;
    p.permissions = CMAP_PERMS_KEYX;
    p.key_len = pk.bits;
    p.user_protected = (flags & CRYPT_USER_PROTECTED) != 0 ? 1 : 0;
    p.modulus.assign(pk.modulus, pk.modulus + m);
    p.exponent = {0x01, 0x00, 0x01};
    key_id_of_modulus(pk.modulus, m, p.key_id);
    const std::uint32_t mirror_count = k->exch.handle_count + 1;
    c.exch = p;
    k->exch = p;
    k->exch.handle_count = mirror_count;
    rv = sm_open_app_channel(slot, card, CARD_APP_CIPH);
    if (rv == 0) rv = key_write_attrs(slot, card, priv, true, false, std::span<const std::uint8_t>(pk.modulus, m));
    if (rv == 0) rv = cmap_record_object(context_table(), cmap_slot(slot), context_index(k), priv);
    if (rv == 0) *out = key_handle(c, kKeyExch);
  }
  card_op_end(slot, true);
  return rv;
}

DWORD import_private(ContextRecord& c, const BlobHeader& h, std::span<const std::uint8_t> blob, HCRYPTKEY hPubKey,
                     DWORD flags, HCRYPTKEY* out) {
  if (h.alg != CALG_RSA_KEYX) return code(NTE_BAD_ALGID);
  DWORD w = 0;
  if (bad_handle(hPubKey) || key_of(c, hPubKey, &w) != 0 || w >= kKeySlots || !is_session_alg(c.keys[w].alg))
    return code(NTE_BAD_KEY);
  vorn::SecureBytes data(blob.begin() + kBlobHeaderLen, blob.end());
  auto n = static_cast<std::uint32_t>(data.size());
  if (n == 0) return code(NTE_BAD_LEN);
  if (DWORD rv = session_decrypt(c.keys[w], true, data.data(), &n); rv != 0) return rv;
  PrivateBlob pk;
  if (DWORD rv = blob_private_read(std::span<const std::uint8_t>(data.data(), n), &pk); rv != 0) return rv;
  return import_private_on_card(c, pk, flags, out);
}

}  // namespace
}  // namespace csp

using namespace csp;

extern "C" {

BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY hKey, HCRYPTKEY hPubKey, DWORD dwBlobType, DWORD dwFlags,
                        BYTE* pbData, DWORD* pdwDataLen) {
  return csp_entry([&]() -> DWORD {
    if (bad_handle(hProv) || bad_handle(hKey)) return ERROR_INVALID_HANDLE;
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    DWORD index = 0;
    if (DWORD rv = key_of(*c, hKey, &index); rv != 0) return rv;
    if (dwFlags != 0) return code(NTE_BAD_FLAGS);
    if (pdwDataLen == nullptr) return ERROR_INVALID_PARAMETER;
    switch (dwBlobType) {
      case SIMPLEBLOB: return export_simple(*c, index, hPubKey, pbData, pdwDataLen);
      case PUBLICKEYBLOB: return export_public(*c, index, hPubKey, pbData, pdwDataLen);
      case PLAINTEXTKEYBLOB: return export_plain(*c, index, hPubKey, pbData, pdwDataLen);
      case SYMMETRICWRAPKEYBLOB: return export_symwrap(*c, index, hPubKey, pbData, pdwDataLen);
      default: return code(NTE_BAD_TYPE);  // PRIVATEKEYBLOB too: private keys stay on the card
    }
  });
}

BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE* pbData, DWORD dwDataLen, HCRYPTKEY hPubKey, DWORD dwFlags,
                        HCRYPTKEY* phKey) {
  return csp_entry([&]() -> DWORD {
    if (bad_handle(hProv)) return ERROR_INVALID_HANDLE;
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    if (pbData == nullptr || phKey == nullptr) return ERROR_INVALID_PARAMETER;
    const std::span<const std::uint8_t> blob(pbData, dwDataLen);
    BlobHeader h;
    if (DWORD rv = blob_header_read(blob, &h); rv != 0) return rv;
    if ((dwFlags & ~kImportFlags) != 0) return code(NTE_BAD_FLAGS);
    switch (h.type) {
      case SIMPLEBLOB: return import_simple(*c, h, blob, hPubKey, dwFlags, phKey);
      case PUBLICKEYBLOB: return import_public(*c, h, blob, hPubKey, phKey);
      case PRIVATEKEYBLOB: return import_private(*c, h, blob, hPubKey, dwFlags, phKey);
      case PLAINTEXTKEYBLOB: return import_plain(*c, h, blob, hPubKey, dwFlags, phKey);
      case SYMMETRICWRAPKEYBLOB: return import_symwrap(*c, h, blob, hPubKey, dwFlags, phKey);
      default: return code(NTE_BAD_TYPE);
    }
  });
}

}  // extern "C"
