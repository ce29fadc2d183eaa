#!/usr/bin/env bash
# tests/package/deb_test.sh DEB: checks a pictrix Debian package: its
# dependencies are installed Debian runtime packages, it holds the program,
# manual page, desktop entry, libraries, headers and CMake and pkg-config
# files, and the program unpacked into a throwaway root converts a picture
# without help from LD_LIBRARY_PATH.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
. "$here/common.sh"
deb=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# Dependencies: every codec and GLUT runtime (libheif, libjxl and GLUT are opened at
# run time, so they are named by hand), and only packages that exist here.
depends=$(dpkg-deb -f "$deb" Depends)
names=$(sed -E 's/ \([^)]*\)//g; s/ *[,|] */\n/g' <<<"$depends")
for lib in libjpeg62-turbo libpng16-16 libtiff6 libgif7 libwebp7 libwebpdemux2 libheif1 libdav1d6 libde265-0 libjxl0.7 \
  libglut3.12 libstdc++6 libc6; do
  grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
done
for pkg in $names; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
    fail "Depends names $pkg, which is not an installed package"
done
grep -q -- "-dev" <<<"$depends" && fail "Depends names a development package: $depends"

# Contents.
dpkg-deb -x "$deb" "$root"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for f in usr/bin/pictrix usr/share/man/man1/pictrix.1.gz usr/share/applications/pictrix.desktop \
         usr/include/pictrix/ifl0.h usr/include/pictrix/rgbaimage.h usr/include/pictrix/imagefile.h \
         usr/include/pictrix/glutwin.h usr/include/pictrix/imagewin.h \
         usr/lib/$multiarch/libifl0.a usr/lib/$multiarch/libpc_pictrix.a \
         usr/lib/$multiarch/cmake/pictrix/pictrixConfig.cmake \
         usr/lib/$multiarch/cmake/pictrix/pictrixConfigVersion.cmake \
         usr/lib/$multiarch/cmake/pictrix/pictrixTargets.cmake \
         usr/lib/$multiarch/pkgconfig/pictrix.pc; do
  [ -f "$root/$f" ] || fail "package lacks /$f"
done
warnings=$(zcat "$root/usr/share/man/man1/pictrix.1.gz" | groff -man -ww -z 2>&1) ||
  fail "manual page does not format"
[ -z "$warnings" ] || fail "manual page warnings: $warnings"

# The desktop entry is valid, starts the packaged program, and names the MIME
# type of every format pictrix reads: the rows of the README's format table,
# which tests/ifl0/documented_formats_test.cpp holds to the library's
# readers. Each type must be one shared-mime-info knows, or a file manager
# never matches it.
entry=$root/usr/share/applications/pictrix.desktop
if [ -f "$entry" ]; then
  notes=$(desktop-file-validate "$entry" 2>&1) || fail "desktop entry is invalid: $notes"
  [ -z "$notes" ] || fail "desktop-file-validate: $notes"
  exec_line=$(sed -n 's/^Exec=//p' "$entry")
  [ -x "$root/usr/bin/${exec_line%% *}" ] || fail "desktop entry runs ${exec_line%% *}, not a packaged program"
  grep -q '%[fFuU]' <<<"$exec_line" || fail "desktop entry passes no file: Exec=$exec_line"
  mimes=$(sed -n 's/^MimeType=//p' "$entry" | tr ';' '\n' | sed '/^$/d')
  declare -A format_types=(
    [JPEG]="image/jpeg" [PNG]="image/png" [TIFF]="image/tiff"
    [PNM]="image/x-portable-anymap image/x-portable-bitmap image/x-portable-graymap image/x-portable-pixmap"
    [BMP]="image/bmp" [GIF]="image/gif" [WebP]="image/webp" [HEIF]="image/heif" [AVIF]="image/avif" [JXL]="image/jxl"
    [ICO]="image/vnd.microsoft.icon image/x-win-bitmap" [TGA]="image/x-tga")
  # Formats for which this Debian's shared-mime-info defines no type: no file
  # manager here could match one, so the entry names none.
  declare -A untyped=([QOI]=1)
  formats=$(sed -n '/^## Formats$/,/^## /s/^| \([A-Za-z0-9]*\) |.*/\1/p' "$top/README.md" | grep -vx format)
  [ -n "$formats" ] || fail "no formats found in the README's table"
  for format in $formats; do
    [ -n "${untyped[$format]:-}" ] && continue
    [ -n "${format_types[$format]:-}" ] || { fail "no MIME type known here for $format: add it to this test and the entry"; continue; }
    for type in ${format_types[$format]}; do
      grep -qxF "$type" <<<"$mimes" || fail "desktop entry lacks $type ($format)"
    done
  done
  for type in $mimes; do
    # awk reads the whole list: grep -q ending a pipe early would fail it under pipefail.
    awk -v t="$type" '$1 == t { found = 1 } END { exit !found }' /usr/share/mime/types /usr/share/mime/aliases ||
      fail "desktop entry names $type, which shared-mime-info does not know"
  done
fi

# The unpacked program finds every library it needs on the system.
missing=$(env -u LD_LIBRARY_PATH ldd "$root/usr/bin/pictrix" | grep "not found" || true)
[ -z "$missing" ] || fail "unresolved libraries: $missing"

# It converts the sample, and the result is a whole JPEG that loads again.
bin=$root/usr/bin/pictrix
out=$(cd "$root" && env -u LD_LIBRARY_PATH "$bin" "$top/samples/sunrise.png" sunrise.jpg 2>&1) ||
  fail "conversion failed: $out"
grep -qx "Image Size X: 320 Y: 200" <<<"$out" || fail "no size report: $out"
[ "$(head -c 2 "$root/sunrise.jpg" | od -An -tx1 | tr -d ' ')" = ffd8 ] || fail "sunrise.jpg is not JPEG"
expect_size "$bin" "$root/sunrise.jpg" 320 200

# Exit statuses of the installed program.
status=0; env -u LD_LIBRARY_PATH "$bin" >/dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "no arguments: status $status, not 2"
status=0; env -u LD_LIBRARY_PATH "$bin" "$root/none.png" "$root/x.jpg" >/dev/null 2>&1 || status=$?
[ "$status" = 1 ] || fail "missing input: status $status, not 1"

finish "deb test"
