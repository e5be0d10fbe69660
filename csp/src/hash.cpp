// Hash objects: SHA-1, MD5 and SHA-256 over the software digests, and
// CALG_SSL3_SHAMD5 hashes that only take a ready-made 36-byte value. Fifty
// per context; a handle is the address of one of the context's slots.
#include <cstring>

#include "keys.h"

namespace csp {

namespace {

constexpr std::uint32_t hash_len_of(ALG_ID alg) {
  switch (alg) {
    case CALG_SHA1: return 20;
    case CALG_MD5: return 16;
    case CALG_SHA_256: return 32;
    case CALG_SSL3_SHAMD5: return 36;
    default: return 0;
  }
}

DWORD free_hash_slot(ContextRecord& c, HashSlot** out) {
  for (HashSlot& h : c.hashes)
    if (!h.in_use) {
      *out = &h;
      return 0;
    }
  return static_cast<DWORD>(NTE_NO_MEMORY);
}

// Context and hash of an entry point's handles.
DWORD open_hash(HCRYPTPROV hProv, HCRYPTHASH hHash, ContextRecord** c, HashSlot** h) {
  if (hHash == 0 || hHash == static_cast<HCRYPTHASH>(-1)) return ERROR_INVALID_HANDLE;
  if (DWORD rv = context_of(hProv, c); rv != 0) return rv;
  return hash_of(**c, hHash, h);
}


}  // namespace

DWORD hash_of(ContextRecord& c, HCRYPTHASH h, HashSlot** out) {
  if (h == 0 || h == static_cast<HCRYPTHASH>(-1)) return ERROR_INVALID_HANDLE;
  const auto base = reinterpret_cast<std::uintptr_t>(c.hashes.data());
  const auto addr = static_cast<std::uintptr_t>(h);
  if (addr < base || addr >= base + sizeof c.hashes || (addr - base) % sizeof(HashSlot) != 0)
    return static_cast<DWORD>(NTE_BAD_HASH);
  HashSlot* slot = &c.hashes[(addr - base) / sizeof(HashSlot)];
  if (!slot->in_use) return static_cast<DWORD>(NTE_BAD_HASH);
  *out = slot;
  return 0;
}

DWORD hash_finish(HashSlot& h) {
  if (h.has_value) return 0;
  if (h.alg == CALG_SSL3_SHAMD5) return static_cast<DWORD>(NTE_BAD_HASH);
  std::uint32_t n = static_cast<std::uint32_t>(h.value.size());
  const vorn_rv rv = sc_digest_final(capi_vorn_alg(h.alg), &h.state, h.value.data(), &n);
  if (rv != VORN_OK) return rv;
  h.has_value = 1;
  return 0;
}

}  // namespace csp

using namespace csp;

extern "C" {

BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    if (DWORD rv = context_of(hProv, &c); rv != 0) return rv;
    if (phHash == nullptr) return ERROR_INVALID_PARAMETER;
    const std::uint32_t len = hash_len_of(Algid);
    if (len == 0) return static_cast<DWORD>(NTE_BAD_ALGID);
    if (hKey != 0) return static_cast<DWORD>(NTE_BAD_KEY);
    if (dwFlags != 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
    HashSlot* h = nullptr;
    if (DWORD rv = free_hash_slot(*c, &h); rv != 0) return rv;
    hash_slot_clear(*h);
    if (Algid != CALG_SSL3_SHAMD5 && sc_digest_init(capi_vorn_alg(Algid), &h->state) != VORN_OK)
      return static_cast<DWORD>(NTE_BAD_ALGID);
    h->alg = Algid;
    h->hash_len = len;
    h->in_use = 1;
    *phHash = reinterpret_cast<HCRYPTHASH>(h);
    return 0;
  });
}

BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH hHash, const BYTE* pbData, DWORD cbDataLen, DWORD dwFlags) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    HashSlot* h = nullptr;
    if (DWORD rv = open_hash(hProv, hHash, &c, &h); rv != 0) return rv;
    if (dwFlags == CRYPT_USERDATA && cbDataLen != 0) return static_cast<DWORD>(NTE_BAD_LEN);
    if (dwFlags != 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
    if (pbData == nullptr && cbDataLen != 0) return static_cast<DWORD>(NTE_BAD_DATA);
    if (h->has_value) return static_cast<DWORD>(NTE_BAD_HASH_STATE);
    if (h->alg == CALG_SSL3_SHAMD5) return static_cast<DWORD>(NTE_BAD_ALGID);
    return sc_digest_update(capi_vorn_alg(h->alg), &h->state, pbData, cbDataLen);
  });
}

BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                           DWORD dwFlags) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    HashSlot* h = nullptr;
    if (DWORD rv = open_hash(hProv, hHash, &c, &h); rv != 0) return rv;
    if (dwFlags != 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
    if (pdwDataLen == nullptr) return ERROR_INVALID_PARAMETER;
    switch (dwParam) {
      case HP_ALGID: return put_dword(h->alg, pbData, pdwDataLen);
      case HP_HASHSIZE: return put_dword(h->hash_len, pbData, pdwDataLen);
      case HP_HASHVAL:
        if (pbData == nullptr) {
          *pdwDataLen = h->hash_len;
          return 0;
        }
        if (*pdwDataLen < h->hash_len) {
          *pdwDataLen = h->hash_len;
          return ERROR_MORE_DATA;
        }
        if (DWORD rv = hash_finish(*h); rv != 0) return rv;
        std::memcpy(pbData, h->value.data(), h->hash_len);
        *pdwDataLen = h->hash_len;
        return 0;
      default: return static_cast<DWORD>(NTE_BAD_TYPE);
    }
  });
}

BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD dwParam, const BYTE* pbData, DWORD dwFlags) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    HashSlot* h = nullptr;
    if (DWORD rv = open_hash(hProv, hHash, &c, &h); rv != 0) return rv;
    if (dwParam != HP_HASHVAL) return static_cast<DWORD>(NTE_BAD_TYPE);
    if (dwFlags != 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
    if (pbData == nullptr) return ERROR_INVALID_PARAMETER;
    if (h->has_value) return static_cast<DWORD>(NTE_BAD_HASH);
    std::memcpy(h->value.data(), pbData, h->hash_len);
    plat_wipe(&h->state, sizeof h->state);
    h->has_value = 1;
    return 0;
  });
}

BOOL WINAPI CPDuplicateHash(HCRYPTPROV hProv, HCRYPTHASH hHash, DWORD* pdwReserved, DWORD dwFlags,
                            HCRYPTHASH* phHash) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    HashSlot* h = nullptr;
    if (DWORD rv = open_hash(hProv, hHash, &c, &h); rv != 0) return rv;
    if (pdwReserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (dwFlags != 0) return static_cast<DWORD>(NTE_BAD_FLAGS);
    if (phHash == nullptr) return ERROR_INVALID_PARAMETER;
    HashSlot* d = nullptr;
    if (DWORD rv = free_hash_slot(*c, &d); rv != 0) return rv;
    d->alg = h->alg;
    d->hash_len = h->hash_len;
    d->state = h->state;
    d->value = h->value;
    d->has_value = h->has_value;
    d->in_use = 1;
    *phHash = reinterpret_cast<HCRYPTHASH>(d);
    return 0;
  });
}

BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH hHash) {
  return csp_entry([&]() -> DWORD {
    ContextRecord* c = nullptr;
    HashSlot* h = nullptr;
    if (DWORD rv = open_hash(hProv, hHash, &c, &h); rv != 0) return rv;
    hash_slot_clear(*h);
    return 0;
  });
}

// Hashing a session key is not offered: refused at once, outside the
// provider lock.
BOOL WINAPI CPHashSessionKey(HCRYPTPROV, HCRYPTHASH, HCRYPTKEY, DWORD) {
  SetLastError(static_cast<DWORD>(E_NOTIMPL));
  return FALSE;
}

}  // extern "C"
