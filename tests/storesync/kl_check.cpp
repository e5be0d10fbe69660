// Test helper for Kestrelink under Wine: looks into the user's certificate
// stores through crypt32, registers the card type, drives the hidden frame
// and takes screenshots of the tray. One command per run:
//   kl_check register-type | unregister-type
//   kl_check window present|absent
//   kl_check my READER N              "MY" holds exactly N certificates of READER
//   kl_check store STORE CN present|absent [READER]
//   kl_check exit-app
//   kl_check tray ICON [FILE.bmp]     the tray shows icon ICON (its colour)
//   kl_check tray-none                the tray shows none of the state colours
//   kl_check icons ICON N             the tray shows exactly N icons of state ICON
//   kl_check about | menu EXE         double click / right click on tray icon 3
//   kl_check acquire READER           the provider opens each container named in MY
//   kl_check sign READER              the provider signs with the card's key
// Waits (for the program to act) end after 60 s with a failure. Exit
// status 0 when the check holds, 1 otherwise, with the reason on stderr.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr DWORD kWaitMs = 60000;
constexpr const char* kCardKey = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\Grupo K.ROS VORN";
const BYTE kAtr[20] = {0x3B, 0x7F, 0x94, 0x00, 0x00, 0x80, 0x31, 0x80, 0x71, 0x90,
                       0x67, 0x56, 0x4F, 0x52, 0x4E, 0x31, 0x2E, 0x30, 0x90, 0x00};
const BYTE kMask[20] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF};

std::string g_why;

bool fail(const std::string& why) {
  g_why = why;
  return false;
}

// Repeats check every 100 ms until it holds or the wait ends.
bool wait_for(const std::function<bool()>& check) {
  const ULONGLONG end = GetTickCount64() + kWaitMs;
  for (;;) {
    if (check()) return true;
    if (GetTickCount64() > end) return false;
    Sleep(100);
  }
}

std::string narrow(const wchar_t* w) {
  std::string s;
  for (; w != nullptr && *w != 0; ++w) s.push_back(static_cast<char>(*w & 0xFF));
  return s;
}

std::string common_name(PCCERT_CONTEXT c) {
  char cn[256] = "";
  CertGetNameStringA(c, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), cn, sizeof cn);
  return cn;
}

HCERTSTORE open_store(const char* name) {
  std::wstring w(name, name + std::strlen(name));
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                       CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, w.c_str());
}

template <class F>
void each_cert(const char* store, F f) {
  HCERTSTORE s = open_store(store);
  if (s == nullptr) return;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(s, c)) {
    f(c);
  }
  CertCloseStore(s, 0);
}

std::vector<BYTE> prop(PCCERT_CONTEXT c, DWORD id) {
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(c, id, nullptr, &n)) return {};
  std::vector<BYTE> b(n);
  if (!CertGetCertificateContextProperty(c, id, b.data(), &n)) return {};
  b.resize(n);
  return b;
}

// The "MY" certificates of reader, each checked; why tells the first fault.
bool my_of_reader(const std::string& reader, unsigned want) {
  unsigned n = 0;
  std::string fault;
  const std::string prefix = "\\\\.\\" + reader + "\\";
  each_cert("MY", [&](PCCERT_CONTEXT c) {
    auto b = prop(c, CERT_KEY_PROV_INFO_PROP_ID);
    if (b.empty()) return;
    const auto* k = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(b.data());
    const std::string cont = narrow(k->pwszContainerName);
    if (cont.compare(0, prefix.size(), prefix) != 0) return;
    ++n;
    const std::string cn = common_name(c);
    const DWORD spec = cn.find("signature") != std::string::npos ? AT_SIGNATURE : AT_KEYEXCHANGE;
    const std::string name = cont.substr(prefix.size());
    if (narrow(k->pwszProvName) != "VORN_CSP") fault = cn + ": provider " + narrow(k->pwszProvName);
    else if (k->dwProvType != PROV_RSA_FULL) fault = cn + ": provider type " + std::to_string(k->dwProvType);
    else if (k->dwKeySpec != spec) fault = cn + ": key spec " + std::to_string(k->dwKeySpec);
    else if (k->dwFlags != 0 || k->cProvParam != 0) fault = cn + ": flags or parameters";
    else if (name.size() != 36 || name.find('\\') != std::string::npos) fault = cn + ": container " + cont;
  });
  if (!fault.empty()) return fail(fault);
  if (n != want) return fail("MY holds " + std::to_string(n) + " certificates of " + reader);
  return true;
}

bool in_store(const std::string& store, const std::string& cn, const std::string& reader) {
  bool found = false;
  each_cert(store.c_str(), [&](PCCERT_CONTEXT c) {
    if (common_name(c) != cn) return;
    if (!reader.empty()) {
      auto b = prop(c, CERT_FRIENDLY_NAME_PROP_ID);
      std::wstring w(reinterpret_cast<const wchar_t*>(b.data()), b.size() / sizeof(wchar_t));
      while (!w.empty() && w.back() == 0) w.pop_back();
      const std::string want = "-Kestrelink-" + reader;
      const std::string fname = narrow(w.c_str());
      if (fname.size() < want.size() || fname.compare(fname.size() - want.size(), want.size(), want) != 0) return;
    }
    found = true;
  });
  return found;
}

// ---- the screen -------------------------------------------------------------
struct Shot {
  int w = 0, h = 0;
  std::vector<BYTE> bgra;  // top-down
};

Shot grab() {
  Shot s;
  s.w = GetSystemMetrics(SM_CXSCREEN);
  s.h = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = s.w;
  bi.bmiHeader.biHeight = -s.h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, s.w, s.h, screen, 0, 0, SRCCOPY);
  GdiFlush();
  s.bgra.assign(static_cast<BYTE*>(bits), static_cast<BYTE*>(bits) + s.w * s.h * 4);
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return s;
}

// The colour each tray state's icon is filled with (storesync/res/make_icons.py).
bool state_colour(int icon, BYTE rgb[3]) {
  switch (icon) {
    case 108: rgb[0] = 215, rgb[1] = 215, rgb[2] = 215; return true;
    case 110: rgb[0] = 215, rgb[1] = 30, rgb[2] = 30; return true;
    case 127: rgb[0] = 20, rgb[1] = 160, rgb[2] = 50; return true;
    case 138: rgb[0] = 240, rgb[1] = 170, rgb[2] = 0; return true;
    default: return false;
  }
}

int count_colour(const Shot& s, const BYTE rgb[3]) {
  int n = 0;
  for (std::size_t i = 0; i + 3 < s.bgra.size(); i += 4) {
    if (s.bgra[i] == rgb[2] && s.bgra[i + 1] == rgb[1] && s.bgra[i + 2] == rgb[0]) ++n;
  }
  return n;
}

// Icons of one colour side by side in the tray: the runs of screen columns
// holding more than 3 pixels of it, a run ending at a column without any.
int count_icons(const Shot& s, const BYTE rgb[3]) {
  int icons = 0;
  bool in_run = false;
  for (int x = 0; x < s.w; ++x) {
    int n = 0;
    for (int y = 0; y < s.h; ++y) {
      const BYTE* p = &s.bgra[(static_cast<std::size_t>(y) * s.w + x) * 4];
      if (p[0] == rgb[2] && p[1] == rgb[1] && p[2] == rgb[0]) ++n;
    }
    if (n > 3 && !in_run) ++icons;
    if (n > 3) in_run = true;
    else if (n == 0) in_run = false;
  }
  return icons;
}

bool save_bmp(const Shot& s, const char* path) {
  BITMAPFILEHEADER fh{};
  BITMAPINFOHEADER ih{};
  ih.biSize = sizeof ih;
  ih.biWidth = s.w;
  ih.biHeight = -s.h;
  ih.biPlanes = 1;
  ih.biBitCount = 32;
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof ih;
  fh.bfSize = fh.bfOffBits + static_cast<DWORD>(s.bgra.size());
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(&fh, sizeof fh, 1, f) == 1 && std::fwrite(&ih, sizeof ih, 1, f) == 1 &&
            std::fwrite(s.bgra.data(), 1, s.bgra.size(), f) == s.bgra.size();
  return std::fclose(f) == 0 && ok;
}

HWND frame() { return FindWindowA("Kestrelink_AppClass", nullptr); }

// ---- the provider -------------------------------------------------------------
// Answers the provider's PIN dialog ("Authentication") with the simulator's
// demo PIN, as a person would: the PIN into its edit field, then OK.
DWORD WINAPI answer_pin_dialog(LPVOID stop) {
  while (WaitForSingleObject(static_cast<HANDLE>(stop), 100) == WAIT_TIMEOUT) {
    HWND dlg = FindWindowA("#32770", "Authentication");
    if (dlg == nullptr || GetDlgItem(dlg, IDOK) == nullptr) continue;
    HWND edit = FindWindowExA(dlg, nullptr, "Edit", nullptr);
    if (edit == nullptr) continue;
    SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("1234"));
    PostMessageA(dlg, WM_COMMAND, IDOK, reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDOK)));
    Sleep(500);
  }
  return 0;
}

bool sign_with(const std::string& reader) {
  PCCERT_CONTEXT found = nullptr;
  HCERTSTORE s = open_store("MY");
  if (s == nullptr) return fail("MY cannot be opened");
  const std::string prefix = "\\\\.\\" + reader + "\\";
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(s, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(s, c)) {
    auto b = prop(c, CERT_KEY_PROV_INFO_PROP_ID);
    if (b.empty()) continue;
    const auto* k = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(b.data());
    if (k->dwKeySpec == AT_SIGNATURE && narrow(k->pwszContainerName).compare(0, prefix.size(), prefix) == 0) {
      found = CertDuplicateCertificateContext(c);
    }
  }
  if (found == nullptr) {
    CertCloseStore(s, 0);
    return fail("no signature certificate of the reader in MY");
  }
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL must_free = FALSE;
  bool ok = false;
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE answerer = CreateThread(nullptr, 0, answer_pin_dialog, stop, 0, nullptr);
  if (!CryptAcquireCertificatePrivateKey(found, 0, nullptr, &prov, &spec, &must_free)) {
    fail("CryptAcquireCertificatePrivateKey: " + std::to_string(GetLastError()));
  } else {
    HCRYPTHASH hash = 0;
    BYTE sig[512];
    DWORD sig_len = sizeof sig;
    const BYTE data[] = "signed by the card through the certificate Kestrelink filed";
    if (!CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash) || !CryptHashData(hash, data, sizeof data, 0) ||
        !CryptSignHashA(hash, spec, nullptr, 0, sig, &sig_len)) {
      fail("signing: " + std::to_string(GetLastError()));
    } else {
      // Verify with the certificate's public key in Wine's own provider.
      HCRYPTPROV ver = 0;
      HCRYPTKEY pub = 0;
      HCRYPTHASH h2 = 0;
      ok = CryptAcquireContextA(&ver, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
           CryptImportPublicKeyInfo(ver, X509_ASN_ENCODING, &found->pCertInfo->SubjectPublicKeyInfo, &pub) &&
           CryptCreateHash(ver, CALG_SHA1, 0, 0, &h2) && CryptHashData(h2, data, sizeof data, 0) &&
           CryptVerifySignatureA(h2, sig, sig_len, pub, nullptr, 0);
      if (!ok) fail("the signature does not verify: " + std::to_string(GetLastError()));
      if (h2) CryptDestroyHash(h2);
      if (pub) CryptDestroyKey(pub);
      if (ver) CryptReleaseContext(ver, 0);
    }
    if (hash) CryptDestroyHash(hash);
    if (must_free) CryptReleaseContext(prov, 0);
  }
  SetEvent(stop);
  WaitForSingleObject(answerer, INFINITE);
  CloseHandle(answerer);
  CloseHandle(stop);
  CertFreeCertificateContext(found);
  CertCloseStore(s, 0);
  return ok;
}

// Every "MY" certificate of reader: the provider named in its key-provider
// information opens the container named there, and that container's key of
// the certificate's key spec has the certificate's public key.
bool acquire_each(const std::string& reader) {
  const std::string prefix = "\\\\.\\" + reader + "\\";
  unsigned n = 0;
  bool ok = true;
  each_cert("MY", [&](PCCERT_CONTEXT c) {
    auto b = prop(c, CERT_KEY_PROV_INFO_PROP_ID);
    if (b.empty() || !ok) return;
    const auto* k = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(b.data());
    if (narrow(k->pwszContainerName).compare(0, prefix.size(), prefix) != 0) return;
    ++n;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextW(&prov, k->pwszContainerName, k->pwszProvName, k->dwProvType, CRYPT_SILENT)) {
      ok = fail("CryptAcquireContext " + narrow(k->pwszContainerName) + ": " + std::to_string(GetLastError()));
      return;
    }
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(prov, k->dwKeySpec, &key)) {
      ok = fail("CryptGetUserKey " + std::to_string(k->dwKeySpec) + ": " + std::to_string(GetLastError()));
    } else {
      BYTE blob[2048];
      DWORD len = sizeof blob;
      if (!CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob, &len)) {
        ok = fail("CryptExportKey: " + std::to_string(GetLastError()));
      } else {
        // Compare with the certificate's key as Wine's provider imports it.
        HCRYPTPROV ver = 0;
        HCRYPTKEY pub = 0;
        BYTE want[2048];
        DWORD want_len = sizeof want;
        if (!CryptAcquireContextA(&ver, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) ||
            !CryptImportPublicKeyInfo(ver, X509_ASN_ENCODING, &c->pCertInfo->SubjectPublicKeyInfo, &pub) ||
            !CryptExportKey(pub, 0, PUBLICKEYBLOB, 0, want, &want_len)) {
          ok = fail("the certificate's key: " + std::to_string(GetLastError()));
        } else if (want_len != len || std::memcmp(want + 8, blob + 8, len - 8) != 0) {
          ok = fail("the container's key is not the certificate's");
        }
        if (pub) CryptDestroyKey(pub);
        if (ver) CryptReleaseContext(ver, 0);
      }
      CryptDestroyKey(key);
    }
    CryptReleaseContext(prov, 0);
  });
  if (ok && n == 0) return fail("no certificate of the reader in MY");
  return ok;
}

// A double click on tray icon 3 opens the About box; its OK closes it.
bool about_box() {
  HWND f = frame();
  if (f == nullptr) return fail("no frame window");
  PostMessageA(f, 0x400, 3, WM_LBUTTONDBLCLK);
  HWND box = nullptr;
  if (!wait_for([&] { return (box = FindWindowA("#32770", "Acerca de Kestrelink")) != nullptr; }))
    return fail("no About box");
  if (GetDlgItem(box, IDOK) == nullptr) return fail("the About box has no OK button");
  PostMessageA(box, WM_COMMAND, IDOK, 0);
  return wait_for([] { return FindWindowA("#32770", "Acerca de Kestrelink") == nullptr; })
             ? true
             : fail("the About box stayed");
}

// A right click on tray icon 3 shows a popup menu; the menus 3..12 of the
// program hold "&Acerca de..." (57664) and "&Salir de la aplicación" (57665).
// (Menu handles do not cross processes under Wine: the texts are read from
// the program's resources.)
bool tray_menu(const char* exe) {
  HWND f = frame();
  if (f == nullptr) return fail("no frame window");
  PostMessageA(f, 0x400, 3, WM_LBUTTONUP);  // does nothing
  PostMessageA(f, 0x400, 3, WM_RBUTTONUP);
  HWND popup = nullptr;
  if (!wait_for([&] { return (popup = FindWindowA("#32768", nullptr)) != nullptr && IsWindowVisible(popup); }))
    return fail("no popup menu");
  PostMessageA(popup, WM_KEYDOWN, VK_ESCAPE, 0);
  if (!wait_for([] { HWND p = FindWindowA("#32768", nullptr); return p == nullptr || !IsWindowVisible(p); }))
    return fail("the menu stayed");
  HMODULE res = LoadLibraryExA(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (res == nullptr) return fail("cannot load the program's resources");
  bool ok = true;
  for (int id = 3; id <= 12 && ok; ++id) {
    HMENU m = LoadMenuA(res, MAKEINTRESOURCEA(id));
    HMENU popup_menu = m != nullptr ? GetSubMenu(m, 0) : nullptr;
    wchar_t item0[64] = L"", item1[64] = L"";
    if (popup_menu == nullptr || GetMenuItemCount(popup_menu) != 2) {
      ok = fail("menu " + std::to_string(id));
    } else {
      GetMenuStringW(popup_menu, 0, item0, 64, MF_BYPOSITION);
      GetMenuStringW(popup_menu, 1, item1, 64, MF_BYPOSITION);
      if (std::wstring(item0) != L"&Acerca de..." || std::wstring(item1) != L"&Salir de la aplicaci\u00f3n" ||
          GetMenuItemID(popup_menu, 0) != 57664 || GetMenuItemID(popup_menu, 1) != 57665)
        ok = fail("menu " + std::to_string(id) + " items");
    }
    if (m != nullptr) DestroyMenu(m);
  }
  FreeLibrary(res);
  return ok;
}

bool run(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  auto arg = [&](int i) { return std::string(i < argc ? argv[i] : ""); };
  if (cmd == "register-type") {
    HKEY k;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kCardKey, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) != 0)
      return fail("cannot create the card type key");
    const char prov[] = "VORN_CSP";
    bool ok = RegSetValueExA(k, "ATR", 0, REG_BINARY, kAtr, sizeof kAtr) == 0 &&
              RegSetValueExA(k, "ATRMask", 0, REG_BINARY, kMask, sizeof kMask) == 0 &&
              RegSetValueExA(k, "Crypto Provider", 0, REG_SZ, reinterpret_cast<const BYTE*>(prov), sizeof prov) == 0;
    RegCloseKey(k);
    return ok ? true : fail("cannot write the card type");
  }
  if (cmd == "unregister-type") {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kCardKey);
    return true;
  }
  if (cmd == "window") {
    const bool want = arg(2) == "present";
    return wait_for([&] { return (frame() != nullptr) == want; }) ? true : fail("frame window not " + arg(2));
  }
  if (cmd == "my") {
    const std::string reader = arg(2);
    const unsigned n = static_cast<unsigned>(std::atoi(arg(3).c_str()));
    if (!wait_for([&] { return my_of_reader(reader, n); })) return false;
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const ULONGLONG t = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10000 - 11644473600000ULL;
    std::printf("%llu\n", t);  // Unix time in ms when the stores held it
    return true;
  }
  if (cmd == "store") {
    const bool want = arg(4) == "present";
    return wait_for([&] { return in_store(arg(2), arg(3), arg(5)) == want; })
               ? true
               : fail(arg(3) + " in " + arg(2) + " not " + arg(4));
  }
  if (cmd == "exit-app") {
    HWND f = frame();
    if (f == nullptr) return fail("no frame window");
    PostMessageA(f, WM_COMMAND, 57665, 0);
    return wait_for([] { return frame() == nullptr; }) ? true : fail("the frame stayed");
  }
  if (cmd == "tray") {
    BYTE rgb[3];
    const int icon = std::atoi(arg(2).c_str());
    if (!state_colour(icon, rgb)) return fail("unknown icon " + arg(2));
    Shot s;
    // A 16x16 icon has far more than 20 pixels of its fill colour.
    if (!wait_for([&] { s = grab(); return count_colour(s, rgb) >= 20; }))
      return fail("icon " + arg(2) + " not shown");
    if (argc > 3 && !save_bmp(s, argv[3])) return fail("cannot write the screenshot");
    return true;
  }
  if (cmd == "icons") {
    BYTE rgb[3];
    const int icon = std::atoi(arg(2).c_str());
    const int want = std::atoi(arg(3).c_str());
    if (!state_colour(icon, rgb)) return fail("unknown icon " + arg(2));
    int seen = 0;
    return wait_for([&] { seen = count_icons(grab(), rgb); return seen == want; })
               ? true
               : fail(std::to_string(seen) + " icons " + arg(2) + " shown, not " + arg(3));
  }
  if (cmd == "shot") return save_bmp(grab(), argv[2]) ? true : fail("cannot write the screenshot");
  if (cmd == "tray-none") {
    Shot s = grab();
    for (int icon : {108, 110, 127, 138}) {
      BYTE rgb[3];
      state_colour(icon, rgb);
      if (count_colour(s, rgb) >= 20) return fail("icon " + std::to_string(icon) + " shown");
    }
    return true;
  }
  if (cmd == "sign") return sign_with(arg(2));
  if (cmd == "acquire") return acquire_each(arg(2));
  if (cmd == "about") return about_box();
  if (cmd == "windows") {  // for people: the top-level windows
    EnumWindows([](HWND h, LPARAM) -> BOOL {
      char cls[64] = "", title[64] = "";
      RECT r{};
      GetClassNameA(h, cls, sizeof cls);
      GetWindowTextA(h, title, sizeof title);
      GetWindowRect(h, &r);
      std::printf("%p %s \"%s\" visible %d %ld,%ld-%ld,%ld\n", static_cast<void*>(h), cls, title,
                  IsWindowVisible(h) ? 1 : 0, r.left, r.top, r.right, r.bottom);
      return TRUE;
    }, 0);
    return true;
  }
  if (cmd == "menu") return tray_menu(argv[2]);
  if (cmd == "dump") {  // for people: what the four stores hold
    for (const char* store : {"MY", "Root", "CA", "AddressBook"}) {
      each_cert(store, [&](PCCERT_CONTEXT c) {
        auto f = prop(c, CERT_FRIENDLY_NAME_PROP_ID);
        auto k = prop(c, CERT_KEY_PROV_INFO_PROP_ID);
        f.resize(f.size() + 2, 0);
        std::printf("%s\t%s\t%s", store, common_name(c).c_str(), narrow(reinterpret_cast<const wchar_t*>(f.data())).c_str());
        if (!k.empty()) {
          const auto* i = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(k.data());
          std::printf("\t%s %s type %lu spec %lu", narrow(i->pwszProvName).c_str(), narrow(i->pwszContainerName).c_str(),
                      i->dwProvType, i->dwKeySpec);
        }
        std::printf("\n");
      });
    }
    return true;
  }
  return fail("usage: see kl_check.cpp");
}

}  // namespace

int main(int argc, char** argv) {
  if (run(argc, argv)) return 0;
  std::fprintf(stderr, "kl_check %s: %s\n", argc > 1 ? argv[1] : "", g_why.c_str());
  return 1;
}
