// The one place the module takes its PKCS#11 types from. Linux builds use the
// platform's natural layout (unsigned long CK_ULONG, natural alignment); the
// Windows layout (1-byte packing, 32-bit CK_ULONG) is selected here as well.
#pragma once

#if defined(_WIN32)
#ifndef CRYPTOKI_EXPORTS
#define CRYPTOKI_EXPORTS
#endif
// <windows.h> renames CreateMutex to CreateMutexA; it comes first so that the
// member of CK_C_INITIALIZE_ARGS and every use of it read the same name in
// every file of the module, whatever that file includes next.
#include <windows.h>
#endif

#include <p11-kit/pkcs11.h>

#if defined(_WIN32)
#include <cstddef>
// The Windows layout: 1-byte packing (the header packs on _WIN32) and a
// 32-bit CK_ULONG (unsigned long under LLP64).
static_assert(sizeof(CK_ULONG) == 4 && sizeof(CK_FLAGS) == 4, "Windows CK_ULONG is 32-bit");
static_assert(offsetof(CK_INFO, flags) == 34 && sizeof(CK_INFO) == 72, "CK_INFO layout");
static_assert(offsetof(CK_C_INITIALIZE_ARGS, flags) == 32 && offsetof(CK_C_INITIALIZE_ARGS, pReserved) == 36,
              "CK_C_INITIALIZE_ARGS layout");
static_assert(sizeof(CK_SLOT_INFO) == 104 && sizeof(CK_TOKEN_INFO) == 160, "slot and token info sizes");
static_assert(sizeof(CK_ATTRIBUTE) == 16 && sizeof(CK_MECHANISM) == 16, "attribute and mechanism sizes");
static_assert(sizeof(CK_RSA_PKCS_PSS_PARAMS) == 12 && offsetof(CK_RSA_PKCS_PSS_PARAMS, mgf) == 4 &&
                  offsetof(CK_RSA_PKCS_PSS_PARAMS, s_len) == 8,
              "CK_RSA_PKCS_PSS_PARAMS layout: three packed 32-bit words");
#endif

// Exported symbols keep their standard names and default visibility; the rest
// of the library is hidden.
#if defined(_WIN32)
#define VORN_P11_EXPORT extern "C" __declspec(dllexport)
#else
#define VORN_P11_EXPORT extern "C" __attribute__((visibility("default")))
#endif
