// CPGetProvParam and CPSetProvParam: what the provider and a context are
// (algorithms, containers, names, versions, key storage), the card's
// certificates as in-memory stores, PINs and PIN logout, the card's random
// generator, root certificates written to the card.
#include "keys.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace csp {
namespace {

constexpr DWORD kGetFlags = CRYPT_FIRST | 0x04 | CRYPT_MACHINE_KEYSET;
constexpr std::uint8_t kAlgCount = 12;
constexpr std::uint8_t kContainerEnd = kContexts;  // container cursor at its end
constexpr std::uint8_t kKindCertificate = 0x31;
constexpr char kKeysetSddl[] = "D:(A;OICI;GA;;;AU)";

// A context opened without a reader (CRYPT_VERIFYCONTEXT without container)
// has no reader name, certificates or PIN: the caller has to open a
// context on a card's container for these.
constexpr DWORD kNoReader = static_cast<DWORD>(SCARD_E_NO_READERS_AVAILABLE);

// Largest stored container name length, computed by the size query of
// PP_ENUMCONTAINERS (process-wide, guarded by the provider lock).
DWORD g_largest_name = 0;

DWORD code(HRESULT h) { return static_cast<DWORD>(h); }
bool has_reader(const ContextRecord& c) { return c.slot < kReaders; }


// --- algorithms ------------------------------------------------------------------

DWORD enum_algs(BYTE* pb, DWORD* len, DWORD flags, bool ex) {
  Provider& p = provider();
  if (flags == CRYPT_FIRST) {
    p.alg_cursor = 0;
  } else if (flags == 0) {
    if (p.alg_cursor == 0) return code(NTE_BAD_FLAGS);
    if (p.alg_cursor >= kAlgCount) {
      *len = 0;
      return ERROR_NO_MORE_ITEMS;
    }
  } else {
    *len = 0;
    return code(NTE_BAD_FLAGS);
  }
  const DWORD size = ex ? sizeof(PROV_ENUMALGS_EX) : sizeof(PROV_ENUMALGS);
  if (pb == nullptr) {
    *len = size;
    return 0;
  }
  if (*len < size) {
    *len = size;
    return ERROR_MORE_DATA;
  }
  const PROV_ENUMALGS_EX& e = alg_table()[p.alg_cursor];
  if (ex) {
    std::memcpy(pb, &e, size);
  } else {
    PROV_ENUMALGS a{};
    a.aiAlgid = e.aiAlgid;
    a.dwBitLen = e.dwDefaultLen;
    a.dwNameLen = e.dwNameLen;
    std::memcpy(a.szName, e.szName, sizeof a.szName);
    std::memcpy(pb, &a, size);
  }
  ++p.alg_cursor;
  return 0;
}

// --- containers -------------------------------------------------------------------

bool container_of_slot(const ContextRecord& r, std::uint32_t slot) {
  return r.in_use && r.card_backed && r.slot == slot;
}

DWORD enum_containers(const ContextRecord& c, BYTE* pb, DWORD* len, DWORD flags) {
  Provider& p = provider();
  if (pb == nullptr) {
    DWORD largest = 0;
    for (const ContextRecord& r : p.contexts)
      if (container_of_slot(r, c.slot) && r.name_len > largest) largest = r.name_len;
    g_largest_name = largest;
    p.alg_cursor = kAlgCount;
    *len = largest;
    return 0;
  }
  if (*len < g_largest_name) {
    *len = g_largest_name;
    return ERROR_MORE_DATA;
  }
  if (flags == CRYPT_FIRST) {
    p.container_cursor = 0;
  } else if (flags == 0) {
    if (p.container_cursor == 0) return code(NTE_BAD_FLAGS);
    if (p.container_cursor >= kContainerEnd) {
      *len = 0;
      return ERROR_NO_MORE_ITEMS;
    }
  } else {
    *len = 0;
    return code(NTE_BAD_FLAGS);
  }
  for (unsigned i = p.container_cursor; i < kContexts; ++i) {
    const ContextRecord& r = p.contexts[i];
    if (!container_of_slot(r, c.slot) || r.name_len == 0) continue;
    // The kept largest length may be stale or 0 (no size query before):
    // the name never goes past the caller's buffer.
    const DWORD n = std::min<DWORD>(r.name_len, sizeof r.name);
    if (*len < n) {
      *len = n;
      return ERROR_MORE_DATA;
    }
    std::memcpy(pb, r.name, n);
    p.container_cursor = static_cast<std::uint8_t>(i + 1);
    return 0;
  }
  p.container_cursor = kContainerEnd;
  return ERROR_NO_MORE_ITEMS;
}

DWORD keyset_descriptor(BYTE* pb, DWORD* len, DWORD flags) {
  if (flags != DACL_SECURITY_INFORMATION) return code(NTE_BAD_FLAGS);
  if (version_legacy()) return code(NTE_BAD_TYPE);
  PSECURITY_DESCRIPTOR sd = nullptr;
  ULONG size = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kKeysetSddl, SDDL_REVISION_1, &sd, &size))
    return GetLastError();
  DWORD rv = IsValidSecurityDescriptor(sd) ? put_bytes(sd, size, pb, len) : code(NTE_BAD_DATA);
  LocalFree(sd);
  return rv;
}

// --- certificate stores -----------------------------------------------------------

// Reads certificate object id of the slot's card inside a card operation
// of its own (ended without PIN logout).
DWORD read_cert(std::uint32_t slot, std::uint32_t id, std::vector<std::uint8_t>* der) {
  if (card_op_begin(slot) != 0) return code(SCARD_W_SECURITY_VIOLATION);
  const SCARDHANDLE card = provider().readers[slot].card;
  DWORD size = 0;
  DWORD rv = obj_read_value(slot, card, id, 0, nullptr, &size);
  if (rv == 0) {
    der->assign(size, 0);
    rv = obj_read_value(slot, card, id, 0, der->data(), &size);
    der->resize(size);
  }
  card_op_end(slot, false);
  return rv;
}

bool self_signed(PCCERT_CONTEXT ctx) {
  return CertCompareCertificateName(X509_ASN_ENCODING, &ctx->pCertInfo->Subject, &ctx->pCertInfo->Issuer) != FALSE;
}

// Links an end-entity certificate in the store to the provider and the
// container record r.
DWORD link_to_container(PCCERT_CONTEXT ctx, const ContextRecord& r, bool sig) {
  WCHAR container[1024];
  const DWORD n = std::min<DWORD>(r.name_len, 1023);
  for (DWORD i = 0; i < n; ++i) container[i] = static_cast<unsigned char>(r.name[i]);
  container[n] = 0;
  WCHAR prov[] = L"VORN_CSP";
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = container;
  info.pwszProvName = prov;
  info.dwProvType = PROV_RSA_FULL;
  info.dwKeySpec = sig ? AT_SIGNATURE : AT_KEYEXCHANGE;
  return CertSetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) ? 0 : GetLastError();
}

DWORD cert_store(const ContextRecord& c, BYTE* pb, DWORD* len, bool root) {
  if (!version_6()) return code(NTE_BAD_TYPE);
  if (pb == nullptr) {
    *len = sizeof(HCERTSTORE);
    return 0;
  }
  if (*len < sizeof(HCERTSTORE)) {
    *len = sizeof(HCERTSTORE);
    return ERROR_MORE_DATA;
  }
  if (!has_reader(c)) return kNoReader;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (store == nullptr) return GetLastError();
  Provider& p = provider();
  DWORD rv = 0;
  for (p.container_cursor = 0; rv == 0 && p.container_cursor < kContexts; ++p.container_cursor) {
    const ContextRecord& r = p.contexts[p.container_cursor];
    if (!container_of_slot(r, c.slot)) continue;
    for (bool sig : {true, false}) {
      const std::uint32_t id = sig ? r.sig.cert_id : r.exch.cert_id;
      if (id == 0 || rv != 0) continue;
      std::vector<std::uint8_t> der;
      rv = read_cert(c.slot, id, &der);
      if (rv != 0) break;
      PCCERT_CONTEXT ctx = nullptr;
      if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                            CERT_STORE_ADD_REPLACE_EXISTING, &ctx)) {
        rv = GetLastError();
        break;
      }
      if (self_signed(ctx) != root) {
        CertDeleteCertificateFromStore(ctx);  // frees ctx
        continue;
      }
      if (!root) rv = link_to_container(ctx, r, sig);
      CertFreeCertificateContext(ctx);
    }
  }
  if (rv != 0) {
    CertCloseStore(store, 0);
    return rv;
  }
  std::memcpy(pb, &store, sizeof store);
  *len = sizeof store;
  return 0;
}

// Writes every self-signed certificate of the caller's store to the card,
// each in a new container named by a fresh UUID as its exchange
// certificate.
DWORD write_root(ContextRecord& c, HCERTSTORE store) {
  const std::uint32_t slot = c.slot;
  PCCERT_CONTEXT ctx = nullptr;
  while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
    if (!self_signed(ctx)) continue;
    char name[37];
    DWORD rv = cmap_new_uuid_name(name);
    if (rv == 0 && card_op_begin(slot) != 0) rv = code(SCARD_W_SECURITY_VIOLATION);
    if (rv != 0) {
      CertFreeCertificateContext(ctx);
      return rv;
    }
    const SCARDHANDLE card = provider().readers[slot].card;
    const CmapSlot s = cmap_slot(slot);
    std::size_t index = 0;
    if (cmap_create(context_table(), s, name, 36, &index) != 0) {
      card_op_end(slot, false);
      CertFreeCertificateContext(ctx);
      return ERROR_INTERNAL_ERROR;
    }
    auto drop_container = [&] {
      cmap_delete(context_table(), s, index);
      context_table().release(index);
    };
    std::uint32_t id = 0;
    rv = sm_open_app_channel(slot, card, CARD_APP_CIPH);
    if (rv == 0)
      rv = key_store(slot, card, kKindCertificate, 0, 0, ctx->pbCertEncoded, ctx->cbCertEncoded, &id);
    if (rv != 0) {
      drop_container();
      card_op_end(slot, false);
      CertFreeCertificateContext(ctx);
      return rv;
    }
    ContextRecord& r = provider().contexts[index];
    r.exch.present = 1;
    r.exch.cert_id = id;
    DWORD wrv = key_write_cert_attrs(slot, card, id, ctx->pbCertEncoded, ctx->cbCertEncoded);
    if (wrv == 0) wrv = cmap_record_object(context_table(), s, index, id);
    if (wrv != 0) {
      obj_delete(slot, card, id);
      r.exch.cert_id = 0;
      drop_container();
      card_op_end(slot, false);
      CertFreeCertificateContext(ctx);
      return ERROR_INTERNAL_ERROR;
    }
    card_op_end(slot, false);
  }
  return 0;
}

DWORD get_param(ContextRecord& c, DWORD param, BYTE* pb, DWORD* len, DWORD flags) {
  switch (param) {
    case PP_ENUMALGS: return enum_algs(pb, len, flags, false);
    case PP_ENUMALGS_EX: return enum_algs(pb, len, flags, true);
    case PP_ENUMCONTAINERS: return enum_containers(c, pb, len, flags);
    case PP_IMPTYPE: return put_dword(CRYPT_IMPL_MIXED | CRYPT_IMPL_REMOVABLE, pb, len);
    case PP_NAME: return put_bytes(kProviderName, sizeof kProviderName, pb, len);
    case PP_VERSION: return put_dword(0x00000100, pb, len);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER: return put_bytes(c.name, std::min<DWORD>(c.name_len, sizeof c.name), pb, len);
    case PP_KEYSET_SEC_DESCR: return keyset_descriptor(pb, len, flags);
    case PP_PROVTYPE: return put_dword(PROV_RSA_FULL, pb, len);
    case PP_KEYSTORAGE: return put_dword(version_legacy() ? 7 : 1, pb, len);
    case PP_KEYSET_TYPE: return put_dword(c.machine_keyset ? CRYPT_MACHINE_KEYSET : 0, pb, len);
    case PP_SIG_KEYSIZE_INC:
    case PP_KEYX_KEYSIZE_INC: return put_dword(1024, pb, len);
    case PP_USE_HARDWARE_RNG:
      if (flags != 0) return code(NTE_BAD_FLAGS);
      return pb == nullptr && *len == 0 ? 0 : ERROR_INVALID_PARAMETER;
    case PP_KEYSPEC:
      if (version_legacy()) return code(NTE_BAD_TYPE);
      return put_dword(AT_KEYEXCHANGE | AT_SIGNATURE, pb, len);
    case PP_USER_CERTSTORE: return cert_store(c, pb, len, false);
    case PP_ROOT_CERTSTORE: return cert_store(c, pb, len, true);
    case PP_SMARTCARD_READER:
      if (!version_6()) return code(NTE_BAD_TYPE);
      if (!has_reader(c) || c.reader_name == nullptr) {
        *len = 0;
        return kNoReader;
      }
      return put_bytes(c.reader_name, static_cast<DWORD>(strnlen(c.reader_name, 63)) + 1, pb, len);
    default: return code(NTE_BAD_TYPE);
  }
}

DWORD set_param(ContextRecord& c, DWORD param, const BYTE* pb, DWORD flags) {
  switch (param) {
    case PP_KEYSET_SEC_DESCR: return 0;
    case PP_KEYEXCHANGE_PIN:
    case PP_SIGNATURE_PIN: {
      if (!has_reader(c)) return kNoReader;
      if (pb == nullptr) {  // PIN logout
        pin_cache_clear(c.slot);
        card_op_end(c.slot, true);
        return 0;
      }
      const char* pin = reinterpret_cast<const char*>(pb);
      const DWORD rv = pin_param(c, pin, strnlen(pin, 64));
      card_op_end(c.slot, false);
      return rv;
    }
    case PP_USE_HARDWARE_RNG:
      if (pb != nullptr) return ERROR_INVALID_PARAMETER;
      if (flags != 0) return code(NTE_BAD_FLAGS);
      c.card_random = 1;
      return 0;
    case PP_ROOT_CERTSTORE: {
      if (!version_6()) return code(NTE_BAD_TYPE);
      if (pb == nullptr) return ERROR_INVALID_PARAMETER;
      if (flags != 0) return code(NTE_BAD_FLAGS);
      if (!has_reader(c)) return kNoReader;
      HCERTSTORE store = nullptr;
      std::memcpy(&store, pb, sizeof store);
      return write_root(c, store);
    }
    default: return code(NTE_BAD_TYPE);
  }
}

}  // namespace
}  // namespace csp

using namespace csp;

extern "C" {

BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
  return csp_entry([&]() -> DWORD {
    if (bad_handle(hProv)) return ERROR_INVALID_HANDLE;
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    if (pdwDataLen == nullptr) return ERROR_INVALID_PARAMETER;
    if ((dwFlags & ~kGetFlags) != 0) return code(NTE_BAD_FLAGS);
    version_refresh();
    if (dwParam < 1 || dwParam > 46) return code(NTE_BAD_TYPE);
    return get_param(*c, dwParam, pbData, pdwDataLen, dwFlags);
  });
}

BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
  return csp_entry([&]() -> DWORD {
    if (bad_handle(hProv)) return ERROR_INVALID_HANDLE;
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    version_refresh();
    return set_param(*c, dwParam, pbData, dwFlags);
  });
}

}  // extern "C"
