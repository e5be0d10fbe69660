// The winscard bridge seen from a Windows program under Wine, against the
// private PC/SC stack of with-vornenv: reader 0 holds a demo card, reader 1
// is empty. Every entry point the deliverables import is exercised here.
#include <windows.h>
#include <winscard.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint8_t kAtrFixed[20] = {0x3B, 0x7F, 0x94, 0x00, 0x00, 0x80, 0x31, 0x80, 0x71, 0x90,
                                        0x67, 0x56, 0x4F, 0x52, 0x4E, 0x00, 0x00, 0x00, 0x90, 0x00};
constexpr std::uint8_t kAtrMask[20] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF};

std::uint32_t u(LONG rv) { return static_cast<std::uint32_t>(rv); }

std::string reader(int i) {
  std::string var = "VORNENV_READER_" + std::to_string(i);
  const char* v = std::getenv(var.c_str());
  return v ? v : "";
}

void expect_vorn_atr(const BYTE* atr, DWORD len) {
  ASSERT_EQ(len, 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(atr[i] & kAtrMask[i], kAtrFixed[i]) << "ATR byte " << i;
  }
}

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    r0_ = reader(0);
    r1_ = reader(1);
    ASSERT_FALSE(r0_.empty()) << "runs under with-vornenv";
    ASSERT_FALSE(r1_.empty());
    ASSERT_EQ(u(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx_)), 0u);
  }
  void TearDown() override {
    if (ctx_) SCardReleaseContext(ctx_);
  }
  SCARDHANDLE connect0() {
    SCARDHANDLE h = 0;
    DWORD proto = 0;
    EXPECT_EQ(u(SCardConnectA(ctx_, r0_.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &proto)), 0u);
    EXPECT_EQ(proto, static_cast<DWORD>(SCARD_PROTOCOL_T0));
    return h;
  }
  std::string r0_, r1_;
  SCARDCONTEXT ctx_ = 0;
};

TEST_F(Bridge, ContextLifecycle) {
  EXPECT_EQ(u(SCardIsValidContext(ctx_)), 0u);
  SCARDCONTEXT second = 0;
  ASSERT_EQ(u(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &second)), 0u);
  EXPECT_NE(second, ctx_);
  EXPECT_EQ(u(SCardReleaseContext(second)), 0u);
  EXPECT_EQ(u(SCardIsValidContext(second)), 0x80100003u);  // SCARD_E_INVALID_HANDLE
  EXPECT_EQ(u(SCardReleaseContext(second)), 0x80100003u);
  EXPECT_EQ(u(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, nullptr)), 0x80100004u);
  EXPECT_EQ(u(SCardIsValidContext(ctx_)), 0u);  // the first one is unaffected
}

TEST_F(Bridge, ListReadersSizeFillShortAndAllocated) {
  std::string expected = r0_ + '\0' + r1_ + '\0' + '\0';
  DWORD n = 0;
  ASSERT_EQ(u(SCardListReadersA(ctx_, nullptr, nullptr, &n)), 0u);
  EXPECT_EQ(n, expected.size());

  std::vector<char> buf(n + 4, 'x');
  DWORD cap = static_cast<DWORD>(buf.size());
  ASSERT_EQ(u(SCardListReadersA(ctx_, nullptr, buf.data(), &cap)), 0u);
  EXPECT_EQ(cap, expected.size());
  EXPECT_EQ(std::string(buf.data(), cap), expected);

  DWORD small = n - 1;
  EXPECT_EQ(u(SCardListReadersA(ctx_, nullptr, buf.data(), &small)), 0x80100008u);  // INSUFFICIENT_BUFFER
  EXPECT_EQ(small, expected.size());

  char* mem = nullptr;
  DWORD autolen = SCARD_AUTOALLOCATE;
  ASSERT_EQ(u(SCardListReadersA(ctx_, nullptr, reinterpret_cast<char*>(&mem), &autolen)), 0u);
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(std::string(mem, autolen), expected);
  EXPECT_EQ(u(SCardFreeMemory(ctx_, mem)), 0u);

  EXPECT_EQ(u(SCardListReadersA(ctx_, nullptr, buf.data(), nullptr)), 0x80100004u);
}

TEST_F(Bridge, ConnectStatusTransmitReconnect) {
  SCARDHANDLE h = 0;
  DWORD proto = 0;
  EXPECT_EQ(u(SCardConnectA(ctx_, r1_.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &h, &proto)),
            0x8010000Cu);  // SCARD_E_NO_SMARTCARD
  // pcsc-lite's raw value (4) is no Win32 protocol.
  EXPECT_EQ(u(SCardConnectA(ctx_, r0_.c_str(), SCARD_SHARE_SHARED, 0x4, &h, &proto)), 0x80100011u);
  h = connect0();
  ASSERT_NE(h, 0u);

  // Reader name as a multi-string, state as one number.
  DWORD name_len = 0, state = 99, active = 99, atr_len = 0;
  ASSERT_EQ(u(SCardStatusA(h, nullptr, &name_len, &state, &active, nullptr, &atr_len)), 0u);
  EXPECT_EQ(name_len, r0_.size() + 2);
  EXPECT_EQ(state, static_cast<DWORD>(SCARD_SPECIFIC));
  EXPECT_EQ(active, static_cast<DWORD>(SCARD_PROTOCOL_T0));
  EXPECT_EQ(atr_len, 20u);
  std::vector<char> name(name_len, 'x');
  BYTE atr[36];
  std::memset(atr, 0xEE, sizeof atr);
  atr_len = sizeof atr;
  ASSERT_EQ(u(SCardStatusA(h, name.data(), &name_len, &state, &active, atr, &atr_len)), 0u);
  EXPECT_EQ(std::string(name.data(), name_len), r0_ + '\0' + '\0');
  expect_vorn_atr(atr, atr_len);
  EXPECT_EQ(atr[20], 0xEE);  // nothing written past the ATR
  DWORD short_atr = 19;
  EXPECT_EQ(u(SCardStatusA(h, nullptr, nullptr, nullptr, nullptr, atr, &short_atr)), 0x80100008u);
  EXPECT_EQ(short_atr, 20u);
  char* auto_name = nullptr;
  DWORD auto_len = SCARD_AUTOALLOCATE;
  ASSERT_EQ(u(SCardStatusA(h, reinterpret_cast<char*>(&auto_name), &auto_len, nullptr, nullptr, nullptr, nullptr)), 0u);
  ASSERT_NE(auto_name, nullptr);
  EXPECT_EQ(std::string(auto_name, auto_len), r0_ + '\0' + '\0');
  EXPECT_EQ(u(SCardFreeMemory(ctx_, auto_name)), 0u);

  // GET DATA P1 02: the demo card's PIN state is 4.
  const BYTE get_pin_state[] = {0x00, 0xCA, 0x02, 0x00, 0x01};
  BYTE resp[258];
  DWORD resp_len = sizeof resp;
  SCARD_IO_REQUEST recv_pci{0, 0};
  ASSERT_EQ(u(SCardBeginTransaction(h)), 0u);
  ASSERT_EQ(u(SCardTransmit(h, SCARD_PCI_T0, get_pin_state, sizeof get_pin_state, &recv_pci, resp, &resp_len)), 0u);
  ASSERT_EQ(resp_len, 3u);
  EXPECT_EQ(resp[0], 0x04);
  EXPECT_EQ(resp[1], 0x90);
  EXPECT_EQ(resp[2], 0x00);
  EXPECT_EQ(recv_pci.dwProtocol, static_cast<DWORD>(SCARD_PROTOCOL_T0));
  EXPECT_EQ(recv_pci.cbPciLength, 8u);
  // GET DATA P1 01: 16 bytes and 90 00, into a buffer that is too small first.
  const BYTE get_id[] = {0x00, 0xCA, 0x01, 0x00, 0x10};
  resp_len = 4;
  EXPECT_EQ(u(SCardTransmit(h, SCARD_PCI_T0, get_id, sizeof get_id, nullptr, resp, &resp_len)), 0x80100008u);
  resp_len = sizeof resp;
  ASSERT_EQ(u(SCardTransmit(h, SCARD_PCI_T0, get_id, sizeof get_id, nullptr, resp, &resp_len)), 0u);
  ASSERT_EQ(resp_len, 18u);
  EXPECT_EQ(resp[16], 0x90);
  EXPECT_EQ(resp[17], 0x00);
  BYTE* never = nullptr;
  resp_len = SCARD_AUTOALLOCATE;
  EXPECT_EQ(u(SCardTransmit(h, SCARD_PCI_T0, get_id, sizeof get_id, nullptr, reinterpret_cast<BYTE*>(&never),
                            &resp_len)),
            0x80100004u);  // SCARD_E_INVALID_PARAMETER, nothing written
  EXPECT_EQ(never, nullptr);
  SCARD_IO_REQUEST bogus{0x4, 8};
  resp_len = sizeof resp;
  EXPECT_EQ(u(SCardTransmit(h, &bogus, get_id, sizeof get_id, nullptr, resp, &resp_len)), 0x80100011u);
  EXPECT_EQ(u(SCardEndTransaction(h, SCARD_LEAVE_CARD)), 0u);

  // Attributes: the ATR once more, in each buffer mode.
  DWORD attr_len = 0;
  ASSERT_EQ(u(SCardGetAttrib(h, SCARD_ATTR_ATR_STRING, nullptr, &attr_len)), 0u);
  EXPECT_EQ(attr_len, 20u);
  BYTE attr[64];
  attr_len = 10;
  EXPECT_EQ(u(SCardGetAttrib(h, SCARD_ATTR_ATR_STRING, attr, &attr_len)), 0x80100008u);
  EXPECT_EQ(attr_len, 20u);
  attr_len = sizeof attr;
  ASSERT_EQ(u(SCardGetAttrib(h, SCARD_ATTR_ATR_STRING, attr, &attr_len)), 0u);
  EXPECT_EQ(std::memcmp(attr, atr, 20), 0);
  BYTE* auto_attr = nullptr;
  attr_len = SCARD_AUTOALLOCATE;
  ASSERT_EQ(u(SCardGetAttrib(h, SCARD_ATTR_ATR_STRING, reinterpret_cast<BYTE*>(&auto_attr), &attr_len)), 0u);
  ASSERT_NE(auto_attr, nullptr);
  EXPECT_EQ(attr_len, 20u);
  EXPECT_EQ(std::memcmp(auto_attr, atr, 20), 0);
  EXPECT_EQ(u(SCardFreeMemory(ctx_, auto_attr)), 0u);
  // An attribute vpcd does not know: Win32's code, not pcsc-lite's.
  attr_len = sizeof attr;
  EXPECT_EQ(u(SCardGetAttrib(h, SCARD_ATTR_VENDOR_IFD_SERIAL_NO, attr, &attr_len)), 0x80100022u);

  // A reset keeps T=0 and the card answers again.
  active = 0;
  ASSERT_EQ(u(SCardReconnect(h, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, SCARD_RESET_CARD, &active)), 0u);
  EXPECT_EQ(active, static_cast<DWORD>(SCARD_PROTOCOL_T0));
  state = 0;
  ASSERT_EQ(u(SCardStatusA(h, nullptr, nullptr, &state, nullptr, nullptr, nullptr)), 0u);
  EXPECT_EQ(state, static_cast<DWORD>(SCARD_SPECIFIC));
  resp_len = sizeof resp;
  ASSERT_EQ(u(SCardTransmit(h, SCARD_PCI_T0, get_pin_state, sizeof get_pin_state, nullptr, resp, &resp_len)), 0u);
  EXPECT_EQ(resp_len, 3u);

  EXPECT_EQ(u(SCardDisconnect(h, SCARD_LEAVE_CARD)), 0u);
  EXPECT_EQ(u(SCardStatusA(h, nullptr, nullptr, &state, nullptr, nullptr, nullptr)), 0x80100003u);
}

TEST_F(Bridge, GetStatusChangeAndCancel) {
  SCARD_READERSTATEA st[2];
  std::memset(st, 0, sizeof st);
  st[0].szReader = r0_.c_str();
  st[1].szReader = r1_.c_str();
  st[0].rgbAtr[35] = 0xEE;
  ASSERT_EQ(u(SCardGetStatusChangeA(ctx_, 0, st, 2)), 0u);
  EXPECT_EQ(st[0].dwEventState & 0xFFFFu & (SCARD_STATE_CHANGED | SCARD_STATE_PRESENT | SCARD_STATE_EMPTY),
            static_cast<DWORD>(SCARD_STATE_CHANGED | SCARD_STATE_PRESENT));
  expect_vorn_atr(st[0].rgbAtr, st[0].cbAtr);
  EXPECT_EQ(st[0].rgbAtr[35], 0x00);
  EXPECT_EQ(st[1].dwEventState & 0xFFFFu & (SCARD_STATE_CHANGED | SCARD_STATE_PRESENT | SCARD_STATE_EMPTY),
            static_cast<DWORD>(SCARD_STATE_CHANGED | SCARD_STATE_EMPTY));
  EXPECT_EQ(st[1].cbAtr, 0u);

  // Nothing changes now: a zero wait times out.
  for (auto& s : st) s.dwCurrentState = s.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
  EXPECT_EQ(u(SCardGetStatusChangeA(ctx_, 0, st, 2)), 0x8010000Au);  // SCARD_E_TIMEOUT

  // An endless wait ends with SCardCancel from another thread.
  LONG waited = 0;
  bool done = false;
  std::thread waiter([&] {
    waited = SCardGetStatusChangeA(ctx_, INFINITE, st, 2);
    __atomic_store_n(&done, true, __ATOMIC_SEQ_CST);
  });
  while (!__atomic_load_n(&done, __ATOMIC_SEQ_CST)) {
    EXPECT_EQ(u(SCardCancel(ctx_)), 0u);
    Sleep(20);
  }
  waiter.join();
  EXPECT_EQ(u(waited), 0x80100002u);  // SCARD_E_CANCELLED
}

void register_card_type(const char* name, const BYTE* atr, const BYTE* mask, DWORD len) {
  std::string path = std::string("SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\") + name;
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, "ATR", 0, REG_BINARY, atr, len), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, "ATRMask", 0, REG_BINARY, mask, len), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(Bridge, LocateCardsAndForgetCardType) {
  register_card_type("VORN bridge test", kAtrFixed, kAtrMask, 20);
  BYTE other[20];
  std::memcpy(other, kAtrFixed, 20);
  other[11] = 'W';  // "WORN"
  register_card_type("Other bridge test", other, kAtrMask, 20);

  SCARD_READERSTATEA st[2];
  std::memset(st, 0, sizeof st);
  st[0].szReader = r0_.c_str();
  st[1].szReader = r1_.c_str();
  ASSERT_EQ(u(SCardLocateCardsA(ctx_, "VORN bridge test\0", st, 2)), 0u);
  EXPECT_EQ(st[0].dwEventState & (SCARD_STATE_ATRMATCH | SCARD_STATE_PRESENT | SCARD_STATE_CHANGED),
            static_cast<DWORD>(SCARD_STATE_ATRMATCH | SCARD_STATE_PRESENT | SCARD_STATE_CHANGED));
  expect_vorn_atr(st[0].rgbAtr, st[0].cbAtr);
  EXPECT_EQ(st[1].dwEventState & SCARD_STATE_ATRMATCH, 0u);
  EXPECT_NE(st[1].dwEventState & SCARD_STATE_EMPTY, 0u);

  // Asking again with what we learnt: no change reported.
  for (auto& s : st) s.dwCurrentState = s.dwEventState;
  ASSERT_EQ(u(SCardLocateCardsA(ctx_, "VORN bridge test\0", st, 2)), 0u);
  EXPECT_EQ(st[0].dwEventState & SCARD_STATE_CHANGED, 0u);
  EXPECT_NE(st[0].dwEventState & SCARD_STATE_ATRMATCH, 0u);

  // Either of two types, then the other type alone.
  std::memset(st, 0, sizeof st);
  st[0].szReader = r0_.c_str();
  ASSERT_EQ(u(SCardLocateCardsA(ctx_, "Other bridge test\0VORN bridge test\0", st, 1)), 0u);
  EXPECT_NE(st[0].dwEventState & SCARD_STATE_ATRMATCH, 0u);
  std::memset(st, 0, sizeof st);
  st[0].szReader = r0_.c_str();
  ASSERT_EQ(u(SCardLocateCardsA(ctx_, "Other bridge test\0", st, 1)), 0u);
  EXPECT_EQ(st[0].dwEventState & SCARD_STATE_ATRMATCH, 0u);
  EXPECT_NE(st[0].dwEventState & SCARD_STATE_PRESENT, 0u);

  EXPECT_EQ(u(SCardLocateCardsA(ctx_, "No such card\0", st, 1)), 0x8010000Du);  // SCARD_E_UNKNOWN_CARD

  EXPECT_EQ(u(SCardForgetCardTypeA(ctx_, "VORN bridge test")), 0u);
  EXPECT_EQ(u(SCardLocateCardsA(ctx_, "VORN bridge test\0", st, 1)), 0x8010000Du);
  EXPECT_EQ(u(SCardForgetCardTypeA(ctx_, "VORN bridge test")), 0x8010000Du);
  HKEY key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                          "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\VORN bridge test", 0,
                          KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(u(SCardForgetCardTypeA(ctx_, "Other bridge test")), 0u);
}

TEST(BridgeExports, StartedEventAndProtocolInformation) {
  HANDLE ev = SCardAccessStartedEvent();
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_EQ(SCardAccessStartedEvent(), ev);
  SCardReleaseStartedEvent();
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);  // still held once
  SCardReleaseStartedEvent();

  EXPECT_EQ(g_rgSCardT0Pci.dwProtocol, 1u);
  EXPECT_EQ(g_rgSCardT0Pci.cbPciLength, 8u);
  EXPECT_EQ(g_rgSCardT1Pci.dwProtocol, 2u);
  EXPECT_EQ(g_rgSCardT1Pci.cbPciLength, 8u);
  EXPECT_EQ(g_rgSCardRawPci.dwProtocol, 0x10000u);
  EXPECT_EQ(g_rgSCardRawPci.cbPciLength, 8u);
}

}  // namespace
