/* Conversions between Win32 and pcsc-lite PC/SC values. Plain functions over
 * the records of pcsc_abi.h, with no Wine or pcsc-lite dependency, so they are
 * unit-tested natively as well as used inside the bridge. */
#ifndef VORN_BRIDGE_CONVERT_H
#define VORN_BRIDGE_CONVERT_H

#include "pcsc_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Protocol bit sets. Win32 RAW 0x10000 <-> pcsc-lite RAW 4; T0 and T1 are the
 * same bits. Win32's SCARD_PROTOCOL_DEFAULT asks for T0 or T1. Bits that have
 * no counterpart make the to_lx conversion fail (returns 0 and sets *bad). */
unsigned long brg_protocol_to_lx(uint32_t w, int* bad);
uint32_t brg_protocol_to_w(unsigned long lx);

/* Win32 wants one state number where pcsc-lite returns bits; a card with an
 * active protocol is SCARD_SPECIFIC whatever the bits say. */
uint32_t brg_card_state_to_w(unsigned long lx_state, unsigned long lx_protocol);

/* Result codes: pcsc-lite's LONG is 64 bits; Win32's is the low 32 bits. */
int32_t brg_rv_to_w(long lx_rv);

/* Reader states in and out. to_lx copies reader name, user data, current
 * state and the ATR (at most 33 bytes; a longer one is cut, the count kept at
 * 33). from_lx copies the event state and the ATR back (at most 33 bytes). */
void brg_readerstate_to_lx(const w_readerstate* w, lx_readerstate* lx);
void brg_readerstate_from_lx(const lx_readerstate* lx, w_readerstate* w);

/* IO request header. */
void brg_io_request_to_lx(const w_io_request* w, lx_io_request* lx);
void brg_io_request_from_lx(const lx_io_request* lx, w_io_request* w);

/* Length of a multi-string (every string NUL-terminated, an empty string
 * ends the list) including the final NUL, looking at no more than max bytes;
 * 0 when no terminating empty string lies within max. */
size_t brg_multistring_len(const char* s, size_t max);

/* ATR match the way the Win32 card database does it: the lengths are equal
 * and every byte agrees under the mask. */
int brg_atr_match(const unsigned char* atr, size_t atr_len, const unsigned char* pattern,
                  const unsigned char* mask, size_t pattern_len);

/* Event state that SCardLocateCards reports for a reader whose current state
 * (as pcsc-lite saw it) is lx_event and whose caller believed `current`: the
 * pcsc-lite bits without CHANGED, plus ATRMATCH when `match`, plus CHANGED
 * when the outcome differs from what the caller believed. The event count in
 * the upper 16 bits is kept. */
uint32_t brg_locate_event_state(uint32_t current, unsigned long lx_event, int match);

#ifdef __cplusplus
}
#endif

#endif
