// The winscard bridge's value conversions, natively (the bridge itself runs
// under Wine in the Windows build).
#include <gtest/gtest.h>

#include <cstring>

#include "convert.h"

namespace {

TEST(BridgeConvert, ProtocolsMapRawAndKeepT0T1) {
  int bad = 1;
  EXPECT_EQ(brg_protocol_to_lx(W_PROTOCOL_T0, &bad), LX_PROTOCOL_T0);
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(brg_protocol_to_lx(W_PROTOCOL_T0 | W_PROTOCOL_T1, &bad), 0x3ul);
  EXPECT_EQ(brg_protocol_to_lx(W_PROTOCOL_RAW, &bad), 0x4ul);
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(brg_protocol_to_lx(W_PROTOCOL_DEFAULT, &bad), 0x3ul);
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(brg_protocol_to_lx(W_PROTOCOL_UNDEFINED, &bad), 0ul);
  EXPECT_EQ(bad, 0);
  // pcsc-lite's own RAW value means nothing to Win32 callers.
  EXPECT_EQ(brg_protocol_to_lx(0x4u, &bad), 0ul);
  EXPECT_EQ(bad, 1);
  EXPECT_EQ(brg_protocol_to_lx(W_PROTOCOL_T0 | 0x100u, &bad), 0ul);
  EXPECT_EQ(bad, 1);

  EXPECT_EQ(brg_protocol_to_w(LX_PROTOCOL_T0), 0x1u);
  EXPECT_EQ(brg_protocol_to_w(LX_PROTOCOL_T1), 0x2u);
  EXPECT_EQ(brg_protocol_to_w(LX_PROTOCOL_RAW), 0x10000u);
  EXPECT_EQ(brg_protocol_to_w(LX_PROTOCOL_T15), 0x0u);
}

TEST(BridgeConvert, CardStateBecomesOneNumber) {
  // A connected card in pcsc-lite: present, powered, negotiable, T=0 active.
  EXPECT_EQ(brg_card_state_to_w(0x34ul, LX_PROTOCOL_T0), 6u);
  EXPECT_EQ(brg_card_state_to_w(0x74ul, LX_PROTOCOL_T0), 6u);
  EXPECT_EQ(brg_card_state_to_w(0x40ul, 0), 6u);
  EXPECT_EQ(brg_card_state_to_w(0x34ul, 0), 5u);
  EXPECT_EQ(brg_card_state_to_w(0x14ul, 0), 4u);
  EXPECT_EQ(brg_card_state_to_w(0x0Cul, 0), 3u);
  EXPECT_EQ(brg_card_state_to_w(0x04ul, 0), 2u);
  EXPECT_EQ(brg_card_state_to_w(0x02ul, 0), 1u);
  EXPECT_EQ(brg_card_state_to_w(0x02ul, LX_PROTOCOL_T0), 1u);  // absent wins
  EXPECT_EQ(brg_card_state_to_w(0x00ul, 0), 0u);
  EXPECT_EQ(brg_card_state_to_w(0x01ul, 0), 0u);
}

TEST(BridgeConvert, ResultCodesKeepTheLow32Bits) {
  EXPECT_EQ(brg_rv_to_w(0), 0);
  EXPECT_EQ(static_cast<uint32_t>(brg_rv_to_w(0x80100008L)), 0x80100008u);
  EXPECT_EQ(static_cast<uint32_t>(brg_rv_to_w(0x8010002EL)), 0x8010002Eu);
  EXPECT_EQ(static_cast<uint32_t>(brg_rv_to_w(-1L)), 0xFFFFFFFFu);
}

TEST(BridgeConvert, ReaderStatesTravelBothWays) {
  static_assert(sizeof(w_readerstate) == 64, "Win32 reader state");
  static_assert(sizeof(lx_readerstate) == 80, "pcsc-lite reader state");
  static_assert(offsetof(w_readerstate, rgbAtr) == 28, "Win32 ATR offset");
  static_assert(offsetof(lx_readerstate, rgbAtr) == 40, "pcsc-lite ATR offset");
  int user = 0;
  w_readerstate w{};
  w.szReader = "Virtual PCD 00 00";
  w.pvUserData = &user;
  w.dwCurrentState = 0x00050122u;
  w.dwEventState = 0x7u;
  w.cbAtr = 36;  // Win32 allows 36; pcsc-lite holds 33
  for (int i = 0; i < 36; ++i) w.rgbAtr[i] = static_cast<unsigned char>(0xA0 + i);
  lx_readerstate lx;
  std::memset(&lx, 0x55, sizeof lx);
  brg_readerstate_to_lx(&w, &lx);
  EXPECT_EQ(lx.szReader, w.szReader);
  EXPECT_EQ(lx.pvUserData, &user);
  EXPECT_EQ(lx.dwCurrentState, 0x00050122ul);
  EXPECT_EQ(lx.dwEventState, 0x7ul);
  EXPECT_EQ(lx.cbAtr, 33ul);
  EXPECT_EQ(lx.rgbAtr[0], 0xA0);
  EXPECT_EQ(lx.rgbAtr[32], 0xA0 + 32);

  lx.dwEventState = 0x00060022ul;
  const unsigned char atr[20] = {0x3B, 0x7F, 0x94, 0x00, 0x00, 0x80, 0x31, 0x80, 0x71, 0x90,
                                 0x67, 0x56, 0x4F, 0x52, 0x4E, 0x01, 0x02, 0x03, 0x90, 0x00};
  std::memcpy(lx.rgbAtr, atr, sizeof atr);
  lx.cbAtr = 20;
  brg_readerstate_from_lx(&lx, &w);
  EXPECT_EQ(w.dwEventState, 0x00060022u);
  EXPECT_EQ(w.dwCurrentState, 0x00050122u);  // the caller's, untouched
  EXPECT_EQ(w.cbAtr, 20u);
  EXPECT_EQ(std::memcmp(w.rgbAtr, atr, 20), 0);
  for (int i = 20; i < 36; ++i) EXPECT_EQ(w.rgbAtr[i], 0) << i;  // no stale bytes past the ATR

  // A count beyond pcsc-lite's buffer never reads past it.
  lx.cbAtr = 200;
  brg_readerstate_from_lx(&lx, &w);
  EXPECT_EQ(w.cbAtr, 33u);
}

TEST(BridgeConvert, IoRequestHeaders) {
  static_assert(sizeof(w_io_request) == 8 && sizeof(lx_io_request) == 16, "IO request sizes");
  lx_io_request lx{};
  w_io_request raw{0x10000u, 8u};
  brg_io_request_to_lx(&raw, &lx);
  EXPECT_EQ(lx.dwProtocol, 4ul);
  EXPECT_EQ(lx.cbPciLength, 16ul);
  w_io_request t0{1u, 8u};
  brg_io_request_to_lx(&t0, &lx);
  EXPECT_EQ(lx.dwProtocol, 1ul);
  lx.dwProtocol = 2ul;
  w_io_request back{0u, 0u};
  brg_io_request_from_lx(&lx, &back);
  EXPECT_EQ(back.dwProtocol, 2u);
  EXPECT_EQ(back.cbPciLength, 8u);
}

TEST(BridgeConvert, MultiStringLength) {
  EXPECT_EQ(brg_multistring_len("Reader A\0Reader B\0", 19), 19u);
  EXPECT_EQ(brg_multistring_len("R\0", 3), 3u);
  EXPECT_EQ(brg_multistring_len("", 1), 1u);
  // pcsc-lite's SCardStatus name ends with a single NUL: not a multi-string.
  EXPECT_EQ(brg_multistring_len("Reader A", 9), 0u);
  EXPECT_EQ(brg_multistring_len("Reader A\0", 5), 0u);
  EXPECT_EQ(brg_multistring_len("x", 0), 0u);
}

TEST(BridgeConvert, AtrMatchUnderMask) {
  const unsigned char pattern[20] = {0x3B, 0x7F, 0x94, 0x00, 0x00, 0x80, 0x31, 0x80, 0x71, 0x90,
                                     0x67, 0x56, 0x4F, 0x52, 0x4E, 0x00, 0x00, 0x00, 0x90, 0x00};
  unsigned char mask[20];
  std::memset(mask, 0xFF, sizeof mask);
  mask[15] = mask[16] = mask[17] = 0x00;
  unsigned char atr[21];
  std::memcpy(atr, pattern, 20);
  atr[15] = 0x01;
  atr[16] = 0x07;
  atr[17] = 0xFE;
  atr[20] = 0x00;
  EXPECT_EQ(brg_atr_match(atr, 20, pattern, mask, 20), 1);
  EXPECT_EQ(brg_atr_match(atr, 19, pattern, mask, 20), 0);
  EXPECT_EQ(brg_atr_match(atr, 21, pattern, mask, 20), 0);
  atr[11] = 'W';
  EXPECT_EQ(brg_atr_match(atr, 20, pattern, mask, 20), 0);
  EXPECT_EQ(brg_atr_match(atr, 0, pattern, mask, 0), 0);
}

TEST(BridgeConvert, LocateEventState) {
  // pcsc-lite asked with UNAWARE answers PRESENT|CHANGED and an event count.
  EXPECT_EQ(brg_locate_event_state(0x0u, 0x00030022ul, 1), 0x00030062u);
  EXPECT_EQ(brg_locate_event_state(0x0u, 0x00030022ul, 0), 0x00030022u);
  // The caller already knew PRESENT|ATRMATCH: nothing changed.
  EXPECT_EQ(brg_locate_event_state(0x60u, 0x00030022ul, 1), 0x00030060u);
  EXPECT_EQ(brg_locate_event_state(0x62u, 0x00030022ul, 1), 0x00030060u);
  // The caller believed in a match that is no longer there.
  EXPECT_EQ(brg_locate_event_state(0x60u, 0x00030022ul, 0), 0x00030022u);
  EXPECT_EQ(brg_locate_event_state(0x10u, 0x00000012ul, 0), 0x00000010u);
}

}  // namespace
