#!/usr/bin/env python3
"""Seeds for fuzz_pkcs8: PrivateKeyInfo encodings of RSA-1024 and RSA-2048
keys made by openssl, plus truncated and length-damaged variants."""
import os
import subprocess

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)


def key(bits):
    pem = subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", f"rsa_keygen_bits:{bits}"],
                         check=True, capture_output=True).stdout
    return subprocess.run(["openssl", "pkcs8", "-topk8", "-nocrypt", "-outform", "DER"], input=pem,
                          check=True, capture_output=True).stdout


for bits in (1024, 2048):
    der = key(bits)
    seeds = {f"rsa{bits}": der, f"rsa{bits}_cut": der[: len(der) // 2], f"rsa{bits}_tail": der + b"\0" * 8}
    bad = bytearray(der)
    bad[3] ^= 0x40
    seeds[f"rsa{bits}_outer_len"] = bytes(bad)
    bad = bytearray(der)
    bad[35] = 0xFF
    seeds[f"rsa{bits}_modulus_len"] = bytes(bad)
    for name, data in seeds.items():
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)
