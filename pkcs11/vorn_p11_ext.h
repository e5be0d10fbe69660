// PIN-management extensions of PKCS11_VORN and the extended function list
// (the standard list followed by the four extension pointers).
#pragma once
#include "p11.h"

extern "C" {

CK_RV CI_UnblockPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPuk, CK_ULONG ulPukLen,
                    CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen);
CK_RV CI_SetPUK(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPuk, CK_ULONG ulOldLen,
                CK_UTF8CHAR_PTR pNewPuk, CK_ULONG ulNewLen);
CK_RV CI_GetLeftTriesPIN(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pTries);
CK_RV CI_GetLeftTriesPUK(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pTries);

typedef CK_RV (*CI_SetPUK_fn)(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG);
typedef CK_RV (*CI_UnblockPIN_fn)(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR,
                                  CK_ULONG);
typedef CK_RV (*CI_GetLeftTries_fn)(CK_SESSION_HANDLE, CK_BYTE_PTR);

struct VornFunctionList {
  CK_FUNCTION_LIST std;
  CI_SetPUK_fn CI_SetPUK;
  CI_UnblockPIN_fn CI_UnblockPIN;
  CI_GetLeftTries_fn CI_GetLeftTriesPIN;
  CI_GetLeftTries_fn CI_GetLeftTriesPUK;
};

}  // extern "C"
