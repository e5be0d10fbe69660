// Module frame: the exported function list, C_Initialize / C_Finalize, the
// locking choice, C_GetInfo and the shared answer of unsupported functions.
#include <cstring>

#if !defined(_WIN32)
#include <pthread.h>
#include <unistd.h>
#endif

#include "cardlayer.h"
#include "entry.h"
#include "lock.h"
#include "module.h"
#include "vorn/personalisation.h"
#include "vorn_p11_ext.h"

namespace p11 {

Module& mod() {
  static Module* m = new Module;  // outlives static destructors of clients
  return *m;
}

Guard::Guard(LockId id) {
  Module& m = mod();
  if (m.lock_mutex != nullptr && m.locks[id] != nullptr) {
    handle_ = m.locks[id];
    m.lock_mutex(handle_);
  }
}

Guard::~Guard() {
  if (handle_ != nullptr && mod().unlock_mutex != nullptr) mod().unlock_mutex(handle_);
}

namespace {

// Creates the 22 handles. Locking the caller asked for is never dropped
// quietly: a handle that cannot be made fails C_Initialize.
CK_RV locks_create() {
  Module& m = mod();
  m.locks.fill(nullptr);
  for (auto& h : m.locks) {
    CK_RV rv = m.create_mutex(&h);
    if (rv != CKR_OK || h == nullptr) {
      h = nullptr;
      return rv == CKR_HOST_MEMORY ? CKR_HOST_MEMORY : CKR_CANT_LOCK;
    }
  }
  return CKR_OK;
}

void locks_destroy() {
  Module& m = mod();
  for (auto& h : m.locks) {
    if (h != nullptr && m.destroy_mutex != nullptr) m.destroy_mutex(h);
    h = nullptr;
  }
  m.create_mutex = nullptr;
  m.destroy_mutex = nullptr;
  m.lock_mutex = nullptr;
  m.unlock_mutex = nullptr;
}

#if !defined(_WIN32)
pid_t g_init_pid = 0;     // the process that initialised the module
bool g_inherited = false;  // slots and handles below belong to the parent

// Child side of fork(): the memory says "initialised", but the lock file,
// the PC/SC context and the card handles are the parent's. Until the child's
// own C_Initialize every entry point answers "not initialised" and takes no
// lock; nothing of the parent's is unlocked, released or detached.
void after_fork_child() {
  Module& m = mod();
  oslock_forget_after_fork();
  m.create_mutex = nullptr;
  m.destroy_mutex = nullptr;
  m.lock_mutex = nullptr;
  m.unlock_mutex = nullptr;
  m.locks.fill(nullptr);
  if (m.initialised()) {
    g_inherited = true;
    m.flags &= ~kFlagInitialised;
  }
  for (auto& slot : m.slots) {
    plat_wipe(slot.pin.data(), slot.pin.size());
    slot.pin_held = false;
  }
}

[[maybe_unused]] const int g_atfork = pthread_atfork(nullptr, nullptr, after_fork_child);

// Drops what a forked child inherited, in memory only: no PC/SC call, no
// detach (the parent still uses its connections and table slots).
void forget_inherited() {
  Module& m = mod();
  for (auto& slot : m.slots) {
    slot.card = 0;
    slot.context = 0;
    slot.info.flags &= ~static_cast<CK_FLAGS>(CKF_TOKEN_PRESENT);
    token_teardown(slot);
    slot.in_use = false;
    slot.info = CK_SLOT_INFO{};
    slot.reader.clear();
  }
  m.slot_count = 0;
  m.flags &= ~(kFlagInitialised | kFlagNoLocking);
  g_inherited = false;
}
#endif

}  // namespace

CK_RV unsupported() {
  return p11_module([] { return CKR_FUNCTION_NOT_SUPPORTED; });
}

}  // namespace p11

using namespace p11;

static CK_RV C_Initialize_body(CK_VOID_PTR pInitArgs) {
  Module& m = mod();
#if !defined(_WIN32)
  if (m.initialised() && g_init_pid != getpid()) after_fork_child();  // forked without the handler
  if (g_inherited) forget_inherited();
#endif
  if (m.initialised()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  auto* args = static_cast<CK_C_INITIALIZE_ARGS*>(pInitArgs);
  if (args != nullptr && args->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
  m.handle_counter = 0;
  m.sessions_opened = 0;
  m.object_counter = 0;

  int given = 0;
  if (args != nullptr) {
    given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
            (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
  }
  if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
  m.flags &= ~kFlagNoLocking;
  if (args == nullptr || (given == 0 && (args->flags & CKF_OS_LOCKING_OK) == 0)) {
    m.flags |= kFlagNoLocking;
  } else {
    if (given == 4) {
      m.create_mutex = args->CreateMutex;
      m.destroy_mutex = args->DestroyMutex;
      m.lock_mutex = args->LockMutex;
      m.unlock_mutex = args->UnlockMutex;
    } else {
      m.create_mutex = oslock_create;
      m.destroy_mutex = oslock_destroy;
      m.lock_mutex = oslock_lock;
      m.unlock_mutex = oslock_unlock;
    }
    CK_RV rv = locks_create();
    if (rv != CKR_OK) {
      locks_destroy();
      return rv;
    }
  }

  // The card state table is shared with the user's other processes; without
  // it the secure channel could not be shared safely, so nothing starts.
  if (card_table_open("PKCS11_VORN") != VORN_OK) {
    locks_destroy();
    return CKR_GENERAL_ERROR;
  }

  if (m.slot_count == 0) {
    CK_RV rv;
    {
      Guard g(kLockModule);
      rv = reader_scan();
    }
    if (rv != CKR_OK) {
      locks_destroy();
      return CKR_FUNCTION_FAILED;
    }
  }
#if !defined(_WIN32)
  g_init_pid = getpid();
#endif
  m.flags |= kFlagInitialised;
  return CKR_OK;
}

static CK_RV C_Finalize_body(CK_VOID_PTR pReserved) {
  Module& m = mod();
  if (!m.initialised()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  {
    Guard g(kLockModule);
    if (pReserved != nullptr) return CKR_ARGUMENTS_BAD;
    SCARDCONTEXT ctx = 0;
    for (auto& slot : m.slots) {
      if (slot.in_use && slot.token_present()) token_teardown(slot);
      if (slot.context != 0) ctx = slot.context;
      slot.in_use = false;
    }
    for (auto& slot : m.slots) {
      token_teardown(slot);  // resets the token part of empty slots too
      slot.context = 0;
      slot.info = CK_SLOT_INFO{};
      slot.reader.clear();
    }
    if (ctx != 0) SCardReleaseContext(ctx);
    m.slot_count = 0;
    m.flags &= ~kFlagInitialised;
  }
  locks_destroy();
  return CKR_OK;
}

static CK_RV C_GetInfo_body(CK_INFO_PTR pInfo) {
  if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
  // Text fields are blank-padded: clients read them as fixed-width text.
  pInfo->cryptokiVersion.major = 2;
  pInfo->cryptokiVersion.minor = 11;
  blank_copy(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Dravenor Microsistemas Ib,S.A");
  pInfo->flags = 0;
  // A module built with the repository's public test keys says so.
  blank_copy(pInfo->libraryDescription, sizeof pInfo->libraryDescription,
             vorn::perso::kIsTestPersonalisation ? "PKCS#11 VORN (TEST KEYS)" : "PKCS#11 VORN");
  pInfo->libraryVersion.major = 1;
  pInfo->libraryVersion.minor = 0;
  return CKR_OK;
}

// The 23 functions the module does not offer share this one body.
static CK_RV unsupported_fn() { return p11::unsupported(); }

#define VORN_UNSUPPORTED(name, params) \
  VORN_P11_EXPORT CK_RV name params { return unsupported_fn(); }

// Each exported name must exist as its own symbol; the list points the 23
// entries at the shared body through these thin exports.
VORN_UNSUPPORTED(C_InitToken, (CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR))
VORN_UNSUPPORTED(C_InitPIN, (CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG))
VORN_UNSUPPORTED(C_GetOperationState, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
VORN_UNSUPPORTED(C_SetOperationState,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE))
VORN_UNSUPPORTED(C_CopyObject,
                 (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
VORN_UNSUPPORTED(C_GetObjectSize, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR))
VORN_UNSUPPORTED(C_DigestKey, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE))
VORN_UNSUPPORTED(C_SignUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
VORN_UNSUPPORTED(C_SignFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
VORN_UNSUPPORTED(C_SignRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
VORN_UNSUPPORTED(C_SignRecover, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
VORN_UNSUPPORTED(C_VerifyUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
VORN_UNSUPPORTED(C_VerifyFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
VORN_UNSUPPORTED(C_VerifyRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
VORN_UNSUPPORTED(C_VerifyRecover, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
VORN_UNSUPPORTED(C_DigestEncryptUpdate,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
VORN_UNSUPPORTED(C_DecryptDigestUpdate,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
VORN_UNSUPPORTED(C_SignEncryptUpdate,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
VORN_UNSUPPORTED(C_DecryptVerifyUpdate,
                 (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
VORN_UNSUPPORTED(C_SeedRandom, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
VORN_UNSUPPORTED(C_GetFunctionStatus, (CK_SESSION_HANDLE))
VORN_UNSUPPORTED(C_CancelFunction, (CK_SESSION_HANDLE))
VORN_UNSUPPORTED(C_WaitForSlotEvent, (CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR))

static VornFunctionList g_list;

static CK_RV C_GetFunctionList_body(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  if (ppFunctionList == nullptr) return CKR_ARGUMENTS_BAD;
  Module& m = mod();
  if ((m.flags & kFlagListFilled) == 0) {
    CK_FUNCTION_LIST& f = g_list.std;
    f.version.major = 0;
    f.version.minor = 5;
#define VORN_FN(name) f.name = name;
    VORN_FN(C_Initialize) VORN_FN(C_Finalize) VORN_FN(C_GetInfo) VORN_FN(C_GetFunctionList)
    VORN_FN(C_GetSlotList) VORN_FN(C_GetSlotInfo) VORN_FN(C_GetTokenInfo)
    VORN_FN(C_GetMechanismList) VORN_FN(C_GetMechanismInfo) VORN_FN(C_InitToken)
    VORN_FN(C_InitPIN) VORN_FN(C_SetPIN) VORN_FN(C_OpenSession) VORN_FN(C_CloseSession)
    VORN_FN(C_CloseAllSessions) VORN_FN(C_GetSessionInfo) VORN_FN(C_GetOperationState)
    VORN_FN(C_SetOperationState) VORN_FN(C_Login) VORN_FN(C_Logout) VORN_FN(C_CreateObject)
    VORN_FN(C_CopyObject) VORN_FN(C_DestroyObject) VORN_FN(C_GetObjectSize)
    VORN_FN(C_GetAttributeValue) VORN_FN(C_SetAttributeValue) VORN_FN(C_FindObjectsInit)
    VORN_FN(C_FindObjects) VORN_FN(C_FindObjectsFinal) VORN_FN(C_EncryptInit)
    VORN_FN(C_Encrypt) VORN_FN(C_EncryptUpdate) VORN_FN(C_EncryptFinal) VORN_FN(C_DecryptInit)
    VORN_FN(C_Decrypt) VORN_FN(C_DecryptUpdate) VORN_FN(C_DecryptFinal) VORN_FN(C_DigestInit)
    VORN_FN(C_Digest) VORN_FN(C_DigestUpdate) VORN_FN(C_DigestKey) VORN_FN(C_DigestFinal)
    VORN_FN(C_SignInit) VORN_FN(C_Sign) VORN_FN(C_SignUpdate) VORN_FN(C_SignFinal)
    VORN_FN(C_SignRecoverInit) VORN_FN(C_SignRecover) VORN_FN(C_VerifyInit) VORN_FN(C_Verify)
    VORN_FN(C_VerifyUpdate) VORN_FN(C_VerifyFinal) VORN_FN(C_VerifyRecoverInit)
    VORN_FN(C_VerifyRecover) VORN_FN(C_DigestEncryptUpdate) VORN_FN(C_DecryptDigestUpdate)
    VORN_FN(C_SignEncryptUpdate) VORN_FN(C_DecryptVerifyUpdate) VORN_FN(C_GenerateKey)
    VORN_FN(C_GenerateKeyPair) VORN_FN(C_WrapKey) VORN_FN(C_UnwrapKey) VORN_FN(C_DeriveKey)
    VORN_FN(C_SeedRandom) VORN_FN(C_GenerateRandom) VORN_FN(C_GetFunctionStatus)
    VORN_FN(C_CancelFunction) VORN_FN(C_WaitForSlotEvent)
#undef VORN_FN
    g_list.CI_SetPUK = CI_SetPUK;
    g_list.CI_UnblockPIN = CI_UnblockPIN;
    g_list.CI_GetLeftTriesPIN = CI_GetLeftTriesPIN;
    g_list.CI_GetLeftTriesPUK = CI_GetLeftTriesPUK;
    m.flags |= kFlagListFilled;
  }
  *ppFunctionList = &g_list.std;
  return CKR_OK;
}

// Unloading finalises a module the caller left initialised.
#if !defined(_WIN32)
__attribute__((destructor)) static void vorn_p11_unload() {
  if (mod().initialised()) C_Finalize(nullptr);
}
#endif

// The exported functions: the body of each behind the boundary of entry.h.
VORN_P11_EXPORT CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
  return p11_entry([&] { return C_Initialize_body(pInitArgs); });
}

VORN_P11_EXPORT CK_RV C_Finalize(CK_VOID_PTR pReserved) {
  return p11_entry([&] { return C_Finalize_body(pReserved); });
}

VORN_P11_EXPORT CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
  return p11_module([&] { return C_GetInfo_body(pInfo); });
}

VORN_P11_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  return p11_entry([&] { return C_GetFunctionList_body(ppFunctionList); });
}
