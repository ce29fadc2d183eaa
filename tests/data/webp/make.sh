#!/bin/sh
# Regenerates the WebP fixtures here (see README.md). Needs python3,
# ImageMagick (/usr/bin/convert) and the webp tools (cwebp, img2webp).
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# pattern.ppm: 8x6, pixel (x, y) = colour (x + 2y) % 4 of red, green, blue, white.
# gradient.ppm: 16x12, pixel (x, y) = (16x, 20y, 128).
# alpha.pam: 8x6 RGBA, pixel (x, y) = (30x, 40y, 200, 255 - 30x - 5y).
# other.ppm: 8x6, all (10, 20, 30).
python3 - "$tmp" <<'PY'
import sys
d = sys.argv[1]
def pnm(name, w, h, f, alpha=False):
    px = b''.join(bytes(f(x, y)) for y in range(h) for x in range(w))
    if alpha:
        head = b'P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n' % (w, h)
    else:
        head = b'P6\n%d %d\n255\n' % (w, h)
    open(d + '/' + name, 'wb').write(head + px)
four = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)]
pnm('pattern.ppm', 8, 6, lambda x, y: four[(x + 2 * y) % 4])
pnm('gradient.ppm', 16, 12, lambda x, y: (16 * x, 20 * y, 128))
pnm('alpha.pam', 8, 6, lambda x, y: (30 * x, 40 * y, 200, 255 - 30 * x - 5 * y), alpha=True)
pnm('other.ppm', 8, 6, lambda x, y: (10, 20, 30))
PY

/usr/bin/convert "$tmp/alpha.pam" "$tmp/alpha.png"
cwebp -quiet -lossless "$tmp/pattern.ppm" -o lossless.webp
cwebp -quiet -q 90 "$tmp/gradient.ppm" -o lossy.webp
cwebp -quiet -lossless -exact "$tmp/alpha.png" -o alpha.webp
cwebp -quiet -q 90 -alpha_q 100 "$tmp/alpha.png" -o lossyalpha.webp
img2webp -lossless -d 100 "$tmp/pattern.ppm" "$tmp/other.ppm" -o animated.webp >/dev/null
