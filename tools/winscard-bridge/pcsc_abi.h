/* Record layouts of the two PC/SC interfaces the bridge sits between, written
 * without either interface's headers so that both can be used in one file:
 *  - pcsc-lite on 64-bit Linux, where DWORD and LONG are unsigned long / long
 *    (8 bytes), MAX_ATR_SIZE is 33 and the raw protocol is 4;
 *  - Win32 on x64, where DWORD and LONG are 4 bytes, the ATR buffer is 36
 *    bytes and the raw protocol is 0x10000.
 * layout_check.c compares the pcsc-lite half with <PCSC/winscard.h>, and the
 * bridge compares the Win32 half with Wine's <winscard.h>. */
#ifndef VORN_PCSC_ABI_H
#define VORN_PCSC_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- pcsc-lite (Linux, LP64) ---- */
#define LX_MAX_ATR_SIZE 33
#define LX_PROTOCOL_T0 0x0001ul
#define LX_PROTOCOL_T1 0x0002ul
#define LX_PROTOCOL_RAW 0x0004ul
#define LX_PROTOCOL_T15 0x0008ul
/* pcsc-lite's SCardStatus state bits */
#define LX_UNKNOWN 0x0001ul
#define LX_ABSENT 0x0002ul
#define LX_PRESENT 0x0004ul
#define LX_SWALLOWED 0x0008ul
#define LX_POWERED 0x0010ul
#define LX_NEGOTIABLE 0x0020ul
#define LX_SPECIFIC 0x0040ul

typedef struct {
  const char* szReader;
  void* pvUserData;
  unsigned long dwCurrentState;
  unsigned long dwEventState;
  unsigned long cbAtr;
  unsigned char rgbAtr[LX_MAX_ATR_SIZE];
} lx_readerstate;

typedef struct {
  unsigned long dwProtocol;
  unsigned long cbPciLength;
} lx_io_request;

/* ---- Win32 (x64) ---- */
#define W_MAX_ATR_SIZE 36
#define W_PROTOCOL_UNDEFINED 0x00000000u
#define W_PROTOCOL_T0 0x00000001u
#define W_PROTOCOL_T1 0x00000002u
#define W_PROTOCOL_RAW 0x00010000u
#define W_PROTOCOL_DEFAULT 0x80000000u
#define W_AUTOALLOCATE 0xFFFFFFFFu
/* Win32's SCardStatus answers one of these numbers, not a bit set */
#define W_UNKNOWN 0u
#define W_ABSENT 1u
#define W_PRESENT 2u
#define W_SWALLOWED 3u
#define W_POWERED 4u
#define W_NEGOTIABLE 5u
#define W_SPECIFIC 6u

typedef struct {
  const char* szReader;
  void* pvUserData;
  uint32_t dwCurrentState;
  uint32_t dwEventState;
  uint32_t cbAtr;
  unsigned char rgbAtr[W_MAX_ATR_SIZE];
} w_readerstate;

typedef struct {
  uint32_t dwProtocol;
  uint32_t cbPciLength;
} w_io_request;

/* The reader-state event bits (SCARD_STATE_*) and the attribute ids have
 * the same values on both sides; only the field widths differ. */
#define X_STATE_UNAWARE 0x0000u
#define X_STATE_CHANGED 0x0002u
#define X_STATE_ATRMATCH 0x0040u
#define X_ATTR_ATR_STRING 0x00090303u
/* pcsc-lite answers 0x8010001F (Win32: SCARD_E_UNEXPECTED) for an attribute
 * or feature it does not support; Win32 has 0x80100022 for that. */
#define LX_E_UNSUPPORTED_FEATURE 0x8010001Fu

#ifdef __cplusplus
}
#endif

#endif
