#!/bin/sh
# Regenerates the TGA fixtures here (see README.md). Needs python3 and
# ImageMagick 6 (/usr/bin/convert). Each fixture X.tga sits beside X.pam,
# ImageMagick's own decode of it, turned upright (-auto-orient).
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# source.ppm: 13x11, pixel (x, y) = (19x, 23y, 7xy mod 256).
# source.pam: the same with alpha (20x + 3y) mod 256.
python3 - "$tmp" <<'PY'
import sys
d, w, h = sys.argv[1], 13, 11
rgb = lambda x, y: (x * 19, y * 23, (x * y * 7) % 256)
px = bytes(v for y in range(h) for x in range(w) for v in rgb(x, y))
open(d + "/source.ppm", "wb").write(b"P6\n%d %d\n255\n" % (w, h) + px)
pa = bytes(v for y in range(h) for x in range(w) for v in rgb(x, y) + ((x * 20 + y * 3) % 256,))
open(d + "/source.pam", "wb").write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % (w, h) + pa)
PY

# ImageMagick 6 writes the rows in the order it holds them and the origin
# from -orient (bottom-left when none): -flip and -flop make the upright
# picture the source.
c=/usr/bin/convert
s=$tmp/source.ppm a=$tmp/source.pam
$c "$s" -flip -compress none rgb24.tga
$c "$s" -flip -compress RLE rgb24-rle.tga
$c "$s" -orient TopLeft -compress none rgb24-top.tga
$c "$s" -flip -flop -orient BottomRight -compress none rgb24-right.tga
$c "$s" -flop -orient TopRight -compress RLE rgb24-top-right-rle.tga
$c "$a" -flip -compress none rgba32.tga
$c "$a" -orient TopLeft -compress RLE rgba32-top-rle.tga
$c "$s" -flip -colorspace gray -compress none grey.tga
$c "$s" -orient TopLeft -colorspace gray -compress RLE grey-top-rle.tga
$c "$s" -flip -colors 16 -type Palette -compress none mapped.tga
$c "$s" -flip -colors 16 -type Palette -compress RLE mapped-rle.tga
for f in *.tga; do $c "$f" -auto-orient "${f%.tga}.pam"; done
