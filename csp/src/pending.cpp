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
BOOL WINAPI CPExportKey(HCRYPTPROV hProv, HCRYPTKEY, HCRYPTKEY, DWORD, DWORD, BYTE*, DWORD*) { return pending(hProv); }
BOOL WINAPI CPImportKey(HCRYPTPROV hProv, const BYTE*, DWORD, HCRYPTKEY, DWORD, HCRYPTKEY*) { return pending(hProv); }
