#!/bin/sh
# Regenerates the colour-profile fixtures here (see README.md). Needs python3,
# ImageMagick (/usr/bin/convert, built with Little CMS), the webp tools
# (cwebp, webpmux) and the profiles of icc-profiles-free and libgs-common.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
IM=/usr/bin/convert
ICC=/usr/share/color/icc
SRGB=$ICC/sRGB.icc
ADOBE=$ICC/compatibleWithAdobeRGB1998.icc
CMYK=$ICC/ghostscript/default_cmyk.icc
SMALLCMYK=$ICC/ghostscript/ps_cmyk.icc
GREY=$ICC/Gray.icc

# The source pictures, sRGB and untagged: src.ppm 96x64 (hue sweep, grey
# ramp, saturated patches), grey.pgm 96x64 (ramps and steps).
python3 - "$tmp" <<'PY'
import colorsys, sys
d = sys.argv[1]
W, H = 96, 64
patches = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (0, 255, 255), (255, 0, 255), (255, 255, 0), (255, 128, 0),
           (128, 0, 255), (0, 160, 80), (220, 40, 120), (240, 200, 160), (40, 40, 40), (128, 128, 128),
           (230, 230, 230), (0, 0, 0), (255, 255, 255)]
def rgb(x, y):
    if y < 40:  # hue left to right; dark to full at the top, full to white below
        s = 1.0 if y < 20 else 1 - (y - 20) / 24
        v = 0.35 + 0.65 * y / 19 if y < 20 else 1.0
        return tuple(round(c * 255) for c in colorsys.hsv_to_rgb(x / W, s, v))
    if y < 48:
        v = round(255 * x / (W - 1))
        return (v, v, v)
    return patches[x // 12 + 8 * ((y - 48) // 8)]
def grey(x, y):
    if y < 32: return round(255 * x / (W - 1))
    return (x // 12) * 36 if y < 48 else 255 - round(255 * x / (W - 1)) // 2
with open(d + "/src.ppm", "wb") as f:
    f.write(b"P6\n%d %d\n255\n" % (W, H) + bytes(c for y in range(H) for x in range(W) for c in rgb(x, y)))
with open(d + "/grey.pgm", "wb") as f:
    f.write(b"P5\n%d %d\n255\n" % (W, H) + bytes(grey(x, y) for y in range(H) for x in range(W)))
PY

# The same picture converted into Adobe RGB and CMYK pixels (no profile kept).
$IM "$tmp/src.ppm" -profile $SRGB -profile $ADOBE "$tmp/adobe.ppm"
$IM "$tmp/src.ppm" -profile $SRGB -profile $CMYK -depth 8 "cmyk:$tmp/cmyk.raw"

# JPEG: ImageMagick encodes (libjpeg-turbo, 4:2:0) and embeds the profile;
# the profile is assigned to pixels already in its space, not converted.
$IM "$tmp/adobe.ppm" -profile $ADOBE -quality 95 -sampling-factor 2x2 adobe.jpg
$IM "$tmp/src.ppm" -profile $SRGB -profile $CMYK -quality 95 -sampling-factor 1x1 cmyk.jpg
$IM "$tmp/grey.pgm" -profile $GREY -quality 95 grey.jpg
$IM "$tmp/src.ppm" -profile $SRGB -quality 95 -sampling-factor 2x2 srgb.jpg
# WebP: lossless, the profile added as an ICCP chunk.
cwebp -quiet -lossless -exact "$tmp/adobe.ppm" -o adobe-noicc.webp
webpmux -set icc $ADOBE adobe-noicc.webp -o adobe.webp >/dev/null 2>&1

# PNG, TIFF and BMP are written byte by byte so that each tagged file and its
# profile-less twin differ in the profile alone; JPEG twins drop the APP2
# markers, damaged JPEGs get new ones.
python3 - "$tmp" "$SRGB" "$ADOBE" "$GREY" "$SMALLCMYK" "$CMYK" <<'PY'
import struct, sys, zlib
tmp, SRGB, ADOBE, GREY, SMALLCMYK, CMYK = sys.argv[1:]
icc = lambda p: open(p, "rb").read()
def pnm(path):
    d = open(path, "rb").read()
    magic, w, h, mx, px = d.split(maxsplit=4)
    return int(w), int(h), {b"P5": 1, b"P6": 3}[magic], px
W, H = 96, 64

def png(name, ch, px, profile=None, srgb_chunk=False):
    def chunk(t, b): return struct.pack(">I", len(b)) + t + b + struct.pack(">I", zlib.crc32(t + b))
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, {1: 0, 3: 2}[ch], 0, 0, 0))
    if profile: out += chunk(b"iCCP", b"icc\0\0" + zlib.compress(profile, 9))
    if srgb_chunk: out += chunk(b"sRGB", b"\0")
    rows = b"".join(b"\0" + px[y * W * ch:(y + 1) * W * ch] for y in range(H))
    open(name, "wb").write(out + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))

def tiff(name, ch, px, profile=None):  # little-endian, one strip, uncompressed
    photometric = {3: 2, 4: 5}[ch]
    entries = [(256, 3, 1, W), (257, 3, 1, H), (258, 3, ch, None), (259, 3, 1, 1), (262, 3, 1, photometric),
               (273, 4, 1, None), (277, 3, 1, ch), (278, 3, 1, H), (279, 4, 1, len(px)), (284, 3, 1, 1)]
    if ch == 4: entries.append((332, 3, 1, 1))  # InkSet: CMYK
    if profile: entries.append((34675, 7, len(profile), None))
    ifd_size = 2 + 12 * len(entries) + 4
    bps_at = 8 + ifd_size
    px_at = bps_at + 2 * ch
    icc_at = px_at + len(px) + (len(px) & 1)
    ifd = struct.pack("<H", len(entries))
    for tag, typ, n, v in entries:
        if tag == 258: v = bps_at
        if tag == 273: v = px_at
        if tag == 34675: v = icc_at
        ifd += struct.pack("<HHI", tag, typ, n) + (struct.pack("<HH", v, 0) if typ == 3 else struct.pack("<I", v))
    out = b"II*\0" + struct.pack("<I", 8) + ifd + b"\0\0\0\0" + struct.pack("<%dH" % ch, *[8] * ch) + px
    out += b"\0" * (len(px) & 1)
    open(name, "wb").write(out + (profile or b""))

def bmp(name, px, profile=None):  # 24-bit bottom-up, BITMAPV5HEADER
    stride = (W * 3 + 3) & ~3
    rows = b"".join(bytes(c for x in range(W) for c in px[(y * W + x) * 3:(y * W + x) * 3 + 3][::-1]).ljust(stride, b"\0")
                    for y in reversed(range(H)))
    data_at = 14 + 124
    cstype = 0x4D424544 if profile else 0x73524742  # 'MBED' or 'sRGB'
    prof_at = 124 + len(rows) if profile else 0  # from the start of the info header
    head = struct.pack("<IiiHHIIiiII", 124, W, H, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    head += struct.pack("<IIII", 0, 0, 0, 0) + struct.pack("<I", cstype) + b"\0" * 36 + b"\0" * 12
    head += struct.pack("<IIII", 4, prof_at, len(profile or b""), 0)  # intent: LCS_GM_IMAGES
    assert len(head) == 124
    body = head + rows + (profile or b"")
    open(name, "wb").write(b"BM" + struct.pack("<IHHI", 14 + len(body), 0, 0, data_at) + body)

def swap_profile():
    """A v2 RGB display profile with sRGB's D50 colorants, red and green
    exchanged, and gamma 2.2 curves."""
    s15 = lambda v: struct.pack(">i", round(v * 65536))
    xyz = lambda x, y, z: b"XYZ \0\0\0\0" + s15(x) + s15(y) + s15(z)
    text = b"Swapped red and green\0"
    desc = b"desc\0\0\0\0" + struct.pack(">I", len(text)) + text + b"\0" * 8 + b"\0\0\0" + b"\0" * 67
    curve = b"curv\0\0\0\0" + struct.pack(">IH", 1, 0x0233) + b"\0\0"  # gamma 563/256 = 2.2
    tags = [(b"desc", desc), (b"cprt", b"text\0\0\0\0No copyright, test data\0"),
            (b"wtpt", xyz(0.9642, 1.0, 0.8249)),
            (b"rXYZ", xyz(0.3851, 0.7169, 0.0971)), (b"gXYZ", xyz(0.4361, 0.2225, 0.0139)),
            (b"bXYZ", xyz(0.1431, 0.0606, 0.7141)), (b"rTRC", curve), (b"gTRC", curve), (b"bTRC", curve)]
    at = 128 + 4 + 12 * len(tags)
    table, data, shared = b"", b"", {}
    for sig, body in tags:
        if body not in shared:
            shared[body] = at + len(data)
            data += body + b"\0" * (-len(body) % 4)
        table += sig + struct.pack(">II", shared[body], len(body))
    size = at + len(data)
    head = struct.pack(">I4sI4s4s4s", size, b"\0\0\0\0", 0x02100000, b"mntr", b"RGB ", b"XYZ ")
    head += b"\0" * 12 + b"acsp" + b"\0" * 24 + struct.pack(">I", 0) + s15(0.9642) + s15(1.0) + s15(0.8249)
    head = head.ljust(128, b"\0")
    return head + struct.pack(">I", len(tags)) + table + data

def jpeg_segments(d):
    """SOI, then (marker, whole segment bytes) up to SOS, then the rest."""
    i, segs = 2, []
    while d[i + 1] != 0xDA:
        n = struct.unpack(">H", d[i + 2:i + 4])[0]
        segs.append((d[i + 1], d[i:i + 2 + n]))
        i += 2 + n
    return segs, d[i:]
def is_icc(seg): return seg[0] == 0xE2 and seg[1][4:16] == b"ICC_PROFILE\0"
def app2(chunks):
    return [b"\xff\xe2" + struct.pack(">H", 2 + 14 + len(c)) + b"ICC_PROFILE\0" + bytes([i + 1, len(chunks)]) + c
            for i, c in enumerate(chunks)]
def jpeg_icc(d):
    segs, _ = jpeg_segments(d)
    return b"".join(s[18:] for m, s in segs if is_icc((m, s)))
def jpeg_with(d, icc_segments):
    """The file without its ICC markers, the given ones placed after the first APPn (JFIF or Adobe)."""
    segs, rest = jpeg_segments(d)
    segs = [s for s in segs if not is_icc(s)]
    return b"\xff\xd8" + segs[0][1] + b"".join(icc_segments) + b"".join(s for m, s in segs[1:]) + rest

adobe = pnm(tmp + "/adobe.ppm")[3]
src = pnm(tmp + "/src.ppm")[3]
grey = pnm(tmp + "/grey.pgm")[3]
cmyk = open(tmp + "/cmyk.raw", "rb").read()
swap = swap_profile()
open(tmp + "/swap.icc", "wb").write(swap)

png("adobe.png", 3, adobe, icc(ADOBE)); png("adobe-noicc.png", 3, adobe)
png("grey.png", 1, grey, icc(GREY)); png("grey-noicc.png", 1, grey)
png("srgb.png", 3, src, icc(SRGB)); png("srgb-noicc.png", 3, src); png("srgb-chunk.png", 3, src, srgb_chunk=True)
tiff("adobe.tif", 3, adobe, icc(ADOBE)); tiff("adobe-noicc.tif", 3, adobe)
tiff("cmyk.tif", 4, cmyk, icc(CMYK)); tiff("cmyk-noicc.tif", 4, cmyk)
bmp("adobe.bmp", adobe, icc(ADOBE)); bmp("adobe-noicc.bmp", adobe)
bmp("swap.bmp", src, swap); bmp("swap-noicc.bmp", src)

for name in ("adobe", "cmyk", "grey", "srgb"):
    d = open(name + ".jpg", "rb").read()
    open(name + "-noicc.jpg", "wb").write(jpeg_with(d, []))
d = open("adobe.jpg", "rb").read()
profile = jpeg_icc(d)
assert profile == icc(ADOBE)
open("adobe-split.jpg", "wb").write(jpeg_with(d, app2([profile[:300], profile[300:]])))
# Damaged: an sRGB picture with garbage for a profile, and with a CMYK one.
plain = open("srgb-noicc.jpg", "rb").read()
garbage = bytes((i * 73 + 41) % 256 for i in range(400))
open("bad-icc.jpg", "wb").write(jpeg_with(plain, app2([garbage])))
open("cmyk-icc-on-rgb.jpg", "wb").write(jpeg_with(plain, app2([icc(SMALLCMYK)])))
PY

# The references: the file's pixels as ImageMagick decodes them (no colour
# change), put in a TIFF with the file's profile, converted to sRGB by Little
# CMS's own tificc with the perceptual intent. (ImageMagick 6's -intent does
# not reach its conversion: from the CMYK profile its "perceptual" result is
# the relative colorimetric one.)
ref() {  # file raw-type channels profile reference
    $IM "$1" -depth 8 "$2:$tmp/ref.raw"
    python3 - "$tmp/ref.raw" "$3" "$4" "$tmp/ref-in.tif" <<'PY'
import struct, sys
raw, ch, profile, out = sys.argv[1], int(sys.argv[2]), open(sys.argv[3], "rb").read(), sys.argv[4]
px = open(raw, "rb").read()
W, H = 96, 64
assert len(px) == W * H * ch
entries = [(256, 4, 1, W), (257, 4, 1, H), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, {1: 1, 3: 2, 4: 5}[ch]),
           (273, 4, 1, 8), (277, 3, 1, ch), (278, 4, 1, H), (279, 4, 1, len(px)), (284, 3, 1, 1),
           (34675, 7, len(profile), 8 + len(px))]
ifd_at = 8 + len(px) + len(profile) + (len(profile) & 1)
ifd = struct.pack("<H", len(entries))
for tag, typ, n, v in entries:
    ifd += struct.pack("<HHI", tag, typ, n) + (struct.pack("<HH", v, 0) if typ == 3 else struct.pack("<I", v))
with open(out, "wb") as f:
    f.write(b"II*\0" + struct.pack("<I", ifd_at) + px + profile + b"\0" * (len(profile) & 1) + ifd + b"\0" * 4)
PY
    tificc -t0 "-o$SRGB" "$tmp/ref-in.tif" "$tmp/ref-out.tif" 2>/dev/null  # only its banner
    $IM "$tmp/ref-out.tif" -strip -type TrueColor "ppm:$5"
}
ref adobe.jpg rgb 3 $ADOBE adobe-jpg.ref.ppm
ref adobe.tif rgb 3 $ADOBE adobe.ref.ppm
ref swap.bmp rgb 3 "$tmp/swap.icc" swap.ref.ppm
ref cmyk.jpg cmyk 4 $CMYK cmyk-jpg.ref.ppm
ref cmyk.tif cmyk 4 $CMYK cmyk-tif.ref.ppm
ref grey.jpg gray 1 $GREY grey-jpg.ref.ppm
ref grey.png gray 1 $GREY grey-png.ref.ppm
