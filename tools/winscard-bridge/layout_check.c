/* Build-time check: the bridge's pcsc-lite records (pcsc_abi.h) must match
 * the installed <PCSC/winscard.h> exactly. Compiled, never run; a mismatch
 * stops the build. */
#include <PCSC/winscard.h>
#include <PCSC/reader.h>
#include <stddef.h>

#include "pcsc_abi.h"

#define SAME_FIELD(a, b, f) \
  _Static_assert(offsetof(a, f) == offsetof(b, f) && sizeof(((a*)0)->f) == sizeof(((b*)0)->f), #f)

_Static_assert(sizeof(DWORD) == sizeof(unsigned long) && sizeof(LONG) == sizeof(long), "pcsc-lite DWORD/LONG");
_Static_assert(sizeof(SCARDCONTEXT) == sizeof(long) && sizeof(SCARDHANDLE) == sizeof(long), "handles");

_Static_assert(sizeof(SCARD_READERSTATE) == sizeof(lx_readerstate), "SCARD_READERSTATE size");
_Static_assert(sizeof(SCARD_READERSTATE) == 80, "pcsc-lite SCARD_READERSTATE is 80 bytes");
SAME_FIELD(SCARD_READERSTATE, lx_readerstate, szReader);
SAME_FIELD(SCARD_READERSTATE, lx_readerstate, pvUserData);
SAME_FIELD(SCARD_READERSTATE, lx_readerstate, dwCurrentState);
SAME_FIELD(SCARD_READERSTATE, lx_readerstate, dwEventState);
SAME_FIELD(SCARD_READERSTATE, lx_readerstate, cbAtr);
SAME_FIELD(SCARD_READERSTATE, lx_readerstate, rgbAtr);

_Static_assert(sizeof(SCARD_IO_REQUEST) == sizeof(lx_io_request) && sizeof(SCARD_IO_REQUEST) == 16, "IO request");
SAME_FIELD(SCARD_IO_REQUEST, lx_io_request, dwProtocol);
SAME_FIELD(SCARD_IO_REQUEST, lx_io_request, cbPciLength);

_Static_assert(MAX_ATR_SIZE == LX_MAX_ATR_SIZE, "ATR size");
_Static_assert(SCARD_PROTOCOL_T0 == LX_PROTOCOL_T0 && SCARD_PROTOCOL_T1 == LX_PROTOCOL_T1, "T0/T1");
_Static_assert(SCARD_PROTOCOL_RAW == LX_PROTOCOL_RAW && SCARD_PROTOCOL_T15 == LX_PROTOCOL_T15, "RAW/T15");
_Static_assert(SCARD_UNKNOWN == LX_UNKNOWN && SCARD_ABSENT == LX_ABSENT && SCARD_PRESENT == LX_PRESENT, "state");
_Static_assert(SCARD_SWALLOWED == LX_SWALLOWED && SCARD_POWERED == LX_POWERED, "state");
_Static_assert(SCARD_NEGOTIABLE == LX_NEGOTIABLE && SCARD_SPECIFIC == LX_SPECIFIC, "state");
_Static_assert(SCARD_STATE_UNAWARE == X_STATE_UNAWARE && SCARD_STATE_CHANGED == X_STATE_CHANGED, "event bits");
_Static_assert(SCARD_STATE_ATRMATCH == X_STATE_ATRMATCH, "event bits");
_Static_assert(SCARD_AUTOALLOCATE == (DWORD)-1, "autoallocate");
_Static_assert(INFINITE == 0xFFFFFFFFul, "infinite");
_Static_assert(SCARD_ATTR_ATR_STRING == X_ATTR_ATR_STRING, "ATR attribute");
_Static_assert(SCARD_E_UNSUPPORTED_FEATURE == (LONG)LX_E_UNSUPPORTED_FEATURE, "unsupported feature");
