#!/bin/sh
# Regenerates the HEIC and AVIF fixtures here (see README.md). Needs python3,
# ImageMagick (/usr/bin/convert, with Little CMS), libheif-examples (heif-enc,
# x265 inside libheif) and libavif-bin (avifenc, aom), and the profiles of
# icc-profiles-free in /usr/share/color/icc.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
IM=/usr/bin/convert
ICC=/usr/share/color/icc
SRGB=$ICC/sRGB.icc
ADOBE=$ICC/compatibleWithAdobeRGB1998.icc
AVIF="avifenc -j 1 -s 6 --min 8 --max 16 --minalpha 8 --maxalpha 16"
HEIF="heif-enc -q 85 -p chroma=420"

# Pictures written by python3 as PNG (zlib, no date chunks, so the same bytes
# every time); see the README for what each holds.
python3 - "$tmp" <<'PY'
import colorsys, struct, sys, zlib
tmp = sys.argv[1]

def png(path, w, h, ch, rows, depth=8):
    """rows: list of h lists of w tuples of ch samples."""
    def chunk(t, b): return struct.pack(">I", len(b)) + t + b + struct.pack(">I", zlib.crc32(t + b))
    kind = {1: 0, 3: 2, 4: 6}[ch]
    fmt = ">%dH" if depth == 16 else "%dB"
    bpp = ch * depth // 8
    def sub(b):  # PNG row filter 1: each byte less the one a pixel to its left
        return b"\1" + bytes((b[i] - (b[i - bpp] if i >= bpp else 0)) & 255 for i in range(len(b)))
    raw = b"".join(sub(struct.pack(fmt % (w * ch), *[s for p in row for s in p])) for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, kind, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))

def picture(w, h):
    """Smooth colours (a hue sweep, darker downwards, a paler band at the
    bottom) with a black marker over the top-left sixth by fifth. Black, so
    that the marker's edges are in luma alone and survive 4:2:0."""
    mw, mh = w // 6, h // 5
    rows = []
    for y in range(h):
        row = []
        for x in range(w):
            if x < mw and y < mh:
                row.append((0, 0, 0))
                continue
            s = 0.24 if y >= h * 4 // 5 else 0.6
            v = 1.0 - 0.55 * y / (h - 1)
            row.append(tuple(round(255 * c) for c in colorsys.hsv_to_rgb(0.1 + 0.75 * x / (w - 1), s, v)))
        rows.append(row)
    return rows

def rot_cw(r): return [list(t) for t in zip(*r[::-1])]     # 90 degrees clockwise
def rot_ccw(r): return [list(t) for t in zip(*r)][::-1]    # 90 degrees anticlockwise
def flip_lr(r): return [row[::-1] for row in r]
def flip_tb(r): return r[::-1]
def pad(r, left, top, right, bottom, colour=(0, 0, 0)):
    w = len(r[0]) + left + right
    return ([[colour] * w for _ in range(top)] + [[colour] * left + row + [colour] * right for row in r]
            + [[colour] * w for _ in range(bottom)])
def save(name, r, depth=8):
    png(tmp + "/" + name, len(r[0]), len(r), len(r[0][0]), r, depth)

src = picture(95, 63)
save("source.png", src)
# What the stored pixels must be so that the transformations show src upright.
save("irot1.png", rot_cw(src))                      # shown turned 90 degrees anticlockwise
save("imir0.png", flip_tb(src))                     # shown mirrored top to bottom
save("imir1.png", flip_lr(src))                     # shown mirrored left to right
save("clap.png", pad(src, 8, 4, 9, 5, (0, 255, 0)))  # shown cropped to (8, 4) 95 x 63
# clap, then irot 3 (270 degrees anticlockwise), then imir 0 (top to bottom).
save("combo.png", pad(rot_ccw(flip_tb(src)), 6, 10, 7, 11, (0, 255, 0)))
save("grid.png", picture(192, 128))
alpha = [[p + (255 - round(200 * y / 62),) for p in row] for y, row in enumerate(src)]
save("alpha.png", alpha)
save("source16.png", [[tuple(257 * s for s in p) for p in row] for row in src], 16)

# Every 10-bit (and 12-bit) code value once, as 16-bit samples that both
# scaling and shifting bring back to that value: R counts up, G down, B
# counts up along columns.
def codes(bits, w, h):
    top = (1 << bits) - 1
    to16 = lambda v: (v << (16 - bits)) | (v >> (2 * bits - 16))
    return [[tuple(to16(v) for v in ((y * w + x) % (top + 1), top - (y * w + x) % (top + 1),
                                     (x * h + y) % (top + 1))) for x in range(w)] for y in range(h)]
save("codes10.png", codes(10, 64, 16), 16)
save("codes12.png", codes(12, 64, 64), 16)

# An EXIF block (big-endian TIFF header, IFD0 with one entry: Orientation 6).
with open(tmp + "/orient6.exif", "wb") as f:
    f.write(b"MM\0*" + struct.pack(">I", 8) + struct.pack(">H", 1)
            + struct.pack(">HHIHH", 0x0112, 3, 1, 6, 0) + struct.pack(">I", 0))

# A Display P3 profile (ICC v2 matrix/TRC): the P3 primaries with a D65
# white, adapted to D50 with Bradford, and the sRGB tone curve as a table.
def mat(a, b): return [[sum(a[i][k] * b[k][j] for k in range(3)) for j in range(3)] for i in range(3)]
def inv(m):
    a, b, c = m[0]; d, e, f = m[1]; g, h, i = m[2]
    det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g)
    return [[(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det],
            [(f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det],
            [(d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det]]
xy = [(0.680, 0.320), (0.265, 0.690), (0.150, 0.060)]
white = (0.3127, 0.3290)
XYZ = lambda x, y: [x / y, 1.0, (1 - x - y) / y]
P = [[XYZ(*p)[i] for p in xy] for i in range(3)]
W = XYZ(*white)
S = [sum(inv(P)[i][k] * W[k] for k in range(3)) for i in range(3)]
M = [[P[i][j] * S[j] for j in range(3)] for i in range(3)]  # linear P3 to XYZ (D65)
brad = [[0.8951, 0.2664, -0.1614], [-0.7502, 1.7135, 0.0367], [0.0389, -0.0685, 1.0296]]
D50 = [0.9642, 1.0, 0.8249]
cw, cd = [sum(brad[i][k] * W[k] for k in range(3)) for i in range(3)], [sum(brad[i][k] * D50[k] for k in range(3)) for i in range(3)]
adapt = mat(inv(brad), mat([[cd[0] / cw[0], 0, 0], [0, cd[1] / cw[1], 0], [0, 0, cd[2] / cw[2]]], brad))
M50 = mat(adapt, M)
s15 = lambda v: struct.pack(">i", round(v * 65536))
xyz = lambda v: b"XYZ \0\0\0\0" + b"".join(s15(c) for c in v)
def srgb_eotf(v): return v / 12.92 if v <= 0.04045 else ((v + 0.055) / 1.055) ** 2.4
curve = b"curv\0\0\0\0" + struct.pack(">I", 1024) + b"".join(
    struct.pack(">H", round(65535 * srgb_eotf(i / 1023))) for i in range(1024))
text = b"Display P3 (test)\0"
desc = b"desc\0\0\0\0" + struct.pack(">I", len(text)) + text + b"\0" * 8 + b"\0\0\0" + b"\0" * 67
tags = [(b"desc", desc), (b"cprt", b"text\0\0\0\0No copyright, test data\0"), (b"wtpt", xyz(D50)),
        (b"rXYZ", xyz([M50[i][0] for i in range(3)])), (b"gXYZ", xyz([M50[i][1] for i in range(3)])),
        (b"bXYZ", xyz([M50[i][2] for i in range(3)])), (b"rTRC", curve), (b"gTRC", curve), (b"bTRC", curve)]
at = 128 + 4 + 12 * len(tags)
table, data, shared = b"", b"", {}
for sig, body in tags:
    if body not in shared:
        shared[body] = at + len(data)
        data += body + b"\0" * (-len(body) % 4)
    table += sig + struct.pack(">II", shared[body], len(body))
head = struct.pack(">I4sI4s4s4s", at + len(data), b"\0\0\0\0", 0x02100000, b"mntr", b"RGB ", b"XYZ ")
head = (head + b"\0" * 12 + b"acsp" + b"\0" * 24 + struct.pack(">I", 0) + s15(0.9642) + s15(1.0)
        + s15(0.8249)).ljust(128, b"\0")
with open(tmp + "/p3.icc", "wb") as f:
    f.write(head + struct.pack(">I", len(tags)) + table + data)
PY
cp "$tmp/source.png" source.png
cp "$tmp/grid.png" grid-source.png
cp "$tmp/alpha.png" alpha-source.png

# Plain pictures, 4:2:0.
$HEIF "$tmp/source.png" -o plain.heic >/dev/null
$AVIF -y 420 "$tmp/source.png" plain.avif >/dev/null

# Pictures that the reader decodes with dav1d alone, each beside a copy with
# a rotation by 0 degrees, which sends it through libheif instead: both must
# give the same bytes. 4:2:0 full range (BT.601), 4:2:2 limited range,
# 4:4:4 with the identity matrix.
$AVIF -y 420 --irot 0 "$tmp/source.png" plain-irot0.avif >/dev/null
$AVIF -y 422 -r limited "$tmp/source.png" limited422.avif >/dev/null
$AVIF -y 422 -r limited --irot 0 "$tmp/source.png" limited422-irot0.avif >/dev/null
$AVIF -y 444 --cicp 1/13/0 "$tmp/source.png" identity444.avif >/dev/null
$AVIF -y 444 --cicp 1/13/0 --irot 0 "$tmp/source.png" identity444-irot0.avif >/dev/null

# Transformations (AVIF): each shows the source upright, 95 x 63.
$AVIF -y 420 --irot 1 "$tmp/irot1.png" irot.avif >/dev/null
$AVIF -y 420 --imir 0 "$tmp/imir0.png" imir-tb.avif >/dev/null
$AVIF -y 420 --imir 1 "$tmp/imir1.png" imir-lr.avif >/dev/null
$AVIF -y 444 --crop 8,4,95,63 "$tmp/clap.png" clap.avif >/dev/null
$AVIF -y 444 --crop 6,10,63,95 --irot 3 --imir 0 "$tmp/combo.png" combo.avif >/dev/null
# irot 1 with an EXIF Orientation of 6 beside it, which must not be applied too.
$AVIF -y 420 --irot 1 --exif "$tmp/orient6.exif" "$tmp/irot1.png" exif-irot.avif >/dev/null

# A 3 x 2 grid of 64 x 64 tiles.
$AVIF -y 420 --grid 3x2 "$tmp/grid.png" grid.avif >/dev/null

# Alpha: a ramp from 255 at the top to 55 at the bottom.
$HEIF "$tmp/alpha.png" -o alpha.heic >/dev/null
$AVIF -y 420 "$tmp/alpha.png" alpha.avif >/dev/null

# Deeper samples: the source at 10 and 12 bits, lossy; every code value,
# lossless (4:4:4, identity matrix); monochrome.
$AVIF -y 420 -d 10 "$tmp/source.png" depth10.avif >/dev/null
$AVIF -y 420 -d 12 "$tmp/source.png" depth12.avif >/dev/null
$HEIF -b 10 "$tmp/source16.png" -o depth10.heic >/dev/null
$HEIF -b 12 "$tmp/source16.png" -o depth12.heic >/dev/null
avifenc -j 1 -s 6 -l -d 10 "$tmp/codes10.png" codes10.avif >/dev/null
avifenc -j 1 -s 6 -l -d 12 "$tmp/codes12.png" codes12.avif >/dev/null
$AVIF -y 400 "$tmp/source.png" mono.avif >/dev/null

# Colour: Adobe RGB pixels with the Adobe RGB profile; Display P3 pixels
# with only an nclx description (P3 primaries 12, sRGB transfer 13, BT.601
# matrix 6). The references: the pixels as avifdec decodes them, converted to
# sRGB by ImageMagick (Little CMS) with the same profiles.
$IM "$tmp/source.png" -profile $SRGB -profile $ADOBE -strip "$tmp/adobe.png"
$AVIF -y 444 --icc $ADOBE "$tmp/adobe.png" adobe-icc.avif >/dev/null
$IM "$tmp/source.png" -profile $SRGB -profile "$tmp/p3.icc" -strip "$tmp/p3.png"
$AVIF -y 444 --cicp 12/13/6 "$tmp/p3.png" p3-nclx.avif >/dev/null
avifdec --png-compress 0 adobe-icc.avif "$tmp/adobe-dec.png" >/dev/null
avifdec --png-compress 0 p3-nclx.avif "$tmp/p3-dec.png" >/dev/null
$IM "$tmp/adobe-dec.png" -strip -profile $ADOBE -profile $SRGB -strip adobe-icc.ref.ppm
$IM "$tmp/p3-dec.png" -strip -profile "$tmp/p3.icc" -profile $SRGB -strip p3-nclx.ref.ppm

# Hostile: the picture size in every ispe box set to 40000 x 40000, and
# truncated copies (half of the file, the first 100 bytes).
python3 - <<'PY'
import struct
for ext in ("heic", "avif"):
    d = bytearray(open("plain." + ext, "rb").read())
    at, n = 0, 0
    while (at := d.find(b"ispe", at)) >= 0:
        d[at + 8:at + 16] = struct.pack(">II", 40000, 40000)
        at, n = at + 4, n + 1
    assert n >= 1
    open("huge." + ext, "wb").write(d)
    whole = open("plain." + ext, "rb").read()
    open("half." + ext, "wb").write(whole[:len(whole) // 2])
    open("head100." + ext, "wb").write(whole[:100])
PY

# A 2 x 1 grid whose two tiles are plain.heic's one tile, 190 x 63: the grid
# description, the grid's ispe, and a second dimg reference changed in place
# (meta grows by 2 bytes, so the tile's data offset moves by 2).
python3 - <<'PY'
import struct
d = bytearray(open("plain.heic", "rb").read())
def box(name, start=0):
    at = d.find(name, start) - 4
    assert at >= 0, name
    return at
idat = box(b"idat")
assert d[idat + 8:idat + 16] == bytes.fromhex("00000000005f003f")
d[idat + 8:idat + 16] = bytes.fromhex("00000001 00be003f")
ispe = box(b"ispe", box(b"ispe") + 8)     # the grid's, after the tile's
assert struct.unpack(">II", d[ispe + 12:ispe + 20]) == (95, 63)
d[ispe + 12:ispe + 16] = struct.pack(">I", 190)
dimg = box(b"dimg")
assert d[dimg:dimg + 14] == bytes.fromhex("0000000e64696d670002 0001 0001".replace(" ", ""))
d[dimg:dimg + 14] = bytes.fromhex("0000001064696d67000200020001 0001".replace(" ", ""))
for name in (b"iref", b"meta"):
    at = box(name)
    d[at:at + 4] = struct.pack(">I", struct.unpack(">I", d[at:at + 4])[0] + 2)
iloc = box(b"iloc")
assert d[iloc + 16:iloc + 22] == bytes.fromhex("0001 0000 0000".replace(" ", ""))
base = struct.unpack(">I", d[iloc + 22:iloc + 26])[0]
d[iloc + 22:iloc + 26] = struct.pack(">I", base + 2)
open("grid2.heic", "wb").write(d)
PY

# Hostile: sizes declared only inside the coded data, where the decoder
# meets them: an HEVC sequence parameter set of 30000 x 30000 put before the
# tile's NAL units (plain.heic's own, with the size fields changed), and an
# AV1 sequence header of 30000 x 30000 before the item's OBUs. The item's
# new data goes into a second mdat at the end; its iloc extent points there.
python3 - <<'PY'
import struct

def bits_of(b):
    return [(x >> (7 - i)) & 1 for x in b for i in range(8)]

def bytes_of(bits):
    bits = bits + [0] * (-len(bits) % 8)
    return bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))

def ue(v):  # Exp-Golomb
    v += 1
    n = v.bit_length()
    return [0] * (n - 1) + [int(c) for c in bin(v)[2:]]

def read_ue(bits, at):
    zeros = 0
    while bits[at] == 0:
        zeros, at = zeros + 1, at + 1
    v = int("".join(map(str, bits[at:at + zeros + 1])), 2) - 1
    return v, at + zeros + 1

def unescape(b):  # NAL payload without emulation prevention bytes
    out = bytearray()
    for x in b:
        if x == 3 and out[-2:] == b"\0\0":
            continue
        out.append(x)
    return bytes(out)

def escape(b):
    out = bytearray()
    for x in b:
        if x <= 3 and out[-2:] == b"\0\0":
            out.append(3)
        out.append(x)
    return bytes(out)

def resized_sps(nal, w, h):
    """An HEVC SPS NAL unit (no sub-layers) with its picture size changed."""
    bits = bits_of(unescape(nal[2:]))
    assert bits[4:7] == [0, 0, 0]
    at = 4 + 3 + 1 + 96
    _, at = read_ue(bits, at)          # sps_seq_parameter_set_id
    chroma, at = read_ue(bits, at)
    if chroma == 3:
        at += 1
    start = at
    _, at = read_ue(bits, at)
    _, at = read_ue(bits, at)
    body = bits[:start] + ue(w) + ue(h) + bits[at:]
    while body and body[-1] == 0:      # the old trailing bits
        body.pop()
    return nal[:2] + escape(bytes_of(body[:-1] + [1]))

def iloc_extent(d, item):
    """Where item's base offset (of base bytes) and its single extent's
    offset and length (4 bytes each) are."""
    i = d.find(b"iloc") + 4
    version = d[i]
    assert d[i + 4] == 0x44 and d[i + 5] & 15 == 0 and version < 2
    base = d[i + 5] >> 4
    at = i + 6
    count = struct.unpack(">H", d[at:at + 2])[0]
    at += 2
    for _ in range(count):
        iid = struct.unpack(">H", d[at:at + 2])[0]
        at += 2 + (2 if version >= 1 else 0) + 2 + base
        extents = struct.unpack(">H", d[at:at + 2])[0]
        at += 2
        if iid == item:
            assert extents == 1
            return at - 2 - base, base, at
        at += 8 * extents
    raise ValueError("no item %d" % item)

def with_item_data(d, item, new):
    base_at, base, at = iloc_extent(d, item)
    offset, length = struct.unpack(">II", d[at:at + 8])
    offset += int.from_bytes(d[base_at:base_at + base], "big")
    data = new(d[offset:offset + length])
    d = bytearray(d)
    d[base_at:base_at + base] = bytes(base)
    d[at:at + 8] = struct.pack(">II", len(d) + 8, len(data))
    return bytes(d) + struct.pack(">I", 8 + len(data)) + b"mdat" + data

heic = open("plain.heic", "rb").read()
hvcc = heic.find(b"hvcC") + 4
arrays, at, sps = heic[hvcc + 22], hvcc + 23, None
for _ in range(arrays):
    kind, count = heic[at] & 0x3f, struct.unpack(">H", heic[at + 1:at + 3])[0]
    at += 3
    for _ in range(count):
        n = struct.unpack(">H", heic[at:at + 2])[0]
        if kind == 33:
            sps = heic[at + 2:at + 2 + n]
        at += 2 + n
big = resized_sps(sps, 30000, 30000)
open("sps-in-data.heic", "wb").write(with_item_data(heic, 1, lambda old: struct.pack(">I", len(big)) + big + old))

# A reduced still-picture sequence header: profile 0, level 31, 15-bit
# sides of 30000, then the tools off, 8-bit 4:2:0, trailing bits.
seq = ([0, 0, 0, 1, 1] + [1, 1, 1, 1, 1] + [1, 1, 1, 0] * 2 + [int(c) for c in format(29999, "015b")] * 2
       + [0] * 6 + [0, 0, 0, 0, 0, 0, 0] + [0] + [1])
obu = bytes_of(seq)
avif = open("plain.avif", "rb").read()
open("seq-in-data.avif", "wb").write(with_item_data(avif, 1, lambda old: bytes([0x0a, len(obu)]) + obu + old))
PY
