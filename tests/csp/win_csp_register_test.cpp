// Registration of CSP_VORN through Wine's real regsvr32 and registry, and
// the first context through Wine's advapi32 (no card needed).
//   win_csp_register_test.exe   (CSP_VORN.dll next to it, nosig\CSP_VORN.dll
//                                the same image without resource 666)
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capi_test.h"

using namespace capi_test;

namespace {

const char kProvKey[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\VORN_CSP";
const char kCardKey[] = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\Grupo K.ROS VORN";

// regsvr32 [/u] /s path: its exit status.
DWORD regsvr32(const std::string& dll, bool unregister) {
  return run("regsvr32 /s " + std::string(unregister ? "/u " : "") + "\"" + dll + "\"");
}

bool key_exists(const char* path) {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

// A value: its type and bytes; type 0 when missing.
std::pair<DWORD, std::vector<BYTE>> value(const char* key, const char* name) {
  HKEY k = nullptr;
  std::pair<DWORD, std::vector<BYTE>> out{0, {}};
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &k) != ERROR_SUCCESS) return out;
  DWORD type = 0, len = 0;
  if (RegQueryValueExA(k, name, nullptr, &type, nullptr, &len) == ERROR_SUCCESS) {
    out.second.resize(len);
    RegQueryValueExA(k, name, nullptr, &type, out.second.data(), &len);
    out.first = type;
  }
  RegCloseKey(k);
  return out;
}

std::vector<BYTE> bytes(const char* s, std::size_t n) { return std::vector<BYTE>(s, s + n); }

void write_file(const std::string& path, std::size_t n) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  std::vector<BYTE> b(n, 0x5A);
  DWORD w = 0;
  WriteFile(f, b.data(), static_cast<DWORD>(n), &w, nullptr);
  CloseHandle(f);
}

TEST(Register, ValuesWithTheSignatureResource) {
  const std::string dll = here() + "CSP_VORN.dll";
  ASSERT_EQ(regsvr32(dll, false), 0u);
  const auto path = value(kProvKey, "Image Path");
  EXPECT_EQ(path.first, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(path.second, bytes(dll.c_str(), dll.size() + 1));
  const DWORD one = 1, zero = 0;
  EXPECT_EQ(value(kProvKey, "Type"), std::make_pair(static_cast<DWORD>(REG_DWORD), bytes(reinterpret_cast<const char*>(&one), 4)));
  EXPECT_EQ(value(kProvKey, "SigInFile"), std::make_pair(static_cast<DWORD>(REG_DWORD), bytes(reinterpret_cast<const char*>(&zero), 4)));
  EXPECT_EQ(value(kProvKey, "Signature").first, 0u);
  const BYTE atr[20] = {0x3B, 0x7F, 0x94, 0x00, 0x00, 0x80, 0x31, 0x80, 0x71, 0x90,
                        0x67, 0x56, 0x4F, 0x52, 0x4E, 0x00, 0x00, 0x00, 0x90, 0x00};
  const BYTE mask[20] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF};
  EXPECT_EQ(value(kCardKey, "ATR"), std::make_pair(static_cast<DWORD>(REG_BINARY), std::vector<BYTE>(atr, atr + 20)));
  EXPECT_EQ(value(kCardKey, "ATRMask"), std::make_pair(static_cast<DWORD>(REG_BINARY), std::vector<BYTE>(mask, mask + 20)));
  EXPECT_EQ(value(kCardKey, "Crypto Provider"), std::make_pair(static_cast<DWORD>(REG_SZ), bytes("VORN_CSP", 9)));

  // The resource itself: 144 bytes, language 3082, the two header words.
  HMODULE m = LoadLibraryExA(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(m, nullptr);
  HRSRC r = FindResourceExA(m, MAKEINTRESOURCEA(10), MAKEINTRESOURCEA(666), 3082);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(SizeofResource(m, r), 144u);
  const BYTE* res = static_cast<const BYTE*>(LockResource(LoadResource(m, r)));
  const BYTE head[8] = {0x00, 0x01, 0x00, 0x00, 0x48, 0x01, 0x00, 0x00};
  EXPECT_EQ(std::vector<BYTE>(res, res + 8), std::vector<BYTE>(head, head + 8));
  EXPECT_EQ(std::vector<BYTE>(res + 136, res + 144), std::vector<BYTE>(8, 0));
  FreeLibrary(m);

  // The first context: no card, no reader.
  HCRYPTPROV h = 0;
  ASSERT_TRUE(CryptAcquireContextA(&h, nullptr, "VORN_CSP", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) << GetLastError();
  EXPECT_TRUE(CryptReleaseContext(h, 0)) << GetLastError();

  // Unregistration removes the provider key, and succeeds twice.
  EXPECT_EQ(regsvr32(dll, true), 0u);
  EXPECT_FALSE(key_exists(kProvKey));
  EXPECT_EQ(regsvr32(dll, true), 0u);
  EXPECT_FALSE(key_exists(kProvKey));
  EXPECT_FALSE(CryptAcquireContextA(&h, nullptr, "VORN_CSP", PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
}

// Without resource 666 the signature comes from CSP_VORN.sig next to the
// image: 72..136 bytes are taken as "Signature", anything else or no file
// fails with NTE_BAD_SIGNATURE and leaves no provider key.
TEST(Register, SignatureFile) {
  const std::string dir = here() + "nosig\\";
  const std::string dll = dir + "CSP_VORN.dll", sig = dir + "CSP_VORN.sig";
  struct Case {
    std::size_t size;  // 0: no file
    bool ok;
  } cases[] = {{0, false}, {71, false}, {72, true}, {136, true}, {137, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    DeleteFileA(sig.c_str());
    if (c.size != 0) write_file(sig, c.size);
    const DWORD rc = regsvr32(dll, false);
    if (c.ok) {
      EXPECT_EQ(rc, 0u);
      const auto s = value(kProvKey, "Signature");
      EXPECT_EQ(s.first, static_cast<DWORD>(REG_BINARY));
      EXPECT_EQ(s.second, std::vector<BYTE>(c.size, 0x5A));
      EXPECT_EQ(value(kProvKey, "SigInFile").first, 0u);
    } else {
      EXPECT_NE(rc, 0u);
      EXPECT_FALSE(key_exists(kProvKey));
    }
    regsvr32(dll, true);
  }
  DeleteFileA(sig.c_str());
}

}  // namespace
