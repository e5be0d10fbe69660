// Sessions, login and PINs: session limits and handles, state moves with the
// login, the held PIN and when it is wiped, PIN length and change checks.
#include <algorithm>
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
