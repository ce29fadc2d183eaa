#!/usr/bin/env bash
# tests/valgrind-driver.sh PICTRIX INPUT OUTDIR: runs pictrix under
# valgrind's memcheck twice, converting INPUT to a TIFF file and failing on
# a copy of INPUT cut in half; fails on any invalid access or leak.
set -euo pipefail
bin=$1 in=$2 out=$3
mkdir -p "$out"
name=$(basename "$in")
check=(valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible
       --errors-for-leak-kinds=definite,indirect,possible)
"${check[@]}" "$bin" "$in" "$out/$name.tif" >/dev/null
cut="$out/cut-$name"
head -c $(( $(stat -c %s "$in") / 2 )) "$in" >"$cut"
set +e
"${check[@]}" "$bin" "$cut" "$out/cut-$name.tif" >/dev/null 2>"$out/cut-$name.err"
rc=$?
set -e
cat "$out/cut-$name.err" >&2
if [ $rc -ne 1 ]; then
  echo "expected exit status 1 from the cut file, got $rc" >&2
  exit 1
fi
