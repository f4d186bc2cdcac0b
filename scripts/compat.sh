#!/usr/bin/env bash
# Runs the whole cycle (install answered Yes, uninstall from the list of
# installed programs, next system start, with the Wine tests' checks of the
# registry, the files and WININIT.INI) under every Windows version Wine
# reports, in a 32-bit prefix and, for the 64-bit versions of Windows, in a
# 64-bit prefix. Each row first checks that its version took effect (what
# RtlGetVersion tells a program). Prints one table, version x prefix ->
# passed or the reason it failed, with the time each row took; exits non-zero
# when a row failed.
#
#   bash scripts/compat.sh [JOBS]      JOBS rows at a time (default 2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${1:-2}
versions32="win95 win98 winme nt40 win2k winxp vista win7 win8 win81 win10 win11"
versions64="winxp64 win7 win10"

bash "$root/scripts/build.sh" >/dev/null
out="$root/build/compat"
rm -rf "$out"
mkdir -p "$out"
export KALMARIS_WINDOWS_BUILD="$root/build/windows" KALMARIS_WINE_CACHE="$root/build/host/wine-cache"
export PYTHONDONTWRITEBYTECODE=1 out root

# One row: the existing whole-cycle test with that row only. Writes
# <row>.log, and <row>.result: the outcome and the seconds it took.
row() {
  local name=${1//:/-} started=$SECONDS outcome
  if (cd "$root/tests/wine" && KALMARIS_WINE_ROWS=$1 timeout 900 python3 -m unittest -v \
      test_uninstall.WholeCycle.test_install_then_uninstall_removes_everything) >"$out/$name.log" 2>&1; then
    outcome=passed
    if grep -q "skipped '" "$out/$name.log"; then
      outcome=$(grep -o "skipped '[^']*'" "$out/$name.log" | head -1 | sed "s/skipped '\(.*\)'/\1/")
    fi
  else
    outcome="FAILED: $(grep -m1 -E '^[A-Za-z.]*(Error|Exception)\b' "$out/$name.log" | cut -c1-110)"
  fi
  echo "$outcome ($((SECONDS - started)) s)" >"$out/$name.result"
}
export -f row

started=$SECONDS
echo "Running the whole cycle for $(echo $versions32 | wc -w) versions in a 32-bit prefix and" \
     "$(echo $versions64 | wc -w) in a 64-bit prefix, $jobs at a time ..."
{ for v in $versions32; do echo "$v"; done; for v in $versions64; do echo "win64:$v"; done; } |
  xargs -P "$jobs" -I{} bash -c 'row "$1"' _ {}

cell() { if [ -f "$out/$1.result" ]; then cat "$out/$1.result"; else echo "not run"; fi; }
reports() {
  (cd "$root/tests/wine" && python3 -c "import sys, winetest
r = winetest.WINDOWS_VERSIONS.get(sys.argv[1])
print('%d.%d build %d' % r[:3] if r else 'unknown to Wine 8')" "$1")
}
echo
echo "| Windows version | RtlGetVersion (checked) | 32-bit prefix | 64-bit prefix |"
echo "|---|---|---|---|"
for v in $(echo $versions32 $versions64 | tr ' ' '\n' | awk '!seen[$0]++'); do
  c32=-; c64=-
  case " $versions32 " in *" $v "*) c32=$(cell "$v") ;; esac
  case " $versions64 " in *" $v "*) c64=$(cell "win64-$v") ;; esac
  echo "| $v | $(reports "$v") | $c32 | $c64 |"
done
failed=$(cat "$out"/*.result 2>/dev/null | grep -c '^FAILED' || true)
rows=$(ls "$out"/*.result 2>/dev/null | wc -l)
echo
echo "$rows rows, $failed failed, $((SECONDS - started)) s in all (logs: $out)"
[ "$failed" = 0 ] && [ "$rows" = "$(echo $versions32 $versions64 | wc -w)" ]
