#!/usr/bin/env python3
"""Draws samples/sunrise.png: a 320 by 200 picture of a sun rising over
hills, with smooth gradients, hard edges and an odd-width text-free scene,
written as an 8-bit RGB PNG with the standard library only."""
import math, struct, sys, zlib

W, H = 320, 200

def pixel(x, y):
    # Sky: a vertical gradient from deep blue to orange near the horizon.
    t = y / H
    r, g, b = int(30 + 220 * t), int(40 + 120 * t), int(120 - 60 * t)
    # Sun: a disc with a soft rim.
    d = math.hypot(x - 200, y - 120)
    if d < 40:
        r, g, b = 255, 220, 90
    elif d < 46:
        k = (d - 40) / 6
        r, g, b = int(255 * (1 - k) + r * k), int(220 * (1 - k) + g * k), int(90 * (1 - k) + b * k)
    # Two hills with hard edges in front of the sun.
    if y > 140 + 25 * math.sin(x / 40):
        r, g, b = 40, 110 + (x % 7), 50
    if y > 165 + 15 * math.cos(x / 25 + 1):
        r, g, b = 25, 80, 35
    return bytes((r, g, b))

def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

raw = b"".join(b"\0" + b"".join(pixel(x, y) for x in range(W)) for y in range(H))
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 2, 0, 0, 0))
       + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
sys.stdout.buffer.write(png)
