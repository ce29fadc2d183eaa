#!/bin/sh
# Regenerates the QOI fixtures here (see README.md). Needs python3,
# ImageMagick 6 (/usr/bin/convert) and the Debian package qoi (qoiconv, the
# format's reference encoder). Each fixture X.qoi sits beside X.png, the
# picture it was encoded from.
set -eu
cd "$(dirname "$0")"

# rgb.png: 61x37 noisy swirl, every op but RGBA. rgba.png: the same with
# alpha rising to the right, so RGBA ops too. flat.png: 50x9 of three
# wide bands, whose runs cross rows and reach the longest run of 62.
c=/usr/bin/convert
$c -size 61x37 gradient:red-blue -swirl 90 -attenuate 0.3 +noise Uniform -depth 8 rgb.png
$c rgb.png -alpha set -channel A -fx 'i/w' -depth 8 rgba.png
$c -size 50x3 xc:'#204080' -size 50x3 xc:'#204081' -size 50x3 xc:white -append -depth 8 -type TrueColor flat.png
for f in rgb rgba flat; do qoiconv "$f.png" "$f.qoi"; done
# linear.qoi: rgb.qoi marked as all channels linear (colour space byte 1).
python3 -c 'import sys; b = bytearray(open("rgb.qoi", "rb").read()); b[13] = 1; open("linear.qoi", "wb").write(b)'
