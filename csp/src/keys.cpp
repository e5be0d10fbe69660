// Key objects of a context: the container's two RSA pairs (generated on the
// card, private part never leaves it) and fifty session keys in host memory.
#include "keys.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace csp {

namespace {

constexpr DWORD kAllBits = 0xFFFFFFFF;
constexpr std::uint8_t kF4[3] = {0x01, 0x00, 0x01};


SCARDHANDLE card_of(const ContextRecord& c) { return provider().readers[c.slot].card; }

bool is_rsa_alg(ALG_ID a) { return a == CALG_RSA_SIGN || a == CALG_RSA_KEYX; }


// Length of a DER element from its outer tag and length; 0 when malformed
// or longer than a card value may be.
DWORD der_length(const BYTE* p) {
  if (p[0] != 0x30) return 0;
  if (p[1] < 0x80) return 2u + p[1];
  const unsigned n = p[1] & 0x7F;
  if (n == 0 || n > 2) return 0;
  DWORD body = 0;
  for (unsigned i = 0; i < n; ++i) body = (body << 8) | p[2 + i];
  const DWORD total = 2 + n + body;
  return total <= 16 * 1024 ? total : 0;
}

// A card-layer code becomes SCARD_F_UNKNOWN_ERROR (random from the card).
DWORD card_random(ContextRecord& c, std::uint8_t* buf, DWORD len) {
  if (card_op_begin(c.slot) != 0) return static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION);
  const vorn_rv rv = card_get_challenge(c.slot, card_of(c), buf, len);
  card_op_end(c.slot, false);
  if (rv == VORN_OK) return 0;
  return (rv & 0x20000000) != 0 ? static_cast<DWORD>(SCARD_F_UNKNOWN_ERROR) : rv;
}

std::size_t record_index(ContextRecord* r) { return context_index(r); }

// The pair side of an index, with its container mirror (may be null).
struct PairRef {
  CmapKeyPair* pair;
  CmapKeyPair* mirror;
  bool sig;
};
PairRef pair_ref(ContextRecord& c, DWORD index) {
  ContextRecord* k = key_container_of(c);
  const bool sig = index == kKeySig;
  return {sig ? &c.sig : &c.exch, k == nullptr ? nullptr : (sig ? &k->sig : &k->exch), sig};
}

void pair_clear(CmapKeyPair& p) {
  p = CmapKeyPair{};
}

// --- key pair generation on the card ----------------------------------------

DWORD gen_pair(ContextRecord& c, bool sig, DWORD flags, HCRYPTKEY* out) {
  const DWORD req = flags >> 16;
  const DWORD bits = req == 0 || req == 1024 ? 1024 : req == 2048 ? 2048 : 0;
  if (bits == 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
  ContextRecord* k = key_container_of(c);
  if (k == nullptr) return static_cast<DWORD>(NTE_BAD_KEYSET);  // the container went away meanwhile
  const bool user_protected = (flags & CRYPT_USER_PROTECTED) != 0;
  DWORD rv = pin_ensure(c, !user_protected);
  if (rv != 0) {
    card_op_end(c.slot, true);
    return rv;
  }
  const std::uint32_t slot = c.slot;
  const SCARDHANDLE card = card_of(c);
  std::uint8_t modulus[256];
  DWORD mlen = sizeof modulus;
  std::uint32_t priv = 0, pub = 0;
  rv = sm_open_app_channel(slot, card, sig ? CARD_APP_SIGN : CARD_APP_CIPH);
  if (rv == 0)
    rv = key_gen_pair(slot, card, bits == 1024 ? VORN_ALG_RSA1024 : VORN_ALG_RSA2048, 0x58, 0x30, &priv, &pub,
                      modulus, &mlen);
  if (rv == 0 && mlen != bits / 8) rv = static_cast<DWORD>(NTE_FAIL);
  // The old pair of this side leaves the card: private key, public key,
  // certificate.
  CmapKeyPair& mine = sig ? c.sig : c.exch;
  CmapKeyPair& theirs = sig ? k->sig : k->exch;
  for (std::uint32_t* id : {&theirs.priv_id, &theirs.pub_id, &theirs.cert_id}) {
    if (rv != 0) break;
    if (*id != 0) rv = obj_delete(slot, card, *id);
    if (rv == 0) *id = 0;
  }
  if (rv == 0) {
    mine.priv_id = mine.pub_id = mine.cert_id = 0;
    const std::span<const std::uint8_t> m(modulus, mlen);
    rv = key_write_attrs(slot, card, priv, true, sig, m);
    if (rv == 0) rv = key_write_attrs(slot, card, pub, false, sig, m);
  }
  if (rv == 0) {
    const std::uint32_t keep_count = 1;
    pair_clear(mine);
    mine.present = 1;
    mine.handle_count = keep_count;
    mine.priv_id = priv;
    mine.pub_id = pub;
    mine.modulus.assign(modulus, modulus + mlen);
    mine.exponent.assign(kF4, kF4 + 3);
    mine.alg = sig ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    mine.key_len = bits;
    mine.user_protected = user_protected ? 1 : 0;
    mine.permissions = sig ? CMAP_PERMS_SIGN : CMAP_PERMS_KEYX;
    key_id_of_modulus(modulus, mlen, mine.key_id);
    theirs = mine;
    *out = reinterpret_cast<HCRYPTKEY>(&mine);
    const CmapSlot s = cmap_slot(slot);
    rv = cmap_record_object(context_table(), s, record_index(k), priv);
    if (rv == 0) rv = cmap_record_object(context_table(), s, record_index(k), pub);
  } else if (priv != 0) {
    // A pair whose lists could not be written is of no use.
    obj_delete(slot, card, pub);
    obj_delete(slot, card, priv);
  }
  card_op_end(slot, true);
  return rv;
}

DWORD gen_session(ContextRecord& c, ALG_ID alg, DWORD flags, HCRYPTKEY* out) {
  DWORD index = 0;
  if (DWORD rv = key_slot_free(c, &index); rv != 0) return rv;
  const CapiCipher* cipher = capi_cipher(alg);
  const std::uint32_t bits = capi_key_bits(*cipher, flags >> 16);
  if (bits == 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
  vorn::Secret<32> material;
  if (DWORD rv = key_random(c, material.data(), bits / 8); rv != 0) return rv;
  return key_session_new(c, alg, material.data(), bits / 8, (flags & CRYPT_EXPORTABLE) != 0, out);
}

// --- certificates -------------------------------------------------------------

DWORD read_certificate(ContextRecord& c, const CmapKeyPair& p, BYTE* out, DWORD* len) {
  if (p.cert_id == 0) return static_cast<DWORD>(NTE_BAD_TYPE);
  if (card_op_begin(c.slot) != 0) return static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION);
  DWORD size = 0;
  DWORD rv = obj_read_value(c.slot, card_of(c), p.cert_id, 0, nullptr, &size);
  if (rv == 0) {
    if (out == nullptr || *len < size) {
      *len = size;
      rv = out == nullptr ? 0 : ERROR_MORE_DATA;
    } else {
      std::vector<std::uint8_t> der(size);
      DWORD got = size;
      rv = obj_read_value(c.slot, card_of(c), p.cert_id, 0, der.data(), &got);
      if (rv == 0) rv = put_bytes(der.data(), got, out, len);
    }
  }
  card_op_end(c.slot, false);
  return rv;
}

// The certificate object's attribute list, from the certificate.
DWORD write_cert_attrs(unsigned slot, SCARDHANDLE card, std::uint32_t id, const BYTE* der, DWORD len) {
  CertFields f{};
  std::uint8_t kid[20] = {};
  if (cert_tbs_fields(der, len, &f) != VORN_OK || cert_key_id(der, len, kid) != VORN_OK)
    return static_cast<DWORD>(NTE_BAD_DATA);
  std::uint8_t cls[4] = {1, 0, 0, 0}, ctype[4] = {0, 0, 0, 0}, yes = 1, no = 0;
  CardAttr t[] = {
      {0x000, cls, 4},                                   // CKA_CLASS: certificate
      {0x080, ctype, 4},                                 // CKA_CERTIFICATE_TYPE: X.509
      {0x001, &yes, 1},                                  // CKA_TOKEN
      {0x002, &no, 1},                                   // CKA_PRIVATE
      {0x101, const_cast<std::uint8_t*>(f.subject), f.subject_len},
      {0x081, const_cast<std::uint8_t*>(f.issuer), f.issuer_len},
      {0x082, const_cast<std::uint8_t*>(f.serial), f.serial_len},
      {0x102, kid, 20},                                  // CKA_ID
      {0x8004, kid, 20},
  };
  return obj_write_attrs(slot, card, id, t, sizeof t / sizeof t[0]);
}

// Puts the certificate into the current user's "MY" store, linked to this
// provider and container.
DWORD cert_to_my_store(ContextRecord& c, const BYTE* der, DWORD len, bool sig) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY");
  if (store == nullptr) return GetLastError();
  PCCERT_CONTEXT ctx = nullptr;
  DWORD rv = 0;
  if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, len,
                                        CERT_STORE_ADD_REPLACE_EXISTING, &ctx)) {
    rv = GetLastError();
  } else {
    char narrow[CMAP_NAME_MAX + 80];
    const int n = std::snprintf(narrow, sizeof narrow, "\\\\.\\%s\\%s", c.reader_name ? c.reader_name : "", c.name);
    WCHAR container[sizeof narrow];
    WCHAR prov[16];
    if (n <= 0 || MultiByteToWideChar(CP_ACP, 0, narrow, -1, container, static_cast<int>(sizeof narrow)) == 0 ||
        MultiByteToWideChar(CP_ACP, 0, kProviderName, -1, prov, 16) == 0) {
      rv = static_cast<DWORD>(NTE_FAIL);
    } else {
      CRYPT_KEY_PROV_INFO info{};
      info.pwszContainerName = container;
      info.pwszProvName = prov;
      info.dwProvType = PROV_RSA_FULL;
      info.dwKeySpec = sig ? AT_SIGNATURE : AT_KEYEXCHANGE;
      // The key context's size is that of the platform's record (12 bytes
      // on 32-bit Windows, 24 on 64-bit; crypt32 refuses any other).
      CERT_KEY_CONTEXT kc{};
      kc.cbSize = sizeof kc;
      kc.hCryptProv = 0;
      kc.dwKeySpec = info.dwKeySpec;
      if (!CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) ||
          !CertSetCertificateContextProperty(ctx, CERT_KEY_CONTEXT_PROP_ID, 0, &kc))
        rv = GetLastError();
    }
    CertFreeCertificateContext(ctx);
  }
  CertCloseStore(store, 0);
  return rv;
}

DWORD store_certificate(ContextRecord& c, bool sig, const BYTE* der) {
  const DWORD len = der_length(der);
  if (len == 0) return static_cast<DWORD>(NTE_BAD_DATA);
  ContextRecord* k = key_container_of(c);
  if (k == nullptr) return static_cast<DWORD>(NTE_BAD_KEYSET);
  CmapKeyPair& mine = sig ? c.sig : c.exch;
  CmapKeyPair& theirs = sig ? k->sig : k->exch;
  if (card_op_begin(c.slot) != 0) return static_cast<DWORD>(SCARD_W_SECURITY_VIOLATION);
  const std::uint32_t slot = c.slot;
  const SCARDHANDLE card = card_of(c);
  std::uint32_t id = 0;
  DWORD rv = sm_open_app_channel(slot, card, sig ? CARD_APP_SIGN : CARD_APP_CIPH);
  if (rv == 0) rv = key_store(slot, card, 0x31, 0, 0, der, len, &id);
  if (rv == 0 && theirs.cert_id != 0) {
    rv = obj_delete(slot, card, theirs.cert_id);
    if (rv != 0) obj_delete(slot, card, id);  // keep the card as it was
  }
  if (rv == 0) {
    mine.cert_id = theirs.cert_id = id;
    rv = write_cert_attrs(slot, card, id, der, len);
    if (rv == 0) rv = cmap_record_object(context_table(), cmap_slot(slot), record_index(k), id);
    if (rv != 0) {
      obj_delete(slot, card, id);
      mine.cert_id = theirs.cert_id = 0;
    }
  }
  if (rv == 0)
    rv = cmap_default_rule(context_table(), cmap_slot(slot), record_index(k), std::span<const std::uint8_t>(der, len));
  if (rv == 0) rv = cert_to_my_store(c, der, len, sig);
  card_op_end(slot, false);
  return rv;
}

// KP_KEYEXCHANGE_PIN / KP_SIGNATURE_PIN: the slot's PIN cache, not the card.
DWORD set_cached_pin(ContextRecord& c, const BYTE* pin) {
  char user[260] = {};
  DWORD ulen = sizeof user;
  if (!GetUserNameA(user, &ulen)) return GetLastError();
  PinCacheEntry& e = provider().pins[c.slot];
  vorn::Secret<8> block;
  if (pin != nullptr) {
    const std::size_t n = std::strlen(reinterpret_cast<const char*>(pin));
    std::memset(block.data(), 0xFF, 8);
    if (n >= 9) {
      if (plat_random(block.data(), 8) != VORN_OK) return static_cast<DWORD>(NTE_FAIL);
    } else {
      std::memcpy(block.data(), pin, n);
    }
  }
  if (e.verified) {
    if (std::strncmp(e.user, user, sizeof e.user) != 0) return static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED);
    if (pin != nullptr) {
      std::memcpy(e.pin.data(), block.data(), 8);
    } else {
      e.verified = 0;
      e.asked_since_release = 0;
      std::memset(e.pin.data(), 0xFF, 8);
    }
    return 0;
  }
  if (pin != nullptr) {
    std::memcpy(e.pin.data(), block.data(), 8);
    std::memcpy(e.user, user, sizeof e.user);
    e.verified = 1;
  }
  return 0;
}

}  // namespace

// --- helpers of keys.h ----------------------------------------------------------

DWORD key_of(ContextRecord& c, HCRYPTKEY h, DWORD* index) {
  if (bad_handle(h)) return ERROR_INVALID_HANDLE;
  if (h == reinterpret_cast<HCRYPTKEY>(&c.sig) && c.sig.handle_count != 0) {
    *index = kKeySig;
    return 0;
  }
  if (h == reinterpret_cast<HCRYPTKEY>(&c.exch) && c.exch.handle_count != 0) {
    *index = kKeyExch;
    return 0;
  }
  const auto base = reinterpret_cast<std::uintptr_t>(c.keys.data());
  const auto addr = static_cast<std::uintptr_t>(h);
  if (addr < base || addr >= base + sizeof c.keys || (addr - base) % sizeof(KeySlot) != 0)
    return static_cast<DWORD>(NTE_BAD_KEY);
  const DWORD i = static_cast<DWORD>((addr - base) / sizeof(KeySlot));
  if (!c.keys[i].in_use) return static_cast<DWORD>(NTE_BAD_KEY);
  *index = i;
  return 0;
}

HCRYPTKEY key_handle(ContextRecord& c, DWORD index) {
  if (index == kKeySig) return reinterpret_cast<HCRYPTKEY>(&c.sig);
  if (index == kKeyExch) return reinterpret_cast<HCRYPTKEY>(&c.exch);
  return reinterpret_cast<HCRYPTKEY>(&c.keys[index]);
}

CmapKeyPair* key_pair(ContextRecord& c, DWORD index) {
  return index == kKeySig ? &c.sig : index == kKeyExch ? &c.exch : nullptr;
}

ContextRecord* key_container_of(ContextRecord& c) {
  if (c.slot == CMAP_NO_SLOT || c.map_index == CMAP_NO_INDEX) return nullptr;
  for (ContextRecord& r : provider().contexts)
    if (r.in_use && r.card_backed && &r != &c && r.slot == c.slot && r.map_index == c.map_index) return &r;
  return nullptr;
}

DWORD key_slot_free(ContextRecord& c, DWORD* index) {
  for (DWORD i = 0; i < kKeySlots; ++i)
    if (!c.keys[i].in_use) {
      *index = i;
      return 0;
    }
  return static_cast<DWORD>(NTE_NO_MEMORY);
}

DWORD key_rc2_effective_default() {
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof v;
  if (!GetVersionExA(&v)) return 128;
  return v.dwMajorVersion < 5 || (v.dwMajorVersion == 5 && v.dwMinorVersion == 0) ? 40 : 128;
}

DWORD key_session_new(ContextRecord& c, ALG_ID alg, const std::uint8_t* material, DWORD len, bool exportable,
                      HCRYPTKEY* out) {
  DWORD index = 0;
  if (DWORD rv = key_slot_free(c, &index); rv != 0) return rv;
  if (DWORD rv = session_key_fill(c.keys[index], alg, material, len, exportable, key_rc2_effective_default());
      rv != 0)
    return rv;
  *out = key_handle(c, index);
  return 0;
}

DWORD key_public_new(ContextRecord& c, ALG_ID alg, std::span<const std::uint8_t> modulus, DWORD exponent,
                     HCRYPTKEY* out) {
  if (!is_rsa_alg(alg)) return static_cast<DWORD>(NTE_BAD_ALGID);
  if (modulus.size() != 128 && modulus.size() != 256) return static_cast<DWORD>(NTE_BAD_LEN);
  DWORD index = 0;
  if (DWORD rv = key_slot_free(c, &index); rv != 0) return rv;
  KeySlot& k = c.keys[index];
  key_slot_clear(k);
  std::memcpy(k.material.data(), modulus.data(), modulus.size());
  k.alg = alg;
  k.key_len = k.block_len = static_cast<std::uint32_t>(modulus.size() * 8);
  k.rsa_exponent = exponent;
  k.permissions = kPermsSession;
  k.in_use = 1;
  *out = key_handle(c, index);
  return 0;
}

DWORD key_random(ContextRecord& c, std::uint8_t* buf, DWORD len) {
  if (c.card_random && !c.verify_only) return card_random(c, buf, len);
  return plat_random(buf, len) == VORN_OK ? 0 : static_cast<DWORD>(NTE_FAIL);
}

DWORD key_write_cert_attrs(unsigned slot, SCARDHANDLE card, std::uint32_t id, const BYTE* der, DWORD len) {
  return write_cert_attrs(slot, card, id, der, len);
}

DWORD key_write_attrs(unsigned slot, SCARDHANDLE card, std::uint32_t id, bool is_private, bool sig,
                      std::span<const std::uint8_t> modulus) {
  std::uint8_t kid[20] = {};
  if (key_id_of_modulus(modulus.data(), static_cast<DWORD>(modulus.size()), kid) != VORN_OK)
    return static_cast<DWORD>(NTE_FAIL);
  const std::uint32_t bits = static_cast<std::uint32_t>(modulus.size() * 8);
  std::uint8_t cls[4] = {static_cast<std::uint8_t>(is_private ? 3 : 2), 0, 0, 0};
  std::uint8_t ktype[4] = {0, 0, 0, 0};  // CKK_RSA
  std::uint8_t mbits[4] = {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8), 0, 0};
  std::uint8_t yes = 1, no = 0;
  std::uint8_t* crypt = sig ? &no : &yes;
  std::uint8_t* priv = is_private ? &yes : &no;
  auto* m = const_cast<std::uint8_t*>(modulus.data());
  auto* e = const_cast<std::uint8_t*>(kF4);
  CardAttr t[] = {
      {0x000, cls, 4},   {0x100, ktype, 4}, {0x001, &yes, 1}, {0x002, priv, 1},
      {0x102, kid, 20},  {0x120, m, static_cast<unsigned long>(modulus.size())}, {0x122, e, 3},
      {0x8004, kid, 20},
      // private: sign / decrypt / unwrap; public: verify / encrypt / wrap / bits
      {is_private ? 0x108ul : 0x10Aul, &yes, 1},
      {is_private ? 0x105ul : 0x104ul, crypt, 1},
      {is_private ? 0x107ul : 0x106ul, crypt, 1},
      {is_private ? 0x103ul : 0x121ul, is_private ? static_cast<void*>(&yes) : static_cast<void*>(mbits),
       is_private ? 1ul : 4ul},  // CKA_SENSITIVE / CKA_MODULUS_BITS
  };
  return obj_write_attrs(slot, card, id, t, sizeof t / sizeof t[0]);
}

}  // namespace csp

using namespace csp;

extern "C" {

BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID Algid, DWORD dwFlags, HCRYPTKEY* phKey) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    if (phKey == nullptr) return ERROR_INVALID_PARAMETER;
    const bool sig = Algid == AT_SIGNATURE || Algid == CALG_RSA_SIGN;
    const bool exch = Algid == AT_KEYEXCHANGE || Algid == CALG_RSA_KEYX;
    if ((sig || exch) && c->verify_only) return static_cast<DWORD>(NTE_PERM);
    if (!sig && !exch && capi_cipher(Algid) == nullptr) return static_cast<DWORD>(NTE_BAD_ALGID);
    if ((dwFlags & CRYPT_CREATE_SALT) &&
        ((Algid != CALG_RC2 && Algid != CALG_RC4) || (dwFlags & CRYPT_NO_SALT)))
      return static_cast<DWORD>(NTE_BAD_FLAGS);
    if ((sig || exch) && (dwFlags & CRYPT_USER_PROTECTED) && c->silent)
      return static_cast<DWORD>(NTE_SILENT_CONTEXT);
    if (dwFlags & CRYPT_PREGEN) return static_cast<DWORD>(NTE_BAD_FLAGS);
    if (sig || exch) return gen_pair(*c, sig, dwFlags, phKey);
    return gen_session(*c, Algid, dwFlags, phKey);
  });
}

BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec, HCRYPTKEY* phUserKey) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    if (dwKeySpec != AT_KEYEXCHANGE && dwKeySpec != AT_SIGNATURE) return static_cast<DWORD>(NTE_BAD_KEY);
    if (phUserKey == nullptr) return ERROR_INVALID_PARAMETER;
    const PairRef p = pair_ref(*c, dwKeySpec == AT_SIGNATURE ? kKeySig : kKeyExch);
    if (!p.pair->present) return static_cast<DWORD>(NTE_NO_KEY);
    ++p.pair->handle_count;
    if (p.mirror != nullptr) ++p.mirror->handle_count;
    *phUserKey = reinterpret_cast<HCRYPTKEY>(p.pair);
    return 0;
  });
}

BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY hKey) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    if (bad_handle(hKey)) return ERROR_INVALID_HANDLE;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    DWORD index = 0;
    if (DWORD rv = key_of(*c, hKey, &index); rv != 0) return rv;
    if (index == kKeySig || index == kKeyExch) {
      const PairRef p = pair_ref(*c, index);
      --p.pair->handle_count;
      if (p.mirror != nullptr && p.mirror->handle_count != 0) --p.mirror->handle_count;
      return 0;
    }
    key_slot_clear(c->keys[index]);
    return 0;
  });
}

BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                          DWORD dwFlags) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    if (bad_handle(hKey)) return ERROR_INVALID_HANDLE;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    DWORD index = 0;
    if (DWORD rv = key_of(*c, hKey, &index); rv != 0) return rv;
    if (dwFlags != 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
    if (dwParam < 1 || dwParam > 33) return static_cast<DWORD>(NTE_BAD_TYPE);
    if (pdwDataLen == nullptr) return ERROR_INVALID_PARAMETER;
    CmapKeyPair* pair = key_pair(*c, index);
    KeySlot* k = pair == nullptr ? &c->keys[index] : nullptr;
    const ALG_ID alg = index == kKeySig ? CALG_RSA_SIGN : index == kKeyExch ? CALG_RSA_KEYX : k->alg;
    const bool rsa = is_rsa_alg(alg);
    const bool no_block = rsa || alg == CALG_RC4;
    switch (dwParam) {
      case KP_IV:
        if (no_block) return static_cast<DWORD>(NTE_BAD_TYPE);
        return put_bytes(k->iv.data(), k->block_len / 8, pbData, pdwDataLen);
      case KP_SALT:
        if (rsa || (alg != CALG_RC2 && alg != CALG_RC4) || k->salt_len == 0) return static_cast<DWORD>(NTE_BAD_KEY);
        return put_bytes(k->salt.data(), k->salt_len, pbData, pdwDataLen);
      case KP_PADDING:
        if (no_block) return static_cast<DWORD>(NTE_BAD_TYPE);
        return put_dword(PKCS5_PADDING, pbData, pdwDataLen);
      case KP_MODE:
        if (no_block) return static_cast<DWORD>(NTE_BAD_TYPE);
        return put_dword(k->mode, pbData, pdwDataLen);
      case KP_MODE_BITS:
        if (no_block) return static_cast<DWORD>(NTE_BAD_TYPE);
        return put_dword(k->mode_bits, pbData, pdwDataLen);
      case KP_PERMISSIONS: return put_dword(pair ? pair->permissions : k->permissions, pbData, pdwDataLen);
      case KP_ALGID: return put_dword(alg, pbData, pdwDataLen);
      case KP_BLOCKLEN: return put_dword(pair ? pair->key_len : k->block_len, pbData, pdwDataLen);
      case KP_KEYLEN: return put_dword(pair ? pair->key_len : k->key_len, pbData, pdwDataLen);
      case KP_EFFECTIVE_KEYLEN:
        if (alg != CALG_RC2) return static_cast<DWORD>(NTE_BAD_TYPE);
        return put_dword(k->effective_len, pbData, pdwDataLen);
      case KP_CERTIFICATE:
        if (pair == nullptr) return static_cast<DWORD>(NTE_BAD_TYPE);
        return read_certificate(*c, *pair, pbData, pdwDataLen);
      case KP_KEYEXCHANGE_PIN:
      case KP_SIGNATURE_PIN: return ERROR_INVALID_PARAMETER;
      default: return static_cast<DWORD>(NTE_BAD_TYPE);
    }
  });
}

BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY hKey, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    if (bad_handle(hKey)) return ERROR_INVALID_HANDLE;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    DWORD index = 0;
    if (DWORD rv = key_of(*c, hKey, &index); rv != 0) return rv;
    if (dwFlags != 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
    if (dwParam < 1 || dwParam > 33) return static_cast<DWORD>(NTE_BAD_TYPE);
    const bool pin = dwParam == KP_KEYEXCHANGE_PIN || dwParam == KP_SIGNATURE_PIN;
    if (pbData == nullptr && !pin) return ERROR_INVALID_PARAMETER;
    CmapKeyPair* pair = key_pair(*c, index);
    KeySlot* k = pair == nullptr ? &c->keys[index] : nullptr;
    const ALG_ID alg = index == kKeySig ? CALG_RSA_SIGN : index == kKeyExch ? CALG_RSA_KEYX : k->alg;
    const bool rsa = is_rsa_alg(alg);
    const bool no_block = rsa || alg == CALG_RC4;
    DWORD v = 0;
    if (pbData != nullptr && dwParam != KP_IV && dwParam != KP_SALT && dwParam != KP_CERTIFICATE && !pin)
      std::memcpy(&v, pbData, 4);
    switch (dwParam) {
      case KP_IV:
        if (no_block) return static_cast<DWORD>(NTE_BAD_TYPE);
        std::memcpy(k->iv.data(), pbData, k->block_len / 8);
        session_reset(*k);
        return 0;
      case KP_SALT:
        if (rsa || (alg != CALG_RC2 && alg != CALG_RC4)) return static_cast<DWORD>(NTE_BAD_KEY);
        std::memcpy(k->salt.data(), pbData, k->salt.size());
        k->salt_len = static_cast<std::uint32_t>(k->salt.size());
        return 0;
      case KP_PADDING:
        if (no_block) return static_cast<DWORD>(NTE_BAD_TYPE);
        return v == PKCS5_PADDING ? 0 : static_cast<DWORD>(NTE_BAD_DATA);
      case KP_MODE:
        if (no_block) return static_cast<DWORD>(NTE_BAD_TYPE);
        if (alg == CALG_RC2 && v != CRYPT_MODE_CBC && v != CRYPT_MODE_ECB) return static_cast<DWORD>(NTE_BAD_TYPE);
        if (v != CRYPT_MODE_CBC && v != CRYPT_MODE_ECB && v != CRYPT_MODE_CFB) return static_cast<DWORD>(NTE_BAD_DATA);
        k->mode = v;
        return 0;
      case KP_MODE_BITS:
        if (no_block) return static_cast<DWORD>(NTE_BAD_TYPE);
        if (v != 8 && v != 64) return static_cast<DWORD>(NTE_BAD_DATA);
        k->mode_bits = v;
        return 0;
      case KP_PERMISSIONS:
        if (pair) pair->permissions = v;
        else k->permissions = v;
        return 0;
      case KP_EFFECTIVE_KEYLEN:
        if (alg != CALG_RC2) return static_cast<DWORD>(NTE_BAD_TYPE);
        k->effective_len = v;
        return 0;
      case KP_CERTIFICATE:
        if (pair == nullptr) return static_cast<DWORD>(NTE_BAD_TYPE);
        return store_certificate(*c, index == kKeySig, pbData);
      case KP_KEYEXCHANGE_PIN:
      case KP_SIGNATURE_PIN: return set_cached_pin(*c, pbData);
      default: return static_cast<DWORD>(NTE_BAD_TYPE);
    }
  });
}

BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    if (dwLen == 0 || pbBuffer == nullptr) return static_cast<DWORD>(NTE_FAIL);
    return key_random(*c, pbBuffer, dwLen);
  });
}

// Not offered: refused at once.
BOOL WINAPI CPDuplicateKey(HCRYPTPROV, HCRYPTKEY, DWORD*, DWORD, HCRYPTKEY*) {
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return FALSE;
}

BOOL WINAPI CPDeriveKey(HCRYPTPROV, ALG_ID, HCRYPTHASH, DWORD, HCRYPTKEY*) {
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return FALSE;
}

}  // extern "C"
