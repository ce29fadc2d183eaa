#!/bin/sh
# Regenerates the GIF fixtures here (see README.md). Needs python3,
# ImageMagick (/usr/bin/convert) and giflib-tools (gifbuild).
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# pattern.ppm: 8x6, pixel (x, y) = colour (x + 2y) % 4 of red, green, blue, white.
# rows.ppm: 5x13, pixel (x, y) = colour (x + 3y) % 16 of c(i) = (16i, 255 - 16i, 37i % 256).
# other.ppm: 8x6, all (10, 20, 30).
python3 - "$tmp" <<'PY'
import sys
d = sys.argv[1]
def ppm(name, w, h, f):
    px = b''.join(bytes(f(x, y)) for y in range(h) for x in range(w))
    open(d + '/' + name, 'wb').write(b'P6\n%d %d\n255\n' % (w, h) + px)
four = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)]
ppm('pattern.ppm', 8, 6, lambda x, y: four[(x + 2 * y) % 4])
ppm('rows.ppm', 5, 13, lambda x, y: (16 * ((x + 3 * y) % 16), 255 - 16 * ((x + 3 * y) % 16), 37 * ((x + 3 * y) % 16) % 256))
ppm('other.ppm', 8, 6, lambda x, y: (10, 20, 30))
PY

/usr/bin/convert "$tmp/pattern.ppm" GIF87:pattern87.gif
/usr/bin/convert "$tmp/pattern.ppm" pattern89.gif
/usr/bin/convert "$tmp/rows.ppm" -interlace GIF interlaced.gif
/usr/bin/convert -delay 10 "$tmp/pattern.ppm" "$tmp/other.ppm" -loop 0 animated.gif

raster='01230123
23012301
01230123
23012301
01230123
23012301'
map='	rgb 255 000 000 is 0
	rgb 000 255 000 is 1
	rgb 000 000 255 is 2
	rgb 255 255 255 is 3
end'

# Global map all grey; the frame's own map has the pattern's colours.
gifbuild >localmap.gif <<GB
screen width 8
screen height 6
screen colors 4
screen map
	rgb 128 128 128 is a
	rgb 128 128 128 is b
	rgb 128 128 128 is c
	rgb 128 128 128 is d
end
image
image left 0
image top 0
image map
$map
image bits 8 by 6
$raster
GB

# White (index 3) is transparent.
gifbuild >transparent.gif <<GB
screen width 8
screen height 6
screen colors 4
screen map
$map
graphics control
	disposal mode 0
	user input flag off
	delay 0
	transparent index 3
end
image
image left 0
image top 0
image bits 8 by 6
$raster
GB

# A 4x3 frame (rows 0123 / 1230 / 2301) at (5, 4) on a 10x8 screen.
gifbuild >offset.gif <<GB
screen width 10
screen height 8
screen colors 4
screen map
$map
image
image left 5
image top 4
image bits 4 by 3
0123
1230
2301
GB

# The same frame at (4, 3) on a 6x5 screen: only its top-left 2x2 shows.
gifbuild >clipped.gif <<GB
screen width 6
screen height 5
screen colors 4
screen map
$map
image
image left 4
image top 3
image bits 4 by 3
0123
1230
2301
GB

# The same frame at (1, 2) on a screen declared 0 by 0.
gifbuild >noscreen.gif <<GB
screen width 0
screen height 0
screen colors 4
screen map
$map
image
image left 1
image top 2
image bits 4 by 3
0123
1230
2301
GB
