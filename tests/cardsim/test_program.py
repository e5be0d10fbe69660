#!/usr/bin/env python3
"""vorn-cardsim end to end, with this script standing in for vpcd (the TCP
server of the vpcd protocol): personalise, power and ATR, APDUs, the trace
file, a faults file changed while running, a dropped connection followed by
a reconnect, SIGKILL with the state intact, SIGTERM ending cleanly."""
import hashlib, os, signal, socket, struct, subprocess, sys, tempfile, time

SIM = sys.argv[1]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


class Vpcd:
    def __init__(self):
        self.srv = socket.socket()
        self.srv.bind(("127.0.0.1", 0))
        self.srv.listen(1)
        self.srv.settimeout(20)
        self.port = self.srv.getsockname()[1]
        self.c = None

    def accept(self):
        self.c, _ = self.srv.accept()
        self.c.settimeout(20)

    def _read(self, n):
        b = b""
        while len(b) < n:
            x = self.c.recv(n - len(b))
            if not x:
                raise EOFError
            b += x
        return b

    def send(self, payload):
        self.c.sendall(struct.pack(">H", len(payload)) + payload)

    def recv(self):
        n = struct.unpack(">H", self._read(2))[0]
        return self._read(n)

    def apdu(self, hexstr):
        self.send(bytes.fromhex(hexstr))
        return self.recv().hex().upper()


def wait_exit(p, secs=10):
    try:
        return p.wait(secs)
    except subprocess.TimeoutExpired:
        p.kill()
        return None


with tempfile.TemporaryDirectory() as d:
    card = os.path.join(d, "card.vcs")
    trace = os.path.join(d, "trace.txt")
    faults = os.path.join(d, "faults.txt")
    r = subprocess.run([SIM, "personalise", "--card", card, "--serial", "0011223344556677", "--label", "Prog",
                        "--pin-state", "3", "--atr", "3B021400"], capture_output=True, text=True)
    check(r.returncode == 0, "personalise exit code %d %s" % (r.returncode, r.stderr))
    r = subprocess.run([SIM, "personalise", "--card", card, "--pin", "12"], capture_output=True, text=True)
    check(r.returncode == 1 and "the PIN must have 4 to 8 characters" in r.stderr, "short PIN refused")
    r = subprocess.run([SIM, "run", "--card", card], capture_output=True, text=True)
    check(r.returncode == 2, "run without --port is a usage error")
    r = subprocess.run([SIM, "frobnicate", "--card", card], capture_output=True, text=True)
    check(r.returncode == 2, "unknown command")

    v = Vpcd()
    open(faults, "w").close()
    p = subprocess.Popen([SIM, "run", "--card", card, "--port", str(v.port), "--trace", trace, "--faults", faults])
    v.accept()
    v.send(b"\x01")
    v.send(b"\x04")
    check(v.recv().hex().upper() == "3B021400", "ATR from --atr")
    check(v.apdu("00CA010010") == "00000000000000000011223344556677".replace("0000000000000000", "564F524E01000100", 1) + "9000", "serial")
    check(v.apdu("00CA020001") == "039000", "PIN state 3")
    check(v.apdu("002000110839393939FFFFFFFF") == "63C2", "wrong PIN")
    # A changed faults file applies before the next command.
    time.sleep(0.01)
    with open(faults, "w") as f:
        f.write("sw CA 6A88 x1\n")
    check(v.apdu("00CA020001") == "6A88", "fault from the changed file")
    check(v.apdu("00CA020001") == "039000", "fault used up")
    with open(faults, "w") as f:
        f.write("drop A4\n")
    v.send(bytes.fromhex("00A40004023F00"))
    try:
        v.c.recv(10)
        got = v.c.recv(10)
        check(got == b"", "connection dropped")
    except (ConnectionResetError, socket.timeout):
        pass
    v.c.close()
    os.unlink(faults)
    v.accept()  # the simulator comes back by itself
    v.send(b"\x01")
    check(v.apdu("00A40004023F00") == "6116", "answers after the reconnect")
    # SIGKILL: the state (two wrong PINs) survives.
    check(v.apdu("002000110839393939FFFFFFFF") == "63C1", "second wrong PIN")
    p.send_signal(signal.SIGKILL)
    wait_exit(p)
    v.c.close()
    p = subprocess.Popen([SIM, "run", "--card", card, "--port", str(v.port), "--trace", trace])
    v.accept()
    v.send(b"\x01")
    check(v.apdu("0020001100") == "63C1", "tries kept across SIGKILL")
    p.send_signal(signal.SIGTERM)
    check(wait_exit(p) == 0, "SIGTERM ends with status 0")
    with open(trace) as f:
        lines = f.read().splitlines()
    check(any(" POWER on atr=3B021400" in l for l in lines), "trace has power on")
    check(any("APDU cmd=00CA020001 rsp=6A88 fault=sw" in l for l in lines), "trace shows the fault")
    check(any("APDU cmd=00A40004023F00 rsp=- fault=drop" in l for l in lines), "trace shows the drop")
    check(not any("39393939" in l for l in lines), "PIN values are not traced")
    check(not [n for n in os.listdir(d) if ".tmp." in n], "no temporary card files left")

    # add-cert: one more certificate, with the key identifier of its modulus.
    extra = os.path.join(d, "extra.vcs")
    pem, der = os.path.join(d, "c.pem"), os.path.join(d, "c.der")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", os.path.join(d, "c.key"),
                    "-out", pem, "-subj", "/CN=Extra", "-days", "2"], check=True, capture_output=True)
    subprocess.run(["openssl", "x509", "-in", pem, "-outform", "DER", "-out", der], check=True)
    mod = subprocess.run(["openssl", "x509", "-in", pem, "-noout", "-modulus"], check=True, capture_output=True,
                         text=True).stdout.strip().split("=")[1]
    subprocess.run([SIM, "personalise", "--card", extra], check=True)
    r = subprocess.run([SIM, "add-cert", "--card", extra, "--cert", der, "--app", "2"], capture_output=True, text=True)
    check(r.returncode == 0, "add-cert exit code %d %s" % (r.returncode, r.stderr))
    objs = [l.split() for l in open(extra) if l.startswith("obj 2 1 ")]
    kid = hashlib.sha1(bytes.fromhex(mod)).hexdigest().upper()
    check(len(objs) == 1 and objs[0][3:6] == ["11", "4", "0"] and objs[0][7] == open(der, "rb").read().hex().upper()
          and kid in objs[0][6] and b"Extra".hex().upper() in objs[0][6], "add-cert object, value and attributes")
    r = subprocess.run([SIM, "add-cert", "--card", extra, "--cert", pem], capture_output=True, text=True)
    check(r.returncode == 1 and "not a DER X.509 certificate" in r.stderr, "add-cert refuses PEM")
    r = subprocess.run([SIM, "add-cert", "--card", extra, "--cert", der, "--app", "3"], capture_output=True, text=True)
    check(r.returncode == 2, "add-cert --app 3 is a usage error")

print("FAILED %d" % len(failures) if failures else "OK")
sys.exit(1 if failures else 0)
