// A PKCS#11 module for tests only: it loads PKCS11_VORN (path in
// $VORN_P11_REAL_MODULE) and hands out its function list with two entries
// wrapped, so that pkcs11-tool --test runs through every part of the module.
// The two behaviours it steps around are the module's own, kept on
// purpose:
//  - C_GenerateRandom with length 0 answers CKR_ARGUMENTS_BAD; the proxy
//    answers CKR_OK without calling the module;
//  - C_SignUpdate / C_VerifyUpdate are unsupported and leave the context
//    of C_SignInit / C_VerifyInit active; the proxy ends it (a C_Sign /
//    C_Verify with no data) before returning the module's answer.
#include <dlfcn.h>

#include <cstdlib>

#include "p11.h"

namespace {

CK_FUNCTION_LIST real_list;
CK_FUNCTION_LIST proxy_list;

CK_RV proxy_sign_update(CK_SESSION_HANDLE h, CK_BYTE_PTR p, CK_ULONG n) {
  const CK_RV rv = real_list.C_SignUpdate(h, p, n);
  CK_ULONG len = 0;
  real_list.C_Sign(h, nullptr, 0, nullptr, &len);
  return rv;
}

CK_RV proxy_verify_update(CK_SESSION_HANDLE h, CK_BYTE_PTR p, CK_ULONG n) {
  const CK_RV rv = real_list.C_VerifyUpdate(h, p, n);
  real_list.C_Verify(h, nullptr, 0, nullptr, 0);
  return rv;
}

CK_RV proxy_generate_random(CK_SESSION_HANDLE h, CK_BYTE_PTR p, CK_ULONG n) {
  return n == 0 ? CKR_OK : real_list.C_GenerateRandom(h, p, n);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR pp) {
  const char* path = std::getenv("VORN_P11_REAL_MODULE");
  if (pp == nullptr || path == nullptr) return CKR_ARGUMENTS_BAD;
  void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) return CKR_GENERAL_ERROR;
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR list = nullptr;
  if (get == nullptr || get(&list) != CKR_OK) return CKR_GENERAL_ERROR;
  real_list = *list;
  proxy_list = *list;
  proxy_list.C_SignUpdate = proxy_sign_update;
  proxy_list.C_VerifyUpdate = proxy_verify_update;
  proxy_list.C_GenerateRandom = proxy_generate_random;
  *pp = &proxy_list;
  return CKR_OK;
}
