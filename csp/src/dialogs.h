// The provider's four modal dialogs (PIN, change PIN, error, reader choice),
// small classes of our own over plain Win32: templates and string tables in
// csp/res/dialogs.rc, modal through DialogBoxParamW, data exchange in
// WM_INITDIALOG and the OK handler. Texts come from the string table of the
// calling thread's UI language: Spanish for any Spanish UI language, English
// for every other.
//
// The dialogs never talk to the card: the PIN and change-PIN dialogs hand the
// 8-byte PIN blocks (characters, then 0xFF) to PinDialogHooks, which the
// provider implements over its card operations.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace csp {

struct PinDialogHooks {
  virtual ~PinDialogHooks() = default;
  // Verify PIN 0x11 with the block: 0, CARDERR_WRONG_PIN, the blocked code
  // 0x20006983, SCARD_W_SECURITY_VIOLATION or a card code.
  virtual DWORD verify(const uint8_t block8[8]) = 0;
  // Change PIN 0x11 from old8 to new8.
  virtual DWORD change(const uint8_t old8[8], const uint8_t new8[8]) = 0;
};

// The module holding the templates and strings (the DLL's instance, set in
// DllMain's process attach; a test program passes its own).
void dialogs_set_module(HINSTANCE module);

// The PIN dialog. tries_left is the card's count (0 shows "no more
// attempts" with OK and the PIN field disabled). OK builds the block and
// calls hooks.verify: a wrong PIN costs one try, and the last one gives
// 0x20006983. Returns 0 with block_out filled, the verification's code,
// SCARD_W_CANCELLED_BY_USER on Cancel, or the system's error when the
// dialog cannot be shown. The PIN is wiped from memory and from the field.
DWORD dlg_pin(HWND owner, uint8_t tries_left, PinDialogHooks& hooks, uint8_t block_out[8]);

// The change-PIN dialog. OK: confirmation different from the new PIN gives
// SCARD_W_CARD_NOT_AUTHENTICATED, a new PIN under 4 characters
// SCARD_E_INVALID_CHV (the hook is not called for either); otherwise the
// result of hooks.change, with new_block_out filled on success. Cancel
// gives SCARD_W_CANCELLED_BY_USER.
DWORD dlg_change_pin(HWND owner, PinDialogHooks& hooks, uint8_t new_block_out[8]);

// The error dialog for CARDERR_WRONG_PIN or 0x20006983 (any other code shows
// an empty title and message).
void dlg_error(HWND owner, DWORD code);

// The reader dialog with two reader names: the selected radio button's index
// (-1 when none is selected). Cancel sets *cancelled and returns -1.
int dlg_readers(HWND owner, const char* first, const char* second, bool* cancelled);

// The language the dialogs use on the calling thread (1033 or 3082) and a
// string of the table in that language (empty when missing).
LANGID dialogs_language();
std::wstring dialogs_string(unsigned id, LANGID lang);

}  // namespace csp
