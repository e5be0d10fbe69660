// One tray icon per watched reader.
#include <cstring>

#include "kestrelink.h"

static_assert(sizeof(void*) != 8 || NOTIFYICONDATAA_V2_SIZE == 504, "the tray record in its 504-byte form");

Icono::Icono() {
  for (auto& e : imported_) e = ImportedCert{};
}

Icono::~Icono() {
  if (icon_lock_ != nullptr) {
    EnterCriticalSection(icon_lock_);
    SetIcon(0);
    LeaveCriticalSection(icon_lock_);
  }
  for (auto& e : imported_) {
    if (e.holder != nullptr) CertFreeCertificateContext(e.holder);
  }
}

void Icono::InitIcon(UINT icon_id, CRITICAL_SECTION* icon_lock) {
  std::memset(&nid_, 0, sizeof nid_);
  nid_.cbSize = NOTIFYICONDATAA_V2_SIZE;
  nid_.uID = icon_id;
  display_[0] = 0;
  icon_lock_ = icon_lock;
  LoadStringA(GetModuleHandleA(nullptr), icon_id, nid_.szTip, sizeof nid_.szTip);
}

void Icono::SetNotifyWindow(HWND owner) {
  frame_window_ = owner;
  nid_.hWnd = owner;
  nid_.uCallbackMessage = KL_TRAY_MESSAGE;
}

void Icono::SetDisplayText(const char* text) {
  lstrcpynA(display_, text, sizeof display_);
}

BOOL Icono::SetIcon(UINT icon_resource) {
  if (icon_resource == 0) return SetNotifyIcon(nullptr, display_);
  HINSTANCE inst = GetModuleHandleA(nullptr);
  LoadStringA(inst, icon_resource, nid_.szTip, sizeof nid_.szTip);
  HICON icon = static_cast<HICON>(LoadImageA(inst, MAKEINTRESOURCEA(icon_resource), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_SHARED));
  return SetNotifyIcon(icon, display_);
}

BOOL Icono::SetNotifyIcon(HICON icon, const char* text) {
  nid_.uFlags = 0;
  DWORD action;
  if (icon != nullptr) {
    action = shown_icon_ != nullptr ? NIM_MODIFY : NIM_ADD;
    shown_icon_ = icon;
    nid_.hIcon = icon;
    nid_.uFlags |= NIF_ICON;
  } else {
    if (shown_icon_ == nullptr) return TRUE;
    action = NIM_DELETE;
  }
  lstrcpynA(nid_.szTip, text, sizeof nid_.szTip);
  if (nid_.szTip[0] != 0) nid_.uFlags |= NIF_TIP;
  if (nid_.uCallbackMessage != 0 && nid_.hWnd != nullptr) nid_.uFlags |= NIF_MESSAGE;
  BOOL ok = Shell_NotifyIconA(action, &nid_);
  if (action == NIM_DELETE || !ok) shown_icon_ = nullptr;
  return ok;
}

void Icono::ShowIcon(UINT icon_resource) {
  EnterCriticalSection(icon_lock_);
  SetIcon(icon_resource);
  LeaveCriticalSection(icon_lock_);
}
