// Entry points whose work lives in files not yet part of this build: each
// fails cleanly through the envelope with E_NOTIMPL (after the common handle
// check), never touching its out-parameters. A file that implements one of
// them deletes it from here.
#include "csp.h"

namespace {

BOOL pending(HCRYPTPROV hProv) {
  return csp::csp_entry([&]() -> DWORD {
    csp::ContextRecord* c = nullptr;
    const DWORD rc = csp::context_of(hProv, &c);
    return rc != 0 ? rc : static_cast<DWORD>(E_NOTIMPL);
  });
}

}  // namespace

BOOL WINAPI CPGetProvParam(HCRYPTPROV hProv, DWORD, BYTE*, DWORD*, DWORD) { return pending(hProv); }
BOOL WINAPI CPSetProvParam(HCRYPTPROV hProv, DWORD, const BYTE*, DWORD) { return pending(hProv); }
BOOL WINAPI CPCreateHash(HCRYPTPROV hProv, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*) { return pending(hProv); }
BOOL WINAPI CPDestroyHash(HCRYPTPROV hProv, HCRYPTHASH) { return pending(hProv); }
BOOL WINAPI CPDuplicateHash(HCRYPTPROV hProv, HCRYPTHASH, DWORD*, DWORD, HCRYPTHASH*) { return pending(hProv); }
BOOL WINAPI CPGetHashParam(HCRYPTPROV hProv, HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD) { return pending(hProv); }
BOOL WINAPI CPSetHashParam(HCRYPTPROV hProv, HCRYPTHASH, DWORD, const BYTE*, DWORD) { return pending(hProv); }
BOOL WINAPI CPHashData(HCRYPTPROV hProv, HCRYPTHASH, const BYTE*, DWORD, DWORD) { return pending(hProv); }
BOOL WINAPI CPHashSessionKey(HCRYPTPROV hProv, HCRYPTHASH, HCRYPTKEY, DWORD) { return pending(hProv); }
BOOL WINAPI CPGenKey(HCRYPTPROV hProv, ALG_ID, DWORD, HCRYPTKEY*) { return pending(hProv); }
BOOL WINAPI CPGetUserKey(HCRYPTPROV hProv, DWORD, HCRYPTKEY*) { return pending(hProv); }
BOOL WINAPI CPGetKeyParam(HCRYPTPROV hProv, HCRYPTKEY, DWORD, BYTE*, DWORD*, DWORD) { return pending(hProv); }
BOOL WINAPI CPSetKeyParam(HCRYPTPROV hProv, HCRYPTKEY, DWORD, const BYTE*, DWORD) { return pending(hProv); }
BOOL WINAPI CPDestroyKey(HCRYPTPROV hProv, HCRYPTKEY) { return pending(hProv); }
BOOL WINAPI CPDuplicateKey(HCRYPTPROV hProv, HCRYPTKEY, DWORD*, DWORD, HCRYPTKEY*) { return pending(hProv); }
BOOL WINAPI CPDeriveKey(HCRYPTPROV hProv, ALG_ID, HCRYPTHASH, DWORD, HCRYPTKEY*) { return pending(hProv); }
BOOL WINAPI CPGenRandom(HCRYPTPROV hProv, DWORD, BYTE*) { return pending(hProv); }
BOOL WINAPI CPSignHash(HCRYPTPROV hProv, HCRYPTHASH, DWORD, LPCWSTR, DWORD, BYTE*, DWORD*) { return pending(hProv); }
BOOL WINAPI CPVerifySignature(HCRYPTPROV hProv, HCRYPTHASH, const BYTE*, DWORD, HCRYPTKEY, LPCWSTR, DWORD) {
  return pending(hProv);
}
BOOL WINAPI CPEncrypt(HCRYPTPROV hProv, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*, DWORD) {
  return pending(hProv);
}
BOOL WINAPI CPDecrypt(HCRYPTPROV hProv, HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE*, DWORD*) { return pending(hProv); }
BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE*, DWORD*) { return pending(hProv); }
BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE*, DWORD, HCRYPTKEY, DWORD, HCRYPTKEY*) { return pending(hProv); }
