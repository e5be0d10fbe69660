// Contexts of CSP_VORN through Wine's advapi32 against simulated cards:
// flags, container names, new and deleted key sets (the PIN dialog typed as
// a person would), a second process, two readers, card removal.
// The ctest entries pick the suites with --gtest_filter (see frame.cmake).
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "ui_driver.h"

#include "capi_test.h"

using namespace capi_test;

namespace {

const char kProv[] = "VORN_CSP";
constexpr DWORD kNoCode = 0xFFFFFFFF;

std::string reader(int i) { return env(("VORNENV_READER_" + std::to_string(i)).c_str()); }

// CryptAcquireContextA's outcome: 0 or the last error; the handle released
// unless kept.
DWORD acquire(const char* container, DWORD flags, HCRYPTPROV* keep = nullptr) {
  HCRYPTPROV h = 0;
  if (!CryptAcquireContextA(&h, container, kProv, PROV_RSA_FULL, flags)) return GetLastError();
  if (keep != nullptr) *keep = h;
  else if ((flags & CRYPT_DELETEKEYSET) == 0) CryptReleaseContext(h, 0);
  return 0;
}

// The card file as the simulator keeps it (the stack's demo card i).
std::string card_file(int i) {
  std::ifstream in("Z:" + env(("VORN_DEMO_CARD_" + std::to_string(i)).c_str()));
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
// The container map object (0xC0000028: application 2, number 40) line.
std::string map_line(int i) {
  std::istringstream in(card_file(i));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("obj 2 40 ", 0) == 0) return line;
  return "";
}
std::string hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}
bool map_holds(int card, const std::string& name) {
  std::string line = map_line(card);
  for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return line.find(hex(name + std::string(1, '\0'))) != std::string::npos;
}

// A thread that is joined however the test leaves.
struct Joined {
  std::thread t;
  ~Joined() {
    if (t.joinable()) t.join();
  }
};

// Runs f on a thread while the test types the PIN into the dialog.
DWORD with_pin_dialog(const std::function<DWORD()>& f, const wchar_t* pin) {
  DWORD rc = kNoCode;
  std::thread t([&] { rc = f(); });
  HWND dlg = csp_ui::wait_dialog(L"Authentication");
  if (dlg != nullptr) {
    EXPECT_EQ(csp_ui::focus_id(dlg), 1024);
    csp_ui::type(dlg, 1024, pin);
    csp_ui::click(dlg, IDOK);
    csp_ui::wait_closed(dlg);
  } else {
    ADD_FAILURE() << "no PIN dialog";
  }
  t.join();
  return rc;
}

class Provider : public testing::Test {
 public:
  static void SetUpTestSuite() { ASSERT_EQ(run("regsvr32 /s \"" + here() + "CSP_VORN.dll\""), 0u); }
};

// --- one reader, one demo card, no dialogs ---------------------------------
class Acquire : public Provider {};

TEST_F(Acquire, FlagsAndNames) {
  const std::string r = reader(0);
  ASSERT_FALSE(r.empty());
  const std::string long_name(261, 'n'), max_name(260, 'n');
  const std::string bare = "\\\\.\\" + r, slash = bare + "\\";
  struct Case {
    const char* what;
    const char* container;
    DWORD flags;
    DWORD expected;
  } cases[] = {
      {"verify, no name: no reader", nullptr, CRYPT_VERIFYCONTEXT, 0},
      {"default optional", nullptr, CRYPT_DEFAULT_CONTAINER_OPTIONAL, 0},
      {"refused bit 0x4", nullptr, 0x4, static_cast<DWORD>(NTE_BAD_FLAGS)},
      {"refused bit 0x100", nullptr, CRYPT_VERIFYCONTEXT | 0x100, static_cast<DWORD>(NTE_BAD_FLAGS)},
      {"new + delete", "x", CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET, static_cast<DWORD>(NTE_BAD_FLAGS)},
      {"new + verify", "x", CRYPT_NEWKEYSET | CRYPT_VERIFYCONTEXT, static_cast<DWORD>(NTE_BAD_FLAGS)},
      {"delete + optional", "x", CRYPT_DELETEKEYSET | CRYPT_DEFAULT_CONTAINER_OPTIONAL,
       static_cast<DWORD>(NTE_BAD_FLAGS)},
      {"261 characters", long_name.c_str(), 0, static_cast<DWORD>(NTE_BAD_KEYSET_PARAM)},
      {"260 characters, not there", max_name.c_str(), 0, static_cast<DWORD>(NTE_BAD_KEYSET)},
      {"unknown reader", "\\\\.\\No Such Reader\\x", 0, static_cast<DWORD>(SCARD_E_UNKNOWN_READER)},
      // The demo card's private keys get containers named by UUIDs; the
      // first becomes the default.
      {"default container", nullptr, 0, 0},
      {"empty name: default", "", 0, 0},
      {"reader only", bare.c_str(), 0, 0},
      {"reader and backslash", slash.c_str(), 0, 0},
      {"reader, verify", slash.c_str(), CRYPT_VERIFYCONTEXT, 0},
      {"named, not there", "nosuch", 0, static_cast<DWORD>(NTE_BAD_KEYSET)},
      {"named, not there, verify", "nosuch", CRYPT_VERIFYCONTEXT, static_cast<DWORD>(NTE_BAD_KEYSET)},
      {"new default, exists", nullptr, CRYPT_NEWKEYSET, static_cast<DWORD>(NTE_EXISTS)},
      {"silent new key set needs the PIN", "fresh", CRYPT_NEWKEYSET | CRYPT_SILENT,
       static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED)},
      {"delete, not there", "nosuch", CRYPT_DELETEKEYSET | CRYPT_SILENT, static_cast<DWORD>(NTE_BAD_KEYSET)},
  };
  for (const Case& c : cases) EXPECT_EQ(acquire(c.container, c.flags), c.expected) << c.what;
  EXPECT_FALSE(map_holds(0, "fresh"));
}

TEST_F(Acquire, HandlesAndRelease) {
  HCRYPTPROV v = 0, d = 0;
  ASSERT_EQ(acquire(nullptr, CRYPT_VERIFYCONTEXT, &v), 0u);
  ASSERT_EQ(acquire(nullptr, 0, &d), 0u);
  EXPECT_TRUE(CryptReleaseContext(d, 0));
  EXPECT_TRUE(CryptReleaseContext(v, 0));
  // The last release closed the reader; the next acquisition reloads the
  // containers from the card.
  ASSERT_EQ(acquire(nullptr, 0, &d), 0u);
  // Wine's advapi32 drops its wrapper of the handle even when the provider
  // refuses the release, so this is the handle's last use.
  EXPECT_FALSE(CryptReleaseContext(d, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_FLAGS));
}

// The PIN's line of the card file ("pin 11 <block> <tries> ...").
std::string pin_line(int card) {
  std::istringstream in(card_file(card));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("pin 11 ", 0) == 0) return line;
  return "";
}

DWORD set_pin(HCRYPTPROV h, const char* pin) {
  return CryptSetProvParam(h, PP_SIGNATURE_PIN, reinterpret_cast<const BYTE*>(pin), 0) ? 0 : GetLastError();
}

// A PIN longer than eight characters can never match: refused without a
// try being spent on the card; a wrong PIN of a possible length costs one.
TEST_F(Acquire, OverlongPinParameterSpendsNoTry) {
  HCRYPTPROV h = 0;
  ASSERT_EQ(acquire(nullptr, 0, &h), 0u);
  const std::string before = pin_line(0);
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(set_pin(h, "123456789"), static_cast<DWORD>(SCARD_W_WRONG_CHV));
  EXPECT_EQ(set_pin(h, "1234123412341234"), static_cast<DWORD>(SCARD_W_WRONG_CHV));
  EXPECT_EQ(pin_line(0), before);
  EXPECT_EQ(set_pin(h, "9999"), static_cast<DWORD>(SCARD_W_WRONG_CHV));
  EXPECT_NE(pin_line(0), before);
  EXPECT_EQ(set_pin(h, "1234"), 0u);
  EXPECT_EQ(pin_line(0), before);
  EXPECT_TRUE(CryptReleaseContext(h, 0));
}

// --- the PIN dialog (private X server) --------------------------------------
class NewKeyset : public Provider {};

// A named key set with the PIN typed into the dialog; a second process
// opens it by \\.\reader\name without any PIN; the card's map holds it.
TEST_F(NewKeyset, CreatedThenOpenedByAnotherProcess) {
  const std::string name = "vorn-test-keyset";
  // Another caller's context on the card, open across the new key set.
  HCRYPTPROV other = 0;
  ASSERT_EQ(acquire(nullptr, 0, &other), 0u);
  HCRYPTPROV h = 0;
  const DWORD rc = with_pin_dialog([&] { return acquire(name.c_str(), CRYPT_NEWKEYSET, &h); }, L"1234");
  ASSERT_EQ(rc, 0u);
  EXPECT_TRUE(map_holds(0, name));
  // The other caller's handle stayed valid.
  EXPECT_TRUE(CryptReleaseContext(other, 0)) << std::hex << GetLastError();
  EXPECT_EQ(acquire(name.c_str(), CRYPT_NEWKEYSET | CRYPT_SILENT), static_cast<DWORD>(NTE_EXISTS));
  const std::string full = "\\\\.\\" + reader(0) + "\\" + name;
  EXPECT_EQ(run("\"" + here() + "win_csp_context_test.exe\" --open-silent \"" + full + "\""), 0u);
  // A SHA-256 hash object of the provider gives the standard value of "abc".
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(h, CALG_SHA_256, 0, 0, &hash)) << std::hex << GetLastError();
  EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("abc"), 3, 0));
  BYTE value[32];
  DWORD len = sizeof(value);
  EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &len, 0));
  const BYTE want[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
                         0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  EXPECT_EQ(std::string(value, value + len), std::string(want, want + 32));
  EXPECT_TRUE(CryptDestroyHash(hash));
  EXPECT_TRUE(CryptReleaseContext(h, 0));
  // Deleting asks for the PIN again (no cached PIN for deletions); a wrong
  // PIN shows the error dialog, then the PIN dialog with one try less.
  DWORD del = kNoCode;
  {
    Joined j{std::thread([&] { del = acquire(name.c_str(), CRYPT_DELETEKEYSET); })};
    HWND pin = csp_ui::wait_dialog(L"Authentication");
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(csp_ui::text(pin, 1022), L"You have 3 more attempt(s)");
    csp_ui::type(pin, 1024, L"9999");
    csp_ui::click(pin, IDOK);
    HWND err = csp_ui::wait_dialog(L"Authentication Error");
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(csp_ui::text(err, 1023), L"You entered a wrong password, please try again");
    csp_ui::click(err, IDOK);
    csp_ui::wait_closed(err);
    pin = csp_ui::wait_dialog(L"Authentication");
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(csp_ui::text(pin, 1022), L"You have 2 more attempt(s)");
    csp_ui::type(pin, 1024, L"1234");
    csp_ui::click(pin, IDOK);
  }
  EXPECT_EQ(del, 0u);
  EXPECT_FALSE(map_holds(0, name));
  EXPECT_EQ(acquire(name.c_str(), CRYPT_SILENT), static_cast<DWORD>(NTE_BAD_KEYSET));
}

// --- two readers with a demo card each (private X server) -------------------
class TwoReaders : public Provider {};

TEST_F(TwoReaders, ReaderDialogCancelChangesNothing) {
  const std::string before0 = card_file(0), before1 = card_file(1);
  DWORD rc = kNoCode;
  Joined j{std::thread([&] { rc = acquire("cancelled", CRYPT_NEWKEYSET); })};
  HWND dlg = csp_ui::wait_dialog(L"Choose the reader to perform cryptographic operations");
  ASSERT_NE(dlg, nullptr) << std::hex << rc;
  const std::string r0 = reader(0), r1 = reader(1);
  EXPECT_EQ(csp_ui::text(dlg, 1008), std::wstring(r0.begin(), r0.end()));
  EXPECT_EQ(csp_ui::text(dlg, 1005), std::wstring(r1.begin(), r1.end()));
  csp_ui::press(dlg, VK_ESCAPE);
  j.t.join();
  EXPECT_EQ(rc, static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));
  EXPECT_EQ(card_file(0), before0);
  EXPECT_EQ(card_file(1), before1);
}

TEST_F(TwoReaders, FirstReaderChosenThenFoundByName) {
  DWORD rc = kNoCode;
  Joined j{std::thread([&] { rc = acquire("on-first", CRYPT_NEWKEYSET); })};
  HWND dlg = csp_ui::wait_dialog(L"Choose the reader to perform cryptographic operations");
  ASSERT_NE(dlg, nullptr) << std::hex << rc;
  csp_ui::click(dlg, 1002);
  // The click is posted: look until the radio button shows it.
  for (int i = 0; i < 500 && !csp_ui::checked(dlg, 1002); ++i) Sleep(10);
  csp_ui::click(dlg, IDOK);
  HWND pin = csp_ui::wait_dialog(L"Authentication");
  ASSERT_NE(pin, nullptr);
  csp_ui::type(pin, 1024, L"1234");
  csp_ui::click(pin, IDOK);
  j.t.join();
  ASSERT_EQ(rc, 0u);
  EXPECT_TRUE(map_holds(0, "on-first"));
  EXPECT_FALSE(map_holds(1, "on-first"));
  // Without a reader name the card whose map holds the name is chosen (the
  // second card has never been opened: it has no map and no default yet).
  EXPECT_EQ(acquire("on-first", CRYPT_SILENT), 0u);
  EXPECT_EQ(acquire(nullptr, CRYPT_SILENT), 0u);
  EXPECT_EQ(acquire("on-neither", CRYPT_SILENT), static_cast<DWORD>(NTE_BAD_KEYSET));
  EXPECT_EQ(acquire(("\\\\.\\" + reader(1) + "\\on-first").c_str(), CRYPT_SILENT),
            static_cast<DWORD>(NTE_BAD_KEYSET));
  EXPECT_EQ(acquire(("\\\\.\\" + reader(1) + "\\").c_str(), CRYPT_SILENT), 0u);
  // Both cards now have a default container: without a name the choice is
  // ambiguous and no reader is taken.
  EXPECT_EQ(acquire(nullptr, CRYPT_SILENT), static_cast<DWORD>(NTE_BAD_KEYSET));
  // A silent new key set cannot ask which reader.
  EXPECT_EQ(acquire("x", CRYPT_NEWKEYSET | CRYPT_SILENT), static_cast<DWORD>(ERROR_BAD_ENVIRONMENT));
}

// OK with no radio button selected takes the second reader (after the test
// above, whose premises need a card 1 that was never opened).
TEST_F(TwoReaders, OkWithoutSelectionTakesTheSecond) {
  DWORD rc = kNoCode;
  Joined j{std::thread([&] { rc = acquire("on-second", CRYPT_NEWKEYSET); })};
  HWND dlg = csp_ui::wait_dialog(L"Choose the reader to perform cryptographic operations");
  ASSERT_NE(dlg, nullptr) << std::hex << rc;
  EXPECT_FALSE(csp_ui::checked(dlg, 1002));
  EXPECT_FALSE(csp_ui::checked(dlg, 1003));
  csp_ui::click(dlg, IDOK);
  HWND pin = csp_ui::wait_dialog(L"Authentication");
  ASSERT_NE(pin, nullptr);
  csp_ui::type(pin, 1024, L"1234");
  csp_ui::click(pin, IDOK);
  j.t.join();
  ASSERT_EQ(rc, 0u);
  EXPECT_TRUE(map_holds(1, "on-second"));
  EXPECT_FALSE(map_holds(0, "on-second"));
}

// --- card removal (removal_test.sh drives the card) --------------------------
bool flag_wait(const std::string& name) {
  const std::string path = env("VORN_REMOVAL_DIR") + "\\" + name;
  for (int i = 0; i < 600; ++i) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    Sleep(100);
  }
  return false;
}
void flag_set(const std::string& name) {
  const std::string path = env("VORN_REMOVAL_DIR") + "\\" + name;
  CloseHandle(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

// The child process of Removal: runs under the Windows version the parent
// put into the registry (Wine reads it when a process starts).
int removal_child() {
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof(v);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  GetVersionExA(&v);
#pragma GCC diagnostic pop
  const bool pre6 = v.dwMajorVersion <= 5;
  printf("removal: Windows %lu.%lu\n", v.dwMajorVersion, v.dwMinorVersion);
  if (pre6 != (env("VORN_REMOVAL_VERSION") != "default")) return 10;
  HCRYPTPROV h = 0;
  if (acquire(nullptr, CRYPT_SILENT, &h) != 0) return 11;
  if (set_pin(h, "1234") != 0) return 12;
  flag_set("ready");
  if (!flag_wait("removed")) return 13;
  if (pre6) {
    // The watch thread closes every context of the reader: the handle is
    // no longer one of the provider's.
    DWORD rc = 0;
    for (int i = 0; i < 300 && rc != static_cast<DWORD>(NTE_BAD_UID); ++i) {
      rc = set_pin(h, "1234");
      if (rc != static_cast<DWORD>(NTE_BAD_UID)) Sleep(100);
    }
    if (rc != static_cast<DWORD>(NTE_BAD_UID)) return 14;
  } else {
    // Nobody watches: the context stays until its caller releases it; the
    // removal is seen by the next acquisition.
    if (!CryptReleaseContext(h, 0)) return 16;
  }
  if (acquire(nullptr, CRYPT_SILENT) != static_cast<DWORD>(SCARD_E_NO_SMARTCARD)) return 17;
  flag_set("checked");
  if (!flag_wait("inserted")) return 18;
  // The card is found again, reconnected, its containers reloaded.
  DWORD rc = kNoCode;
  for (int i = 0; i < 100 && rc != 0; ++i) {
    rc = acquire(nullptr, CRYPT_SILENT, &h);
    if (rc != 0) Sleep(100);
  }
  if (rc != 0) return 19;
  // The PIN went with the card: a silent signature cannot ask for it (on
  // pre-6 the watch thread cleared the cache at the removal; on 6.1 the
  // reconnection did). Given again, it signs.
  const BYTE msg[] = "after the card came back";
  auto sign = [&](DWORD* len) -> DWORD {
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(h, CALG_SHA_256, 0, 0, &hash)) return GetLastError();
    BYTE sig[256];
    *len = sizeof sig;
    DWORD r = CryptHashData(hash, msg, sizeof msg, 0) && CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, sig, len)
                  ? 0
                  : GetLastError();
    CryptDestroyHash(hash);
    return r;
  };
  DWORD sig_len = 0;
  const DWORD first = sign(&sig_len);
  printf("removal: silent signature after reinsertion: 0x%08lx\n", first);
  if (first != static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED)) return 20;
  if (set_pin(h, "1234") != 0) return 21;
  const DWORD second = sign(&sig_len);
  CryptReleaseContext(h, 0);
  return second == 0 && sig_len == 256 ? 0 : 22;
}

class Removal : public Provider {};

TEST_F(Removal, ContextsOfTheRemovedCard) {
  const std::string version = env("VORN_REMOVAL_VERSION");
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  if (version == "default") {
    RegDeleteValueA(k, "Version");
  } else {
    RegSetValueExA(k, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version.c_str()),
                   static_cast<DWORD>(version.size() + 1));
  }
  RegCloseKey(k);
  EXPECT_EQ(run("\"" + here() + "win_csp_context_test.exe\" --removal-child"), 0u);
}

}  // namespace

int main(int argc, char** argv) {
  // The second process of NewKeyset: opens the container silently.
  if (argc == 3 && std::string(argv[1]) == "--open-silent") {
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextA(&h, argv[2], kProv, PROV_RSA_FULL, CRYPT_SILENT)) return static_cast<int>(GetLastError());
    return CryptReleaseContext(h, 0) ? 0 : 2;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 2 && std::string(argv[1]) == "--removal-child") return removal_child();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
