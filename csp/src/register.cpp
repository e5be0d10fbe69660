// Self-registration: the provider key under Defaults\Provider and the card
// type under Calais\SmartCards, removed again by DllUnregisterServer.
#include <cstring>

#include "csp.h"

namespace {

constexpr char kProviderParent[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";
constexpr char kCardParent[] = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards";
constexpr WORD kSignatureResource = 666;
constexpr DWORD kSigMin = 72, kSigMax = 136;

HRESULT hr_of(DWORD code) {
  const auto v = static_cast<LONG>(code);
  if (v <= 0) return static_cast<HRESULT>(v);
  return static_cast<HRESULT>(0x80070000u | (code & 0xFFFFu));
}

// This module's handle, from the address of one of its own functions.
HMODULE self_module() {
  HMODULE m = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&self_module), &m))
    return nullptr;
  return m;
}

HRESULT open_sub(const char* parent, const char* name, HKEY* out) {
  HKEY p = nullptr;
  LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, parent, 0, const_cast<char*>(""), REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, &p, nullptr);
  if (r != ERROR_SUCCESS) return hr_of(static_cast<DWORD>(r));
  r = RegCreateKeyExA(p, name, 0, const_cast<char*>(""), REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, out,
                      nullptr);
  RegCloseKey(p);
  return r == ERROR_SUCCESS ? S_OK : hr_of(static_cast<DWORD>(r));
}

HRESULT set(HKEY k, const char* name, DWORD type, const void* data, DWORD len) {
  const LONG r = RegSetValueExA(k, name, 0, type, static_cast<const BYTE*>(data), len);
  return r == ERROR_SUCCESS ? S_OK : hr_of(static_cast<DWORD>(r));
}

bool signature_in_image(HMODULE m) {
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof(v);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExA(&v)) return false;
#pragma GCC diagnostic pop
  if (v.dwPlatformId != VER_PLATFORM_WIN32_NT || v.dwMajorVersion < 5) return false;
  return FindResourceA(m, MAKEINTRESOURCEA(kSignatureResource), MAKEINTRESOURCEA(10) /* RT_RCDATA */) != nullptr;
}

// The .sig file next to the module: its bytes as "Signature".
HRESULT signature_from_file(HKEY k, const char* path, const char* dot) {
  char sig[MAX_PATH + 4];
  const std::size_t stem = static_cast<std::size_t>(dot - path) + 1;
  std::memcpy(sig, path, stem);
  std::memcpy(sig + stem, "sig", 4);
  HANDLE f = CreateFileA(sig, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return NTE_BAD_SIGNATURE;
  const DWORD size = GetFileSize(f, nullptr);
  if (size == INVALID_FILE_SIZE || size < kSigMin || size > kSigMax) {
    CloseHandle(f);
    return NTE_BAD_SIGNATURE;
  }
  BYTE buf[kSigMax];
  DWORD got = 0;
  if (!ReadFile(f, buf, size, &got, nullptr) || got != size) {
    const DWORD e = GetLastError();
    CloseHandle(f);
    return hr_of(e == 0 ? ERROR_READ_FAULT : e);
  }
  CloseHandle(f);
  return set(k, "Signature", REG_BINARY, buf, size);
}

HRESULT register_all() {
  HMODULE m = self_module();
  if (m == nullptr) return hr_of(ERROR_INVALID_HANDLE);
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(m, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return hr_of(n == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
  const char* file = std::strrchr(path, '\\');
  file = file != nullptr ? file + 1 : path;
  const char* dot = std::strrchr(file, '.');
  if (dot == nullptr) return hr_of(ERROR_INVALID_NAME);

  HKEY k = nullptr;
  HRESULT h = open_sub(kProviderParent, csp::kProviderName, &k);
  if (FAILED(h)) return h;
  const DWORD type = PROV_RSA_FULL;
  h = set(k, "Image Path", REG_SZ, path, n + 1);
  if (SUCCEEDED(h)) h = set(k, "Type", REG_DWORD, &type, sizeof(type));
  if (SUCCEEDED(h)) {
    if (signature_in_image(m)) {
      const DWORD zero = 0;
      h = set(k, "SigInFile", REG_DWORD, &zero, sizeof(zero));
    } else {
      h = signature_from_file(k, path, dot);
    }
  }
  RegCloseKey(k);
  if (FAILED(h)) return h;

  h = open_sub(kCardParent, csp::kCardTypeName, &k);
  if (FAILED(h)) return h;
  h = set(k, "ATR", REG_BINARY, kVornAtr.data(), static_cast<DWORD>(kVornAtr.size()));
  if (SUCCEEDED(h)) h = set(k, "ATRMask", REG_BINARY, kVornAtrMask.data(), static_cast<DWORD>(kVornAtrMask.size()));
  if (SUCCEEDED(h)) h = set(k, "Crypto Provider", REG_SZ, csp::kProviderName, sizeof(csp::kProviderName));
  RegCloseKey(k);
  return h;
}

}  // namespace

extern "C" HRESULT WINAPI DllRegisterServer() {
  const HRESULT h = register_all();
  if (FAILED(h)) DllUnregisterServer();
  return h;
}

extern "C" HRESULT WINAPI DllUnregisterServer() {
  HKEY p = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProviderParent, 0, const_cast<char*>(""), REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &p, nullptr) == ERROR_SUCCESS) {
    RegDeleteKeyA(p, csp::kProviderName);
    RegCloseKey(p);
  }
  SCARDCONTEXT ctx = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) == SCARD_S_SUCCESS) {
    SCardForgetCardTypeA(ctx, csp::kCardTypeName);
    SCardReleaseContext(ctx);
  }
  return S_OK;
}
