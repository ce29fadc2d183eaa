# Shared by the package tests: failure bookkeeping and picture checks.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
finish() {
  if [ "$failures" -gt 0 ]; then
    echo "$1: $failures check(s) failed" >&2
    exit 1
  fi
  echo "$1: all checks passed" >&2
}
# expect_size PICTRIX FILE W H: FILE loads with PICTRIX (converting it to a
# throwaway PPM) and has the size W by H.
expect_size() {
  local bin=$1 file=$2 w=$3 h=$4 out
  out=$(env -u LD_LIBRARY_PATH "$bin" "$file" "$file.check.ppm" 2>&1) ||
    { fail "$file does not load: $out"; return; }
  grep -qx "Image Size X: $w Y: $h" <<<"$out" || fail "$file is not $w by $h: $out"
  local header
  header=$(printf 'P6 %d %d 255' "$w" "$h")
  [ "$(head -c ${#header} "$file.check.ppm" | tr '\n' ' ')" = "$header" ] ||
    fail "$file did not convert to a $w by $h PPM"
}
