// The provider's dialogs over plain Win32 (see dialogs.h).
#include "dialogs.h"

#include <winscard.h>

#include <array>
#include <cstring>

#include <vorn/result.h>
#include <vorn/secure.h>

#include "../res/dialogs_ids.h"

namespace csp {
namespace {

HINSTANCE g_module = nullptr;

// The module whose resources the dialogs use: the one set at attach, else
// the image that holds this code (the DLL, or a test program linking it).
HINSTANCE module() {
  if (g_module) return g_module;
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&module), &self);
  return self;
}

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);       // 1033
constexpr LANGID kSpanish = MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN);   // 3082
static_assert(kEnglish == 1033 && kSpanish == 3082);

// A modal dialog of our own: DialogBoxParamW with the object as the init
// parameter, kept in DWLP_USER. Derived classes fill the controls in
// init() and answer OK and Cancel.
class Dialog {
 public:
  Dialog() : lang_(dialogs_language()) {}
  virtual ~Dialog() = default;
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // False when the dialog could not be created (*error says why).
  bool run(HWND owner, int template_id, DWORD* error) {
    SetLastError(0);
    INT_PTR r = DialogBoxParamW(module(), MAKEINTRESOURCEW(template_id), owner, &Dialog::proc,
                                reinterpret_cast<LPARAM>(this));
    if (r == -1 || (r == 0 && !initialised_)) {
      DWORD e = GetLastError();
      *error = e ? e : ERROR_INVALID_HANDLE;
      return false;
    }
    return true;
  }

 protected:
  // Sets the texts and the focus; returns TRUE to let the system give the
  // focus to the first control instead.
  virtual BOOL init() = 0;
  virtual void ok() { EndDialog(hwnd_, IDOK); }
  virtual void cancel() { EndDialog(hwnd_, IDCANCEL); }
  virtual void destroying() {}

  std::wstring str(unsigned id) const {
    std::wstring s = dialogs_string(id, lang_);
    if (s.empty() && lang_ != kEnglish) s = dialogs_string(id, kEnglish);
    return s;
  }
  void set_text(int control, unsigned string_id) { SetDlgItemTextW(hwnd_, control, str(string_id).c_str()); }
  void set_title(unsigned string_id) { SetWindowTextW(hwnd_, str(string_id).c_str()); }
  HWND item(int control) const { return GetDlgItem(hwnd_, control); }

  HWND hwnd_ = nullptr;
  LANGID lang_;

 private:
  static INT_PTR CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
      auto* self = reinterpret_cast<Dialog*>(lp);
      SetWindowLongPtrW(hwnd, DWLP_USER, lp);
      self->hwnd_ = hwnd;
      self->initialised_ = true;
      return self->init();
    }
    auto* self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self) return FALSE;
    switch (msg) {
      case WM_SHOWWINDOW:
        // Above every other window once, without moving, sizing or
        // activating it: a dialog raised by a background caller must not
        // hide behind the application's windows.
        if (wp) {
          SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
          SetWindowPos(hwnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
        return FALSE;
      case WM_COMMAND:
        if (HIWORD(wp) == BN_CLICKED || lp == 0) {
          if (LOWORD(wp) == IDOK) {
            self->ok();
            return TRUE;
          }
          if (LOWORD(wp) == IDCANCEL) {
            self->cancel();
            return TRUE;
          }
        }
        return FALSE;
      case WM_DESTROY:
        self->destroying();
        return FALSE;
      default:
        return FALSE;
    }
  }

  bool initialised_ = false;
};

// ---- PIN fields ----------------------------------------------------------

constexpr int kPinMax = 8;

void limit_pin_field(HWND edit) { SendMessageW(edit, EM_LIMITTEXT, kPinMax, 0); }

// Overwrites the field's text in place (the control reuses its buffer for a
// replacement of the same length), then empties it and its undo buffer.
void wipe_field(HWND edit) {
  int n = GetWindowTextLengthW(edit);
  if (n > 0) {
    std::wstring filler(static_cast<std::size_t>(n), L'0');
    SendMessageW(edit, EM_SETSEL, 0, -1);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(filler.c_str()));
  }
  SetWindowTextW(edit, L"");
  SendMessageW(edit, EM_EMPTYUNDOBUFFER, 0, 0);
}

// A PIN read from a field: the 8-byte block and the number of characters,
// or not usable (more than 8 characters, which only WM_SETTEXT can put
// there, or a character the ANSI code page has no byte for). Wiped on exit.
struct PinRead {
  vorn::Secret<8> block;
  int chars = 0;
  bool usable = false;
};

void read_pin(HWND edit, PinRead& out) {
  std::array<wchar_t, 64> text{};
  std::array<char, 64> bytes{};
  vorn::WipeOnExit wipe_text(text.data(), sizeof text);
  vorn::WipeOnExit wipe_bytes(bytes.data(), sizeof bytes);
  std::memset(out.block.data(), 0xFF, 8);
  int n = GetWindowTextLengthW(edit);
  out.chars = n;
  out.usable = false;
  if (n < 0 || n > kPinMax) return;
  n = GetWindowTextW(edit, text.data(), static_cast<int>(text.size()));
  if (n > kPinMax) return;
  BOOL lossy = FALSE;
  int len = n ? WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), n, bytes.data(),
                                    static_cast<int>(bytes.size()), nullptr, &lossy)
              : 0;
  if (lossy || len < 0 || len > kPinMax || (n && !len)) return;
  std::memcpy(out.block.data(), bytes.data(), static_cast<std::size_t>(len));
  out.chars = len;
  out.usable = true;
}

// ---- CDialogPIN ----------------------------------------------------------

class CDialogPIN : public Dialog {
 public:
  CDialogPIN(uint8_t tries, PinDialogHooks& hooks) : tries_(tries), hooks_(hooks) {}

  DWORD result = SCARD_W_CANCELLED_BY_USER;
  vorn::Secret<8> block;
  bool block_valid = false;

 protected:
  BOOL init() override {
    set_title(IDS_PIN_TITLE);
    set_text(IDC_PIN_PROMPT, IDS_PIN_PROMPT);
    set_text(IDC_PIN_LABEL, IDS_PIN_LABEL);
    set_text(IDOK, IDS_OK);
    set_text(IDCANCEL, IDS_CANCEL);
    limit_pin_field(item(IDC_PIN_EDIT));
    if (tries_ == 0) {
      set_text(IDC_PIN_TRIES, IDS_PIN_NO_TRIES);
      EnableWindow(item(IDC_PIN_EDIT), FALSE);
      EnableWindow(item(IDOK), FALSE);
      SendMessageW(hwnd_, DM_SETDEFID, IDCANCEL, 0);
      SetFocus(item(IDCANCEL));
      return FALSE;
    }
    std::wstring line = str(IDS_PIN_TRIES);
    std::size_t at = line.find(L"%d");
    if (at != std::wstring::npos) line.replace(at, 2, std::to_wstring(tries_));
    SetDlgItemTextW(hwnd_, IDC_PIN_TRIES, line.c_str());
    SetFocus(item(IDC_PIN_EDIT));
    return FALSE;
  }

  void ok() override {
    if (tries_ == 0) return;  // OK is disabled; Enter must not reach the card either
    PinRead pin;
    read_pin(item(IDC_PIN_EDIT), pin);
    wipe_field(item(IDC_PIN_EDIT));
    // A PIN that cannot be a card PIN is refused without costing a try.
    result = pin.usable ? hooks_.verify(pin.block.data()) : SCARD_W_WRONG_CHV;
    if (result == CARDERR_WRONG_PIN && tries_ > 0) {
      --tries_;
      if (tries_ == 0) result = CARDERR_SW_PIN_BLOCKED;
    }
    if (result == 0) {
      std::memcpy(block.data(), pin.block.data(), 8);
      block_valid = true;
    }
    EndDialog(hwnd_, IDOK);
  }

  void cancel() override {
    result = SCARD_W_CANCELLED_BY_USER;
    EndDialog(hwnd_, IDCANCEL);
  }

  void destroying() override { wipe_field(item(IDC_PIN_EDIT)); }

 private:
  uint8_t tries_;
  PinDialogHooks& hooks_;
};

// ---- CDialogChangePIN ----------------------------------------------------

class CDialogChangePIN : public Dialog {
 public:
  explicit CDialogChangePIN(PinDialogHooks& hooks) : hooks_(hooks) {}

  DWORD result = SCARD_W_CANCELLED_BY_USER;
  vorn::Secret<8> new_block;
  bool new_valid = false;

 protected:
  BOOL init() override {
    set_title(IDS_CHG_TITLE);
    set_text(IDC_CHG_OLD_LABEL, IDS_CHG_OLD);
    set_text(IDC_CHG_NEW_LABEL, IDS_CHG_NEW);
    set_text(IDC_CHG_CONFIRM_LABEL, IDS_CHG_CONFIRM);
    set_text(IDOK, IDS_OK);
    set_text(IDCANCEL, IDS_CANCEL);
    for (int id : kFields) limit_pin_field(item(id));
    SetFocus(item(IDC_CHG_OLD));
    return FALSE;
  }

  void ok() override {
    PinRead old_pin, new_pin, confirm;
    read_pin(item(IDC_CHG_OLD), old_pin);
    read_pin(item(IDC_CHG_NEW), new_pin);
    read_pin(item(IDC_CHG_CONFIRM), confirm);
    for (int id : kFields) wipe_field(item(id));
    if (!new_pin.usable || !confirm.usable ||
        !plat_ct_equal(confirm.block.data(), new_pin.block.data(), 8)) {
      result = SCARD_W_CARD_NOT_AUTHENTICATED;
    } else if (new_pin.chars < 4) {
      result = SCARD_E_INVALID_CHV;
    } else if (!old_pin.usable) {
      result = SCARD_W_WRONG_CHV;
    } else {
      result = hooks_.change(old_pin.block.data(), new_pin.block.data());
      if (result == 0) {
        std::memcpy(new_block.data(), new_pin.block.data(), 8);
        new_valid = true;
      }
    }
    EndDialog(hwnd_, IDOK);
  }

  void cancel() override {
    result = SCARD_W_CANCELLED_BY_USER;
    EndDialog(hwnd_, IDCANCEL);
  }

  void destroying() override {
    for (int id : kFields) wipe_field(item(id));
  }

 private:
  static constexpr int kFields[3] = {IDC_CHG_OLD, IDC_CHG_NEW, IDC_CHG_CONFIRM};
  PinDialogHooks& hooks_;
};

// ---- DialogErrorInfo -----------------------------------------------------

class DialogErrorInfo : public Dialog {
 public:
  explicit DialogErrorInfo(DWORD code) : code_(code) {}

 protected:
  BOOL init() override {
    set_text(IDOK, IDS_OK);
    if (code_ == CARDERR_WRONG_PIN) {
      set_title(IDS_ERR_AUTH_TITLE);
      set_text(IDC_ERR_MESSAGE, IDS_ERR_AUTH_TEXT);
    } else if (code_ == CARDERR_SW_PIN_BLOCKED) {
      set_title(IDS_ERR_BLOCKED_TITLE);
      set_text(IDC_ERR_MESSAGE, IDS_ERR_BLOCKED_TEXT);
    }
    code_ = 0;
    SetFocus(item(IDOK));
    return FALSE;
  }
  void cancel() override { EndDialog(hwnd_, IDCANCEL); }

 private:
  DWORD code_;
};

// ---- CDialogoSMARTCARDS --------------------------------------------------

class CDialogoSMARTCARDS : public Dialog {
 public:
  CDialogoSMARTCARDS(const char* first, const char* second)
      : first_(first ? first : ""), second_(second ? second : "") {}

  int selection = -1;
  bool cancelled = true;

 protected:
  BOOL init() override {
    set_title(IDS_RDR_TITLE);
    set_text(IDC_RDR_HEADING, IDS_RDR_HEADING);
    set_text(IDC_RDR_RADIO1, IDS_RDR_READER1);
    set_text(IDC_RDR_RADIO2, IDS_RDR_READER2);
    set_text(IDOK, IDS_OK);
    set_text(IDCANCEL, IDS_CANCEL);
    SetDlgItemTextA(hwnd_, IDC_RDR_NAME1, first_);
    SetDlgItemTextA(hwnd_, IDC_RDR_NAME2, second_);
    // No radio button starts selected; the focus goes to OK so that it
    // does not select one by itself.
    SetFocus(item(IDOK));
    return FALSE;
  }

  void ok() override {
    selection = IsDlgButtonChecked(hwnd_, IDC_RDR_RADIO1) == BST_CHECKED   ? 0
                : IsDlgButtonChecked(hwnd_, IDC_RDR_RADIO2) == BST_CHECKED ? 1
                                                                           : -1;
    cancelled = false;
    EndDialog(hwnd_, IDOK);
  }

 private:
  const char* first_;
  const char* second_;
};

}  // namespace

void dialogs_set_module(HINSTANCE m) { g_module = m; }

LANGID dialogs_language() {
  return PRIMARYLANGID(GetThreadUILanguage()) == LANG_SPANISH ? kSpanish : kEnglish;
}

std::wstring dialogs_string(unsigned id, LANGID lang) {
  // String tables are stored in blocks of 16, each string a length-prefixed
  // run of UTF-16 units.
  HINSTANCE m = module();
  HRSRC r = FindResourceExW(m, reinterpret_cast<LPCWSTR>(RT_STRING), MAKEINTRESOURCEW(id / 16 + 1), lang);
  if (!r) return {};
  HGLOBAL g = LoadResource(m, r);
  DWORD size = SizeofResource(m, r) / sizeof(WCHAR);
  const auto* p = static_cast<const WCHAR*>(g ? LockResource(g) : nullptr);
  if (!p) return {};
  DWORD at = 0;
  for (unsigned i = 0; i < id % 16; ++i) {
    if (at >= size) return {};
    at += 1u + p[at];
  }
  if (at >= size || at + 1u + p[at] > size) return {};
  return std::wstring(p + at + 1, p[at]);
}

DWORD dlg_pin(HWND owner, uint8_t tries_left, PinDialogHooks& hooks, uint8_t block_out[8]) {
  CDialogPIN d(tries_left, hooks);
  DWORD error = 0;
  if (!d.run(owner, IDD_VORN_PIN, &error)) return error;
  if (d.result == 0 && d.block_valid) std::memcpy(block_out, d.block.data(), 8);
  return d.result;
}

DWORD dlg_change_pin(HWND owner, PinDialogHooks& hooks, uint8_t new_block_out[8]) {
  CDialogChangePIN d(hooks);
  DWORD error = 0;
  if (!d.run(owner, IDD_VORN_CHANGEPIN, &error)) return error;
  if (d.result == 0 && d.new_valid) std::memcpy(new_block_out, d.new_block.data(), 8);
  return d.result;
}

void dlg_error(HWND owner, DWORD code) {
  DialogErrorInfo d(code);
  DWORD error = 0;
  d.run(owner, IDD_VORN_ERROR, &error);
}

int dlg_readers(HWND owner, const char* first, const char* second, bool* cancelled) {
  CDialogoSMARTCARDS d(first, second);
  DWORD error = 0;
  // A dialog that could not be shown picks no reader: the caller fails as
  // for Cancel rather than choosing a card the user never saw.
  bool shown = d.run(owner, IDD_VORN_READERS, &error);
  if (cancelled) *cancelled = !shown || d.cancelled;
  return shown && !d.cancelled ? d.selection : -1;
}

}  // namespace csp
