// A dialog driver for tests (see ui_driver.h).
#include "ui_driver.h"

#include <cstdio>
#include <vector>

namespace csp_ui {
namespace {

constexpr DWORD kPoll = 20;   // ms between looks
constexpr UINT kSendTimeout = 10000;

LRESULT send(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  DWORD_PTR r = 0;
  SendMessageTimeoutW(w, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeout, &r);
  return static_cast<LRESULT>(r);
}

std::wstring window_text(HWND w) {
  int n = static_cast<int>(send(w, WM_GETTEXTLENGTH, 0, 0));
  std::wstring s(static_cast<std::size_t>(n) + 1, L'\0');
  n = static_cast<int>(send(w, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data())));
  s.resize(static_cast<std::size_t>(n < 0 ? 0 : n));
  return s;
}

bool is_dialog(HWND w) {
  wchar_t cls[16] = {};
  return GetClassNameW(w, cls, 16) && std::wstring_view(cls) == L"#32770";
}

struct Search {
  std::wstring_view title;
  bool any;
  HWND found;
};

BOOL CALLBACK look(HWND w, LPARAM lp) {
  auto* s = reinterpret_cast<Search*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (!IsWindowVisible(w) || !is_dialog(w)) return TRUE;
  if (s->any && pid != GetCurrentProcessId()) return TRUE;
  if (!s->any && window_text(w) != s->title) return TRUE;
  // Shown after WM_INITDIALOG, so its texts are set once it is visible
  // and has its buttons.
  if (!GetDlgItem(w, IDOK) && !GetDlgItem(w, IDCANCEL)) return TRUE;
  s->found = w;
  return FALSE;
}

HWND wait_for(Search s, DWORD timeout_ms) {
  for (DWORD waited = 0;; waited += kPoll) {
    s.found = nullptr;
    EnumWindows(look, reinterpret_cast<LPARAM>(&s));
    if (s.found) {
      // Let the dialog's thread finish what it is doing (focus, painting).
      send(s.found, WM_NULL, 0, 0);
      return s.found;
    }
    if (waited >= timeout_ms) return nullptr;
    Sleep(kPoll);
  }
}

HWND control(HWND dialog, int id) { return id ? GetDlgItem(dialog, id) : dialog; }

}  // namespace

HWND wait_dialog(std::wstring_view title, DWORD timeout_ms) { return wait_for({title, false, nullptr}, timeout_ms); }
HWND wait_any_dialog(DWORD timeout_ms) { return wait_for({{}, true, nullptr}, timeout_ms); }

bool wait_closed(HWND window, DWORD timeout_ms) {
  for (DWORD waited = 0; IsWindow(window); waited += kPoll) {
    if (waited >= timeout_ms) return false;
    Sleep(kPoll);
  }
  return true;
}

std::wstring text(HWND dialog, int id) {
  HWND w = control(dialog, id);
  return w ? window_text(w) : std::wstring();
}
bool exists(HWND dialog, int id) { return control(dialog, id) != nullptr; }
bool visible(HWND dialog, int id) {
  HWND w = control(dialog, id);
  return w && (GetWindowLongW(w, GWL_STYLE) & WS_VISIBLE);
}
bool enabled(HWND dialog, int id) {
  HWND w = control(dialog, id);
  return w && IsWindowEnabled(w);
}
bool checked(HWND dialog, int id) {
  HWND w = control(dialog, id);
  return w && send(w, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool active(HWND dialog) { return GetForegroundWindow() == dialog; }

int focus_id(HWND dialog) {
  GUITHREADINFO gi{};
  gi.cbSize = sizeof gi;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &gi) || !gi.hwndFocus) return 0;
  if (gi.hwndFocus != dialog && !IsChild(dialog, gi.hwndFocus)) return 0;
  return GetDlgCtrlID(gi.hwndFocus);
}

void type(HWND dialog, int id, std::wstring_view chars) {
  HWND w = control(dialog, id);
  for (wchar_t c : chars) send(w, WM_CHAR, c, 1);
}

void set_text(HWND dialog, int id, std::wstring_view chars) {
  std::wstring s(chars);
  send(control(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(s.c_str()));
}

void click(HWND dialog, int id) { PostMessageW(control(dialog, id), BM_CLICK, 0, 0); }

void press(HWND dialog, UINT vk) {
  HWND target = dialog;
  if (int id = focus_id(dialog)) target = GetDlgItem(dialog, id);
  UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
  PostMessageW(target, WM_KEYDOWN, vk, 1 | (static_cast<LPARAM>(scan) << 16));
  PostMessageW(target, WM_KEYUP, vk, 1 | (static_cast<LPARAM>(scan) << 16) | (3LL << 30));
}

void keyboard(std::wstring_view chars) {
  std::vector<INPUT> in;
  for (wchar_t c : chars) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wScan = c;
    i.ki.dwFlags = KEYEVENTF_UNICODE;
    in.push_back(i);
    i.ki.dwFlags |= KEYEVENTF_KEYUP;
    in.push_back(i);
  }
  SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

void keyboard_key(WORD vk) {
  INPUT in[2] = {};
  in[0].type = in[1].type = INPUT_KEYBOARD;
  in[0].ki.wVk = in[1].ki.wVk = vk;
  in[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, in, sizeof(INPUT));
}

bool save_bmp(HWND window, const std::wstring& path) {
  // Everything painted first, then the screen's pixels under the window.
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  send(window, WM_NULL, 0, 0);
  GdiFlush();
  RECT r{};
  if (!GetWindowRect(window, &r)) return false;
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;  // bottom-up, as BMP files store rows
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (bmp && mem) {
    HGDIOBJ old = SelectObject(mem, bmp);
    // The screen's pixels: Wine's PrintWindow paints only the dialog's
    // background, without its controls and frame.
    ok = BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    SelectObject(mem, old);
  }
  if (ok) {
    const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
    const DWORD image = stride * static_cast<DWORD>(h);
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;  // "BM"
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + image;
    FILE* f = _wfopen(path.c_str(), L"wb");
    ok = f && fwrite(&fh, sizeof fh, 1, f) == 1 && fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f) == 1 &&
         fwrite(bits, image, 1, f) == 1;
    if (f && fclose(f) != 0) ok = false;
  }
  if (bmp) DeleteObject(bmp);
  if (mem) DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return ok;
}

}  // namespace csp_ui
