#!/usr/bin/env python3
"""bmp2png.py IN.bmp OUT.png: a 32-bit top-down BMP (kl_check's screenshot)
as an RGB PNG, with the standard library alone."""
import struct
import sys
import zlib

data = open(sys.argv[1], "rb").read()
off = struct.unpack_from("<I", data, 10)[0]
w, h = struct.unpack_from("<ii", data, 18)
top_down = h < 0
h = abs(h)
raw = bytearray()
for y in range(h):
    row = y if top_down else h - 1 - y
    line = data[off + row * w * 4: off + (row + 1) * w * 4]
    raw.append(0)
    for x in range(0, len(line), 4):
        raw += bytes((line[x + 2], line[x + 1], line[x]))


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
open(sys.argv[2], "wb").write(png)
