#!/usr/bin/env python3
"""Writes pngsuite.sums: for each PngSuite file not named x*, its width,
height and the FNV-1a 64 sum of its pixels as 8-bit RGBA (alpha 255 when the
file has none, 16-bit samples rounded to the nearest 8-bit value), decoded
by ImageMagick without gamma or colour-space conversion.

Usage: make-sums.py [--check] PNGSUITE_DIR > pngsuite.sums
With --check, also decodes each file with netpbm's pngtopam and reports the
files where the two decoders disagree."""
import os
import subprocess
import sys


def fnv1a64(data):
    h = 0xcbf29ce484222325
    for b in data:
        h ^= b
        h = (h * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


def parse_pam(raw):
    fields = {}
    pos = 0
    while True:
        end = raw.index(b"\n", pos)
        line = raw[pos:end].decode()
        pos = end + 1
        if line == "ENDHDR":
            break
        if line and line != "P7" and not line.startswith("#"):
            key, _, value = line.partition(" ")
            fields[key] = value
    w, h = int(fields["WIDTH"]), int(fields["HEIGHT"])
    depth, maxval = int(fields["DEPTH"]), int(fields["MAXVAL"])
    size = 2 if maxval > 255 else 1
    samples = []
    body = raw[pos:]
    for i in range(w * h * depth):
        v = int.from_bytes(body[i * size:(i + 1) * size], "big")
        # Nearest 8-bit value; exact for 1, 2 and 4-bit grey.
        samples.append((v * 255 + maxval // 2) // maxval)
    return w, h, depth, samples


def rgba_from_pngtopam(path):
    raw = subprocess.run(["pngtopam", "-alphapam", path], check=True, capture_output=True).stdout
    w, h, depth, s = parse_pam(raw)
    out = bytearray()
    for i in range(w * h):
        px = s[i * depth:(i + 1) * depth]
        if depth == 1:
            out += bytes([px[0], px[0], px[0], 255])
        elif depth == 2:
            out += bytes([px[0], px[0], px[0], px[1]])
        elif depth == 3:
            out += bytes(px + [255])
        else:
            out += bytes(px)
    return w, h, bytes(out)


def rgba_from_imagemagick(path):
    # "-set colorspace sRGB" keeps ImageMagick from converting files whose gAMA
    # chunk it reads as linear; 16-bit output, rounded here, avoids its truncation.
    raw = subprocess.run(["convert", path, "-set", "colorspace", "sRGB", "-depth", "16", "-endian", "MSB", "rgba:-"],
                         check=True, capture_output=True).stdout
    return bytes((int.from_bytes(raw[i:i + 2], "big") * 255 + 32767) // 65535 for i in range(0, len(raw), 2))


def size_from_imagemagick(path):
    out = subprocess.run(["identify", "-format", "%w %h", path], check=True, capture_output=True).stdout
    return tuple(int(v) for v in out.split())


def main():
    args = sys.argv[1:]
    check = "--check" in args
    folder = [a for a in args if a != "--check"][0]
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".png") or name.startswith("x"):
            continue
        path = os.path.join(folder, name)
        w, h = size_from_imagemagick(path)
        rgba = rgba_from_imagemagick(path)
        if len(rgba) != w * h * 4:
            sys.exit(f"{name}: unexpected size")
        if check and rgba_from_pngtopam(path) != (w, h, rgba):
            print("decoders disagree:", name, file=sys.stderr)
        print(f"{name} {w} {h} {fnv1a64(rgba):016x}")


main()
