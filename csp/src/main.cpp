// The provider's application object: process attach builds the process-wide
// state, process detach tears it down. Also the provider lock, the version
// classes, the algorithm table and the user-name buffer.
#include <cstring>
#include <new>

#include "csp.h"
#include "dialogs.h"

namespace csp {

namespace {

HANDLE g_lock = nullptr;
OSVERSIONINFOA g_version{};
char* g_user = nullptr;
DWORD g_user_len = 0;
std::array<PROV_ENUMALGS_EX, kAlgTableSize> g_algs{};

// The provider's state lives in static storage allocated at attach, so that
// its construction and destruction happen at the points the application
// object says, not in the C runtime's own order.
alignas(Provider) unsigned char g_provider_store[sizeof(Provider)];
Provider* g_provider = nullptr;

void alg_fill() {
  struct Row {
    ALG_ID id;
    DWORD def, min, max;
    const char* name;
    const char* long_name;
  };
  static constexpr Row rows[kAlgTableSize] = {
      {CALG_RSA_SIGN, 1024, 1024, 2048, "RSA_SIGN", "RSA Signature"},
      {CALG_RSA_KEYX, 1024, 1024, 2048, "RSA_KEYX", "RSA Key Exchange"},
      {CALG_SHA1, 160, 160, 160, "SHA-1", "Secure Hash Algorithm (SHA-1)"},
      {CALG_SHA_256, 256, 256, 256, "SHA-256", "Secure Hash Algorithm (SHA-256)"},
      {CALG_MD5, 128, 128, 128, "MD5", "Message Digest 5 (MD5)"},
      {CALG_RC2, 128, 40, 128, "RC2", "RSA Data Security's RC2"},
      {CALG_RC4, 128, 40, 128, "RC4", "RSA Data Security's RC4"},
      {CALG_DES, 56, 56, 56, "DES", "Data Encryption Standard (DES)"},
      {CALG_3DES_112, 112, 112, 112, "3DES TWO KEY", "Two Key Triple DES"},
      {CALG_3DES, 168, 168, 168, "3DES", "Three Key Triple Des"},
      {CALG_AES_128, 128, 128, 128, "AES 128", "American Encryption Standard 128-bit"},
      {CALG_SSL3_SHAMD5, 288, 288, 288, "SSL3 SHAMD5", "SSL3 SHAMD5"},
  };
  for (unsigned i = 0; i < kAlgTableSize; ++i) {
    PROV_ENUMALGS_EX& e = g_algs[i];
    e = PROV_ENUMALGS_EX{};
    e.aiAlgid = rows[i].id;
    e.dwDefaultLen = rows[i].def;
    e.dwMinLen = rows[i].min;
    e.dwMaxLen = rows[i].max;
    e.dwProtocols = 0;
    e.dwNameLen = static_cast<DWORD>(std::strlen(rows[i].name) + 1);
    std::memcpy(e.szName, rows[i].name, e.dwNameLen);
    e.dwLongNameLen = static_cast<DWORD>(std::strlen(rows[i].long_name) + 1);
    std::memcpy(e.szLongName, rows[i].long_name, e.dwLongNameLen);
  }
}

void load(HINSTANCE module) {
  g_lock = CreateMutexA(nullptr, FALSE, nullptr);
  if (g_lock == nullptr) ExitProcess(1);
  g_provider = new (g_provider_store) Provider();
  alg_fill();
  for (unsigned s = 0; s < kReaders; ++s) pin_cache_clear(s);
  std::memset(g_provider->pin_handover.data(), 0xFF, 8);
  dialogs_set_module(module);
  version_refresh();
}

void unload(bool process_ending) {
  Provider& p = *g_provider;
  InterlockedExchange(&p.shutdown, 1);
  // When the whole process ends (lpReserved non-null) the other threads are
  // already gone and PC/SC may be too: forget the state without card work.
  if (!process_ending) {
    watch_stop_all();
    readers_close_all();
  }
  for (unsigned s = 0; s < kReaders; ++s) pin_cache_clear(s);
  if (g_user != nullptr) {
    SecureZeroMemory(g_user, g_user_len);
    HeapFree(GetProcessHeap(), 0, g_user);
    g_user = nullptr;
    g_user_len = 0;
  }
  p.~Provider();
  g_provider = nullptr;
  CloseHandle(g_lock);
  g_lock = nullptr;
}

}  // namespace

Provider& provider() { return *g_provider; }

const std::array<PROV_ENUMALGS_EX, kAlgTableSize>& alg_table() { return g_algs; }

bool csp_lock() { return g_lock != nullptr && WaitForSingleObject(g_lock, INFINITE) == WAIT_OBJECT_0; }
bool csp_unlock() { return g_lock != nullptr && ReleaseMutex(g_lock) != 0; }

void version_refresh() {
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof(v);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (GetVersionExA(&v)) g_version = v;
#pragma GCC diagnostic pop
}

bool version_legacy() {
  const DWORD ma = g_version.dwMajorVersion, mi = g_version.dwMinorVersion;
  return (ma == 3 && mi == 51) || (ma == 4 && (mi == 0 || mi == 10 || mi == 90));
}
bool version_pre6() {
  const DWORD ma = g_version.dwMajorVersion, mi = g_version.dwMinorVersion;
  return version_legacy() || (ma == 5 && mi <= 2);
}
bool version_6() { return g_version.dwMajorVersion > 5; }

DWORD user_name(const char** name, DWORD* len) {
  if (g_user == nullptr) {
    DWORD n = 0;
    if (!GetUserNameA(nullptr, &n)) {
      const DWORD e = GetLastError();
      if (e != ERROR_INSUFFICIENT_BUFFER) return e;
    }
    if (n == 0 || n > CMAP_NAME_MAX) n = CMAP_NAME_MAX;
    char* buf = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, n));
    if (buf == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    DWORD got = n;
    if (!GetUserNameA(buf, &got)) {
      const DWORD e = GetLastError();
      HeapFree(GetProcessHeap(), 0, buf);
      return e;
    }
    g_user = buf;
    g_user_len = got;  // counts the NUL
  }
  *name = g_user;
  *len = g_user_len;
  return 0;
}

}  // namespace csp

// The application object's construction and destruction. Process detach runs
// under the loader lock: the watch threads cannot finish their own detach
// notification (DLL_THREAD_DETACH needs that lock) while we hold it, so
// waiting for them without a bound could deadlock. Each thread's blocking
// SCardGetStatusChangeA is cancelled first (SCardCancel on its own context),
// then we wait at most 500 ms for its handle: a thread that has already
// left its wait runs only the short release of its own PC/SC context, and a
// thread that is stuck behind the loader lock is abandoned instead of
// deadlocking the process. The shutdown flag keeps such a thread from
// touching the reader table or the PIN cache afterwards.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(module);
      csp::load(module);
      break;
    case DLL_PROCESS_DETACH:
      csp::unload(reserved != nullptr);
      break;
    default:
      break;
  }
  return TRUE;
}
