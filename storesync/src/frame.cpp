// The application object, the hidden main frame and the About box.
#include <cstdio>
#include <cstdlib>
#include <new>

#include "kestrelink.h"
#include "res/resource.h"

namespace {

CMainFrame* g_frame = nullptr;
HINSTANCE g_instance = nullptr;

constexpr DWORD kFrameStyle = 0xCF8000;  // overlapped window + add-to-title

LRESULT CALLBACK frame_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  CMainFrame* f = g_frame;
  if (f == nullptr || f->hwnd_ != hwnd) return DefWindowProcA(hwnd, msg, wp, lp);
  switch (msg) {
    case WM_TIMER:
      if (wp == KL_TIMER_ID) {
        f->OnTimer();
        return 0;
      }
      break;
    case KL_TRAY_MESSAGE:
      return f->OnTrayNotification(wp, lp);
    case WM_COMMAND:
      if (LOWORD(wp) == ID_APP_ABOUT) {
        CAbout about;
        about.DoModal(hwnd);
        return 0;
      }
      if (LOWORD(wp) == ID_APP_EXIT) {
        SendMessageA(hwnd, WM_CLOSE, 0, 0);
        return 0;
      }
      break;
    case WM_DESTROY:
      KillTimer(hwnd, KL_TIMER_ID);
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return CallWindowProcA(f->default_proc_, hwnd, msg, wp, lp);
}

INT_PTR CALLBACK about_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
  if (msg == WM_INITDIALOG) return TRUE;
  if (msg == WM_COMMAND && (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL)) {
    EndDialog(dlg, LOWORD(wp));
    return TRUE;
  }
  return FALSE;
}

void new_handler() { KestrelinkOutOfMemory(g_frame != nullptr ? g_frame->hwnd_ : nullptr); }

}  // namespace

[[noreturn]] void KestrelinkOutOfMemory(HWND owner) {
  MessageBoxA(owner, "Error de memoria en el Kestrelink.", "ERROR DE MEMORIA", MB_OK | MB_ICONERROR);
  ExitProcess(1);
}

CMainFrame::CMainFrame() {
  InitializeCriticalSection(&sync_lock_);
  InitializeCriticalSection(&icon_lock_);
  LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &main_ctx_);
  if (rv != SCARD_S_SUCCESS) {
    wchar_t text[128];
    _snwprintf(text, 128, L"Error de inicialización en el Kestrelink. ERROR: 0x%X", static_cast<unsigned>(rv));
    text[127] = 0;
    MessageBoxW(hwnd_, text, L"ERROR DE INICIALIZACIÓN", MB_OK | MB_ICONERROR);
    ExitProcess(1);
  }
  for (unsigned s = 0; s < KL_READERS; ++s) {
    slots_[s] = ReaderSlot{};
    slots_[s].rs.szReader = slots_[s].name;
    cancel_ctx_[s] = 0;
    reader_index_[s] = 0;
  }
  RemoveAddedCertificates(nullptr, "MY", nullptr);
  RemoveAddedCertificates(nullptr, "AddressBook", nullptr);
}

CMainFrame::~CMainFrame() {
  StopReaderThreads(this);
  if (hwnd_ != nullptr && IsWindow(hwnd_)) KillTimer(hwnd_, KL_TIMER_ID);
  DeleteCriticalSection(&icon_lock_);
  DeleteCriticalSection(&sync_lock_);
}

bool CMainFrame::LoadFrame(HINSTANCE inst) {
  char title[128] = "";
  LoadStringA(inst, IDR_MAINFRAME, title, sizeof title);
  hwnd_ = CreateWindowExA(0, KL_CLASS_NAME, title, kFrameStyle, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, nullptr, nullptr, inst, nullptr);
  if (hwnd_ == nullptr) return false;
  default_proc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(frame_proc)));
  SetTimer(hwnd_, KL_TIMER_ID, KL_TIMER_MS, nullptr);
  return true;
}

void CMainFrame::OnTimer() {
  KillTimer(hwnd_, KL_TIMER_ID);
  RefreshReaders(this);
  SetTimer(hwnd_, KL_TIMER_ID, KL_TIMER_MS, nullptr);
}

LRESULT CMainFrame::OnTrayNotification(WPARAM id, LPARAM mouse) {
  if (id < KL_FIRST_ICON_ID || id >= KL_FIRST_ICON_ID + KL_READERS) return 0;
  if (mouse != WM_RBUTTONUP && mouse != WM_LBUTTONDBLCLK) return 0;
  HMENU menu = LoadMenuA(g_instance, MAKEINTRESOURCEA(id));
  if (menu == nullptr) return 0;
  HMENU popup = GetSubMenu(menu, 0);
  if (popup == nullptr) {
    DestroyMenu(menu);
    return 0;
  }
  if (mouse == WM_RBUTTONUP) {
    SetMenuDefaultItem(popup, 0, TRUE);
    POINT pt{};
    GetCursorPos(&pt);
    SetForegroundWindow(hwnd_);
    TrackPopupMenu(popup, 0, pt.x, pt.y, 0, hwnd_, nullptr);
  } else {
    SendMessageA(hwnd_, WM_COMMAND, GetMenuItemID(popup, 0), 0);
  }
  DestroyMenu(menu);
  return 1;
}

INT_PTR CAbout::DoModal(HWND owner) {
  return DialogBoxParamA(g_instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), owner, about_proc, 0);
}

BOOL CKROSCERTApp::InitInstance() {
  if (FindWindowA(KL_CLASS_NAME, nullptr) != nullptr) return FALSE;  // one copy per logon
  // The command line is accepted and not acted on.
  WNDCLASSA wc{};
  wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = instance_;
  wc.hIcon = LoadIconA(instance_, MAKEINTRESOURCEA(IDR_MAINFRAME));
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = KL_CLASS_NAME;
  if (RegisterClassA(&wc) == 0) return FALSE;
  auto* frame = new CMainFrame;
  g_frame = frame;
  if (!frame->LoadFrame(instance_)) {
    g_frame = nullptr;
    delete frame;
    return FALSE;
  }
  ShowWindow(frame->hwnd_, SW_HIDE);
  UpdateWindow(frame->hwnd_);
  main_frame_ = frame;
  return TRUE;
}

int CKROSCERTApp::Run() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  // The frame window is gone: its destruction stops the monitor threads.
  delete main_frame_;
  main_frame_ = nullptr;
  g_frame = nullptr;
  return ExitInstance();
}

void KestrelinkSetInstance(HINSTANCE inst) {
  g_instance = inst;
  std::set_new_handler(new_handler);
}
