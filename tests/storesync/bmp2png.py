#!/usr/bin/env python3
"""bmp2png.py IN.bmp OUT.png: kl_check's screenshot (a 32-bit top-down BMP
of the whole Xvfb screen) as an RGB PNG of the part that is not black
background -- Wine's system tray window with a margin -- enlarged three
times so that the 16x16 icons can be seen. Standard library only."""
import struct
import sys
import zlib

SCALE, MARGIN = 3, 12

data = open(sys.argv[1], "rb").read()
off = struct.unpack_from("<I", data, 10)[0]
w, h = struct.unpack_from("<ii", data, 18)
top_down = h < 0
h = abs(h)


def pixel(x, y):
    row = y if top_down else h - 1 - y
    i = off + (row * w + x) * 4
    return data[i + 2], data[i + 1], data[i]


xs, ys = [], []
for y in range(h):
    row = y if top_down else h - 1 - y
    line = data[off + row * w * 4: off + (row + 1) * w * 4]
    if line.count(0) == len(line):
        continue
    for x in range(w):
        if line[4 * x: 4 * x + 3] != b"\0\0\0":
            xs.append(x)
            ys.append(y)
if xs:
    x0, x1 = max(0, min(xs) - MARGIN), min(w, max(xs) + 1 + MARGIN)
    y0, y1 = max(0, min(ys) - MARGIN), min(h, max(ys) + 1 + MARGIN)
else:
    x0, y0, x1, y1 = 0, 0, w, h
raw = bytearray()
for y in range(y0, y1):
    line = bytearray([0])
    for x in range(x0, x1):
        line += bytes(pixel(x, y)) * SCALE
    raw += bytes(line) * SCALE


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


width, height = (x1 - x0) * SCALE, (y1 - y0) * SCALE
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b"")
open(sys.argv[2], "wb").write(png)
