#!/usr/bin/env python3
"""Seeds for fuzz_p11_api: call programs in the byte encoding that
fuzz_p11_api.cpp reads (one operation byte, then the bytes that operation
draws). Each seed reaches a different part of the module: login and object
reads, signing with every object, symmetric parts with huge lengths, digests,
key generation and wrapping, PIN management, a card pulled mid-session."""
import os

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus_api")
os.makedirs(here, exist_ok=True)

# Operation numbers (fuzz_p11_api.cpp, Program::step).
OPEN, CLOSE, LOGIN, LOGOUT, SETPIN = 6, 7, 10, 11, 12
FIND_INIT, FIND, FIND_FINAL, GET_ATTR, SET_ATTR, CREATE, DESTROY = 14, 15, 16, 17, 18, 19, 20
ENC_INIT, ENC, ENC_UPD, ENC_FINAL = 21, 22, 23, 24
DEC_INIT, DEC, DEC_UPD, DEC_FINAL = 25, 26, 27, 28
DIG_INIT, DIG, DIG_UPD, DIG_FINAL = 29, 30, 31, 32
SIGN_INIT, SIGN, VERIFY_INIT, VERIFY = 33, 34, 35, 36
GENKEY, WRAP, UNWRAP, RANDOM, TRIES, PUK, CARD, REINIT = 37, 39, 40, 42, 43, 44, 45, 46

# Indexes into the harness tables.
M = {"RSA_PKCS": 0, "RC4": 4, "DES3_CBC_PAD": 10, "AES_ECB": 11, "AES_CBC": 12, "AES_CBC_PAD": 13,
     "SHA_1": 15, "SHA256": 16, "AES_KEY_GEN": 17, "DES3_KEY_GEN": 20}
T = {"CLASS": 0, "KEY_TYPE": 1, "TOKEN": 2, "PRIVATE": 3, "LABEL": 4, "ID": 5, "VALUE": 6, "VALUE_LEN": 7,
     "MODULUS": 8, "ENCRYPT": 11, "DECRYPT": 12, "SIGN": 13, "WRAP": 15, "UNWRAP": 16, "EXTRACTABLE": 18}
U = {"SECRET": 4, "AES": 12, "DES3": 11, "16": 14, "24": 15}  # kUlongs
SPECIAL_BIG = 0xC0 + 15  # kSpecialLens[15] = (CK_ULONG)-1


def data(n, payload=b""):
    """in_data: a real buffer of n (< 128) bytes, the first from payload."""
    return bytes([1, n, len(payload)]) + payload


def huge(sel):
    """in_data with a special huge length (small buffer behind it)."""
    return bytes([1, sel, 0])


def out(n):
    """out_buf: an honest capacity (n < 128, or 0x81 0x00 for 256)."""
    return bytes([2]) + (bytes([n]) if n < 128 else bytes([0x80 | (n >> 8), n & 0xFF]))


def mech(name, param=b""):
    return bytes([M[name]]) + param + bytes([3])


def ulong(name, index):
    return bytes([T[name], 0, index])


def boolean(name, v):
    return bytes([T[name], v])


def key_value(n_index):
    return bytes([T["VALUE"], 5, n_index, 0])


def template(*attrs):
    return bytes([len(attrs)]) + b"".join(attrs)


def op(n, *parts):
    return bytes([n]) + b"".join(parts)


S0 = b"\x00"  # first session / first object / slot 0
start = b"\x00" + op(OPEN, b"\x01", S0) + op(LOGIN, S0, b"\x00", b"\x00")  # init, RW session, PIN 1234
find_all = op(FIND_INIT, S0, template()) + op(FIND, S0, b"\x40", b"\x02") + op(FIND_FINAL, S0)
aes_key = op(CREATE, S0, template(ulong("CLASS", U["SECRET"]), ulong("KEY_TYPE", U["AES"]), key_value(2),
                                  boolean("ENCRYPT", 1), boolean("DECRYPT", 1), boolean("TOKEN", 0)), b"\x01")

seeds = {
    "login_find_read": start + find_all + b"".join(
        op(GET_ATTR, S0, bytes([i]), bytes([3, T["CLASS"], 8, 1, T["LABEL"], 0x7F, 1, T["VALUE"], 0x7F, 0]))
        for i in range(6)),
    "sign_every_object": start + find_all + b"".join(
        op(SIGN_INIT, S0, mech("RSA_PKCS"), bytes([i])) + op(SIGN, S0, out(256), data(35, b"\x30\x21"))
        for i in range(6)),
    "sign_huge_length": start + find_all + op(SIGN_INIT, S0, mech("RSA_PKCS"), b"\x00") +
        op(SIGN, S0, out(256), huge(SPECIAL_BIG)),
    # Parts with pending bytes; the fuzzer swaps in the huge lengths.
    "aes_parts": start + aes_key +
        op(ENC_INIT, S0, mech("AES_CBC_PAD", b"\x00"), S0) + op(ENC_UPD, S0, out(64), data(20)) +
        op(ENC_UPD, S0, out(64), data(7)) + op(ENC_FINAL, S0, out(32)) +
        op(DEC_INIT, S0, mech("AES_CBC_PAD", b"\x00"), S0) + op(DEC_UPD, S0, out(64), data(40)) +
        op(DEC_UPD, S0, out(64), data(24)) + op(DEC_FINAL, S0, out(32)),
    "aes_ecb_one_shot": start + aes_key + op(ENC_INIT, S0, mech("AES_ECB"), S0) + op(ENC, S0, out(64), data(32)) +
        op(DEC_INIT, S0, mech("AES_ECB"), S0) + op(DEC, S0, out(0), data(32)),
    "digest": start + op(DIG_INIT, S0, mech("SHA256")) + op(DIG, S0, data(100), out(32)) +
        op(DIG_INIT, S0, mech("SHA_1")) + op(DIG_UPD, S0, data(10)) + op(DIG_FINAL, S0, out(20)),
    "genkey_wrap": start + op(GENKEY, S0, mech("AES_KEY_GEN"), template(ulong("VALUE_LEN", U["16"]),
                                                                          boolean("EXTRACTABLE", 1)), b"\x01") +
        aes_key + op(WRAP, S0, mech("AES_ECB"), b"\x01", S0, out(64)) +
        op(UNWRAP, S0, mech("AES_ECB"), b"\x01", data(16), template(ulong("CLASS", U["SECRET"]),
                                                                    ulong("KEY_TYPE", U["AES"])), b"\x01"),
    "pins": start + op(TRIES, S0, b"\x01") + op(SETPIN, S0, b"\x00", b"\x03") + op(LOGOUT, S0) +
        op(LOGIN, S0, b"\x00", b"\x03") + op(PUK, S0, b"\x01", b"\x00", b"\x01") +
        op(LOGIN, S0, b"\x00", b"\x06\x0F"),
    "card_pulled": start + find_all + op(CARD, b"\x00") + op(GET_ATTR, S0, b"\x01", bytes([1, T["LABEL"], 0x40, 1])) +
        op(CARD, b"\x01") + op(OPEN, b"\x01", S0) + op(CARD, b"\x02") + op(SIGN_INIT, S0, mech("RSA_PKCS"), b"\x00") +
        op(REINIT, b"\x01", b"\x00") + op(CLOSE, S0),
    "set_attr_destroy": start + aes_key + op(SET_ATTR, S0, S0, template(bytes([T["LABEL"], 6, 5, 0]))) +
        op(SET_ATTR, S0, S0, template(bytes([T["CLASS"], 3, SPECIAL_BIG]))) + op(DESTROY, S0, S0) +
        op(RANDOM, S0, b"\x40", b"\x01", b"\x00"),
}

for name, blob in seeds.items():
    with open(os.path.join(here, name), "wb") as f:
        f.write(blob)
