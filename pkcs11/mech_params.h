// Mechanism parameter layouts the PKCS#11 header in use does not carry: the
// RC2 parameters and the SSL 3.0 derivation parameters, laid out as PKCS#11
// v2.11 defines them with the platform's CK_ULONG and pointer sizes (packed
// to 1 byte on Windows like every other PKCS#11 structure there).
#pragma once
#include "p11.h"

#if defined(_WIN32)
#pragma pack(push, 1)
#endif

namespace p11 {

using Rc2Params = CK_ULONG;  // effective bits

struct Rc2CbcParams {
  CK_ULONG ulEffectiveBits;
  CK_BYTE iv[8];
};

struct Ssl3RandomData {
  CK_BYTE_PTR pClientRandom;
  CK_ULONG ulClientRandomLen;
  CK_BYTE_PTR pServerRandom;
  CK_ULONG ulServerRandomLen;
};

struct Ssl3MasterKeyDeriveParams {
  Ssl3RandomData RandomInfo;
  CK_VERSION* pVersion;
};

struct Ssl3KeyMatOut {
  CK_OBJECT_HANDLE hClientMacSecret;
  CK_OBJECT_HANDLE hServerMacSecret;
  CK_OBJECT_HANDLE hClientKey;
  CK_OBJECT_HANDLE hServerKey;
  CK_BYTE_PTR pIVClient;
  CK_BYTE_PTR pIVServer;
};

struct Ssl3KeyMatParams {
  CK_ULONG ulMacSizeInBits;
  CK_ULONG ulKeySizeInBits;
  CK_ULONG ulIVSizeInBits;
  CK_BBOOL bIsExport;
  Ssl3RandomData RandomInfo;
  Ssl3KeyMatOut* pReturnedKeyMaterial;
};

}  // namespace p11

#if defined(_WIN32)
#pragma pack(pop)
#endif
