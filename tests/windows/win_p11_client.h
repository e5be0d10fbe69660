// PKCS11_VORN.dll loaded the way a Windows application loads a PKCS#11
// module: LoadLibrary, then C_GetFunctionList.
#pragma once
#include "p11.h"

#include <string>

struct P11Module {
  HMODULE dll = nullptr;
  CK_FUNCTION_LIST_PTR f = nullptr;

  bool load() {
    dll = LoadLibraryA("PKCS11_VORN.dll");
    if (dll == nullptr) return false;
    auto get = reinterpret_cast<CK_C_GetFunctionList>(
        reinterpret_cast<void*>(GetProcAddress(dll, "C_GetFunctionList")));
    return get != nullptr && get(&f) == CKR_OK && f != nullptr;
  }
  ~P11Module() {
    if (dll != nullptr) FreeLibrary(dll);
  }
};

inline std::string p11_text(const CK_UTF8CHAR* p, size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}
