#!/usr/bin/env python3
"""Draws Kestrelink's icons as .ico files (16x16 and 32x32, 32 bits BGRA).

  make_icons.py OUTDIR

Each tray state has its own colour and sign, so it is told apart at a glance:
108 pale grey blank card (reader watched, no card), 138 amber card with
three dots (reading), 127 green card with a tick (certificates in the
stores), 110 red card with a cross (not a VORN card, or failure). 2 is the
application icon (blue card with a chip), 109 the unused spare (slate card).
"""
import struct
import sys
from pathlib import Path


def seg_dist(px, py, ax, ay, bx, by):
    vx, vy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)))
    dx, dy = px - (ax + t * vx), py - (ay + t * vy)
    return (dx * dx + dy * dy) ** 0.5


def in_card(x, y, inset=0.0):
    # A rounded rectangle 0.04..0.96 x 0.16..0.84 (a card lying flat).
    x0, x1, y0, y1, r = 0.04 + inset, 0.96 - inset, 0.16 + inset, 0.84 - inset, 0.10
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and x0 <= x <= x1 and y0 <= y <= y1


WHITE = (255, 255, 255, 255)
CLEAR = (0, 0, 0, 0)


def filled_card(colour, sign):
    edge = tuple(max(0, c - 70) for c in colour[:3]) + (255,)

    def f(x, y):
        if not in_card(x, y):
            return CLEAR
        if sign(x, y):
            return WHITE
        return colour if in_card(x, y, 0.06) else edge
    return f


def tick(x, y):
    return min(seg_dist(x, y, 0.26, 0.50, 0.44, 0.68), seg_dist(x, y, 0.44, 0.68, 0.76, 0.30)) < 0.08


def cross(x, y):
    return min(seg_dist(x, y, 0.30, 0.28, 0.70, 0.72), seg_dist(x, y, 0.30, 0.72, 0.70, 0.28)) < 0.08


def dots(x, y):
    return any((x - cx) ** 2 + (y - 0.5) ** 2 < 0.085 ** 2 for cx in (0.27, 0.50, 0.73))


def chip(x, y):
    return 0.18 <= x <= 0.40 and 0.36 <= y <= 0.60 and not (0.27 <= x <= 0.31)


def empty_card(x, y):
    # A pale grey card with a dark grey edge and nothing on it: nothing in
    # the reader. Opaque like the others, so that it covers the previous
    # state's picture where a tray does not erase before drawing (Wine's).
    if not in_card(x, y):
        return CLEAR
    return (215, 215, 215, 255) if in_card(x, y, 0.09) else (110, 110, 110, 255)


ICONS = {
    2: filled_card((40, 90, 200, 255), chip),
    108: empty_card,
    109: filled_card((100, 110, 130, 255), chip),
    110: filled_card((215, 30, 30, 255), cross),
    127: filled_card((20, 160, 50, 255), tick),
    138: filled_card((240, 170, 0, 255), dots),
}


def image(f, n):
    """BITMAPINFOHEADER + BGRA rows bottom-up + AND mask, 4x4 supersampled."""
    rows = []
    for row in range(n - 1, -1, -1):
        line = bytearray()
        for col in range(n):
            acc = [0, 0, 0, 0]
            for sy in range(4):
                for sx in range(4):
                    r, g, b, a = f((col + (sx + 0.5) / 4) / n, (row + (sy + 0.5) / 4) / n)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            a = acc[3] / 16
            rgb = [int(round(c / acc[3])) if acc[3] else 0 for c in acc[:3]]
            line += bytes((rgb[2], rgb[1], rgb[0], int(round(a))))
        rows.append(bytes(line))
    mask_row = ((n + 31) // 32) * 4
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    return header + b"".join(rows) + bytes(mask_row * n)


def ico(f):
    images = [image(f, n) for n in (16, 32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip((16, 32), images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for num, f in ICONS.items():
        data = ico(f)
        path = out / f"kl-{num}.ico"
        if not path.exists() or path.read_bytes() != data:
            path.write_bytes(data)


if __name__ == "__main__":
    main()
