#!/bin/sh
# Regenerates the TIFF fixtures (see README.md). Needs python3, ImageMagick
# (convert) and libtiff-tools (tiffcp, tiffset). Run from this folder.
set -eu
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 - "$tmp" <<'PY'
import sys
d = sys.argv[1]
W, H = 20, 18
def rgb(x, y): return (12 * x + 5, 13 * y + 7, 255 - 6 * x - 7 * y)
def grey(x, y): return 8 * x + 5 * y + 3
def alpha(x, y): return (13 * x + 29 * y) % 256
def quad(x, y): return [(255, 0, 0), (0, 128, 0), (0, 0, 255), (200, 200, 50)][(x >= 10) + 2 * (y >= 9)]
def put(name, head, rows):
    with open(f"{d}/{name}", "wb") as f:
        f.write(head.encode()); f.write(bytes(rows))
put("rgb.ppm", f"P6 {W} {H} 255\n", [v for y in range(H) for x in range(W) for v in rgb(x, y)])
put("grey.pgm", f"P5 {W} {H} 255\n", [grey(x, y) for y in range(H) for x in range(W)])
put("quad.ppm", f"P6 {W} {H} 255\n", [v for y in range(H) for x in range(W) for v in quad(x, y)])
put("rgba.pam", f"P7\nWIDTH {W}\nHEIGHT {H}\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
    [v for y in range(H) for x in range(W) for v in rgb(x, y) + (alpha(x, y),)])
# 16-bit samples 257 * v + 100: nearest 8-bit value v, truncation gives v + 1 from 156 up.
put("rgb16.ppm", f"P6 {W} {H} 65535\n",
    [b for y in range(H) for x in range(W) for v in rgb(x, y) for b in divmod(min(65535, 257 * v + 100), 256)])
put("grey16.pgm", f"P5 {W} {H} 65535\n",
    [b for y in range(H) for x in range(W) for b in divmod(257 * grey(x, y) + 100, 256)])
# 1-bit: black where (x + 2y) % 5 == 0.
rows = []
for y in range(H):
    bits = [1 if (x + 2 * y) % 5 == 0 else 0 for x in range(W)] + [0] * 4
    rows += [int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, 24, 8)]
put("bits.pbm", f"P4 {W} {H}\n", rows)
PY
c=/usr/bin/convert
$c "$tmp/rgb.ppm" -compress none "$tmp/rgb.tif"
tiffcp -c none -r 4 "$tmp/rgb.tif" rgb-none.tif
tiffcp -c lzw:2 -r 4 "$tmp/rgb.tif" rgb-lzw.tif
tiffcp -c zip -r 5 "$tmp/rgb.tif" rgb-deflate.tif
tiffcp -c packbits -r 3 "$tmp/rgb.tif" rgb-packbits.tif
tiffcp -c lzw -t -w 16 -l 16 "$tmp/rgb.tif" rgb-tiled.tif
tiffcp -c lzw -p separate -r 4 "$tmp/rgb.tif" rgb-planar.tif
tiffcp -c jpeg:90 -r 16 "$tmp/rgb.tif" rgb-jpeg.tif
$c "$tmp/rgba.pam" -define tiff:alpha=unassociated -compress none "$tmp/rgba.tif"
tiffcp -c lzw -r 4 "$tmp/rgba.tif" rgba-lzw.tif
tiffcp -c zip -t -w 16 -l 16 "$tmp/rgba.tif" rgba-tiled.tif
$c "$tmp/grey.pgm" -compress none "$tmp/grey.tif"
tiffcp -c packbits -r 6 "$tmp/grey.tif" grey-packbits.tif
$c "$tmp/rgb16.ppm" -depth 16 -compress none "$tmp/rgb16.tif"
tiffcp -c zip -r 4 "$tmp/rgb16.tif" rgb16-deflate.tif
tiffcp -B -c lzw:2 -r 4 "$tmp/rgb16.tif" rgb16-bigendian.tif
$c "$tmp/grey16.pgm" -depth 16 -compress none "$tmp/grey16.tif"
tiffcp -c lzw -t -w 16 -l 16 "$tmp/grey16.tif" grey16-tiled.tif
$c "$tmp/bits.pbm" -compress none "$tmp/bits.tif"
tiffcp -c g4 "$tmp/bits.tif" bits-g4.tif
tiffcp -c packbits -r 5 "$tmp/bits.tif" bits-packbits.tif
$c "$tmp/quad.ppm" -type Palette -compress lzw palette.tif
tiffcp rgb-none.tif grey-packbits.tif multipage.tif
for o in 4 6 8; do
  cp rgb-lzw.tif orient$o.tif && tiffset -s 274 $o orient$o.tif
  cp rgb-planar.tif orient$o-planar.tif && tiffset -s 274 $o orient$o-planar.tif
done
# Damaged copies: the first strip's byte count cut to half (the data ends early).
python3 - <<'PY'
import struct
def halve_first_strip(src, dst):
    b = bytearray(open(src, "rb").read())
    assert b[:4] == b"II*\0"
    ifd = struct.unpack_from("<I", b, 4)[0]
    n = struct.unpack_from("<H", b, ifd)[0]
    for i in range(n):
        tag, typ, cnt, val = struct.unpack_from("<HHII", b, ifd + 2 + 12 * i)
        if tag == 279:
            size = 4 if typ == 4 else 2
            at = ifd + 2 + 12 * i + 8 if cnt * size <= 4 else val
            v = struct.unpack_from("<I" if size == 4 else "<H", b, at)[0]
            struct.pack_into("<I" if size == 4 else "<H", b, at, v // 2)
    open(dst, "wb").write(b)
halve_first_strip("rgb-lzw.tif", "short-strip-lzw.tif")
halve_first_strip("rgb-jpeg.tif", "short-strip-jpeg.tif")
halve_first_strip("rgb-deflate.tif", "short-strip-deflate.tif")
PY
