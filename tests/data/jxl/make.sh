#!/bin/sh
# Regenerates the JPEG XL fixtures here (see README.md). Needs python3,
# ImageMagick (/usr/bin/convert), libjxl-tools (cjxl, djxl), libjxl-dev and a
# C compiler (for orient.c), and the sources in ../heif, ../colour and ../jpeg.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
IM=/usr/bin/convert
CJXL="cjxl --quiet --num_threads=0"
DJXL="djxl --quiet --num_threads=0"
SRC=../heif/source.png
ALPHA=../heif/alpha-source.png

# Lossy (XYB) and lossless, with and without alpha; the lossy files'
# references are djxl's own decodes.
$CJXL -d 1 -e 7 $SRC lossy.jxl
$CJXL -d 0 $SRC lossless.jxl
$CJXL -d 1 -e 7 $ALPHA alpha-lossy.jxl
$CJXL -d 0 $ALPHA alpha.jxl
$DJXL lossy.jxl lossy.ref.ppm
$DJXL alpha-lossy.jxl alpha-lossy.ref.png

# Grey, kept as its PGM source; lossless and lossy.
$IM $SRC -colorspace Gray -depth 8 grey.pgm
$CJXL -d 0 grey.pgm grey.jxl
$CJXL -d 1 grey.pgm grey-lossy.jxl
$DJXL grey-lossy.jxl grey-lossy.ref.pgm

# Deeper samples, lossless: 16-bit values on both sides of each 8-bit
# rounding boundary (257 k + 128 rounds down to k, 257 k + 129 up to k + 1),
# and 32-bit float samples i / 1000 (0 to 1.5, clamped to 1 when read).
python3 - "$tmp" <<'PY'
import struct, sys
tmp = sys.argv[1]
v = [0, 65535] + [257 * k + d for k in range(255) for d in (128, 129)]
w, h = 32, 16
s = [v[i % len(v)] for i in range(w * h * 3)]
open(tmp + "/deep16.ppm", "wb").write(b"P6\n%d %d\n65535\n" % (w, h) + struct.pack(">%dH" % len(s), *s))
w, h = 25, 20
f = [i / 1000 for i in range(w * h * 3)]
open(tmp + "/float.pfm", "wb").write(b"PF\n%d %d\n-1.0\n" % (w, h) + struct.pack("<%df" % len(f), *f))
PY
$CJXL -d 0 "$tmp/deep16.ppm" deep16.jxl
$CJXL -d 0 "$tmp/float.pfm" float.jxl

# Orientations 2 to 8: the stored pixels turned or mirrored beforehand so
# that each file, oriented, shows the source upright (lossless).
cc -O1 -o "$tmp/orient" orient.c -ljxl
$IM $SRC "$tmp/src.ppm"
for o in 2:-flop 3:-rotate,180 4:-flip 5:-transpose 6:-rotate,-90 7:-transverse 8:-rotate,90; do
  n=${o%%:*}
  $IM "$tmp/src.ppm" $(echo "${o#*:}" | tr , ' ') "$tmp/stored$n.ppm"
  "$tmp/orient" "$tmp/stored$n.ppm" "$n" "orient$n.jxl"
done

# An animation of two frames (the source, then its negative), kept as its
# GIF source; lossless, so the first frame is the GIF's first exactly.
$IM -delay 10 $SRC \( $SRC -negate \) -loop 0 anim.gif
$CJXL -d 0 anim.gif anim.jxl

# Colour: Adobe RGB pixels with their profile, lossless (the original
# colour space kept) and lossy (XYB); compared with ../colour/adobe.ref.ppm.
$CJXL -d 0 ../colour/adobe.png adobe-lossless.jxl
$CJXL -d 1 ../colour/adobe.png adobe-lossy.jxl

# JPEG files recompressed losslessly (cjxl's default for JPEG input).
$CJXL ../jpeg/quads.jpg quads-jpeg.jxl
$CJXL ../colour/adobe.jpg adobe-jpeg.jxl
