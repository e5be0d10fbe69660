#!/usr/bin/env python3
"""The simulator behind the real PC/SC stack, seen by an ordinary PC/SC tool
(OpenSC's opensc-tool): run under tools/with-vornenv with one demo card.
Checks the reader list, the ATR, a SELECT and its GET RESPONSE, the serial from GET DATA, and the simulator's trace of them."""
import os, re, subprocess, sys

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def tool(*args):
    r = subprocess.run(["opensc-tool"] + list(args), capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout + r.stderr


rc, out = tool("-l")
check(rc == 0 and "Virtual PCD" in out, "opensc-tool -l lists the virtual reader: " + out)
rc, out = tool("-r", "0", "-a")
check(rc == 0 and out.strip() == "3b:7f:94:00:00:80:31:80:71:90:67:56:4f:52:4e:31:2e:30:90:00", "VORN ATR: " + out)
rc, out = tool("-r", "0", "-s", "00A40004023F00", "-s", "00C0000016", "-s", "00CA010010")
check(rc == 0, "APDUs sent")
check("62 14 82 01 38 83 02 3F 00 8A 01 05" in out, "GET RESPONSE gives the FCI: " + out)
check(re.search(r"56 4F 52 4E 01 00 01 00", out) is not None, "identification data: " + out)
trace = os.path.join(os.environ["VORNENV_DIR"], "reader0.trace")
with open(trace) as f:
    lines = f.read().splitlines()
check(any(l.endswith("APDU cmd=00A40004023F00 rsp=6116") for l in lines), "trace: SELECT 3F00 answered 61 16")
check(any(" APDU cmd=00C0000016 rsp=621482013883023F00" in l for l in lines), "trace: GET RESPONSE with the FCI")
check(any(" POWER " in l for l in lines), "trace: power events")
print("FAILED %d" % len(failures) if failures else "OK")
sys.exit(1 if failures else 0)
