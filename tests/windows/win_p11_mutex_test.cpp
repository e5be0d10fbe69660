// Two Windows processes that load PKCS11_VORN.dll with operating-system
// locking meet on the one named mutex "MutexObject VORNv1.0": while one
// holds it, the other's entry point waits.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "win_p11_client.h"

namespace {

constexpr char kMutexName[] = "MutexObject VORNv1.0";
constexpr char kReady[] = "vorn-p11-mutex-test-ready";
constexpr char kGo[] = "vorn-p11-mutex-test-go";
constexpr char kReturned[] = "vorn-p11-mutex-test-returned";

// The second process: initialises the module (with OS locking when asked),
// says so, waits for the go, calls C_GetInfo and reports its return.
int child_main(bool os_locking) {
  P11Module m;
  if (!m.load()) return 10;
  CK_C_INITIALIZE_ARGS args{};
  args.flags = os_locking ? CKF_OS_LOCKING_OK : 0;
  if (m.f->C_Initialize(&args) != CKR_OK) return 11;
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, kReady);
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, kGo);
  HANDLE returned = OpenEventA(EVENT_MODIFY_STATE, FALSE, kReturned);
  if (!ready || !go || !returned) return 12;
  SetEvent(ready);
  WaitForSingleObject(go, INFINITE);
  CK_INFO info;
  CK_RV rv = m.f->C_GetInfo(&info);
  SetEvent(returned);
  if (rv != CKR_OK) return 13;
  if (m.f->C_Finalize(nullptr) != CKR_OK) return 14;
  return 0;
}

struct Child {
  PROCESS_INFORMATION pi{};
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, kReady);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, kGo);
  HANDLE returned = CreateEventA(nullptr, TRUE, FALSE, kReturned);

  bool start(const char* mode) {
    char exe[MAX_PATH];
    if (GetModuleFileNameA(nullptr, exe, sizeof exe) == 0) return false;
    std::string cmd = std::string("\"") + exe + "\" --child " + mode;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    return CreateProcessA(exe, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) != 0;
  }
  // Waits for `ev` unless the child ends first; true when `ev` came.
  bool wait(HANDLE ev) {
    HANDLE both[2] = {ev, pi.hProcess};
    return WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0;
  }
  DWORD finish() {
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    return code;
  }
  ~Child() {
    if (pi.hProcess) CloseHandle(pi.hProcess);
    if (pi.hThread) CloseHandle(pi.hThread);
    CloseHandle(ready);
    CloseHandle(go);
    CloseHandle(returned);
  }
};

TEST(Pkcs11NamedMutex, ExistsOnlyWithOsLocking) {
  P11Module m;
  ASSERT_TRUE(m.load());
  EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, kMutexName), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(m.f->C_Initialize(nullptr), CKR_OK);  // no locking asked
  EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, kMutexName), nullptr);
  ASSERT_EQ(m.f->C_Finalize(nullptr), CKR_OK);

  CK_C_INITIALIZE_ARGS args{};
  args.flags = CKF_OS_LOCKING_OK;
  ASSERT_EQ(m.f->C_Initialize(&args), CKR_OK);
  HANDLE mx = OpenMutexA(SYNCHRONIZE, FALSE, kMutexName);
  ASSERT_NE(mx, nullptr);
  CloseHandle(mx);
  ASSERT_EQ(m.f->C_Finalize(nullptr), CKR_OK);
  // Finalize closed every handle of this process: the name is gone again.
  EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, kMutexName), nullptr);
}

TEST(Pkcs11NamedMutex, SecondProcessWaitsWhileTheMutexIsHeld) {
  // Once the other process has initialised the module (its token set-up
  // takes the lock too), this process holds the system-wide mutex as if it
  // were inside an entry point; the other's C_GetInfo must not return until
  // it is let go.
  Child child;
  ASSERT_TRUE(child.start("os-locking"));
  ASSERT_TRUE(child.wait(child.ready)) << "child ended early: " << child.finish();
  HANDLE mx = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMutexName);
  ASSERT_NE(mx, nullptr) << "the module did not create the named mutex";
  ASSERT_EQ(WaitForSingleObject(mx, INFINITE), WAIT_OBJECT_0);
  SetEvent(child.go);
  // Held: no return. (This check cannot fail while the lock works; it could
  // only miss a broken lock on a very slow machine.)
  EXPECT_EQ(WaitForSingleObject(child.returned, 500), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(ReleaseMutex(mx));
  EXPECT_TRUE(child.wait(child.returned));
  EXPECT_EQ(child.finish(), 0u);
  CloseHandle(mx);
}

TEST(Pkcs11NamedMutex, WithoutOsLockingNothingWaits) {
  Child child;
  ASSERT_TRUE(child.start("no-locking"));
  ASSERT_TRUE(child.wait(child.ready)) << "child ended early: " << child.finish();
  HANDLE mx = CreateMutexA(nullptr, FALSE, kMutexName);
  ASSERT_NE(mx, nullptr);
  ASSERT_EQ(WaitForSingleObject(mx, INFINITE), WAIT_OBJECT_0);
  SetEvent(child.go);
  EXPECT_TRUE(child.wait(child.returned));  // returns while the mutex is still held here
  EXPECT_EQ(child.finish(), 0u);
  ReleaseMutex(mx);
  CloseHandle(mx);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return child_main(std::strcmp(argv[2], "os-locking") == 0);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
