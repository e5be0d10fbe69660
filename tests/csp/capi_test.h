// What the provider's Windows test programs share: handles that release
// themselves, the environment, registering the provider built beside the
// program.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace capi_test {

struct Prov {
  HCRYPTPROV h = 0;
  Prov() = default;
  Prov(const Prov&) = delete;
  Prov& operator=(const Prov&) = delete;
  ~Prov() {
    if (h) CryptReleaseContext(h, 0);
  }
};
struct Hash {
  HCRYPTHASH h = 0;
  Hash() = default;
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;
  ~Hash() {
    if (h) CryptDestroyHash(h);
  }
};
struct Key {
  HCRYPTKEY h = 0;
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (h) CryptDestroyKey(h);
  }
};

// An environment variable, empty when unset.
inline std::string env(const char* name) {
  char buf[1024];
  DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

// Registers the provider built next to this program (its DllRegisterServer).
inline bool register_provider() {
  HMODULE m = LoadLibraryA("CSP_VORN.dll");
  if (m == nullptr) return false;
  auto reg = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(m, "DllRegisterServer")));
  const bool ok = reg != nullptr && reg() == S_OK;
  FreeLibrary(m);
  return ok;
}

// The folder of this program, with its trailing backslash.
inline std::string here() {
  char p[MAX_PATH];
  GetModuleFileNameA(nullptr, p, MAX_PATH);
  std::string s(p);
  return s.substr(0, s.rfind('\\') + 1);
}

// Runs a command line and waits; its exit status (0xFFFFFFFF when it
// cannot start).
inline DWORD run(std::string cmd) {
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 0xFFFFFFFF;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

}  // namespace capi_test
