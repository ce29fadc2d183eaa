#!/bin/sh
# Regenerates the ICO and CUR fixtures here (see README.md). Needs python3
# and ImageMagick 6 (/usr/bin/convert). Each fixture X sits beside X.pam,
# ImageMagick's own decode of the entry a viewer shows.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# source.pam: 13x11, pixel (x, y) = (19x, 23y, 7xy mod 256), alpha
# (20x + 3y) mod 256. cutout.pam: the same with alpha 0 where that is
# below 128, else 255. small.pam: 7x5 of (200, 100, 50, 255).
python3 - "$tmp" <<'PY'
import sys
d = sys.argv[1]
def pam(name, w, h, f):
    px = bytes(v for y in range(h) for x in range(w) for v in f(x, y))
    open(d + "/" + name, "wb").write(
        b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % (w, h) + px)
rgb = lambda x, y: (x * 19, y * 23, (x * y * 7) % 256)
alpha = lambda x, y: (x * 20 + y * 3) % 256
pam("source.pam", 13, 11, lambda x, y: rgb(x, y) + (alpha(x, y),))
pam("cutout.pam", 13, 11, lambda x, y: rgb(x, y) + (255 if alpha(x, y) >= 128 else 0,))
pam("small.pam", 7, 5, lambda x, y: (200, 100, 50, 255))
PY

# ImageMagick writes palette entries with an AND mask, true colour as 32-bit
# BMP entries with alpha (and a mask).
c=/usr/bin/convert
$c "$tmp/cutout.pam" -colors 2 -type PaletteAlpha pal1-mask.ico
$c "$tmp/cutout.pam" -colors 16 -type PaletteAlpha pal4-mask.ico
$c "$tmp/cutout.pam" -colors 200 -type PaletteAlpha pal8-mask.ico
$c "$tmp/source.pam" rgba32.ico
$c "$tmp/small.pam" "$tmp/small.ico"
$c "$tmp/source.pam" -resize 20x17! "png:$tmp/wide.png"

# Files of several entries, put together from those: sizes.ico holds the
# small picture, the 4-bit and the 32-bit picture of 13 by 11 (the 32-bit one
# is shown); png.ico the small picture and a 20 by 17 PNG file (shown);
# cursor.cur the 32-bit picture as a cursor with its hot spot at (3, 4).
python3 - "$tmp" <<'PY'
import struct, sys
d = sys.argv[1]
def entry(path):
    b = open(path, "rb").read()
    if b[:8] == b"\x89PNG\r\n\x1a\n":
        w, h = struct.unpack(">II", b[16:24])
        return w, h, 32, b
    size, at = struct.unpack("<II", b[14:22])
    bits = struct.unpack("<H", b[12:14])[0]
    return b[6], b[7], bits, b[at:at + size]
def write(name, kind, entries, fields=None):
    head = struct.pack("<HHH", 0, kind, len(entries))
    at = 6 + 16 * len(entries)
    body = b""
    for i, (w, h, bits, data) in enumerate(entries):
        planes, depth = fields[i] if fields else (1, bits)
        head += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, planes, depth, len(data), at + len(body))
        body += data
    open(name, "wb").write(head + body)
write("sizes.ico", 1, [entry(d + "/small.ico"), entry("pal4-mask.ico"), entry("rgba32.ico")])
write("png.ico", 1, [entry(d + "/small.ico"), entry(d + "/wide.png")])
write("cursor.cur", 2, [entry("rgba32.ico")], [(3, 4)])
PY

for f in pal1-mask pal4-mask pal8-mask rgba32; do $c "$f.ico" -depth 8 "$f.pam"; done
$c "sizes.ico[2]" -depth 8 sizes.pam
$c "png.ico[1]" -depth 8 png.pam
$c "rgba32.ico" -depth 8 cursor.pam
