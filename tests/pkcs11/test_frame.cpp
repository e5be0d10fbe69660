// Module frame, slots and tokens: exports and function list, C_Initialize
// arguments and locking, reader scan limits, token and mechanism queries,
// hot plug and removal.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "cardlayer.h"
#include "lock.h"
#include "p11_test.h"

using namespace p11test;

namespace {

const char* kExports[] = {
    "C_Initialize", "C_Finalize", "C_GetInfo", "C_GetFunctionList", "C_GetSlotList", "C_GetSlotInfo",
    "C_GetTokenInfo", "C_GetMechanismList", "C_GetMechanismInfo", "C_InitToken", "C_InitPIN", "C_SetPIN",
    "C_OpenSession", "C_CloseSession", "C_CloseAllSessions", "C_GetSessionInfo", "C_GetOperationState",
    "C_SetOperationState", "C_Login", "C_Logout", "C_CreateObject", "C_CopyObject", "C_DestroyObject",
    "C_GetObjectSize", "C_GetAttributeValue", "C_SetAttributeValue", "C_FindObjectsInit", "C_FindObjects",
    "C_FindObjectsFinal", "C_EncryptInit", "C_Encrypt", "C_EncryptUpdate", "C_EncryptFinal", "C_DecryptInit",
    "C_Decrypt", "C_DecryptUpdate", "C_DecryptFinal", "C_DigestInit", "C_Digest", "C_DigestUpdate", "C_DigestKey",
    "C_DigestFinal", "C_SignInit", "C_Sign", "C_SignUpdate", "C_SignFinal", "C_SignRecoverInit", "C_SignRecover",
    "C_VerifyInit", "C_Verify", "C_VerifyUpdate", "C_VerifyFinal", "C_VerifyRecoverInit", "C_VerifyRecover",
    "C_DigestEncryptUpdate", "C_DecryptDigestUpdate", "C_SignEncryptUpdate", "C_DecryptVerifyUpdate",
    "C_GenerateKey", "C_GenerateKeyPair", "C_WrapKey", "C_UnwrapKey", "C_DeriveKey", "C_SeedRandom",
    "C_GenerateRandom", "C_GetFunctionStatus", "C_CancelFunction", "C_WaitForSlotEvent"};

// Application callbacks that count their calls; creation answers
// g_create_rv after g_create_ok successful handles.
std::atomic<int> g_creates{0}, g_destroys{0}, g_locks{0}, g_unlocks{0};
int g_create_ok = 1000;
CK_RV g_create_rv = CKR_OK;

CK_RV cb_create(CK_VOID_PTR_PTR m) {
  if (g_creates >= g_create_ok) return g_create_rv;
  ++g_creates;
  *m = new std::mutex;
  return CKR_OK;
}
CK_RV cb_destroy(CK_VOID_PTR m) {
  ++g_destroys;
  delete static_cast<std::mutex*>(m);
  return CKR_OK;
}
CK_RV cb_lock(CK_VOID_PTR m) {
  static_cast<std::mutex*>(m)->lock();
  ++g_locks;
  return CKR_OK;
}
CK_RV cb_unlock(CK_VOID_PTR m) {
  ++g_unlocks;
  static_cast<std::mutex*>(m)->unlock();
  return CKR_OK;
}

void counters_reset() {
  g_creates = g_destroys = g_locks = g_unlocks = 0;
}

// A fresh directory of our own (0700) below /tmp.
std::string private_dir() {
  char t[] = "/tmp/p11lock.XXXXXX";
  return mkdtemp(t) != nullptr ? std::string(t) : std::string();
}

bool dir_empty(const std::string& dir) { return std::filesystem::is_empty(dir); }

std::string text(const CK_UTF8CHAR* p, std::size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

}  // namespace

// --- The shared library's exports (no stack needed) -------------------------

TEST(Abi, ExportsTheStandardFunctionsAndTheFourExtensions) {
  void* lib = dlopen(VORN_P11_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const char* name : kExports) EXPECT_NE(dlsym(lib, name), nullptr) << name;
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  ASSERT_NE(get, nullptr);
  EXPECT_EQ(get(nullptr), CKR_ARGUMENTS_BAD);
  CK_FUNCTION_LIST_PTR list = nullptr;
  ASSERT_EQ(get(&list), CKR_OK);
  EXPECT_EQ(list->version.major, 0);
  EXPECT_EQ(list->version.minor, 5);
  // The 68 pointers in the standard order are the exported functions.
  auto* slots = reinterpret_cast<void**>(&list->C_Initialize);
  for (std::size_t i = 0; i < std::size(kExports); ++i) EXPECT_EQ(slots[i], dlsym(lib, kExports[i])) << kExports[i];
  // After C_WaitForSlotEvent: CI_SetPUK, CI_UnblockPIN, CI_GetLeftTriesPIN, CI_GetLeftTriesPUK.
  auto* ext = reinterpret_cast<VornFunctionList*>(list);
  EXPECT_EQ(reinterpret_cast<void*>(ext->CI_SetPUK), dlsym(lib, "CI_SetPUK"));
  EXPECT_EQ(reinterpret_cast<void*>(ext->CI_UnblockPIN), dlsym(lib, "CI_UnblockPIN"));
  EXPECT_EQ(reinterpret_cast<void*>(ext->CI_GetLeftTriesPIN), dlsym(lib, "CI_GetLeftTriesPIN"));
  EXPECT_EQ(reinterpret_cast<void*>(ext->CI_GetLeftTriesPUK), dlsym(lib, "CI_GetLeftTriesPUK"));
  CK_FUNCTION_LIST_PTR again = nullptr;
  ASSERT_EQ(get(&again), CKR_OK);
  EXPECT_EQ(again, list);
  // Before C_Initialize every entry point but the list answers "not initialised".
  EXPECT_EQ(list->C_SignUpdate(1, nullptr, 0), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(list->C_WaitForSlotEvent(0, nullptr, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(list->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  CK_INFO info;
  EXPECT_EQ(list->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
  CK_ULONG n = 0;
  EXPECT_EQ(list->C_GetSlotList(CK_FALSE, nullptr, &n), CKR_CRYPTOKI_NOT_INITIALIZED);
  CK_BYTE tries = 0;
  EXPECT_EQ(ext->CI_GetLeftTriesPIN(1, &tries), CKR_CRYPTOKI_NOT_INITIALIZED);
  dlclose(lib);
}

TEST(Abi, InitializeArgumentsAreCheckedBeforeTheReaderScan) {
  CK_C_INITIALIZE_ARGS a{};
  int reserved = 0;
  a.pReserved = &reserved;
  EXPECT_EQ(C_Initialize(&a), CKR_ARGUMENTS_BAD);
  CK_C_INITIALIZE_ARGS three{cb_create, cb_destroy, cb_lock, nullptr, 0, nullptr};
  EXPECT_EQ(C_Initialize(&three), CKR_ARGUMENTS_BAD);
  CK_C_INITIALIZE_ARGS one{nullptr, nullptr, nullptr, cb_unlock, CKF_OS_LOCKING_OK, nullptr};
  EXPECT_EQ(C_Initialize(&one), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
}

// --- Locking that cannot be switched off ------------------------------------

// Directories that are not the user's alone: another owner, a symbolic link,
// group or other access. With XDG_RUNTIME_DIR set it is the directory; unset,
// vorn-<uid> below TMPDIR. The lock refuses them (CKR_CANT_LOCK), the card
// state table too (CKR_GENERAL_ERROR), and nothing is created in them.
TEST(LockDir, RefusedDirectoriesFailInitializeAndCreateNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a directory of another user";
  enum Kind { kOtherOwner, kSymlink, kGroupOpen, kWorldOpen };
  struct Case {
    bool xdg;
    Kind kind;
  };
  const Case cases[] = {{true, kOtherOwner}, {true, kSymlink},   {true, kGroupOpen},
                        {false, kOtherOwner}, {false, kSymlink}, {false, kWorldOpen}};
  CK_C_INITIALIZE_ARGS os{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};
  CK_C_INITIALIZE_ARGS app{cb_create, cb_destroy, cb_lock, cb_unlock, 0, nullptr};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.xdg ? "XDG_RUNTIME_DIR" : "TMPDIR fallback") + " case " + std::to_string(c.kind));
    std::string base = private_dir();
    ASSERT_FALSE(base.empty());
    std::string dir = c.xdg ? base + "/run" : base + "/vorn-" + std::to_string(geteuid());
    std::string target = base + "/target";  // where a link points: a good directory
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    if (c.kind == kSymlink) {
      ASSERT_EQ(symlink(target.c_str(), dir.c_str()), 0);
    } else {
      ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
      int rv = 0;
      if (c.kind == kOtherOwner) rv = chown(dir.c_str(), 65534, 65534);
      if (c.kind == kGroupOpen) rv = chmod(dir.c_str(), 0750);
      if (c.kind == kWorldOpen) rv = chmod(dir.c_str(), 0777);
      ASSERT_EQ(rv, 0);
    }
    if (c.xdg) {
      setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
      setenv("TMPDIR", base.c_str(), 1);
    }
    card_table_close();
    EXPECT_EQ(C_Initialize(&os), CKR_CANT_LOCK);
    counters_reset();
    EXPECT_EQ(C_Initialize(&app), CKR_GENERAL_ERROR);
    EXPECT_EQ(g_destroys.load(), g_creates.load());
    EXPECT_EQ(C_Initialize(nullptr), CKR_GENERAL_ERROR);
    CK_INFO info;
    EXPECT_EQ(C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_TRUE(dir_empty(target));
    if (c.kind != kSymlink) {
      EXPECT_TRUE(dir_empty(dir));
    }
  }
  // A directory of the user's own: the lock and the table are made there,
  // 0600, and the scan of no readers is what fails.
  std::string good = private_dir();
  setenv("XDG_RUNTIME_DIR", good.c_str(), 1);
  card_table_close();
  EXPECT_EQ(C_Initialize(&os), CKR_FUNCTION_FAILED);
  std::vector<std::string> made;
  for (const auto& e : std::filesystem::directory_iterator(good)) {
    std::string name = e.path().filename().string();
    made.push_back(name.substr(0, name.find("-", 10)));  // the table's name ends in its PC/SC service tag
    struct stat st {};
    ASSERT_EQ(lstat(e.path().c_str(), &st), 0) << name;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  std::sort(made.begin(), made.end());
  EXPECT_EQ(made, (std::vector<std::string>{"MutexObject VORNv1.0.lock", "cardtable-PKCS11_VORN"}));
}

// Application callbacks whose CreateMutex fails: the module does not run
// unlocked; the handles made so far are destroyed again.
TEST(LockDir, FailingCreateMutexFailsInitialize) {
  const std::pair<CK_RV, CK_RV> cases[] = {{CKR_GENERAL_ERROR, CKR_CANT_LOCK},
                                           {CKR_HOST_MEMORY, CKR_HOST_MEMORY},
                                           {CKR_MUTEX_BAD, CKR_CANT_LOCK}};
  CK_C_INITIALIZE_ARGS app{cb_create, cb_destroy, cb_lock, cb_unlock, 0, nullptr};
  for (auto [create_rv, want] : cases) {
    counters_reset();
    g_create_ok = 5;
    g_create_rv = create_rv;
    EXPECT_EQ(C_Initialize(&app), want) << create_rv;
    EXPECT_EQ(g_creates.load(), 5);
    EXPECT_EQ(g_destroys.load(), 5);
    CK_INFO info;
    EXPECT_EQ(C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
  }
  g_create_ok = 1000;
  g_create_rv = CKR_OK;
}

// --- fork() -----------------------------------------------------------------

// The parent holds the module lock while its forked child calls in: before
// its own C_Initialize the child is "not initialised" and must neither take
// nor free the parent's lock (a third party still finds it taken); its own
// C_Initialize then waits for the lock and succeeds with its own context,
// handle and table attachment; its C_Finalize leaves the parent's alone.
TEST(Fork, ChildGetsItsOwnLockContextAndCard) {
  std::string dir = private_dir();
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  CK_C_INITIALIZE_ARGS os{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};
  Initialised init(&os);
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  ASSERT_EQ(login(h), CKR_OK);
  int go[2], ready[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char c;
    if (read(go[0], &c, 1) != 1) _exit(100);
    int fails = 0;
    CK_INFO info;
    CK_ULONG n = 0;
    if (C_GetInfo(&info) != CKR_CRYPTOKI_NOT_INITIALIZED) fails |= 1;
    if (C_GetSlotList(CK_FALSE, nullptr, &n) != CKR_CRYPTOKI_NOT_INITIALIZED) fails |= 2;
    if (C_CloseAllSessions(0) != CKR_CRYPTOKI_NOT_INITIALIZED) fails |= 4;
    if (write(ready[1], "a", 1) != 1) _exit(101);
    if (C_Initialize(&os) != CKR_OK) _exit(fails | 8);
    CK_SESSION_HANDLE ch = 0;
    CK_TOKEN_INFO ti;
    if (C_GetTokenInfo(0, &ti) != CKR_OK) fails |= 16;
    if (C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &ch) != CKR_OK || login(ch) != CKR_OK) fails |= 32;
    if (C_Logout(ch) != CKR_OK || C_CloseSession(ch) != CKR_OK) fails |= 64;
    if (C_Finalize(nullptr) != CKR_OK) fails |= 128;
    _exit(fails);
  }
  void* held = nullptr;
  ASSERT_EQ(p11::oslock_create(&held), CKR_OK);
  ASSERT_EQ(p11::oslock_lock(held), CKR_OK);
  ASSERT_EQ(write(go[1], "g", 1), 1);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  int probe = open((dir + "/MutexObject VORNv1.0.lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  EXPECT_NE(flock(probe, LOCK_EX | LOCK_NB), 0) << "the child released the parent's lock";
  close(probe);
  ASSERT_EQ(p11::oslock_unlock(held), CKR_OK);
  ASSERT_EQ(p11::oslock_destroy(held), CKR_OK);
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st)) << st;
  EXPECT_EQ(WEXITSTATUS(st), 0) << "child failure bits";
  // The parent's card handle, session and table slot are untouched.
  CK_SESSION_INFO si;
  ASSERT_EQ(C_GetSessionInfo(h, &si), CKR_OK);
  EXPECT_EQ(si.state, static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
  EXPECT_EQ(C_Logout(h), CKR_OK);
  EXPECT_EQ(login(h), CKR_OK);
  CardSlot slot{};
  ASSERT_EQ(card_table_read(0, &slot), VORN_OK);
  EXPECT_EQ(slot.readerKey, 0u);
  EXPECT_EQ(slot.refCount, 1u);
  for (int fd : {go[0], go[1], ready[0], ready[1]}) close(fd);
}

// --- Reader scan limits -----------------------------------------------------

TEST(NoReader, InitializeFailsAndLeavesTheModuleUninitialised) {
  EXPECT_EQ(C_Initialize(nullptr), CKR_FUNCTION_FAILED);
  CK_C_INITIALIZE_ARGS os{nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};
  EXPECT_EQ(C_Initialize(&os), CKR_FUNCTION_FAILED);
  CK_INFO info;
  EXPECT_EQ(C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST(Readers12, OnlyTheFirstTenReadersBecomeSlots) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_ULONG n = 0;
  ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
  ASSERT_EQ(n, 10u);
  std::vector<CK_SLOT_ID> ids(n);
  ASSERT_EQ(C_GetSlotList(CK_FALSE, ids.data(), &n), CKR_OK);
  for (CK_ULONG i = 0; i < 10; ++i) EXPECT_EQ(ids[i], i);
  EXPECT_EQ(C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 0u);
  CK_SLOT_INFO si;
  EXPECT_EQ(C_GetSlotInfo(10, &si), CKR_SLOT_ID_INVALID);
  ASSERT_EQ(C_GetSlotInfo(9, &si), CKR_OK);
  EXPECT_EQ(si.flags, static_cast<CK_FLAGS>(CKF_REMOVABLE_DEVICE | CKF_HW_SLOT));
  // The tenth reader's name, blank-padded.
  std::string want = env_or("VORNENV_READER_9", "");
  ASSERT_FALSE(want.empty());
  std::string desc = text(si.slotDescription, 64);
  EXPECT_EQ(desc.substr(0, want.size()), want);
  EXPECT_EQ(desc.find_first_not_of(' ', want.size()), std::string::npos);
  CK_TOKEN_INFO ti;
  EXPECT_EQ(C_GetTokenInfo(0, &ti), CKR_TOKEN_NOT_PRESENT);  // empty reader: no token, no device fault
}

// --- Token and mechanism queries -------------------------------------------

TEST(Token, InfoFieldsAreExactAndBlankPadded) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  EXPECT_EQ(C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  CK_INFO info;
  std::memset(&info, 0xAA, sizeof info);
  ASSERT_EQ(C_GetInfo(&info), CKR_OK);
  EXPECT_EQ(info.cryptokiVersion.major, 2);
  EXPECT_EQ(info.cryptokiVersion.minor, 11);
  EXPECT_EQ(text(info.manufacturerID, 32), "Dravenor Microsistemas Ib,S.A   ");
  // The test build carries the public test keys and says so.
  EXPECT_EQ(text(info.libraryDescription, 32), "PKCS#11 VORN (TEST KEYS)        ");
  EXPECT_EQ(info.flags, 0u);
  EXPECT_EQ(info.libraryVersion.major, 1);
  EXPECT_EQ(info.libraryVersion.minor, 0);

  CK_SLOT_INFO si;
  ASSERT_EQ(C_GetSlotInfo(0, &si), CKR_OK);
  EXPECT_EQ(si.flags, static_cast<CK_FLAGS>(CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | CKF_TOKEN_PRESENT));
  EXPECT_EQ(text(si.manufacturerID, 32), std::string(32, ' '));
  const std::string reader = env_or("VORNENV_READER_0", "?");
  std::string desc = reader + std::string(64 - reader.size(), ' ');
  EXPECT_EQ(text(si.slotDescription, 64), desc);

  CK_TOKEN_INFO ti;
  ASSERT_EQ(C_GetTokenInfo(0, &ti), CKR_OK);
  // Label: the card's text, a blank, the reader name, cut at 31, then a blank.
  std::string label = ("VORN demo card " + reader).substr(0, 31);
  label += std::string(32 - label.size(), ' ');
  EXPECT_EQ(text(ti.label, 32), label);
  EXPECT_EQ(text(ti.manufacturerID, 32), "Grupo K.ROS" + std::string(21, ' '));
  EXPECT_EQ(text(ti.model, 16), std::string(16, ' '));
  std::string serial = text(ti.serialNumber, 16);
  EXPECT_EQ(serial.find_first_not_of("0123456789ABCDEF"), std::string::npos) << serial;
  EXPECT_EQ(ti.flags, static_cast<CK_FLAGS>(CKF_LOGIN_REQUIRED | CKF_RNG | CKF_TOKEN_INITIALIZED |
                                            CKF_USER_PIN_INITIALIZED));
  EXPECT_EQ(ti.ulMaxSessionCount, 10u);
  EXPECT_EQ(ti.ulMaxRwSessionCount, 10u);
  EXPECT_EQ(ti.ulSessionCount, 0u);
  EXPECT_EQ(ti.ulMaxPinLen, 8u);
  EXPECT_EQ(ti.ulMinPinLen, 4u);
  EXPECT_EQ(ti.ulTotalPublicMemory, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(ti.ulFreePrivateMemory, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(ti.hardwareVersion.major, 1);
  EXPECT_EQ(ti.hardwareVersion.minor, 0);
  EXPECT_EQ(ti.firmwareVersion.major, 1);
  EXPECT_EQ(ti.firmwareVersion.minor, 0);
  EXPECT_EQ(text(ti.utcTime, 16), std::string(16, '\0'));

  // Reader 1 is empty: listed without a token, not listed with one.
  CK_ULONG n = 0;
  ASSERT_EQ(C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 2u);
  CK_SLOT_ID ids[4] = {77, 77, 77, 77};
  n = 4;
  ASSERT_EQ(C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(ids[0], 0u);
  EXPECT_EQ(ids[1], 77u);
  // A list of one place for two slots: the count, and nothing written.
  CK_SLOT_ID one[2] = {55, 55};
  n = 1;
  EXPECT_EQ(C_GetSlotList(CK_FALSE, one, &n), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(one[1], 55u);
  EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, nullptr), CKR_ARGUMENTS_BAD);
}

TEST(Token, MechanismTable) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_ULONG n = 0;
  // The module's 27 rows in their order, then the 11 extension rows.
  ASSERT_EQ(C_GetMechanismList(0, nullptr, &n), CKR_OK);
  ASSERT_EQ(n, 38u);
  std::vector<CK_MECHANISM_TYPE> m(39, 0xDEAD);
  n = 37;
  EXPECT_EQ(C_GetMechanismList(0, m.data(), &n), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 38u);
  EXPECT_EQ(m[0], 0xDEADu);
  n = 39;
  ASSERT_EQ(C_GetMechanismList(0, m.data(), &n), CKR_OK);
  ASSERT_EQ(n, 38u);
  const std::vector<CK_MECHANISM_TYPE> want = {
      CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_RSA_PKCS,     CKM_RC2_KEY_GEN,   CKM_RC2_ECB,      CKM_RC2_CBC,
      CKM_RC2_CBC_PAD,           CKM_RC4_KEY_GEN,  CKM_RC4,           CKM_DES_KEY_GEN,  CKM_DES_ECB,
      CKM_DES_CBC,               CKM_DES_CBC_PAD,  CKM_DES2_KEY_GEN,  CKM_DES3_KEY_GEN, CKM_DES3_ECB,
      CKM_DES3_CBC,              CKM_DES3_CBC_PAD, CKM_AES_KEY_GEN,   CKM_AES_ECB,      CKM_AES_CBC,
      CKM_AES_CBC_PAD,           CKM_MD5,          CKM_SHA_1,         CKM_SHA256,       CKM_SSL3_PRE_MASTER_KEY_GEN,
      CKM_SSL3_MASTER_KEY_DERIVE, CKM_SSL3_KEY_AND_MAC_DERIVE};
  EXPECT_EQ(std::vector<CK_MECHANISM_TYPE>(m.begin(), m.begin() + 27), want);
  const std::vector<CK_MECHANISM_TYPE> ext = {
      CKM_RSA_X_509,           CKM_RSA_PKCS_PSS,        CKM_SHA1_RSA_PKCS,      CKM_SHA256_RSA_PKCS,
      CKM_SHA384_RSA_PKCS,     CKM_SHA512_RSA_PKCS,     CKM_SHA256_RSA_PKCS_PSS, CKM_SHA384_RSA_PKCS_PSS,
      CKM_SHA512_RSA_PKCS_PSS, CKM_SHA384,              CKM_SHA512};
  EXPECT_EQ(std::vector<CK_MECHANISM_TYPE>(m.begin() + 27, m.begin() + 38), ext);
  EXPECT_EQ(m[38], 0xDEADu);

  CK_MECHANISM_INFO mi;
  ASSERT_EQ(C_GetMechanismInfo(0, CKM_SHA256, &mi), CKR_OK);
  EXPECT_EQ(mi.ulMinKeySize, 0u);
  EXPECT_EQ(mi.ulMaxKeySize, 0u);
  EXPECT_EQ(mi.flags, 0x401u);
  ASSERT_EQ(C_GetMechanismInfo(0, CKM_RSA_PKCS, &mi), CKR_OK);
  EXPECT_EQ(mi.ulMinKeySize, 1024u);
  EXPECT_EQ(mi.ulMaxKeySize, 2048u);
  EXPECT_EQ(mi.flags, 0x62B01u);
  ASSERT_EQ(C_GetMechanismInfo(0, CKM_DES3_ECB, &mi), CKR_OK);
  EXPECT_EQ(mi.ulMinKeySize, 16u);
  EXPECT_EQ(mi.ulMaxKeySize, 24u);
  EXPECT_EQ(mi.flags, 0x60301u);
  ASSERT_EQ(C_GetMechanismInfo(0, CKM_SSL3_MASTER_KEY_DERIVE, &mi), CKR_OK);
  EXPECT_EQ(mi.flags, 0x80001u);
  // Extension rows: RSA signing and verification only (no decryption).
  ASSERT_EQ(C_GetMechanismInfo(0, CKM_RSA_X_509, &mi), CKR_OK);
  EXPECT_EQ(mi.ulMinKeySize, 1024u);
  EXPECT_EQ(mi.ulMaxKeySize, 2048u);
  EXPECT_EQ(mi.flags, 0x2801u);
  ASSERT_EQ(C_GetMechanismInfo(0, CKM_SHA512, &mi), CKR_OK);
  EXPECT_EQ(mi.flags, 0x401u);
  EXPECT_EQ(C_GetMechanismInfo(0, CKM_SHA224, &mi), CKR_MECHANISM_INVALID);
  EXPECT_EQ(C_GetMechanismInfo(10, CKM_SHA256, &mi), CKR_SLOT_ID_INVALID);
  EXPECT_EQ(C_GetMechanismInfo(0, CKM_SHA256, nullptr), CKR_ARGUMENTS_BAD);
  // The empty reader has no token.
  EXPECT_EQ(C_GetMechanismList(1, nullptr, &n), CKR_TOKEN_NOT_PRESENT);
}

TEST(Token, UnsupportedFunctionsShareOneAnswer) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  EXPECT_EQ(C_WaitForSlotEvent(0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(C_SignUpdate(1, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(C_InitToken(0, nullptr, 0, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(C_CopyObject(1, 1, nullptr, 0, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(C_SeedRandom(1, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(C_CancelFunction(1), CKR_FUNCTION_NOT_SUPPORTED);
  int reserved = 0;
  EXPECT_EQ(C_Finalize(&reserved), CKR_ARGUMENTS_BAD);
  CK_INFO info;
  EXPECT_EQ(C_GetInfo(&info), CKR_OK);  // still initialised
}

TEST(Token, ApplicationLockCallbacksAreUsed) {
  counters_reset();
  CK_C_INITIALIZE_ARGS a{cb_create, cb_destroy, cb_lock, cb_unlock, 0, nullptr};
  {
    Initialised init(&a);
    ASSERT_EQ(init.rv, CKR_OK);
    EXPECT_EQ(g_creates.load(), 22);
    int before = g_locks.load();
    CK_SESSION_HANDLE h = open_session(0);
    ASSERT_EQ(login(h), CKR_OK);
    EXPECT_EQ(find(h, {}).size(), 6u);
    EXPECT_EQ(C_Logout(h), CKR_OK);
    EXPECT_EQ(C_CloseSession(h), CKR_OK);
    // At least the module lock of each of the seven calls.
    EXPECT_GE(g_locks.load() - before, 7);
    EXPECT_EQ(g_locks.load(), g_unlocks.load());
  }
  EXPECT_EQ(g_destroys.load(), 22);
  EXPECT_EQ(g_locks.load(), g_unlocks.load());
}

// --- Hot plug and removal ---------------------------------------------------

TEST(HotPlug, NewCardAnswersSlotIdInvalidFirstThenIsReady) {
  const std::string card = make_demo_card("hotplug.card");
  ASSERT_FALSE(card.empty());
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_ULONG n = 0;
  EXPECT_EQ(C_GetMechanismList(1, nullptr, &n), CKR_TOKEN_NOT_PRESENT);
  ASSERT_TRUE(vornenv("insert 1 " + card));
  EXPECT_EQ(C_GetMechanismList(1, nullptr, &n), CKR_SLOT_ID_INVALID);
  n = 0;
  ASSERT_EQ(C_GetMechanismList(1, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 38u);  // the 27 rows and the extension rows
  CK_SLOT_ID ids[4];
  n = 4;
  ASSERT_EQ(C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
  EXPECT_EQ(n, 2u);
  CK_SESSION_HANDLE h = open_session(1);
  ASSERT_EQ(login(h), CKR_OK);
  EXPECT_EQ(find_class(h, CKO_PRIVATE_KEY).size(), 2u);
}

TEST(HotPlug, RemovalInTheMiddleOfASession) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  ASSERT_EQ(login(h), CKR_OK);
  auto keys = find_class(h, CKO_PRIVATE_KEY);
  ASSERT_EQ(keys.size(), 2u);
  CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(C_SignInit(h, &mech, keys[0]), CKR_OK);
  ASSERT_TRUE(vornenv("remove 0"));
  Bytes di = digest_info({1, 2, 3});
  std::uint8_t sig[256];
  CK_ULONG len = sizeof sig;
  // The refresh finds the reader empty and tears the token down.
  EXPECT_EQ(C_Sign(h, di.data(), di.size(), sig, &len), CKR_DEVICE_ERROR);
  CK_SESSION_INFO si;
  EXPECT_EQ(C_GetSessionInfo(h, &si), CKR_SESSION_HANDLE_INVALID);
  CK_SLOT_INFO slot;
  ASSERT_EQ(C_GetSlotInfo(0, &slot), CKR_OK);
  EXPECT_EQ(slot.flags & CKF_TOKEN_PRESENT, 0u);
  CK_SESSION_HANDLE h2 = 0;
  EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h2), CKR_TOKEN_NOT_PRESENT);
  CK_SLOT_ID ids[10];
  CK_ULONG n = 10;
  ASSERT_EQ(C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
  EXPECT_EQ(std::count(ids, ids + n, 0u), 0);
}
