#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_cardsim: APDU sequences (each APDU behind
one length byte), plain and under a channel opened with the test keys and
the fuzzer's fixed card random (0x5A bytes)."""
import hashlib, os, subprocess

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
SIGN = bytes.fromhex("404142434445464748494A4B4C4D4E4F")
CIPH = bytes.fromhex("505152535455565758595A5B5C5D5E5F")


def enc(cipher, key, data, iv=None, decrypt=False):
    cmd = ["openssl", "enc", "-" + cipher, "-K", key.hex(), "-nopad"] + (["-d"] if decrypt else [])
    if iv is not None:
        cmd += ["-iv", iv.hex()]
    return subprocess.run(cmd, input=data, capture_output=True, check=True).stdout


def tdes(key, data, decrypt=False):
    return enc("des-ede3", key + key[:8], data, decrypt=decrypt)


def mac(key, data):
    q = 8 - len(data) % 8
    c = enc("des-ede3-cbc", key + key[:8], data + bytes([q]) * q, iv=bytes(8))
    return c[-8:-4]


def wrap(sk, plain):
    hdr = bytes([plain[0] | 4]) + plain[1:4]
    if plain[1] in (0xB0, 0xB2, 0x84, 0xCA):
        data = plain[4:5] or b"\x00"
    else:
        data = plain[5:5 + plain[4]] if len(plain) > 5 else b""
    m = mac(sk, hdr + bytes([len(data)]) + data)
    if data:
        p = 16 - len(data) % 16
        data = enc("aes-128-ecb", sk, data + bytes([p]) * p)
    body = data + m
    return hdr + bytes([len(body)]) + body


def seq(apdus):
    return b"".join(bytes([len(a)]) + a for a in apdus)


def channel(app, key):
    aid = "A00000006341502D5349474E" if app == 1 else "A00000006341502D43495048"
    rc1 = rc = bytes([0x5A]) * 8
    rh2 = bytes.fromhex("B1B2B3B4B5B6B7B8")
    hc = hashlib.sha1(rc1 + key).digest()
    real_rc = tdes(key, tdes(key, rc), decrypt=True)
    return [bytes.fromhex("00A404040C" + aid), bytes.fromhex("804C0202081122334455667788"),
            bytes.fromhex("00C0000034"), bytes.fromhex("804E00001C") + hc + tdes(key, rh2)], rh2 + real_rc


h = bytes.fromhex
os.makedirs(OUT, exist_ok=True)
seeds = {
    "files": seq([h("00A40004023F00"), h("00C0000016"), h("00A40004020FCF"), h("00B0000008"),
                  h("00D6000002AABB"), h("00A40004025032"), h("00B0000010"), h("00CA010010"),
                  h("00CA020001"), h("0084000008")]),
    "pins": seq([h("0020001100"), h("002000110839393939FFFFFFFF"), h("002000110831323334FFFFFFFF"),
                 h("0024001110" + "31323334FFFFFFFF" + "35353535FFFFFFFF"), h("002C001100"),
                 h("002C001110" + "3132333435363738" + "31323334FFFFFFFF"), h("002E001100")]),
    "malformed": seq([h("00"), h("00A4"), h("00A40004FF3F00"), h("FFA40004023F00"), h("10A40004023F00"),
                      h("8448000100"), h("04C0000010"), h("00C0FFFF00")]),
}
for app, key in ((1, SIGN), (2, CIPH)):
    opening, sk = channel(app, key)
    cmds = [h("00CA030028"), h("002000110831323334FFFFFFFF"), h("8422000003" + "80011B"),
            h("844601020" + "6840101850100"), h("8450000103" + "8B0102"), h("844800050A" + "82020008830105860100"),
            h("84488205" + "080102030405060708"), h("8450000103" + "8B0101"), h("8422000003810101"),
            h("842A9E9A04" + "01020304"), h("942A808680" + "11" * 128), h("8452000100"),
            h("8454000306860100870101"), h("00A4044C0C" + ("A00000006341502D5349474E" if app == 1 else "A00000006341502D43495048"))]
    wrapped = []
    for c in cmds:
        wrapped += [wrap(sk, c), h("04C00000F4")]
    seeds["channel_app%d" % app] = seq(opening + wrapped)
    bad = bytearray(wrap(sk, h("00CA010010")))
    bad[-1] ^= 1
    seeds["badmac_app%d" % app] = seq(opening + [bytes(bad), h("00CA010010")])
for name, data in seeds.items():
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)
print("wrote", len(seeds), "seeds")
