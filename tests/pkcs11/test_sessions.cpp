// Sessions, login and PINs: session limits and handles, state moves with the
// login, the held PIN and when it is wiped, PIN length and change checks.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "module.h"
#include "p11_test.h"

using namespace p11test;

namespace {

CK_STATE state_of(CK_SESSION_HANDLE h) {
  CK_SESSION_INFO si{};
  EXPECT_EQ(C_GetSessionInfo(h, &si), CKR_OK);
  return si.state;
}

bool pin_is_wiped(CK_SLOT_ID slot) {
  const p11::Slot& s = p11::mod().slots[slot];
  const std::uint8_t ff[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  return !s.pin_held && std::memcmp(s.pin.data(), ff, 8) == 0;
}

bool pin_is_held(CK_SLOT_ID slot, const char* pin) {
  const p11::Slot& s = p11::mod().slots[slot];
  std::uint8_t want[8];
  std::memset(want, 0xFF, 8);
  std::memcpy(want, pin, std::strlen(pin));
  return s.pin_held && std::memcmp(s.pin.data(), want, 8) == 0;
}

CK_FLAGS token_flags() {
  CK_TOKEN_INFO ti{};
  EXPECT_EQ(C_GetTokenInfo(0, &ti), CKR_OK);
  return ti.flags;
}

}  // namespace

TEST(Sessions, LimitsHandlesAndCounts) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(C_OpenSession(0, 0, nullptr, nullptr, &h), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(C_OpenSession(0, CKF_RW_SESSION, nullptr, nullptr, &h), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  EXPECT_EQ(C_OpenSession(10, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_SLOT_ID_INVALID);
  EXPECT_EQ(C_OpenSession(2, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_SLOT_ID_INVALID);
  std::set<CK_SESSION_HANDLE> handles;
  for (int i = 0; i < 10; ++i) handles.insert(open_session(0, i % 2 == 0));
  EXPECT_EQ(handles.size(), 10u);
  EXPECT_EQ(handles.count(0), 0u);
  CK_TOKEN_INFO ti{};
  ASSERT_EQ(C_GetTokenInfo(0, &ti), CKR_OK);
  EXPECT_EQ(ti.ulSessionCount, 10u);
  EXPECT_EQ(ti.ulRwSessionCount, 5u);
  EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_SESSION_COUNT);
  // Closing one and opening again never reuses a handle still open.
  CK_SESSION_HANDLE first = *handles.begin();
  ASSERT_EQ(C_CloseSession(first), CKR_OK);
  EXPECT_EQ(C_CloseSession(first), CKR_SESSION_HANDLE_INVALID);
  CK_SESSION_HANDLE again = open_session(0);
  EXPECT_EQ(handles.count(again), 0u);
  ASSERT_EQ(C_CloseAllSessions(0), CKR_OK);
  ASSERT_EQ(C_GetTokenInfo(0, &ti), CKR_OK);
  EXPECT_EQ(ti.ulSessionCount, 0u);
  EXPECT_EQ(ti.ulRwSessionCount, 0u);
  EXPECT_EQ(C_CloseSession(0), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(C_GetSessionInfo(again, nullptr), CKR_ARGUMENTS_BAD);
}

TEST(Sessions, StatesFollowTheLogin) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE ro = open_session(0);
  CK_SESSION_HANDLE rw = open_session(0, true);
  EXPECT_EQ(state_of(ro), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
  EXPECT_EQ(state_of(rw), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
  CK_SESSION_INFO si{};
  ASSERT_EQ(C_GetSessionInfo(rw, &si), CKR_OK);
  EXPECT_EQ(si.slotID, 0u);
  EXPECT_EQ(si.flags, static_cast<CK_FLAGS>(CKF_SERIAL_SESSION | CKF_RW_SESSION));
  EXPECT_EQ(si.ulDeviceError, 0u);
  // A read-only session exists: the security officer may not log in.
  EXPECT_EQ(login(rw, "12345678", CKU_SO), CKR_SESSION_READ_ONLY_EXISTS);
  EXPECT_EQ(login(rw, "1234", 7), CKR_USER_TYPE_INVALID);
  EXPECT_EQ(C_Login(rw, CKU_USER, nullptr, 4), CKR_ARGUMENTS_BAD);
  ASSERT_EQ(login(ro), CKR_OK);
  EXPECT_EQ(state_of(ro), static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
  EXPECT_EQ(state_of(rw), static_cast<CK_STATE>(CKS_RW_USER_FUNCTIONS));
  CK_SESSION_HANDLE later = open_session(0);
  EXPECT_EQ(state_of(later), static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
  EXPECT_EQ(login(ro), CKR_USER_ALREADY_LOGGED_IN);
  EXPECT_EQ(login(ro, "12345678", CKU_SO), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
  ASSERT_EQ(C_Logout(rw), CKR_OK);
  EXPECT_EQ(state_of(ro), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
  EXPECT_EQ(state_of(rw), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
  EXPECT_EQ(state_of(later), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
  EXPECT_EQ(C_Logout(rw), CKR_USER_NOT_LOGGED_IN);
}

TEST(Sessions, SecurityOfficerLogin) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE rw = open_session(0, true);
  // The demo card's security officer PIN is the PUK.
  ASSERT_EQ(login(rw, "12345678", CKU_SO), CKR_OK);
  EXPECT_EQ(state_of(rw), static_cast<CK_STATE>(CKS_RW_SO_FUNCTIONS));
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_SESSION_READ_WRITE_SO_EXISTS);
  EXPECT_EQ(login(rw), CKR_USER_ANOTHER_ALREADY_LOGGED_IN);
  // The security officer's session does not see private objects.
  EXPECT_TRUE(find_class(rw, CKO_PRIVATE_KEY).empty());
  EXPECT_EQ(C_SetPIN(rw, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("1234")), 4,
                     reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>("4321")), 4),
            CKR_PIN_INVALID);
  ASSERT_EQ(C_Logout(rw), CKR_OK);
  EXPECT_EQ(state_of(rw), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
}

TEST(Sessions, PinLengthIsCheckedWithoutCardTraffic) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE rw = open_session(0, true);
  CK_SESSION_HANDLE ro = open_session(0);
  const std::size_t before = trace_lines(0);
  // Each call runs the token refresh (ATR probe and a transaction, no APDU).
  EXPECT_EQ(login(ro, "123"), CKR_PIN_LEN_RANGE);
  EXPECT_EQ(login(ro, "123456789"), CKR_PIN_LEN_RANGE);
  auto pin = [](const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); };
  EXPECT_EQ(C_SetPIN(rw, pin("1234"), 4, pin("123"), 3), CKR_PIN_LEN_RANGE);
  EXPECT_EQ(C_SetPIN(rw, pin("123456789"), 9, pin("1234"), 4), CKR_PIN_LEN_RANGE);
  EXPECT_EQ(C_SetPIN(ro, pin("1234"), 4, pin("4321"), 4), CKR_SESSION_READ_ONLY);
  EXPECT_EQ(C_SetPIN(rw, nullptr, 4, pin("4321"), 4), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(trace_lines(0), before);
  CK_TOKEN_INFO ti{};
  ASSERT_EQ(C_GetTokenInfo(0, &ti), CKR_OK);
  EXPECT_EQ(ti.flags & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED), 0u);
}

TEST(Sessions, SetPinLogsTheUserInWithTheNewPin) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE rw = open_session(0, true);
  CK_SESSION_HANDLE ro = open_session(0);
  auto pin = [](const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); };
  EXPECT_EQ(C_SetPIN(rw, pin("9999"), 4, pin("4321"), 4), CKR_PIN_INCORRECT);
  EXPECT_EQ(token_flags() & CKF_USER_PIN_COUNT_LOW, static_cast<CK_FLAGS>(CKF_USER_PIN_COUNT_LOW));
  ASSERT_EQ(C_SetPIN(rw, pin("1234"), 4, pin("24680"), 5), CKR_OK);
  EXPECT_EQ(state_of(rw), static_cast<CK_STATE>(CKS_RW_USER_FUNCTIONS));
  EXPECT_EQ(state_of(ro), static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
  EXPECT_TRUE(pin_is_held(0, "24680"));
  EXPECT_EQ(token_flags() & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_TO_BE_CHANGED), 0u);
  EXPECT_EQ(token_flags() & CKF_USER_PIN_INITIALIZED, static_cast<CK_FLAGS>(CKF_USER_PIN_INITIALIZED));
  // The held new PIN signs at once.
  auto keys = find_class(ro, CKO_PRIVATE_KEY);
  ASSERT_EQ(keys.size(), 2u);
  CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
  Bytes di = digest_info({9});
  std::uint8_t sig[256];
  CK_ULONG len = sizeof sig;
  ASSERT_EQ(C_SignInit(ro, &mech, keys[0]), CKR_OK);
  EXPECT_EQ(C_Sign(ro, di.data(), di.size(), sig, &len), CKR_OK);
  ASSERT_EQ(C_Logout(ro), CKR_OK);
  EXPECT_EQ(login(ro, "1234"), CKR_PIN_INCORRECT);
  EXPECT_EQ(login(ro, "24680"), CKR_OK);
}

// The PIN is held in memory after login and wiped at logout, at the close of
// the last session, at teardown and at C_Finalize.
TEST(HeldPin, WipedAtLogoutLastCloseAndFinalize) {
  {
    Initialised init;
    ASSERT_EQ(init.rv, CKR_OK);
    CK_SESSION_HANDLE a = open_session(0);
    CK_SESSION_HANDLE b = open_session(0);
    EXPECT_TRUE(pin_is_wiped(0));
    ASSERT_EQ(login(a), CKR_OK);
    EXPECT_TRUE(pin_is_held(0, "1234"));
    ASSERT_EQ(C_Logout(b), CKR_OK);
    EXPECT_TRUE(pin_is_wiped(0));
    ASSERT_EQ(login(a), CKR_OK);
    ASSERT_EQ(C_CloseSession(a), CKR_OK);
    EXPECT_TRUE(pin_is_held(0, "1234"));  // one session still open
    ASSERT_EQ(C_CloseSession(b), CKR_OK);
    EXPECT_TRUE(pin_is_wiped(0));
    // The last close also logged the token out.
    CK_SESSION_HANDLE c = open_session(0);
    EXPECT_EQ(state_of(c), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
    ASSERT_EQ(login(c), CKR_OK);
    EXPECT_TRUE(pin_is_held(0, "1234"));
  }
  EXPECT_TRUE(pin_is_wiped(0));  // C_Finalize
}

TEST(HeldPinRemoval, WipedWhenTheCardIsRemoved) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE a = open_session(0);
  ASSERT_EQ(login(a), CKR_OK);
  EXPECT_TRUE(pin_is_held(0, "1234"));
  ASSERT_TRUE(vornenv("remove 0"));
  CK_SLOT_INFO si;
  ASSERT_EQ(C_GetSlotInfo(0, &si), CKR_OK);  // the refresh tears the token down
  EXPECT_TRUE(pin_is_wiped(0));
  EXPECT_EQ(p11::mod().slots[0].login, p11::kNobody);
}

// The card is left logged out between operations: the module verifies the
// held PIN again right before each private-key command.
TEST(HeldPin, CardIsLoggedOutBetweenOperations) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  ASSERT_EQ(login(h), CKR_OK);
  // Asking the card for the PIN state without a PIN answers 63 Cx (not
  // verified) instead of 90 00.
  CK_BYTE tries = 0;
  EXPECT_EQ(CI_GetLeftTriesPIN(h, &tries), CKR_OK);
  EXPECT_EQ(tries, 3);
  auto keys = find_class(h, CKO_PRIVATE_KEY);
  ASSERT_EQ(keys.size(), 2u);
  CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
  Bytes di = digest_info({1});
  std::uint8_t sig[256];
  CK_ULONG len = sizeof sig;
  ASSERT_EQ(C_SignInit(h, &mech, keys[1]), CKR_OK);
  ASSERT_EQ(C_Sign(h, di.data(), di.size(), sig, &len), CKR_OK);
  EXPECT_EQ(CI_GetLeftTriesPIN(h, &tries), CKR_OK);
  EXPECT_EQ(tries, 3);
}

// --- Refused card steps around a login (faults file of the simulator) -------

namespace {

// One APDU from a PC/SC client of its own, as another program would send it.
Bytes raw_apdu(int reader, const Bytes& cmd) {
  SCARDCONTEXT ctx = 0;
  Bytes out;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return out;
  const std::string name = env_or(("VORNENV_READER_" + std::to_string(reader)).c_str(), "");
  SCARDHANDLE h = 0;
  DWORD proto = 0;
  if (SCardConnect(ctx, name.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &proto) == SCARD_S_SUCCESS) {
    std::uint8_t resp[258];
    DWORD len = sizeof resp;
    if (SCardTransmit(h, SCARD_PCI_T0, cmd.data(), static_cast<DWORD>(cmd.size()), nullptr, resp, &len) ==
        SCARD_S_SUCCESS)
      out.assign(resp, resp + len);
    SCardDisconnect(h, SCARD_LEAVE_CARD);
  }
  SCardReleaseContext(ctx);
  return out;
}

void set_faults(int reader, const std::string& text) {
  const std::string path = std::string(env_or("VORNENV_DIR", "")) + "/reader" + std::to_string(reader) + ".faults";
  {
    std::ofstream f(path + ".new", std::ios::trunc);
    f << text;
  }
  std::rename((path + ".new").c_str(), path.c_str());
}

const Bytes kPinQuery = {0x00, 0x20, 0x00, 0x11, 0x00};  // VERIFY without data
CK_UTF8CHAR_PTR u8(const char* s) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)); }

}  // namespace

// The card took the PIN but refused the PIN-cache write: C_Login fails and
// no program finds the card verified afterwards.
TEST(LoginFault, RefusedCacheWriteLeavesTheCardLoggedOut) {
  // 0FCF gets a block that is no PIN's, so the login has to rewrite it.
  ASSERT_EQ(raw_apdu(0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x0F, 0xCF}), (Bytes{0x90, 0x00}));
  ASSERT_EQ(raw_apdu(0, {0x00, 0xD6, 0x00, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}), (Bytes{0x90, 0x00}));
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  set_faults(0, "sw D6 6A82\n");
  EXPECT_EQ(login(h), CKR_DEVICE_ERROR);
  set_faults(0, "");
  EXPECT_EQ(raw_apdu(0, kPinQuery), (Bytes{0x63, 0xC3}));
  EXPECT_EQ(state_of(h), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
  EXPECT_TRUE(pin_is_wiped(0));
  ASSERT_EQ(login(h), CKR_OK);
  EXPECT_EQ(raw_apdu(0, kPinQuery), (Bytes{0x63, 0xC3}));
}

// The tries queries answer PKCS#11 codes whatever the card says.
TEST(PinFaults, TriesQueriesMapRefusals) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0);
  struct Case {
    const char* faults;
    bool puk;
    CK_RV rv;
    CK_BYTE tries;
  };
  const Case cases[] = {{"sw 20 6A81\n", false, CKR_FUNCTION_NOT_SUPPORTED, 0},
                        {"sw 2C 6A81\n", true, CKR_FUNCTION_NOT_SUPPORTED, 0},
                        {"sw 20 6F00\n", false, CKR_DEVICE_ERROR, 0xAA},
                        {"sw 2C 6983\n", true, CKR_OK, 0},
                        {"", true, CKR_OK, 3}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.faults);
    set_faults(0, k.faults);
    CK_BYTE tries = 0xAA;
    EXPECT_EQ(k.puk ? CI_GetLeftTriesPUK(h, &tries) : CI_GetLeftTriesPIN(h, &tries), k.rv);
    EXPECT_EQ(tries, k.tries);
  }
  set_faults(0, "");
}

// The unblock's change back to the caller's PUK is refused: CI_UnblockPIN
// says so, and the holder gets the PUK back with CI_SetPUK from the PIN that
// was in force before.
TEST(PinFaults, UnblockThatCannotRestoreThePuk) {
  Initialised init;
  ASSERT_EQ(init.rv, CKR_OK);
  CK_SESSION_HANDLE h = open_session(0, true);
  ASSERT_EQ(login(h), CKR_OK);
  // The test makes the first PUK change itself (PUK 12345678 -> the cached PIN
  // 1234); the card answers the module's own one 90 00 without carrying it
  // out, then refuses the change back and its retry.
  ASSERT_EQ(raw_apdu(0, {0x00, 0x24, 0x80, 0x11, 0x10, '1', '2', '3', '4', '5', '6', '7', '8', '1', '2', '3', '4',
                         0xFF, 0xFF, 0xFF, 0xFF}),
            (Bytes{0x90, 0x00}));
  set_faults(0, "sw 24 9000 x1\nsw 24 6A80\n");
  EXPECT_EQ(CI_UnblockPIN(h, u8("12345678"), 8, u8("5678"), 4), CKR_FUNCTION_FAILED);
  set_faults(0, "");
  // The user PIN changed, so the held one went with the login.
  EXPECT_TRUE(pin_is_wiped(0));
  EXPECT_EQ(state_of(h), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
  EXPECT_EQ(raw_apdu(0, kPinQuery), (Bytes{0x63, 0xC3}));
  ASSERT_EQ(login(h, "5678"), CKR_OK);
  EXPECT_EQ(CI_SetPUK(h, u8("1234"), 4, u8("12345678"), 8), CKR_OK);
  EXPECT_EQ(CI_SetPUK(h, u8("12345678"), 8, u8("12345678"), 8), CKR_OK);
}

// One card whose set-up fails (its token information or its PIN state
// cannot be read), one good card and an empty reader.
TEST(BadCard, OtherReadersStayUsable) {
  for (const char* fault : {"sw B0 6F00\n", "sw CA 6F00\n"}) {
    SCOPED_TRACE(fault);
    set_faults(0, fault);
    Initialised init;
    ASSERT_EQ(init.rv, CKR_OK);
    CK_SLOT_ID ids[10];
    CK_ULONG n = 10;
    ASSERT_EQ(C_GetSlotList(CK_FALSE, ids, &n), CKR_OK);
    EXPECT_GE(n, 3u);
    n = 10;
    ASSERT_EQ(C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
    EXPECT_EQ(std::vector<CK_SLOT_ID>(ids, ids + n), std::vector<CK_SLOT_ID>{1});
    CK_SLOT_INFO si{};
    ASSERT_EQ(C_GetSlotInfo(0, &si), CKR_OK);
    EXPECT_EQ(si.flags & CKF_TOKEN_PRESENT, 0u);
    CK_TOKEN_INFO ti{};
    EXPECT_EQ(C_GetTokenInfo(0, &ti), CKR_DEVICE_ERROR);
    EXPECT_EQ(C_GetTokenInfo(2, &ti), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_HANDLE bad = 0;
    EXPECT_EQ(C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &bad), CKR_TOKEN_NOT_PRESENT);
    CK_SESSION_HANDLE h = open_session(1);
    ASSERT_EQ(login(h), CKR_OK);
    EXPECT_EQ(find_class(h, CKO_PRIVATE_KEY).size(), 2u);
    // Once the card answers again its token is set up.
    set_faults(0, "");
    EXPECT_EQ(C_GetTokenInfo(0, &ti), CKR_OK);
    EXPECT_EQ(ti.flags & CKF_TOKEN_INITIALIZED, static_cast<CK_FLAGS>(CKF_TOKEN_INITIALIZED));
  }
}
