#!/usr/bin/env bash
# tests/package/deb_test.sh DEB: checks a pictrix Debian package: its
# dependencies are installed Debian runtime packages, it holds the program,
# manual page, libraries, headers and CMake and pkg-config files, and the
# program unpacked into a throwaway root converts a picture without help from
# LD_LIBRARY_PATH.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
. "$here/common.sh"
deb=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# Dependencies: every codec and GLUT runtime, and only packages that exist here.
depends=$(dpkg-deb -f "$deb" Depends)
names=$(sed -E 's/ \([^)]*\)//g; s/ *[,|] */\n/g' <<<"$depends")
for lib in libjpeg62-turbo libpng16-16 libtiff6 libgif7 libwebp7 libwebpdemux2 libglut3.12 libstdc++6 libc6; do
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
for f in usr/bin/pictrix usr/share/man/man1/pictrix.1.gz \
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
