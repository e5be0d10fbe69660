// Kestrelink: the tray program that keeps the user's certificate stores in
// step with the VORN cards in the attached readers.
//
// Threads: the user-interface thread (hidden frame, 2000 ms refresh timer)
// and one monitor thread per watched reader (at most 10). The synchroniser
// lock guards the reader slot table and every card read and store change;
// the icon lock every tray change. The two are never nested.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>
#include <winscard.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cardlayer.h"
#include "containers.h"

// ---- fixed values ----------------------------------------------------------
inline constexpr unsigned KL_READERS = 10;
inline constexpr unsigned KL_NAME_LEN = 256;
inline constexpr UINT KL_TIMER_ID = 39;
inline constexpr UINT KL_TIMER_MS = 2000;
inline constexpr UINT KL_TRAY_MESSAGE = 0x400;  // WM_USER, sent by the tray icons
inline constexpr UINT KL_FIRST_ICON_ID = 3;     // tray icon id of slot s = s + 3
inline constexpr unsigned KL_CERTS = 20;        // certificate read / imported tables
inline constexpr DWORD KL_FRIENDLY_MAX = 1024;  // bytes of a friendly name read

inline constexpr const char* KL_CLASS_NAME = "Kestrelink_AppClass";
// The card type as the locate call takes it: a multi-string (double NUL).
inline constexpr char KL_CARD_TYPES[] = "Grupo K.ROS VORN\0";
inline constexpr const char* KL_MARKER = "-Kestrelink-";
inline constexpr const char* KL_CONTAINER_PREFIX = "\\\\.\\";  // \\.\ (four characters)
inline constexpr const wchar_t* KL_PROVIDER = L"VORN_CSP";

// ---- out of memory: message and exit code 1 ----------------------------------
[[noreturn]] void KestrelinkOutOfMemory(HWND owner);

// ---- the stores (certificate import) ---------------------------------------
struct CertRead {  // one entry of the certificate read table
  std::vector<std::uint8_t> content;  // DER; empty = free entry
  std::uint32_t id = 0;               // card object identifier
};

struct ImportedCert {  // one entry of the imported-certificate table
  PCCERT_CONTEXT holder = nullptr;  // context returned when added; null = none
  DWORD fp_len = 0;                 // 0 = free for the next import
  std::vector<std::uint8_t> fp;     // SHA-1 hash property of the added certificate
};
using ImportedTable = std::array<ImportedCert, KL_CERTS>;

// The synchroniser's 100 container records, shared by every watcher (used
// under the synchroniser lock only).
class SyncContainers final : public CmapTable {
 public:
  std::size_t size() const override { return records_.size(); }
  CmapRecord& at(std::size_t i) override { return records_[i]; }
  void release(std::size_t i) override { records_[i] = CmapRecord{}; }
  void clear_all() {
    for (auto& r : records_) r = CmapRecord{};
  }

 private:
  std::array<CmapRecord, 100> records_;
};
SyncContainers& KestrelinkContainers();

class CMainFrame;

// ---- one tray icon, and the watcher of one reader ----------------------------
class Icono {
 public:
  Icono();
  virtual ~Icono();
  Icono(const Icono&) = delete;
  Icono& operator=(const Icono&) = delete;

  // Tray part (each call made with the icon lock held).
  void InitIcon(UINT icon_id, CRITICAL_SECTION* icon_lock);
  void SetNotifyWindow(HWND owner);
  void SetDisplayText(const char* text);
  BOOL SetIcon(UINT icon_resource);
  BOOL SetNotifyIcon(HICON icon, const char* text);
  // SetIcon under the icon lock.
  void ShowIcon(UINT icon_resource);
  const char* tip() const { return nid_.szTip; }
  bool shown() const { return shown_icon_ != nullptr; }

  // The notification record in its 504-byte form and the display text.
  NOTIFYICONDATAA nid_{};
  char display_[KL_NAME_LEN] = {};
  HWND frame_window_ = nullptr;
  CRITICAL_SECTION* icon_lock_ = nullptr;
  HICON shown_icon_ = nullptr;

  // Watcher part.
  CMainFrame* frame_ = nullptr;
  SCARD_READERSTATEA rs_{};
  char reader_[KL_NAME_LEN] = {};
  unsigned slot_ = 0;
  SCARDCONTEXT main_ctx_ = 0;
  SCARDCONTEXT own_ctx_ = 0;
  CRITICAL_SECTION* sync_lock_ = nullptr;
  std::atomic<std::uint32_t>* reader_index_ = nullptr;  // the frame's array

  ImportedTable imported_;
  std::array<std::uint32_t, CMAP_MAX_OBJECTS> objects_{};
  DWORD object_count_ = 0;
  CmapCache cells_;
  std::array<CertRead, KL_CERTS> read_;
};

// Store synchronisation, on a reader thread. Results: 0 or a platform code.
bool ReconcileContainerMap(Icono& w, SCARDHANDLE card, std::uint32_t reader_index);
DWORD ReadCardCertificates(Icono& w, SCARDHANDLE card, std::uint32_t reader_index);
DWORD ImportCertificates(Icono& w);
DWORD ChooseStore(const std::uint8_t* cert, DWORD len, std::uint32_t id, bool* went_to_root,
                  const char* reader, PCCERT_CONTEXT* holder, const CmapCache& cells);
DWORD AddToStore(const std::uint8_t* cert, DWORD len, std::uint32_t id, const char* store,
                 bool is_signature, const char* reader, const char* container,
                 PCCERT_CONTEXT* holder);
DWORD RemoveAddedCertificates(const char* reader, const char* store, ImportedTable* imported);
// Opens the current user's registry system store `name`.
HCERTSTORE KestrelinkOpenStore(const char* name);

// ---- the main frame and the reader slots --------------------------------------
struct ReaderSlot {
  char name[KL_NAME_LEN] = {};  // empty = free slot
  SCARD_READERSTATEA rs{};      // szReader points at name
  HANDLE thread = nullptr;
  DWORD thread_id = 0;
};

class CMainFrame {
 public:
  // Establishes the main context (failure: message and exit code 1), clears
  // the slots, removes stale certificates ("MY", then "AddressBook").
  CMainFrame();
  // Stops every monitor thread (their certificates and icons go with them).
  virtual ~CMainFrame();
  CMainFrame(const CMainFrame&) = delete;
  CMainFrame& operator=(const CMainFrame&) = delete;

  // Creates the hidden frame window of class "Kestrelink_AppClass".
  bool LoadFrame(HINSTANCE inst);
  LRESULT OnTrayNotification(WPARAM id, LPARAM mouse);
  void OnTimer();

  HWND hwnd_ = nullptr;
  SCARDCONTEXT main_ctx_ = 0;
  CRITICAL_SECTION sync_lock_;
  CRITICAL_SECTION icon_lock_;
  std::array<ReaderSlot, KL_READERS> slots_;
  std::array<SCARDCONTEXT, KL_READERS> cancel_ctx_{};
  std::array<std::atomic<std::uint32_t>, KL_READERS> reader_index_{};
  std::atomic<bool> stopping_{false};
  WNDPROC default_proc_ = nullptr;
};

// ---- monitor threads ---------------------------------------------------------
// What the refresh hands to a new thread; the thread owns it and frees it.
struct StartBlock {
  std::uint32_t reader_index = 0;
  unsigned slot = 0;
  CMainFrame* frame = nullptr;
  SCARD_READERSTATEA rs{};
  char name[KL_NAME_LEN] = {};
  SCARDCONTEXT main_ctx = 0;
  CRITICAL_SECTION* icon_lock = nullptr;
  CRITICAL_SECTION* sync_lock = nullptr;
  SCARDCONTEXT* cancel_ctx = nullptr;
  std::atomic<std::uint32_t>* reader_index_array = nullptr;
};

LONG RefreshReaders(CMainFrame* frame);
DWORD WINAPI ReaderThreadMain(LPVOID start_block);
void WatchReader(Icono* w);
LONG OnCardInserted(Icono* w, std::uint32_t reader_index);
LONG OnCardRemoved(Icono* w);
void FinishWatch(Icono* w);
BOOL SwitchToDefaultDesktop();
// Starts the monitor thread of local record rs (reader index i) in the
// first free slot; the caller holds the synchroniser lock.
LONG StartReaderThread(CMainFrame* frame, const SCARD_READERSTATEA& rs, std::uint32_t i);
// Frame destruction: cancel, release the main context, wait, clean up.
void StopReaderThreads(CMainFrame* frame);

// Test hooks (null in the program).
extern std::function<void()> g_kestrelink_thread_start_hook;  // first thing a new thread runs
extern std::atomic<int> g_kestrelink_live_start_blocks;        // start blocks not yet freed

// ---- the application -----------------------------------------------------------
// The program's instance (resources) and the out-of-memory handler.
void KestrelinkSetInstance(HINSTANCE inst);

class CKROSCERTApp {
 public:
  virtual ~CKROSCERTApp() = default;
  virtual BOOL InitInstance();
  virtual int ExitInstance() { return 0; }
  int Run();
  HINSTANCE instance_ = nullptr;
  CMainFrame* main_frame_ = nullptr;
};

class CAbout {
 public:
  virtual ~CAbout() = default;
  INT_PTR DoModal(HWND owner);
};
