// The one place the module takes its PKCS#11 types from. Linux builds use the
// platform's natural layout (unsigned long CK_ULONG, natural alignment); the
// Windows layout (1-byte packing, 32-bit CK_ULONG) is selected here as well.
#pragma once

#if defined(_WIN32)
#ifndef CRYPTOKI_EXPORTS
#define CRYPTOKI_EXPORTS
#endif
#endif

#include <p11-kit/pkcs11.h>

// Exported symbols keep their standard names and default visibility; the rest
// of the library is hidden.
#if defined(_WIN32)
#define VORN_P11_EXPORT extern "C" __declspec(dllexport)
#else
#define VORN_P11_EXPORT extern "C" __attribute__((visibility("default")))
#endif
