// The card state table of one image shared by two Windows processes under
// Wine: both load win_table_probe.dll, attach to the same card under reader
// key 0 and must meet in one slot with one secure channel.
#include <windows.h>
// after windows.h
#include <aclapi.h>
#include <winscard.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "win_table_probe.h"

namespace {

constexpr std::uint32_t kReaderKey = 0;
constexpr char kImage[] = "vorn_probe";
constexpr char kAttachedEvent[] = "vorn-table-test-child-attached";
constexpr char kProceedEvent[] = "vorn-table-test-child-proceed";

std::string reader0() {
  const char* v = std::getenv("VORNENV_READER_0");
  return v ? v : "";
}

std::string hex(const std::uint8_t* p, size_t n) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

struct Card {
  SCARDCONTEXT ctx = 0;
  SCARDHANDLE h = 0;
  LONG open() {
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
    if (rv != SCARD_S_SUCCESS) return rv;
    DWORD proto = 0;
    return SCardConnectA(ctx, reader0().c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &proto);
  }
  ~Card() {
    if (h) SCardDisconnect(h, SCARD_LEAVE_CARD);
    if (ctx) SCardReleaseContext(ctx);
  }
};

// The second process. Exit code 0 when everything it saw was right; each
// failed check has its own code and a line on stdout.
int child_main(const char* key_hex) {
  auto fail = [](int code, const char* what) {
    std::printf("child: %s\n", what);
    std::fflush(stdout);
    return code;
  };
  if (probe_open(kImage) != 0) return fail(10, "table open");
  Card card;
  if (card.open() != SCARD_S_SUCCESS) return fail(11, "connect");
  if (SCardBeginTransaction(card.h) != SCARD_S_SUCCESS) return fail(12, "begin");
  probe_attach(card.h, kReaderKey);
  if (probe_channel_state(kReaderKey, card.h) != 2) return fail(13, "channel state is not 2");
  if (probe_channel_app(kReaderKey, card.h) != 1) return fail(14, "channel application is not AP-SIGN");
  std::uint8_t key[16];
  if (!probe_session_key(kReaderKey, card.h, key)) return fail(15, "no session key");
  if (hex(key, 16) != key_hex) return fail(16, "session key differs from the first process's");
  // The channel the first process opened carries this process's command.
  std::uint8_t id[16];
  DWORD len = sizeof id;
  if (probe_get_data(kReaderKey, card.h, 1, id, &len) != 0 || len != 16) return fail(17, "GET DATA under the channel");
  SCardEndTransaction(card.h, SCARD_LEAVE_CARD);

  HANDLE attached = OpenEventA(EVENT_MODIFY_STATE, FALSE, kAttachedEvent);
  HANDLE proceed = OpenEventA(SYNCHRONIZE, FALSE, kProceedEvent);
  if (!attached || !proceed) return fail(18, "events");
  SetEvent(attached);
  WaitForSingleObject(proceed, INFINITE);

  if (SCardBeginTransaction(card.h) != SCARD_S_SUCCESS) return fail(19, "second begin");
  probe_detach(card.h, kReaderKey);
  SCardEndTransaction(card.h, SCARD_LEAVE_CARD);
  CloseHandle(attached);
  CloseHandle(proceed);
  return 0;
}

void expect_free(const CardSlot& s, unsigned i) {
  EXPECT_EQ(s.readerKey, 0xFFFFFFFFu) << "slot " << i;
  EXPECT_EQ(s.refCount, 0u) << "slot " << i;
  EXPECT_EQ(s.channelState, 0) << "slot " << i;
  EXPECT_EQ(s.channelApp, 0) << "slot " << i;
  for (unsigned k = 0; k < 16; ++k) EXPECT_EQ(s.sessionKey[k], 0) << "slot " << i;
  for (unsigned k = 0; k < 30; ++k) EXPECT_EQ(s.handles[k], 0u) << "slot " << i;
  for (unsigned k = 0; k < 8; ++k) EXPECT_EQ(s.pinCache[k], 0) << "slot " << i;
}

TEST(SharedTable, TwoProcessesShareOneSlotAndOneChannel) {
  ASSERT_FALSE(reader0().empty()) << "runs under with-vornenv";
  ASSERT_EQ(probe_open(kImage), 0u);
  // The image's initial contents: ten free slots.
  CardSlot slot;
  for (unsigned i = 0; i < 10; ++i) {
    ASSERT_EQ(probe_read_slot(i, &slot), 0u);
    expect_free(slot, i);
  }
  EXPECT_EQ(probe_read_slot(10, &slot), CARDERR_BAD_ARG);

  Card card;
  ASSERT_EQ(card.open(), SCARD_S_SUCCESS);
  ASSERT_EQ(SCardBeginTransaction(card.h), SCARD_S_SUCCESS);
  probe_attach(card.h, kReaderKey);
  ASSERT_EQ(probe_open_channel(kReaderKey, card.h, 1), 0u);
  ASSERT_EQ(SCardEndTransaction(card.h, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  ASSERT_EQ(probe_read_slot(0, &slot), 0u);
  EXPECT_EQ(slot.readerKey, kReaderKey);
  EXPECT_EQ(slot.refCount, 1u);
  EXPECT_EQ(slot.channelState, 2);
  EXPECT_EQ(slot.channelApp, 1);
  EXPECT_EQ(slot.handles[0], static_cast<std::uintptr_t>(card.h));
  std::string key = hex(slot.sessionKey, 16);
  EXPECT_NE(key, std::string(32, '0'));

  HANDLE attached = CreateEventA(nullptr, TRUE, FALSE, kAttachedEvent);
  HANDLE proceed = CreateEventA(nullptr, TRUE, FALSE, kProceedEvent);
  ASSERT_TRUE(attached && proceed);
  char exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
  std::string cmd = std::string("\"") + exe + "\" --child " + key;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessA(exe, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  // Wait for the child to attach, or for it to end early with a failure.
  HANDLE either[2] = {attached, pi.hProcess};
  DWORD which = WaitForMultipleObjects(2, either, FALSE, INFINITE);
  ASSERT_EQ(which, WAIT_OBJECT_0) << "the second process ended before it attached";

  ASSERT_EQ(probe_read_slot(0, &slot), 0u);
  EXPECT_EQ(slot.refCount, 2u);
  EXPECT_EQ(slot.handles[0], static_cast<std::uintptr_t>(card.h));
  EXPECT_NE(slot.handles[1], 0u);
  EXPECT_EQ(hex(slot.sessionKey, 16), key);
  for (unsigned i = 1; i < 10; ++i) {
    ASSERT_EQ(probe_read_slot(i, &slot), 0u);
    EXPECT_EQ(slot.readerKey, 0xFFFFFFFFu) << "the second process took a slot of its own: " << i;
  }

  SetEvent(proceed);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);

  // The first of two users left: the channel stays open for the other.
  ASSERT_EQ(probe_read_slot(0, &slot), 0u);
  EXPECT_EQ(slot.refCount, 1u);
  EXPECT_EQ(slot.channelState, 2);
  EXPECT_EQ(slot.handles[0], static_cast<std::uintptr_t>(card.h));
  EXPECT_EQ(slot.handles[1], 0u);
  ASSERT_EQ(SCardBeginTransaction(card.h), SCARD_S_SUCCESS);
  std::uint8_t id[16];
  DWORD len = sizeof id;
  EXPECT_EQ(probe_get_data(kReaderKey, card.h, 1, id, &len), 0u);
  EXPECT_EQ(len, 16u);
  // The last user closes the channel and frees the slot.
  probe_detach(card.h, kReaderKey);
  ASSERT_EQ(SCardEndTransaction(card.h, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  ASSERT_EQ(probe_read_slot(0, &slot), 0u);
  expect_free(slot, 0);
  CloseHandle(attached);
  CloseHandle(proceed);
}

// The table's mapping and mutex: owned by the token user, whose SID is the
// only one their DACL grants.
TEST(SharedTable, MappingAndMutexGrantOnlyTheUser) {
  ASSERT_EQ(probe_open(kImage), 0u);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  std::uint8_t info[256];
  DWORD len = sizeof info;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, info, len, &len));
  CloseHandle(token);
  PSID user = reinterpret_cast<TOKEN_USER*>(info)->User.Sid;
  HANDLE section = OpenFileMappingW(FILE_MAP_READ | READ_CONTROL, FALSE, L"Local\\vorn-cardtable-vorn_probe");
  HANDLE mutex = OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, L"Local\\vorn-cardtable-vorn_probe-lock");
  ASSERT_NE(section, nullptr) << GetLastError();
  ASSERT_NE(mutex, nullptr) << GetLastError();
  for (HANDLE h : {section, mutex}) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetSecurityInfo(h, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr) << "a null DACL grants everyone";
    EXPECT_TRUE(EqualSid(owner, user));
    ASSERT_EQ(dacl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &ace));
    EXPECT_EQ(static_cast<ACE_HEADER*>(ace)->AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_TRUE(EqualSid(reinterpret_cast<PSID>(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart), user));
    LocalFree(sd);
    CloseHandle(h);
  }
}

// No section of the DLL is both shared and writable: the table is never
// a part of the image that every user's process maps.
TEST(SharedTable, ImageHasNoSharedWritableSection) {
  auto* base = reinterpret_cast<const std::uint8_t*>(GetModuleHandleA("win_table_probe.dll"));
  ASSERT_NE(base, nullptr);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* sec = IMAGE_FIRST_SECTION(nt);
  ASSERT_GT(nt->FileHeader.NumberOfSections, 0);
  for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
    std::string name(reinterpret_cast<const char*>(sec[i].Name), strnlen(reinterpret_cast<const char*>(sec[i].Name), 8));
    EXPECT_FALSE((sec[i].Characteristics & IMAGE_SCN_MEM_SHARED) && (sec[i].Characteristics & IMAGE_SCN_MEM_WRITE))
        << name;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return child_main(argv[2]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
