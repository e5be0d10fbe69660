#!/usr/bin/python3
"""PyKCS11 and the extension mechanisms on a fresh demo card (PIN 1234):
every signing mechanism with the card's signature key (each signature made
by one PSO COMPUTE DIGITAL SIGNATURE, input read from the trace) and with a
session key, verified with the openssl command and through C_Verify;
OpenSSL-made PSS signatures through C_Verify; the parameter and length
rules; SHA-384/512 digests; the attributes clients ask for."""
import hashlib
import os
import re
import subprocess
import sys
import tempfile

# A sanitizer build of the module needs its runtime loaded first in Python,
# and the C++ runtime with it: PyKCS11's list iterators end with a C++
# exception, which the sanitizer's interceptor can only pass on when it
# found the C++ runtime at start-up.
_pre = os.environ.get("VORN_CLIENT_PRELOAD")
if _pre and not os.environ.get("LD_PRELOAD", "").startswith(_pre):
    os.environ["LD_PRELOAD"] = _pre + " libstdc++.so.6"
    os.environ["ASAN_OPTIONS"] = "detect_leaks=0:verify_asan_link_order=0"
    os.execv(sys.executable, [sys.executable] + sys.argv)

import PyKCS11
from PyKCS11 import PyKCS11Error

P = PyKCS11
M = sys.argv[1]
TRACE = os.path.join(os.environ["VORNENV_DIR"], "reader0.trace")
W = tempfile.mkdtemp()
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def code(fn, *args):
    try:
        fn(*args)
        return P.CKR_OK
    except PyKCS11Error as e:
        return e.value


def verify(*args):
    """C_VerifyInit and C_Verify: PyKCS11 answers an invalid signature False."""
    try:
        return P.CKR_OK if s.verify(*args) else P.CKR_SIGNATURE_INVALID
    except PyKCS11Error as e:
        return e.value


def wfile(name, data):
    path = os.path.join(W, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, capture_output=True)


HASH = {"sha1": (P.CKM_SHA_1, P.CKG_MGF1_SHA1, 20), "sha256": (P.CKM_SHA256, P.CKG_MGF1_SHA256, 32),
        "sha384": (P.CKM_SHA384, P.CKG_MGF1_SHA384, 48), "sha512": (P.CKM_SHA512, P.CKG_MGF1_SHA512, 64)}


def pss(mech, h, salt):
    return P.RSA_PSS_Mechanism(mech, HASH[h][0], HASH[h][1], salt)


def pub_pem(n, e):
    """PEM of an RSA public key from its modulus and exponent (DER by hand)."""
    def der(tag, body):
        n_ = len(body)
        ln = bytes([n_]) if n_ < 128 else bytes([0x80 | ((n_.bit_length() + 7) // 8)]) + n_.to_bytes((n_.bit_length() + 7) // 8, "big")
        return bytes([tag]) + ln + body

    def integer(b):
        b = b.lstrip(b"\0")
        return der(0x02, (b"\0" + b) if b[0] & 0x80 else b)
    rsa = der(0x30, integer(n) + integer(e))
    r = openssl("rsa", "-RSAPublicKey_in", "-inform", "DER", "-pubout", data=rsa)
    return wfile("pub%d.pem" % len(n), r.stdout)


def pso_inputs():
    """Input lengths of the card's signatures in the trace so far."""
    out, cur = [], 0
    for line in open(TRACE):
        m = re.search(r"pcmd=([89]0)2a9e9a([0-9a-f]{2})", line, re.I)
        if m:
            cur += int(m.group(2), 16)
            if m.group(1) == "80":
                out.append(cur)
                cur = 0
    return out


lib = P.PyKCS11Lib()
lib.load(M)
slot = lib.getSlotList(tokenPresent=True)[0]
s = lib.openSession(slot, P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
s.login("1234")

# Mechanism list: the 27 first, the extension rows after them.
mechs = lib.getMechanismList(slot)
ext = ["CKM_RSA_X_509", "CKM_RSA_PKCS_PSS", "CKM_SHA1_RSA_PKCS", "CKM_SHA256_RSA_PKCS", "CKM_SHA384_RSA_PKCS",
       "CKM_SHA512_RSA_PKCS", "CKM_SHA256_RSA_PKCS_PSS", "CKM_SHA384_RSA_PKCS_PSS", "CKM_SHA512_RSA_PKCS_PSS",
       "CKM_SHA384", "CKM_SHA512"]
check(len(mechs) == 38 and mechs[27:] == ext and mechs[1] == "CKM_RSA_PKCS", "mechanism list: %s" % mechs)
info = lib.getMechanismInfo(slot, "CKM_RSA_PKCS_PSS")
check((info.ulMinKeySize, info.ulMaxKeySize, info.flags) == (1024, 2048, 0x2801), "PSS mechanism info")
check(lib.getMechanismInfo(slot, "CKM_SHA512").flags == 0x401, "SHA-512 mechanism info")

# The card's signature key, its public key object and its certificate's key.
cert = [c for c in s.findObjects([(P.CKA_CLASS, P.CKO_CERTIFICATE)])
        if "signature" in s.getAttributeValue(c, [P.CKA_LABEL])[0]][0]
cid = s.getAttributeValue(cert, [P.CKA_ID])[0]
card_priv = s.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_ID, cid)])[0]
card_pub = s.findObjects([(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_ID, cid)])[0]
card_pem = wfile("card.pem", openssl("x509", "-inform", "DER", "-pubkey", "-noout",
                                     data=bytes(s.getAttributeValue(cert, [P.CKA_VALUE])[0])).stdout)
aa, allowed = s.getAttributeValue(card_priv, [P.CKA_ALWAYS_AUTHENTICATE, P.CKA_ALLOWED_MECHANISMS])
check(aa is False, "CKA_ALWAYS_AUTHENTICATE false")
# PyKCS11 hands the array back as its bytes: CK_ULONGs of the platform.
allowed = [int.from_bytes(bytes(allowed[i:i + 8]), sys.byteorder) for i in range(0, len(allowed), 8)]
check(allowed == [P.CKM_RSA_PKCS, P.CKM_RSA_X_509, P.CKM_RSA_PKCS_PSS, P.CKM_SHA1_RSA_PKCS, P.CKM_SHA256_RSA_PKCS,
                  P.CKM_SHA384_RSA_PKCS, P.CKM_SHA512_RSA_PKCS, P.CKM_SHA256_RSA_PKCS_PSS, P.CKM_SHA384_RSA_PKCS_PSS,
                  P.CKM_SHA512_RSA_PKCS_PSS], "allowed mechanisms: %s" % allowed)

# A session key pair, signing in software.
spub, spriv = s.generateKeyPair(
    [(P.CKA_TOKEN, False), (P.CKA_MODULUS_BITS, 1024), (P.CKA_PUBLIC_EXPONENT, (1, 0, 1)), (P.CKA_VERIFY, True),
     (P.CKA_ENCRYPT, False)],
    [(P.CKA_TOKEN, False), (P.CKA_SIGN, True), (P.CKA_DECRYPT, False)])
n, e = s.getAttributeValue(spub, [P.CKA_MODULUS, P.CKA_PUBLIC_EXPONENT])
session_pem = pub_pem(bytes(n), bytes(e))

msg = b"signed through the extension mechanisms\n"
msg_file = wfile("msg", msg)


def digest(h, data=msg):
    return hashlib.new(h, data).digest()


# (mechanism, parameters, data to sign, openssl check of the signature)
def dgst_check(h, pss_salt=None):
    opts = ["-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:%d" % pss_salt] if pss_salt is not None else []
    return lambda pem, sig, data: b"Verified OK" in openssl("dgst", "-" + h, "-verify", pem, "-signature",
                                                            wfile("sig", sig), *opts, msg_file).stdout


def pkeyutl_pss(h, salt):
    return lambda pem, sig, data: openssl("pkeyutl", "-verify", "-pubin", "-inkey", pem, "-in", wfile("md", data),
                                          "-sigfile", wfile("sig", sig), "-pkeyopt", "digest:" + h,
                                          "-pkeyopt", "rsa_padding_mode:pss", "-pkeyopt",
                                          "rsa_pss_saltlen:%d" % salt).returncode == 0


def raw_check(pem, sig, data):
    r = openssl("pkeyutl", "-verifyrecover", "-pubin", "-inkey", pem, "-in", wfile("sig", sig),
                "-pkeyopt", "rsa_padding_mode:none")
    return r.returncode == 0 and r.stdout == data.rjust(len(sig), b"\0")


def cases(k):
    return [
        ("X_509 k bytes", P.Mechanism(P.CKM_RSA_X_509), b"\0" + os.urandom(k - 1), raw_check, k),
        ("X_509 short", P.Mechanism(P.CKM_RSA_X_509), b"\x01" * 20, raw_check, k),
        ("PSS sha1", pss(P.CKM_RSA_PKCS_PSS, "sha1", 20), digest("sha1"), pkeyutl_pss("sha1", 20), k),
        ("PSS sha256", pss(P.CKM_RSA_PKCS_PSS, "sha256", 32), digest("sha256"), pkeyutl_pss("sha256", 32), k),
        ("PSS sha256 salt 0", pss(P.CKM_RSA_PKCS_PSS, "sha256", 0), digest("sha256"), pkeyutl_pss("sha256", 0), k),
        ("PSS sha256 max salt", pss(P.CKM_RSA_PKCS_PSS, "sha256", k - 34), digest("sha256"),
         pkeyutl_pss("sha256", k - 34), k),
        ("PSS sha384", pss(P.CKM_RSA_PKCS_PSS, "sha384", 48), digest("sha384"), pkeyutl_pss("sha384", 48), k),
        # The longest salt that fits: 62 bytes with SHA-512 and 1024 bits.
        ("PSS sha512", pss(P.CKM_RSA_PKCS_PSS, "sha512", min(64, k - 66)), digest("sha512"),
         pkeyutl_pss("sha512", min(64, k - 66)), k),
        ("SHA1_RSA_PKCS", P.Mechanism(P.CKM_SHA1_RSA_PKCS), msg, dgst_check("sha1"), 35),
        ("SHA256_RSA_PKCS", P.Mechanism(P.CKM_SHA256_RSA_PKCS), msg, dgst_check("sha256"), 51),
        ("SHA384_RSA_PKCS", P.Mechanism(P.CKM_SHA384_RSA_PKCS), msg, dgst_check("sha384"), 67),
        ("SHA512_RSA_PKCS", P.Mechanism(P.CKM_SHA512_RSA_PKCS), msg, dgst_check("sha512"), 83),
        ("SHA256_RSA_PKCS_PSS", pss(P.CKM_SHA256_RSA_PKCS_PSS, "sha256", 32), msg, dgst_check("sha256", 32), k),
        ("SHA384_RSA_PKCS_PSS", pss(P.CKM_SHA384_RSA_PKCS_PSS, "sha384", 48), msg, dgst_check("sha384", 48), k),
        ("SHA512_RSA_PKCS_PSS", pss(P.CKM_SHA512_RSA_PKCS_PSS, "sha512", 20), msg, dgst_check("sha512", 20), k),
    ]


for kname, priv, pub, pem, k, on_card in (("card", card_priv, card_pub, card_pem, 256, True),
                                          ("session", spriv, spub, session_pem, 128, False)):
    for name, mech, data, osl_check, card_input in cases(k):
        what = "%s key, %s" % (kname, name)
        before = pso_inputs()
        try:
            sig = bytes(s.sign(priv, data, mech))
        except PyKCS11Error as e:
            check(False, "%s: sign %s" % (what, e))
            continue
        after = pso_inputs()
        if on_card:
            check(after[len(before):] == [card_input], "%s: card inputs %s" % (what, after[len(before):]))
        else:
            check(after == before, "%s: the card was used" % what)
        check(len(sig) == k and osl_check(pem, sig, data), "%s: openssl verification" % what)
        check(verify(pub, data, sig, mech) == P.CKR_OK, "%s: C_Verify" % what)
        bad = sig[:-1] + bytes([sig[-1] ^ 1])
        check(verify(pub, data, bad, mech) == P.CKR_SIGNATURE_INVALID, "%s: changed signature" % what)

# OpenSSL-made PSS signatures through C_Verify, with a key OpenSSL made.
openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", os.path.join(W, "o.key"))
modhex = openssl("rsa", "-in", os.path.join(W, "o.key"), "-noout", "-modulus").stdout.decode().strip().split("=")[1]
opub = s.createObject([(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_KEY_TYPE, P.CKK_RSA), (P.CKA_TOKEN, False),
                       (P.CKA_VERIFY, True), (P.CKA_MODULUS, bytes.fromhex(modhex)),
                       (P.CKA_PUBLIC_EXPONENT, b"\x01\x00\x01")])
for h, salt, osalt in (("sha256", 32, "digest"), ("sha384", 0, "0"), ("sha512", 256 - 64 - 2, "max"),
                       ("sha1", 20, "digest")):
    md = digest(h)
    r = openssl("pkeyutl", "-sign", "-inkey", os.path.join(W, "o.key"), "-in", wfile("md", md), "-pkeyopt",
                "digest:" + h, "-pkeyopt", "rsa_padding_mode:pss", "-pkeyopt", "rsa_pss_saltlen:" + osalt)
    sig = r.stdout
    check(r.returncode == 0 and len(sig) == 256, "openssl PSS %s signs" % h)
    check(verify(opub, md, sig, pss(P.CKM_RSA_PKCS_PSS, h, salt)) == P.CKR_OK, "openssl PSS %s: C_Verify" % h)
    check(verify(opub, md, sig, pss(P.CKM_RSA_PKCS_PSS, h, salt - 1 if salt else 1)) == P.CKR_SIGNATURE_INVALID,
          "openssl PSS %s: another salt length" % h)
    if h != "sha1":
        check(verify(opub, msg, sig, pss(getattr(P, "CKM_%s_RSA_PKCS_PSS" % h.upper()), h, salt)) == P.CKR_OK,
              "openssl PSS %s: hash-and-verify" % h)

# Parameter and length rules (C_SignInit answers; the operation stays idle).
BADP = P.CKR_MECHANISM_PARAM_INVALID
for name, mech, data, want in (
        ("PSS without parameters", P.Mechanism(P.CKM_RSA_PKCS_PSS), digest("sha256"), BADP),
        ("PSS parameters of 8 bytes", P.Mechanism(P.CKM_RSA_PKCS_PSS, b"\0" * 8), digest("sha256"), BADP),
        ("PSS with MD5", P.RSA_PSS_Mechanism(P.CKM_RSA_PKCS_PSS, P.CKM_MD5, P.CKG_MGF1_SHA1, 16), b"\0" * 16, BADP),
        ("PSS MGF1 of another hash", P.RSA_PSS_Mechanism(P.CKM_RSA_PKCS_PSS, P.CKM_SHA256, P.CKG_MGF1_SHA1, 32),
         digest("sha256"), BADP),
        ("SHA256 PSS naming SHA-384", pss(P.CKM_SHA256_RSA_PKCS_PSS, "sha384", 48), msg, BADP),
        ("PSS salt too long", pss(P.CKM_RSA_PKCS_PSS, "sha256", 256 - 32 - 1), digest("sha256"), BADP),
        ("PSS digest of the wrong length", pss(P.CKM_RSA_PKCS_PSS, "sha256", 32), digest("sha384"),
         P.CKR_DATA_LEN_RANGE),
        ("X_509 longer than the modulus", P.Mechanism(P.CKM_RSA_X_509), b"\0" * 257, P.CKR_DATA_LEN_RANGE),
        ("X_509 not below the modulus", P.Mechanism(P.CKM_RSA_X_509), b"\xff" * 256, P.CKR_DATA_INVALID)):
    check(code(s.sign, card_priv, data, mech) == want, name)
check(code(s.sign, card_priv, digest("sha256"), pss(P.CKM_RSA_PKCS_PSS, "sha256", 32)) == P.CKR_OK,
      "a refused call leaves no operation behind")

# SHA-384 and SHA-512 digests.
for h, m in (("sha384", P.CKM_SHA384), ("sha512", P.CKM_SHA512)):
    for data in (b"abc", os.urandom(1000)):  # PyKCS11 refuses empty input itself
        check(bytes(s.digest(data, P.Mechanism(m))) == hashlib.new(h, data).digest(), "%s digest" % h)

if failures:
    sys.exit(1)
print("PyKCS11 extension mechanisms: all checks passed")
