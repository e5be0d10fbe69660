// The provider's dialogs driven as a person would (tests/csp/ui_driver.h),
// in English, Spanish and a language without a table of its own (German
// falls back to English). The dialog runs on a thread whose UI language is
// set; the test's thread finds it by its title, reads every control, types
// and presses. The card is a fake PinDialogHooks with a PIN and a tries
// counter. With VORN_DIALOG_SHOTS=<folder> each dialog is saved as a BMP.
#include <gtest/gtest.h>

#include <windows.h>
#include <winscard.h>

#include <array>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <vorn/result.h>

#include "dialogs.h"
#include "dialogs_ids.h"
#include "ui_driver.h"

namespace {

using Block = std::array<uint8_t, 8>;

Block block_of(const char* pin) {
  Block b;
  b.fill(0xFF);
  std::memcpy(b.data(), pin, std::strlen(pin));
  return b;
}

struct Lang {
  LANGID id;
  const char* tag;  // screenshot suffix; nullptr: no screenshots
  std::array<const wchar_t*, 21> s;  // expected strings 1..20
};

constexpr std::array<const wchar_t*, 21> kEnglish = {
    nullptr,
    L"Authentication Error",
    L"You entered a wrong password, please try again",
    L"Device Blocked !",
    L"Your device has been blocked",
    L"Please enter your password",
    L"Password:",
    L"Authentication",
    L"You have no more attempts",
    L"You have %d more attempt(s)",
    L"OK",
    L"Cancel",
    L"Change PIN",
    L"Change PIN",
    L"Old PIN",
    L"New PIN",
    L"Verify new PIN",
    L"Choose the reader to perform cryptographic operations",
    L"Reader 1",
    L"Reader 2",
    L"Readers defined to the system"};

constexpr std::array<const wchar_t*, 21> kSpanish = {
    nullptr,
    L"Error de Autenticación",
    L"Contraseña errónea, por favor inténtelo de nuevo",
    L"Dispositivo Bloqueado !",
    L"Su dispositivo ha sido bloqueado",
    L"Por favor introduzca su contraseña",
    L"Contraseña:",
    L"Autenticación",
    L"No le quedan más intentos",
    L"Le queda(n) %d intento(s)",
    L"Aceptar",
    L"Cancelar",
    L"Cambiar PIN",
    L"Proceso de cambio de PIN",
    L"PIN antiguo",
    L"PIN nuevo",
    L"Confirmar nuevo PIN",
    L"Escoja el lector para las operaciones criptográficas",
    L"Lector 1",
    L"Lector 2",
    L"Lectores presentes en el sistema"};

const Lang kLangs[] = {
    {1033, "en", kEnglish},
    {3082, "es", kSpanish},
    {1031, nullptr, kEnglish},  // German: no table, English texts
};

std::wstring tries_line(const Lang& l, int n) {
  std::wstring s = l.s[9];
  s.replace(s.find(L"%d"), 2, std::to_wstring(n));
  return s;
}

// A card: the PIN "1234" and a tries counter, as the provider's hooks
// would see it through the card.
struct FakeCard : csp::PinDialogHooks {
  Block pin = block_of("1234");
  int tries = 3;
  std::vector<Block> verified;
  std::vector<std::pair<Block, Block>> changes;

  // What the PIN field of the dialog calling us holds by then.
  std::wstring field_at_verify = L"(not seen)";
  LRESULT can_undo_at_verify = -1;

  DWORD verify(const uint8_t b[8]) override {
    HWND field = GetDlgItem(GetActiveWindow(), IDC_PIN_EDIT);
    wchar_t text[16] = L"(no field)";
    if (field) GetWindowTextW(field, text, 16);
    field_at_verify = text;
    can_undo_at_verify = field ? SendMessageW(field, EM_CANUNDO, 0, 0) : -1;
    Block got;
    std::memcpy(got.data(), b, 8);
    verified.push_back(got);
    if (tries == 0) return CARDERR_SW_PIN_BLOCKED;
    if (got == pin) {
      tries = 3;
      return 0;
    }
    --tries;
    return tries ? CARDERR_WRONG_PIN : CARDERR_SW_PIN_BLOCKED;
  }
  DWORD change(const uint8_t o[8], const uint8_t n[8]) override {
    Block ob, nb;
    std::memcpy(ob.data(), o, 8);
    std::memcpy(nb.data(), n, 8);
    changes.emplace_back(ob, nb);
    if (ob != pin) return CARDERR_WRONG_PIN;
    pin = nb;
    return 0;
  }
};

// Wine's SetThreadUILanguage changes nothing (GetThreadUILanguage returns
// the process's default UI language), so under Wine the test sets the
// process's default instead (ntdll's NtSetDefaultUILanguage). The dialogs
// run one at a time, so the whole process may follow the thread.
void set_ui_language(LANGID id) {
  SetThreadUILanguage(id);
  if (GetThreadUILanguage() == id) return;
  using SetDefault = LONG(WINAPI*)(LANGID);
  auto fn = reinterpret_cast<SetDefault>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetDefaultUILanguage")));
  if (fn) fn(id);
}

// The thread a dialog runs on. join() waits for it; once the test has
// failed (a dialog not found), it closes whatever dialog the thread shows
// so that a failure never hangs the run.
class DialogThread {
 public:
  DialogThread(LANGID lang, std::function<void()> f) : lang_(lang), f_(std::move(f)) {
    h_ = CreateThread(nullptr, 0, &DialogThread::main, this, 0, nullptr);
  }
  DialogThread(const DialogThread&) = delete;
  DialogThread& operator=(const DialogThread&) = delete;
  ~DialogThread() { join(); }
  void join() {
    if (!h_) return;
    for (int rounds = 0; WaitForSingleObject(h_, 100) == WAIT_TIMEOUT; ++rounds) {
      if (!::testing::Test::HasFailure()) continue;
      if (HWND d = csp_ui::wait_any_dialog(0)) PostMessageW(d, WM_CLOSE, 0, 0);
      if (rounds > 600) std::abort();
    }
    CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  static DWORD WINAPI main(void* p) {
    auto* self = static_cast<DialogThread*>(p);
    set_ui_language(self->lang_);
    self->f_();
    return 0;
  }
  LANGID lang_;
  std::function<void()> f_;
  HANDLE h_ = nullptr;
};

class Dialogs : public ::testing::TestWithParam<int> {
 protected:
  const Lang& lang() const { return kLangs[GetParam()]; }
  const wchar_t* s(int id) const { return lang().s[static_cast<std::size_t>(id)]; }

  // Runs f on a thread of the language under test.
  DialogThread dialog_thread(std::function<void()> f) { return DialogThread(lang().id, std::move(f)); }

  HWND wait(const wchar_t* title) {
    HWND d = csp_ui::wait_dialog(title);
    EXPECT_NE(d, nullptr) << "no dialog titled " << testing::PrintToString(std::wstring(title));
    return d;
  }

  void shot(HWND d, const std::string& name) {
    const char* dir = std::getenv("VORN_DIALOG_SHOTS");
    if (!dir || !*dir || !lang().tag || !d) return;
    std::string path = std::string(dir) + "/" + name + "-" + lang().tag + ".bmp";
    EXPECT_TRUE(csp_ui::save_bmp(d, std::wstring(path.begin(), path.end()))) << path;
  }

  void expect_texts(HWND d, std::initializer_list<std::pair<int, int>> id_string) {
    for (auto [id, sid] : id_string)
      EXPECT_EQ(csp_ui::text(d, id), s(sid)) << "control " << id << ", string " << sid;
  }
};

TEST_P(Dialogs, LanguageAndStringTable) {
  LANGID expect = lang().id == 3082 ? 3082 : 1033;
  LANGID got = 0;
  std::wstring strings[21];
  dialog_thread([&] {
    got = csp::dialogs_language();
    for (unsigned i = 1; i <= 20; ++i) strings[i] = csp::dialogs_string(i, got);
  }).join();
  EXPECT_EQ(got, expect);
  for (int i = 1; i <= 20; ++i) EXPECT_EQ(strings[i], s(i)) << "string " << i;
}

// The PIN dialog: texts, focus, Enter presses OK, the block reaches the card.
TEST_P(Dialogs, PinEnterVerifies) {
  FakeCard card;
  Block out{};
  DWORD rc = 1;
  auto t = dialog_thread([&] { rc = csp::dlg_pin(nullptr, 3, card, out.data()); });
  HWND d = wait(s(7));
  expect_texts(d, {{0, 7}, {IDC_PIN_PROMPT, 5}, {IDC_PIN_LABEL, 6}, {IDOK, 10}, {IDCANCEL, 11}});
  EXPECT_EQ(csp_ui::text(d, IDC_PIN_TRIES), tries_line(lang(), 3));
  EXPECT_EQ(csp_ui::focus_id(d), IDC_PIN_EDIT);
  EXPECT_TRUE(csp_ui::active(d));
  EXPECT_TRUE(csp_ui::enabled(d, IDOK));
  EXPECT_TRUE(csp_ui::exists(d, IDC_PIN_CHANGE));
  EXPECT_FALSE(csp_ui::visible(d, IDC_PIN_CHANGE));
  EXPECT_FALSE(csp_ui::enabled(d, IDC_PIN_CHANGE));
  shot(d, "csp-pin");
  // As a person: the keyboard reaches the PIN field and Enter presses OK.
  csp_ui::keyboard(L"1234");
  csp_ui::keyboard_key(VK_RETURN);
  t.join();
  EXPECT_EQ(rc, 0u);
  EXPECT_EQ(out, block_of("1234"));
  ASSERT_EQ(card.verified.size(), 1u);
  EXPECT_EQ(card.verified[0], block_of("1234"));
  // The field was emptied, its undo buffer too, before the card saw the PIN.
  EXPECT_EQ(card.field_at_verify, L"");
  EXPECT_EQ(card.can_undo_at_verify, 0);
}

// The provider's loop: wrong PIN, error dialog, the PIN dialog again with
// one try less, then the right PIN.
TEST_P(Dialogs, WrongPinThenRetry) {
  FakeCard card;
  Block out{};
  std::vector<DWORD> results;
  auto t = dialog_thread([&] {
    for (;;) {
      DWORD rc = csp::dlg_pin(nullptr, static_cast<uint8_t>(card.tries), card, out.data());
      results.push_back(rc);
      if (rc != CARDERR_WRONG_PIN) break;
      csp::dlg_error(nullptr, rc);
    }
  });
  HWND d = wait(s(7));
  csp_ui::type(d, IDC_PIN_EDIT, L"9999");
  csp_ui::click(d, IDOK);
  ASSERT_TRUE(csp_ui::wait_closed(d));
  HWND e = wait(s(1));
  expect_texts(e, {{0, 1}, {IDC_ERR_MESSAGE, 2}, {IDOK, 10}});
  EXPECT_EQ(csp_ui::focus_id(e), IDOK);
  shot(e, "csp-error");
  csp_ui::press(e, VK_RETURN);
  ASSERT_TRUE(csp_ui::wait_closed(e));
  d = wait(s(7));
  EXPECT_EQ(csp_ui::text(d, IDC_PIN_TRIES), tries_line(lang(), 2));
  EXPECT_EQ(csp_ui::text(d, IDC_PIN_EDIT), L"");
  csp_ui::type(d, IDC_PIN_EDIT, L"1234");
  csp_ui::click(d, IDOK);
  t.join();
  EXPECT_EQ(results, (std::vector<DWORD>{CARDERR_WRONG_PIN, 0}));
  EXPECT_EQ(out, block_of("1234"));
}

// The last try: the dialog turns the wrong PIN into the blocked code, the
// error dialog says so; a blocked card's dialog only cancels.
TEST_P(Dialogs, LastTryBlocksAndZeroTriesOnlyCancels) {
  FakeCard card;
  card.tries = 1;
  Block out{};
  DWORD rc = 1, rc0 = 1;
  auto t = dialog_thread([&] {
    rc = csp::dlg_pin(nullptr, 1, card, out.data());
    csp::dlg_error(nullptr, rc);
    rc0 = csp::dlg_pin(nullptr, 0, card, out.data());
  });
  HWND d = wait(s(7));
  EXPECT_EQ(csp_ui::text(d, IDC_PIN_TRIES), tries_line(lang(), 1));
  csp_ui::type(d, IDC_PIN_EDIT, L"0000");
  csp_ui::press(d, VK_RETURN);
  ASSERT_TRUE(csp_ui::wait_closed(d));
  HWND e = wait(s(3));
  expect_texts(e, {{0, 3}, {IDC_ERR_MESSAGE, 4}, {IDOK, 10}});
  shot(e, "csp-error-blocked");
  csp_ui::click(e, IDOK);
  ASSERT_TRUE(csp_ui::wait_closed(e));
  d = wait(s(7));
  EXPECT_EQ(csp_ui::text(d, IDC_PIN_TRIES), s(8));
  EXPECT_FALSE(csp_ui::enabled(d, IDOK));
  EXPECT_FALSE(csp_ui::enabled(d, IDC_PIN_EDIT));
  EXPECT_TRUE(csp_ui::enabled(d, IDCANCEL));
  EXPECT_EQ(csp_ui::focus_id(d), IDCANCEL);
  shot(d, "csp-pin-blocked");
  csp_ui::press(d, VK_RETURN);  // the default button is Cancel now
  t.join();
  EXPECT_EQ(rc, CARDERR_SW_PIN_BLOCKED);
  EXPECT_EQ(rc0, static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));
  EXPECT_EQ(card.verified.size(), 1u);
}

// At most 8 characters can be typed; Escape cancels without a card call; a
// 9-character text forced in (WM_SETTEXT) is refused without costing a try.
TEST_P(Dialogs, PinLimitEscapeAndOverlong) {
  FakeCard card;
  Block out{};
  DWORD rc = 1, rc2 = 1;
  auto t = dialog_thread([&] {
    rc = csp::dlg_pin(nullptr, 3, card, out.data());
    rc2 = csp::dlg_pin(nullptr, 3, card, out.data());
  });
  HWND d = wait(s(7));
  csp_ui::type(d, IDC_PIN_EDIT, L"123456789");
  EXPECT_EQ(csp_ui::text(d, IDC_PIN_EDIT), L"12345678");
  csp_ui::press(d, VK_ESCAPE);
  ASSERT_TRUE(csp_ui::wait_closed(d));
  d = wait(s(7));
  csp_ui::set_text(d, IDC_PIN_EDIT, L"123456789");
  csp_ui::click(d, IDOK);
  t.join();
  EXPECT_EQ(rc, static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));
  EXPECT_EQ(rc2, static_cast<DWORD>(SCARD_W_WRONG_CHV));
  EXPECT_TRUE(card.verified.empty());
  EXPECT_EQ(card.tries, 3);
}

TEST_P(Dialogs, ChangePin) {
  struct Case {
    const wchar_t *old_pin, *new_pin, *confirm;
    DWORD rc;
    bool card_called;
  };
  const Case cases[] = {
      {L"1234", L"5678", L"5679", static_cast<DWORD>(SCARD_W_CARD_NOT_AUTHENTICATED), false},
      {L"1234", L"567", L"567", static_cast<DWORD>(SCARD_E_INVALID_CHV), false},
      {L"0000", L"5678", L"5678", CARDERR_WRONG_PIN, true},
      {L"1234", L"567890123", L"567890123", 0, true},  // typed: 8 characters kept
      {nullptr, nullptr, nullptr, static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER), false},
  };
  bool first = true;
  for (const Case& c : cases) {
    FakeCard card;
    Block out{};
    DWORD rc = 1;
    auto t = dialog_thread([&] { rc = csp::dlg_change_pin(nullptr, card, out.data()); });
    HWND d = wait(s(13));
    if (first) {
      expect_texts(d, {{0, 13}, {IDC_CHG_OLD_LABEL, 14}, {IDC_CHG_NEW_LABEL, 15}, {IDC_CHG_CONFIRM_LABEL, 16},
                       {IDOK, 10}, {IDCANCEL, 11}});
      EXPECT_EQ(csp_ui::focus_id(d), IDC_CHG_OLD);
      EXPECT_TRUE(csp_ui::active(d));
      shot(d, "csp-changepin");
      first = false;
    }
    if (c.old_pin) {
      csp_ui::type(d, IDC_CHG_OLD, c.old_pin);
      csp_ui::type(d, IDC_CHG_NEW, c.new_pin);
      csp_ui::type(d, IDC_CHG_CONFIRM, c.confirm);
      csp_ui::press(d, VK_RETURN);
    } else {
      csp_ui::click(d, IDCANCEL);
    }
    t.join();
    EXPECT_EQ(rc, c.rc) << testing::PrintToString(std::wstring(c.new_pin ? c.new_pin : L"(cancel)"));
    ASSERT_EQ(card.changes.size(), c.card_called ? 1u : 0u);
    if (rc == 0) {
      EXPECT_EQ(card.changes[0].first, block_of("1234"));
      EXPECT_EQ(card.changes[0].second, block_of("56789012"));
      EXPECT_EQ(out, block_of("56789012"));
    }
  }
}

TEST_P(Dialogs, Readers) {
  const char* first = "Virtual PCD 00 00";
  const char* second = "Virtual PCD 00 01";
  struct Case {
    int press;  // radio to click, 0 none; IDCANCEL to cancel
    int selection;
    bool cancelled;
  };
  const Case cases[] = {
      {IDC_RDR_RADIO2, 1, false},
      {IDC_RDR_RADIO1, 0, false},
      {0, -1, false},
      {IDCANCEL, -1, true},
  };
  bool first_case = true;
  for (const Case& c : cases) {
    int sel = 7;
    bool cancelled = !c.cancelled;
    auto t = dialog_thread([&] { sel = csp::dlg_readers(nullptr, first, second, &cancelled); });
    HWND d = wait(s(17));
    if (first_case) {
      expect_texts(d, {{0, 17}, {IDC_RDR_HEADING, 20}, {IDC_RDR_RADIO1, 18}, {IDC_RDR_RADIO2, 19}, {IDOK, 10},
                       {IDCANCEL, 11}});
      EXPECT_EQ(csp_ui::text(d, IDC_RDR_NAME1), L"Virtual PCD 00 00");
      EXPECT_EQ(csp_ui::text(d, IDC_RDR_NAME2), L"Virtual PCD 00 01");
      EXPECT_FALSE(csp_ui::checked(d, IDC_RDR_RADIO1));
      EXPECT_FALSE(csp_ui::checked(d, IDC_RDR_RADIO2));
      EXPECT_TRUE(csp_ui::active(d));
      shot(d, "csp-readers");
      first_case = false;
    }
    if (c.press == IDCANCEL) {
      csp_ui::press(d, VK_ESCAPE);
    } else {
      if (c.press) {
        csp_ui::click(d, c.press);
        // The click is posted: look until the radio button shows it.
        for (int i = 0; i < 500 && !csp_ui::checked(d, c.press); ++i) Sleep(10);
        EXPECT_TRUE(csp_ui::checked(d, c.press));
      }
      csp_ui::click(d, IDOK);
    }
    t.join();
    EXPECT_EQ(sel, c.selection);
    EXPECT_EQ(cancelled, c.cancelled);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Under Xvfb there is no window manager, and Wine waits up to 2 s for one
  // to withdraw every managed window that closes. Unmanaged windows close
  // at once (and Wine draws their frames itself). Wine only; the test runs
  // in a prefix of its own (wine-run --isolated).
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) == ERROR_SUCCESS) {
      RegSetValueExW(key, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"N"), 2 * sizeof(wchar_t));
      RegCloseKey(key);
    }
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

namespace {

std::string lang_name(const testing::TestParamInfo<int>& i) {
  return std::to_string(kLangs[i.param].id);
}
INSTANTIATE_TEST_SUITE_P(Languages, Dialogs, testing::Range(0, 3), lang_name);

}  // namespace
