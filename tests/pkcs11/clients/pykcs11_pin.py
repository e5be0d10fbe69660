#!/usr/bin/python3
"""PyKCS11 and the CI_* PIN extensions on a fresh demo card (PIN 1234, PUK
12345678): tries left, the count-low / final-try / locked token flags,
unblock with the PUK, change of the PUK."""
import ctypes
import os
import sys

# A sanitizer build of the module needs its runtime loaded first in Python.
_pre = os.environ.get("VORN_CLIENT_PRELOAD")
if _pre and os.environ.get("LD_PRELOAD") != _pre:
    os.environ["LD_PRELOAD"] = _pre
    os.environ["ASAN_OPTIONS"] = "detect_leaks=0:verify_asan_link_order=0"
    os.execv(sys.executable, [sys.executable] + sys.argv)

import PyKCS11
from PyKCS11 import PyKCS11Error

M = sys.argv[1]
COUNT_LOW, FINAL_TRY, LOCKED = 0x10000, 0x20000, 0x40000
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def code(fn, *args):
    try:
        fn(*args)
        return PyKCS11.CKR_OK
    except PyKCS11Error as e:
        return e.value


lib = PyKCS11.PyKCS11Lib()
lib.load(M)
ext = ctypes.CDLL(M)  # the same loaded module: the CI_* entry points
for name in ("CI_UnblockPIN", "CI_SetPUK"):
    getattr(ext, name).argtypes = [ctypes.c_ulong, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p, ctypes.c_ulong]
for name in ("CI_GetLeftTriesPIN", "CI_GetLeftTriesPUK"):
    getattr(ext, name).argtypes = [ctypes.c_ulong, ctypes.POINTER(ctypes.c_ubyte)]

slot = lib.getSlotList(tokenPresent=True)[0]
s = lib.openSession(slot, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
h = s.session.value()


def tries(which):
    b = ctypes.c_ubyte(0xEE)
    rv = getattr(ext, "CI_GetLeftTries" + which)(h, ctypes.byref(b))
    return rv, b.value


def pin_flags():
    return lib.getTokenInfo(slot).flags & (COUNT_LOW | FINAL_TRY | LOCKED)


def unblock(puk, pin):
    return ext.CI_UnblockPIN(h, puk, len(puk), pin, len(pin))


def set_puk(old, new):
    return ext.CI_SetPUK(h, old, len(old), new, len(new))


check(tries("PIN") == (0, 3), "3 PIN tries on a fresh card")
check(tries("PUK")[0] == 0 and tries("PUK")[1] > 0, "PUK tries readable")
check(pin_flags() == 0, "no PIN status flag at first")

check(code(s.login, "9999") == PyKCS11.CKR_PIN_INCORRECT, "wrong PIN 1 -> CKR_PIN_INCORRECT")
check(pin_flags() == COUNT_LOW, "two tries left -> count low")
check(tries("PIN") == (0, 2), "2 tries left")
check(code(s.login, "1234") == PyKCS11.CKR_OK, "right PIN")
check(pin_flags() == 0, "a right PIN clears count low")
check(code(s.logout) == PyKCS11.CKR_OK, "logout")

check(code(s.login, "9999") == PyKCS11.CKR_PIN_INCORRECT, "wrong PIN again")
check(code(s.login, "8888") == PyKCS11.CKR_PIN_INCORRECT, "wrong PIN, final try next")
check(pin_flags() == COUNT_LOW | FINAL_TRY, "final try flag")
check(code(s.login, "7777") == PyKCS11.CKR_PIN_LOCKED, "third wrong PIN locks")
check(pin_flags() == LOCKED, "locked flag alone: count low and final try cleared")
check(tries("PIN") == (0, 0), "0 tries when blocked")
check(code(s.login, "1234") == PyKCS11.CKR_PIN_LOCKED, "right PIN refused while blocked")

check(unblock(b"00000000", b"5678") == PyKCS11.CKR_PIN_INCORRECT, "wrong PUK")
puk_rv, puk_left = tries("PUK")
check(puk_rv == 0 and puk_left >= 1, "PUK tries after a wrong PUK")
check(unblock(b"12345678", b"5678") == PyKCS11.CKR_OK, "unblock with the PUK")
check(pin_flags() == 0, "unblock clears the PIN status flags")
check(tries("PIN") == (0, 3), "3 tries after unblock")
check(code(s.login, "5678") == PyKCS11.CKR_OK, "login with the new PIN")
check(code(s.logout) == PyKCS11.CKR_OK, "logout after unblock")

check(set_puk(b"12345678", b"87654321") == PyKCS11.CKR_OK, "set a new PUK")
check(set_puk(b"12345678", b"11112222") == PyKCS11.CKR_PIN_INCORRECT, "old PUK refused")
check(unblock(b"87654321", b"2468") == PyKCS11.CKR_OK, "unblock with the new PUK")
check(code(s.login, "2468") == PyKCS11.CKR_OK, "PIN set by the second unblock")
check(unblock(b"123", b"2468") == PyKCS11.CKR_PIN_LEN_RANGE, "PUK of 3 characters")

ro = lib.openSession(slot, PyKCS11.CKF_SERIAL_SESSION)
b = ctypes.c_ubyte(0)
check(ext.CI_UnblockPIN(ro.session.value(), b"87654321", 8, b"2468", 4) == PyKCS11.CKR_SESSION_READ_ONLY,
      "unblock in a read-only session")
check(ext.CI_GetLeftTriesPIN(h, None) == PyKCS11.CKR_ARGUMENTS_BAD, "null tries pointer")
check(ext.CI_GetLeftTriesPIN(0, ctypes.byref(b)) == PyKCS11.CKR_SESSION_HANDLE_INVALID, "session 0")

if failures:
    sys.exit(1)
print("PyKCS11: all checks passed")
