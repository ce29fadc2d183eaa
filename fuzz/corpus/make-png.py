#!/usr/bin/env python3
"""Writes the PNG seeds: every colour type and bit depth, plain and
interlaced, plus palette transparency, tRNS colour keys, gAMA and
several IDAT chunks. Usage: make-png.py OUTDIR"""
import os
import struct
import sys
import zlib

W, H = 7, 5  # odd sizes so that every interlace pass and bit packing shows


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def sample(x, y, c, depth):
    top = (1 << depth) - 1
    return (x * 37 + y * 91 + c * 53) % (top + 1)


def pack_row(values, depth):
    if depth >= 8:
        return b"".join(v.to_bytes(depth // 8, "big") for v in values)
    out, acc, n = bytearray(), 0, 0
    for v in values:
        acc = (acc << depth) | v
        n += depth
        if n == 8:
            out.append(acc)
            acc, n = 0, 0
    if n:
        out.append(acc << (8 - n))
    return bytes(out)


def raw(pixels, xs, ys, chans, depth, filt):
    """Filtered scanlines of the sub-picture at columns xs and rows ys."""
    out = bytearray()
    bpp = max(1, chans * depth // 8)
    prev = None
    for y in ys:
        row = pack_row([v for x in xs for v in pixels[y][x]], depth)
        f = filt % 5
        line = bytearray(len(row))
        for i, b in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            up = prev[i] if prev else 0
            ul = prev[i - bpp] if prev and i >= bpp else 0
            if f == 0:
                p = 0
            elif f == 1:
                p = a
            elif f == 2:
                p = up
            elif f == 3:
                p = (a + up) // 2
            else:
                pa, pb, pc = abs(up - ul), abs(a - ul), abs(a + up - 2 * ul)
                p = a if pa <= pb and pa <= pc else (up if pb <= pc else ul)
            line[i] = (b - p) & 0xFF
        out.append(f)
        out += line
        prev = row
        filt += 1
    return bytes(out)


PASSES = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png(colour, depth, interlace, extra=b"", split=False):
    chans = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    d = depth if colour != 3 else depth
    pixels = [[[sample(x, y, c, d) for c in range(chans)] for x in range(W)] for y in range(H)]
    if interlace:
        data = b""
        for x0, y0, dx, dy in PASSES:
            xs, ys = list(range(x0, W, dx)), list(range(y0, H, dy))
            if xs and ys:
                data += raw(pixels, xs, ys, chans, depth, x0 + y0)
    else:
        data = raw(pixels, range(W), range(H), chans, depth, 0)
    z = zlib.compress(data, 9)
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, depth, colour, 0, 0, interlace))
    out += extra
    if colour == 3:
        n = 1 << depth
        out += chunk(b"PLTE", bytes((i * 40 + k * 90) % 256 for i in range(n) for k in range(3)))
        out += chunk(b"tRNS", bytes((i * 77) % 256 for i in range(min(n, 3))))
    if split:
        half = len(z) // 2
        out += chunk(b"IDAT", z[:half]) + chunk(b"IDAT", z[half:])
    else:
        out += chunk(b"IDAT", z)
    return out + chunk(b"IEND", b"")


def main():
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    depths = {0: [1, 2, 4, 8, 16], 2: [8, 16], 3: [1, 2, 4, 8], 4: [8, 16], 6: [8, 16]}
    for colour, ds in depths.items():
        for depth in ds:
            for interlace in (0, 1):
                name = "c%d-d%d%s.png" % (colour, depth, "-i" if interlace else "")
                with open(os.path.join(outdir, name), "wb") as f:
                    f.write(png(colour, depth, interlace))
    key_grey = chunk(b"tRNS", struct.pack(">H", 3))
    key_rgb = chunk(b"tRNS", struct.pack(">HHH", 37, 53, 106))
    gamma = chunk(b"gAMA", struct.pack(">I", 45455))
    extras = {
        "c0-d4-trns.png": png(0, 4, 0, key_grey),
        "c2-d8-trns.png": png(2, 8, 0, key_rgb),
        "c2-d16-trns-i.png": png(2, 16, 1, key_rgb),
        "c2-d8-gama-split.png": png(2, 8, 0, gamma, split=True),
    }
    for name, data in extras.items():
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
