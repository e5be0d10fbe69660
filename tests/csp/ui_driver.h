// Drives a dialog as a person would, from another thread or process: find
// it by its title, read its controls, type into a field, press buttons,
// Enter and Escape, and save a screenshot of it. Used by the provider's
// dialog tests and its end-to-end tests under Wine (tools/wine-run --xvfb).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace csp_ui {

// Waits until a visible top-level dialog (class #32770) with this exact
// title exists and has finished its set-up; nullptr after timeout_ms.
// An empty title matches a dialog with no title.
HWND wait_dialog(std::wstring_view title, DWORD timeout_ms = 20000);
// Any visible dialog of this process, whatever its title.
HWND wait_any_dialog(DWORD timeout_ms = 20000);
// Waits until the window is gone; false after timeout_ms.
bool wait_closed(HWND window, DWORD timeout_ms = 20000);

// The window's own text (id 0) or a control's text.
std::wstring text(HWND dialog, int id);
bool exists(HWND dialog, int id);
bool visible(HWND dialog, int id);
bool enabled(HWND dialog, int id);
bool checked(HWND dialog, int id);
// The dialog is the foreground window (it gets what a person types).
bool active(HWND dialog);
// The id of the control that has the keyboard focus in the dialog's thread
// (0 when none, or the focus is not inside the dialog).
int focus_id(HWND dialog);

// Types characters one by one (WM_CHAR), so the field's limits apply.
void type(HWND dialog, int id, std::wstring_view chars);
// Replaces the field's text (WM_SETTEXT: bypasses its limit).
void set_text(HWND dialog, int id, std::wstring_view chars);
// Clicks a button (BM_CLICK, posted: the dialog may close or open another).
void click(HWND dialog, int id);
// Presses a key in the control that has the focus, through the dialog's
// message loop (VK_RETURN, VK_ESCAPE, VK_TAB, ...).
void press(HWND dialog, UINT vk);

// Types on the keyboard (SendInput): the characters, or one key, reach
// whatever window has the keyboard, as a person's typing does.
void keyboard(std::wstring_view chars);
void keyboard_key(WORD vk);

// Saves the window as it is on the screen, frame and caption included, as a
// 24-bit BMP. False when the window cannot be captured or written.
bool save_bmp(HWND window, const std::wstring& path);

}  // namespace csp_ui
