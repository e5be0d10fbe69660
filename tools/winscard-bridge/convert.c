/* Conversions between Win32 and pcsc-lite PC/SC values (see convert.h). */
#include "convert.h"

#include <string.h>

unsigned long brg_protocol_to_lx(uint32_t w, int* bad) {
  unsigned long lx = 0;
  *bad = 0;
  if (w & W_PROTOCOL_DEFAULT) {
    lx |= LX_PROTOCOL_T0 | LX_PROTOCOL_T1;
    w &= ~W_PROTOCOL_DEFAULT;
  }
  if (w & W_PROTOCOL_T0) lx |= LX_PROTOCOL_T0;
  if (w & W_PROTOCOL_T1) lx |= LX_PROTOCOL_T1;
  if (w & W_PROTOCOL_RAW) lx |= LX_PROTOCOL_RAW;
  if (w & ~(W_PROTOCOL_T0 | W_PROTOCOL_T1 | W_PROTOCOL_RAW)) {
    *bad = 1;
    return 0;
  }
  return lx;
}

uint32_t brg_protocol_to_w(unsigned long lx) {
  uint32_t w = 0;
  if (lx & LX_PROTOCOL_T0) w |= W_PROTOCOL_T0;
  if (lx & LX_PROTOCOL_T1) w |= W_PROTOCOL_T1;
  if (lx & LX_PROTOCOL_RAW) w |= W_PROTOCOL_RAW;
  return w;
}

uint32_t brg_card_state_to_w(unsigned long s, unsigned long protocol) {
  if (s & LX_ABSENT) return W_ABSENT;
  if ((s & LX_SPECIFIC) || ((s & LX_PRESENT) && protocol != 0)) return W_SPECIFIC;
  if (s & LX_NEGOTIABLE) return W_NEGOTIABLE;
  if (s & LX_POWERED) return W_POWERED;
  if (s & LX_SWALLOWED) return W_SWALLOWED;
  if (s & LX_PRESENT) return W_PRESENT;
  return W_UNKNOWN;
}

int32_t brg_rv_to_w(long lx_rv) { return (int32_t)(uint32_t)(unsigned long)lx_rv; }

void brg_readerstate_to_lx(const w_readerstate* w, lx_readerstate* lx) {
  memset(lx, 0, sizeof *lx);
  lx->szReader = w->szReader;
  lx->pvUserData = w->pvUserData;
  lx->dwCurrentState = w->dwCurrentState;
  lx->dwEventState = w->dwEventState;
  size_t n = w->cbAtr;
  if (n > LX_MAX_ATR_SIZE) n = LX_MAX_ATR_SIZE;
  memcpy(lx->rgbAtr, w->rgbAtr, n);
  lx->cbAtr = n;
}

void brg_readerstate_from_lx(const lx_readerstate* lx, w_readerstate* w) {
  w->dwEventState = (uint32_t)lx->dwEventState;
  size_t n = lx->cbAtr;
  if (n > LX_MAX_ATR_SIZE) n = LX_MAX_ATR_SIZE;
  memcpy(w->rgbAtr, lx->rgbAtr, n);
  memset(w->rgbAtr + n, 0, W_MAX_ATR_SIZE - n);
  w->cbAtr = (uint32_t)n;
}

void brg_io_request_to_lx(const w_io_request* w, lx_io_request* lx) {
  int bad = 0;
  lx->dwProtocol = brg_protocol_to_lx(w->dwProtocol, &bad);
  if (bad) lx->dwProtocol = 0;
  lx->cbPciLength = sizeof(lx_io_request);
}

void brg_io_request_from_lx(const lx_io_request* lx, w_io_request* w) {
  w->dwProtocol = brg_protocol_to_w(lx->dwProtocol);
  w->cbPciLength = sizeof(w_io_request);
}

size_t brg_multistring_len(const char* s, size_t max) {
  size_t i = 0;
  while (i < max) {
    if (s[i] == '\0') return i + 1; /* an empty string ends the list */
    while (i < max && s[i] != '\0') ++i;
    if (i >= max) return 0;
    ++i; /* past this string's NUL */
  }
  return 0;
}

int brg_atr_match(const unsigned char* atr, size_t atr_len, const unsigned char* pattern,
                  const unsigned char* mask, size_t pattern_len) {
  if (atr_len != pattern_len || atr_len == 0) return 0;
  for (size_t i = 0; i < atr_len; ++i) {
    if ((atr[i] & mask[i]) != (pattern[i] & mask[i])) return 0;
  }
  return 1;
}

uint32_t brg_locate_event_state(uint32_t current, unsigned long lx_event, int match) {
  uint32_t state = (uint32_t)lx_event & ~(uint32_t)X_STATE_CHANGED & ~(uint32_t)X_STATE_ATRMATCH;
  if (match) state |= X_STATE_ATRMATCH;
  uint32_t low_now = state & 0xFFFFu;
  uint32_t low_was = current & 0xFFFFu & ~(uint32_t)X_STATE_CHANGED;
  if (low_now != low_was) state |= X_STATE_CHANGED;
  return state;
}
