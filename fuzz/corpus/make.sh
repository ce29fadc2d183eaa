#!/usr/bin/env bash
# Rebuilds the fuzzers' seed corpora: the test fixtures of each format (but
# not the deliberately damaged ones), the PNG seeds of make-png.py, and a few
# variants made with Debian's tools.
# Needs python3, libjpeg-turbo-progs, imagemagick, libtiff-tools, webp.
# (The HEIC, AVIF and JPEG XL seeds are copies of fixtures made by
# tests/data/heif/make.sh and tests/data/jxl/make.sh.)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data="$here/../../tests/data"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Every reader's folder but PNG's takes its format's test fixtures; TGA's,
# ICO's and QOI's leave out the pictures their fixtures are checked against.
for dir in "$here"/*/; do
  f=$(basename "$dir")
  [ "$f" = png ] || [ "$f" = write ] || [ "$f" = heif ] || [ "$f" = jxl ] || [ ! -d "$data/$f" ] && continue
  case $f in
    tga | qoi) find "$data/$f" -maxdepth 1 -name "*.$f" -exec cp {} "$here/$f/" \; ;;
    ico) find "$data/$f" -maxdepth 1 \( -name '*.ico' -o -name '*.cur' \) -exec cp {} "$here/$f/" \; ;;
    *) find "$data/$f" -maxdepth 1 -type f ! -name '*.md' ! -name '*.sh' ! -name '*.py' ! -name 'short-strip-*' \
         -exec cp {} "$here/$f/" \; ;;
  esac
done
python3 "$here/make-png.py" "$here/png"

# A 13 x 11 gradient to encode in further variants.
python3 - "$tmp/grad.ppm" <<'PY'
import sys
w, h = 13, 11
px = bytes(v for y in range(h) for x in range(w) for v in (x * 19, y * 23, (x * y * 7) % 256))
open(sys.argv[1], "wb").write(b"P6\n%d %d\n255\n" % (w, h) + px)
PY
j="$here/jpeg"
cjpeg -quality 80 -sample 2x2 -restart 1 -outfile "$j/sub420-restart.jpg" "$tmp/grad.ppm"
cjpeg -quality 80 -sample 2x1 -optimize -outfile "$j/sub422-optimized.jpg" "$tmp/grad.ppm"
cjpeg -quality 80 -arithmetic -outfile "$j/arithmetic.jpg" "$tmp/grad.ppm"
cjpeg -quality 80 -progressive -sample 2x2 -outfile "$j/progressive-420.jpg" "$tmp/grad.ppm"
convert "$tmp/grad.ppm" -orient RightTop -quality 80 "$j/exif-orient6.jpg"

t="$here/tiff"
tiffcp -c lzw:2 "$data/tiff/rgb-deflate.tif" "$t/rgb-lzw-predictor.tif"
convert "$tmp/grad.ppm" -alpha set -channel A -fx 'i/w' -compress none "$t/rgba.tif"
convert "$tmp/grad.ppm" -define tiff:rows-per-strip=3 -compress lzw "$t/rgb-strips.tif"
# Large enough (2 MP) for the reader's two-thread strip path, small as a file.
convert -size 2000x1024 xc:gray50 -depth 8 -type grayscale -compress lzw -define tiff:rows-per-strip=128 \
  "$t/grey-lzw-2mp-strips.tif"

w="$here/webp"
cwebp -quiet -q 50 "$tmp/grad.ppm" -o "$w/grad-lossy.webp"
cwebp -quiet -lossless "$tmp/grad.ppm" -o "$w/grad-lossless.webp"

g="$here/gif"
convert "$tmp/grad.ppm" -colors 4 "$g/grad-4colours.gif"
b="$here/bmp"
convert "$tmp/grad.ppm" -type Palette -colors 16 -compress RLE "BMP3:$b/rle8-grad.bmp"

# Files with embedded colour profiles, one per reader (JPEG: one marker, two,
# and a CMYK profile over three), from the colour fixtures.
c="$data/colour"
for f in adobe.jpg adobe-split.jpg cmyk.jpg; do cp "$c/$f" "$j/colour-$f"; done
cp "$c/adobe.png" "$here/png/colour-adobe.png"
cp "$c/adobe.tif" "$t/colour-adobe.tif"
cp "$c/adobe.webp" "$w/colour-adobe.webp"
cp "$c/adobe.bmp" "$b/colour-adobe.bmp"

# HEIC and AVIF: a few of tests/data/heif's files each (that folder holds
# both formats, damaged files and PNG sources, so it is not copied whole).
for f in plain alpha depth10; do cp "$data/heif/$f.heic" "$here/heif/"; done
for f in plain alpha grid combo depth10 codes12 mono p3-nclx; do cp "$data/heif/$f.avif" "$here/avif/"; done
# JPEG XL: the fixtures of each kind, not the references and sources.
for f in lossy lossless alpha alpha-lossy grey-lossy deep16 float orient6 anim adobe-lossless quads-jpeg; do
  cp "$data/jxl/$f.jxl" "$here/jxl/"
done

# The writers' target: inputs for every writer and compression of
# write_fuzzer.cpp (writer and compression, width - 1, height - 1, channels,
# orientation, pixel bytes).
python3 - "$here/write" <<'PY'
import os, sys
out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for t in range(96):  # every writer and compression for up to 16 writers
    head = bytes([t, 12 + t, 8 + t, t % 2, t % 8])
    px = bytes((i * 29 + t * 7) % 256 for i in range(64))
    open(os.path.join(out, "target%02d" % t), "wb").write(head + px)
PY
