#!/usr/bin/env bash
# tests/package/install_test.sh BUILD_DIR: installs a built pictrix into a
# throwaway prefix and builds examples/ against it twice, through
# find_package(pictrix) and through pkg-config, then runs both builds.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
. "$here/common.sh"
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
log=$work/log

cmake --install "$build" --prefix "$prefix" >"$log" 2>&1 || { cat "$log" >&2; fail "cmake --install failed"; finish "install test"; }
bin=$prefix/bin/pictrix
[ -x "$bin" ] || fail "no bin/pictrix under the prefix"
man=$(find "$prefix/share/man/man1" -name 'pictrix.1*' 2>/dev/null | head -1)
[ -n "$man" ] || fail "no manual page under share/man/man1"
[ -f "$prefix/share/applications/pictrix.desktop" ] || fail "no desktop entry under share/applications"

# resize BIN NAME: the example scales the sample to 161 by 99 (odd sizes, a
# different aspect) and writes NAME in the work folder, which must load at that size.
check_resize() {
  local exe=$1 name=$2 out
  out=$("$exe" "$top/samples/sunrise.png" "$work/$name" 161 99 2>&1) || { fail "$exe failed: $out"; return; }
  expect_size "$bin" "$work/$name" 161 99
}

# Through find_package: the example's own CMake project, found via CMAKE_PREFIX_PATH only.
if cmake -S "$top/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" >"$log" 2>&1 &&
   cmake --build "$work/example" >>"$log" 2>&1; then
  check_resize "$work/example/resize" resized.jpg
  check_resize "$work/example/resize" resized.png
else
  cat "$log" >&2
  fail "the example does not build with find_package(pictrix)"
fi

# Bad arguments and a missing input give the documented statuses.
if [ -x "$work/example/resize" ]; then
  status=0; "$work/example/resize" "$top/samples/sunrise.png" "$work/x.png" 0 10 >/dev/null 2>&1 || status=$?
  [ "$status" = 2 ] || fail "resize with a 0 side: status $status, not 2"
  status=0; "$work/example/resize" "$work/none.png" "$work/x.png" 10 10 >/dev/null 2>&1 || status=$?
  [ "$status" = 1 ] || fail "resize of a missing file: status $status, not 1"
fi

# Through pkg-config, as a user would call it.
pcdir=$(dirname "$(find "$prefix" -name pictrix.pc | head -1)")
if flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs pictrix 2>"$log"); then
  for lib in -lpc_pictrix -lifl0 -ljpeg; do
    grep -q -- "$lib" <<<"$flags" || fail "pkg-config flags lack $lib: $flags"
  done
  # shellcheck disable=SC2086
  if c++ -std=c++17 -Wall -Wextra "$top/examples/resize.cpp" -o "$work/resize-pc" $flags >"$log" 2>&1; then
    check_resize "$work/resize-pc" resized-pc.ppm
  else
    cat "$log" >&2
    fail "the example does not build with pkg-config's flags: $flags"
  fi
else
  cat "$log" >&2
  fail "pkg-config does not know pictrix in $pcdir"
fi

finish "install test"
